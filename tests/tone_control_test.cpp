#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/DspReference.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::ComponentPtr;
using test::Make;

struct ToneSettings {
    int32_t gainPercent, lowCentiDb, midCentiDb, highCentiDb, cutoffHz;
};

// The tone control written out from its definition, with sections that keep their state
// across redesigns as the component's do.
class ReferenceTone {
public:
    explicit ReferenceTone(int rate) : rate_(rate) {}
    void Apply(const ToneSettings& s) {
        gain_ = static_cast<float>(s.gainPercent / 100.0);
        low_ = static_cast<float>(s.lowCentiDb / 100.0);
        mid_ = static_cast<float>(s.midCentiDb / 100.0);
        high_ = static_cast<float>(s.highCentiDb / 100.0);
        cutoff_ = s.cutoffHz;
        if (low_ != 0) lowShelf_.Design(5, 200, rate_, low_);
        if (mid_ != 0) peak_.Design(4, 1000, rate_, mid_);
        if (high_ != 0) highShelf_.Design(6, 5000, rate_, high_);
        if (cutoff_ != 0) lowPass_.Design(0, cutoff_, rate_);
    }
    int16_t Step(int16_t s) {
        auto out = [](float x) { return test::Clamp16(std::trunc(x * 32767.0 + 0.5)); };
        if (gain_ == 0) return 0;
        if (low_ == 0 && mid_ == 0 && high_ == 0 && cutoff_ == 0) {
            if (gain_ == 1.0f) return s;
            return out(static_cast<float>(s * gain_ / 32767.0));
        }
        float x = s * static_cast<float>(gain_ / 32767.0);
        if (low_ != 0) x = lowShelf_.Step(x);
        if (mid_ != 0) x = peak_.Step(x);
        if (high_ != 0) x = highShelf_.Step(x);
        if (cutoff_ != 0) x = lowPass_.Step(x);
        return out(x);
    }

private:
    int rate_;
    float gain_ = 1, low_ = 0, mid_ = 0, high_ = 0;
    int cutoff_ = 0;
    test::RefBiquad lowShelf_, peak_, highShelf_, lowPass_;
};

void Apply(IAudioIO* tone, const ToneSettings& s) {
    ASSERT_EQ(tone->SetProperty("Gain", s.gainPercent, nullptr), 0);
    ASSERT_EQ(tone->SetProperty("LowGain", s.lowCentiDb, nullptr), 0);
    ASSERT_EQ(tone->SetProperty("MidGain", s.midCentiDb, nullptr), 0);
    ASSERT_EQ(tone->SetProperty("HighGain", s.highCentiDb, nullptr), 0);
    ASSERT_EQ(tone->SetProperty("LowPassCutOff", s.cutoffHz, nullptr), 0);
}

TEST(ToneControl, EqualsItsDefinitionAcrossBlocksAndSettingChangesWhileRunning) {
    // Each second a new setting; a band that goes to 0 dB is skipped and later resumes from
    // the state it had.
    const ToneSettings script[] = {
        {100, 600, 0, -300, 0}, {80, 600, 450, -300, 3400}, {120, 0, 450, 0, 3400},
        {100, -900, 0, 0, 0},   {50, 0, 0, 0, 0},           {100, 1200, -1200, 800, 6000},
    };
    for (int rate : {16000, 32000}) {
        const std::vector<int16_t> in = test::TestSignal(rate, 6.0, 5);
        for (int32_t fixedBytes : {rate * 2, rate / 50 * 2, 0}) {
            SCOPED_TRACE(testing::Message() << "rate " << rate << " block " << fixedBytes);
            ComponentPtr tone = Make("ToneControlAudioFilter");
            ASSERT_EQ(tone->SetProperty("SamplesPerSec", rate, nullptr), 0);
            Apply(tone.get(), script[0]);
            ASSERT_EQ(tone->Build(), 0);
            ReferenceTone reference(rate);
            reference.Apply(script[0]);
            std::vector<int16_t> out(in.size());
            std::size_t at = 0;
            for (int second = 0; second < 6; ++second) {
                if (second > 0) {
                    Apply(tone.get(), script[second]);
                    reference.Apply(script[second]);
                }
                const std::size_t end = at + static_cast<std::size_t>(rate);
                for (int32_t bytes : test::BlockPlan(rate * 2, fixedBytes, 17 + second)) {
                    int32_t inBytes = bytes, outBytes = bytes;
                    // In place: the block is copied to the output first.
                    std::copy(in.begin() + at, in.begin() + at + bytes / 2, out.begin() + at);
                    ASSERT_EQ(tone->Process(&out[at], &inBytes, &out[at], &outBytes), 0);
                    ASSERT_EQ(outBytes, bytes);
                    at += bytes / 2;
                }
                for (std::size_t n = end - rate; n < end; ++n) {
                    ASSERT_EQ(out[n], reference.Step(in[n])) << "sample " << n;
                }
            }
        }
    }
}

TEST(ToneControl, FlatSettingsCopyOrScaleAndNeedNoBuild) {
    ComponentPtr tone = Make("ToneControlAudioFilter");
    const std::vector<int16_t> in = test::TestSignal(16000, 1.0, 1);
    std::vector<int16_t> out(in.size(), 1);
    int32_t inBytes = static_cast<int32_t>(in.size() * 2), outBytes = inBytes;
    ASSERT_EQ(tone->Process(in.data(), &inBytes, out.data(), &outBytes), 0);
    EXPECT_EQ(out, in);

    ASSERT_EQ(tone->SetProperty("Gain", 0, nullptr), 0);
    ASSERT_EQ(tone->Process(in.data(), &inBytes, out.data(), &outBytes), 0);
    EXPECT_EQ(out, std::vector<int16_t>(in.size(), 0));

    ASSERT_EQ(tone->SetProperty("Gain", 50, nullptr), 0);
    const int16_t samples[] = {1000, -1000, 32767, -32768};
    int16_t halved[4];
    inBytes = outBytes = 8;
    ASSERT_EQ(tone->Process(samples, &inBytes, halved, &outBytes), 0);
    EXPECT_EQ(halved[0], 500);
    EXPECT_EQ(halved[1], -499);
    EXPECT_EQ(halved[2], 16384);
    EXPECT_EQ(halved[3], -16383);

    // Filtering needs the sections: before Build it is refused, not guessed.
    ASSERT_EQ(tone->SetProperty("MidGain", 300, nullptr), 0);
    EXPECT_EQ(tone->Process(samples, &inBytes, halved, &outBytes), ZELMAR_E_STATE);
    EXPECT_EQ(tone->Build(), ZELMAR_E_INVALIDARG);  // no rate
    ASSERT_EQ(tone->SetProperty("SamplesPerSec", 16000, nullptr), 0);
    ASSERT_EQ(tone->Build(), 0);
    EXPECT_EQ(tone->SetProperty("SamplesPerSec", 8000, nullptr), ZELMAR_E_STATE);  // frozen once built
}

}  // namespace
}  // namespace zelmar
