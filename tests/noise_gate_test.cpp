#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <vector>

#include "support/DspReference.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::ComponentPtr;
using test::Make;

// The gate written out from its definition: 10 ms frames that restart with every block,
// manual or tracked threshold, fade over FadeoutTime, then zeros.
class ReferenceGate {
public:
    int rate = 16000, gateTimeMs = 1000, fadeoutMs = 1000, cutoff = 0;
    bool automatic = false, readOnly = false;
    float threshold = 0;

    void Prepare() {
        if (cutoff != 0) highPass_.Design(1, cutoff, rate);
    }

    // Returns the value Process returns; writes the block's output unless read-only.
    int32_t Block(const int16_t* in, int count, int16_t* out) {
        const int frameLen = 10 * rate / 1000;
        bool open = false;
        float blockPeak = 0, framePeak = 0, frameSum = 0;
        int counter = 0;
        for (int i = 0; i < count; ++i) {
            float x = static_cast<float>(in[i] / 32767.0);
            int16_t s = in[i];
            if (cutoff != 0) {
                x = highPass_.Step(x);
                s = test::Clamp16(std::trunc(x * 32767.0 + 0.5));
            }
            out[i] = s;
            framePeak = std::max(framePeak, x);
            if (automatic) frameSum += std::fabs(x);
            if (++counter == frameLen) {
                if (!Silent(framePeak, frameSum / frameLen)) open = true;
                blockPeak = std::max(blockPeak, framePeak);
                framePeak = frameSum = 0;
                counter = 0;
            }
        }
        blockPeak = std::min(std::max(blockPeak, framePeak), 1.0f);
        const int32_t maxLevel = static_cast<int32_t>(blockPeak * 32767.0);
        if (readOnly) return open ? maxLevel : 0;  // measured and decided; out is not the gate's
        bool passes = open;
        if (open) {
            fadeCount_ = 0;
        } else {
            const int fadeLen = fadeoutMs * rate / 1000;
            if (fadeCount_ < fadeLen) {
                for (int i = 0; i < count; ++i) {
                    out[i] = static_cast<int16_t>((fadeLen - fadeCount_) * out[i] / fadeLen);
                    fadeCount_ = std::min(fadeCount_ + 1, fadeLen);
                }
                passes = true;
            } else {
                std::fill(out, out + count, 0);
            }
        }
        return passes ? maxLevel : 0;
    }

private:
    bool Silent(float peak, float mean) {
        if (automatic) {
            const bool silent = Track(mean);
            threshold = static_cast<float>(std::pow(10.0, (level_ * 100.0 / 32767 - 100) / 20));
            return silent;
        }
        if (gateTimeMs == 0) return false;
        silenceMs_ = threshold > peak ? silenceMs_ + 10 : 0;
        return silenceMs_ > gateTimeMs;
    }
    bool Track(float v) {
        const double dbLevel = (100 + 20 * std::log10(static_cast<double>(v))) * 32767 / 100;
        const int level = dbLevel > 0 ? static_cast<int>(dbLevel) : 0;
        const bool loud = level > level_;
        if (open_ == loud) {
            run_ = 0;
        } else if (++run_ >= (open_ ? 40 : 1)) {
            open_ = !open_;
            minLoud_ = 32767, maxQuiet_ = 0, loud_ = quiet_ = 0;
        }
        if (level_ == 0) {
            if (level > 1) level_ = level / 2;
            return true;
        }
        if (loud) minLoud_ = std::min(minLoud_, level), ++loud_;
        else maxQuiet_ = std::max(maxQuiet_, level), ++quiet_;
        if (loud_ + quiet_ > 60) {
            if (loud_ >= 60) level_ += (minLoud_ - level_) / 4;
            else if (quiet_ >= 60) level_ = (maxQuiet_ + level_) / 2 + 1;
            else if (loud_ > quiet_) level_ += 1;
            minLoud_ = 32767, maxQuiet_ = 0, loud_ = quiet_ = 0;
        }
        return !open_;
    }

    test::RefBiquad highPass_;
    int fadeCount_ = 0, silenceMs_ = 0;
    bool open_ = false;
    int run_ = 0, level_ = 0, minLoud_ = 32767, maxQuiet_ = 0, loud_ = 0, quiet_ = 0;
};

// Speech-like test input: loud bursts, quiet noise between them, a few long pauses.
std::vector<int16_t> GateSignal(int rate, double seconds, uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<int16_t> signal(static_cast<std::size_t>(rate * seconds));
    for (std::size_t n = 0; n < signal.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const bool talking = std::fmod(t, 3.0) < 1.2 || (t > 10 && std::fmod(t, 7.0) < 0.4);
        const double level = talking ? 9000 * (0.6 + 0.4 * std::sin(t * 9)) : 90;
        signal[n] = test::Clamp16(level * (std::sin(2 * M_PI * 220 * t) + 0.3 * noise(random)));
    }
    return signal;
}

ComponentPtr Gate(const test::Settings& settings) { return test::Running("NoiseGateAudioFilter", settings); }

struct GateCase {
    bool automatic;
    int threshold255, gateTimeMs, fadeoutMs, cutoff, blockMs;
    bool readOnly = false;
};

TEST(NoiseGate, EqualsItsDefinitionSampleForSample) {
    const GateCase cases[] = {
        {false, 10, 300, 200, 0, 20}, {false, 10, 300, 200, 150, 20}, {false, 3, 0, 100, 0, 10},
        {true, 0, 1000, 300, 0, 20},  {true, 0, 1000, 50, 100, 30},   {false, 20, 100, 0, 0, 25},
        {false, 10, 300, 200, 150, 20, true}, {true, 0, 1000, 300, 0, 20, true}, {false, 0, 300, 100, 0, 20},
        {false, 255, 5, 100, 0, 20},  // closed from the first frame: the fade starts at full level
    };
    const int rate = 16000;
    const std::vector<int16_t> in = GateSignal(rate, 20.0, 4);
    for (const GateCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "auto " << c.automatic << " cutoff " << c.cutoff << " block " << c.blockMs
                                        << " read-only " << c.readOnly);
        ReferenceGate reference;
        reference.gateTimeMs = c.gateTimeMs, reference.fadeoutMs = c.fadeoutMs, reference.cutoff = c.cutoff;
        reference.automatic = c.automatic, reference.readOnly = c.readOnly;
        reference.threshold = static_cast<float>(c.threshold255 / 255.0);
        reference.Prepare();
        ComponentPtr gate = Gate({{"Threshold", c.automatic ? -1 : c.threshold255}, {"GateTime", c.gateTimeMs},
                                  {"FadeoutTime", c.fadeoutMs}, {"CutOff", c.cutoff}, {"ReadOnly", c.readOnly}});
        const int block = rate * c.blockMs / 1000;
        std::vector<int16_t> out(block), expected(block);
        // `out` must hold *inBytes bytes; *outBytes is neither compared with that nor written
        // back, so a host that leaves it unset or too small still has every block gated.
        const int32_t leftAs[] = {block * 2, 0, -1, 2, block * 2 - 2, INT32_MIN};
        int silencedBlocks = 0;
        for (std::size_t at = 0, call = 0; at + block <= in.size(); at += block, ++call) {
            const int32_t unset = leftAs[call % std::size(leftAs)];
            int32_t inBytes = block * 2, outBytes = unset;
            std::fill(out.begin(), out.end(), 0x5555);
            std::fill(expected.begin(), expected.end(), 0x5555);
            const int32_t result = gate->Process(&in[at], &inBytes, out.data(), &outBytes);
            ASSERT_EQ(result, reference.Block(&in[at], block, c.readOnly ? std::vector<int16_t>(block).data() : expected.data()))
                << "block at " << at;
            ASSERT_EQ(out, expected) << "block at " << at;
            ASSERT_EQ(inBytes, block * 2);  // counts are not written back
            ASSERT_EQ(outBytes, unset);
            silencedBlocks += result == 0;
        }
        // The gate closed in the pauses, except with GateTime 0 or threshold 0: nothing is quiet.
        if (c.automatic || (c.gateTimeMs != 0 && c.threshold255 != 0)) EXPECT_GT(silencedBlocks, 10);
        else EXPECT_EQ(silencedBlocks, 0);
        uint32_t totalOut = 0;
        ASSERT_EQ(gate->GetProperty("TotalOut", 0, &totalOut), 0);
        EXPECT_EQ(totalOut, c.readOnly ? 0u : in.size() / block * block * 2);
    }
}

// The peak is signed; odd counts and a rate without whole 10 ms frames.
TEST(NoiseGate, NegativePeaksOddCountsAndARateWithoutWholeFrames) {
    ComponentPtr gate = Gate({{"Threshold", 255}, {"GateTime", 5}, {"FadeoutTime", 0}});
    std::vector<int16_t> negative(320, -20000), out(320, 5);
    int32_t inBytes = 640, outBytes = 640, level = -1;
    EXPECT_EQ(gate->Process(negative.data(), &inBytes, out.data(), &outBytes), 0);
    EXPECT_EQ(out, std::vector<int16_t>(320, 0));  // FadeoutTime 0: silent at once
    ASSERT_EQ(gate->GetProperty("MaxLevel", 0, &level), 0);
    EXPECT_EQ(level, 0);  // the peak is signed: an all-negative block has none
    inBytes = outBytes = 7;  // odd: three samples
    EXPECT_GE(gate->Process(negative.data(), &inBytes, out.data(), &outBytes), 0);
    EXPECT_EQ(gate->SetProperty("SamplesPerSec", 0, nullptr), 0);
    EXPECT_EQ(gate->Build(), ZELMAR_E_INVALIDARG);  // no whole sample in a 10 ms frame
}

}  // namespace
}  // namespace zelmar
