// "PreProcessAudioFilter": the dynamics paths against straight computations, the gates with
// fade-out and the pre-roll protocol, with and without the companion library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "dsp/blocks/Limiter.h"
#include "framework/Result.h"
#include "support/AllocationCounter.h"
#include "support/Companion.h"
#include "support/DspReference.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::Tone;

// Every 16-bit value, then a ramp: covers both conversion directions and saturation.
std::vector<int16_t> AllValues() {
    std::vector<int16_t> s(65536);
    for (int i = 0; i < 65536; ++i) s[size_t(i)] = static_cast<int16_t>(i - 32768);
    return s;
}

struct Fixture {
    // The library is registered before the filter exists: its wrappers load when it is made.
    explicit Fixture(bool withCompanion, int rate = 32000)
        : registered(withCompanion && test::RegisterRealCompanion(platform.libraries)),
          filter(test::Running("PreProcessAudioFilter", {{"SamplesPerSec", rate}}, false)) {
        EXPECT_EQ(registered, withCompanion);
    }
    void Begin() {
        ASSERT_EQ(filter->Build(), kOk);
        ASSERT_EQ(filter->Start(), kOk);
    }
    int32_t Call(const std::vector<int16_t>& in, std::vector<int16_t>& out, int32_t* inBytes) {
        *inBytes = int32_t(in.size() * 2);
        int32_t outBytes = int32_t(out.size() * 2);
        return filter->Process(in.data(), inBytes, out.data(), &outBytes);
    }
    std::vector<int16_t> RunBlocks(const std::vector<int16_t>& input, size_t block) {
        std::vector<int16_t> output, in(block), out(block);
        for (size_t s = 0; s + block <= input.size(); s += block) {
            std::copy(input.begin() + long(s), input.begin() + long(s + block), in.begin());
            int32_t inBytes;
            lastLevel = Call(in, out, &inBytes);
            EXPECT_GE(lastLevel, 0);
            EXPECT_EQ(inBytes, 0);
            output.insert(output.end(), out.begin(), out.end());
        }
        return output;
    }
    void SetFloat(const char* name, float v) { ASSERT_EQ(filter->SetProperty(name, 0, &v), kOk); }
    void Set(const test::Settings& settings) {
        for (const auto& [name, value] : settings) EXPECT_EQ(filter->SetProperty(name, value, nullptr), kOk) << name;
    }

    test::VirtualPlatform platform;
    bool registered;
    test::ComponentPtr filter;
    int32_t lastLevel = -1;  // what the last block of RunBlocks returned
};

// Every 16-bit value through the plain paths: with the companion's conversions (x 2^-15 and
// back, rounded) the defaults return every value and report the block's peak; with the
// component's own (s / 32767 and back adding 0.5 before truncating) negative samples come back
// one step nearer zero and the component measures the peak itself; Gain 200 with Ratio 0
// doubles and saturates.
TEST(PreProcess, DefaultsAndPlainGainThroughEitherConversion) {
    const auto input = AllValues();
    struct Case {
        bool companion;
        int32_t gainPercent;
        float ratio;
        int32_t level;
        int (*expected)(int s);
    };
    const Case cases[] = {{true, 100, 1.0f, 32767, [](int s) { return s; }},
                          {false, 100, 1.0f, 32767, [](int s) { return s < 0 ? s + 1 : s; }},
                          {true, 200, 0.0f, 32767, [](int s) { return std::clamp(2 * s, -32768, 32767); }},
                          // The engine's own conversion saturates at 16 bits too.
                          {false, 200, 0.0f, 32767, [](int s) { return std::clamp(2 * s + (s < 0 ? 1 : 0), -32768, 32767); }}};
    for (const Case& c : cases) {
        Fixture fx(c.companion);
        fx.filter->SetProperty("Gain", c.gainPercent, nullptr);
        fx.SetFloat("Ratio", c.ratio);
        fx.Begin();
        std::vector<int16_t> out(input.size());
        int32_t inBytes;
        EXPECT_EQ(fx.Call(input, out, &inBytes), c.level);
        EXPECT_EQ(inBytes, 0);
        for (size_t i = 0; i < input.size(); ++i) ASSERT_EQ(out[i], c.expected(input[i])) << c.gainPercent << " " << input[i];
    }
}

TEST(PreProcess, LimiterPathIsTheGainedInputThroughTheLookAheadLimiter) {
    const auto input = Tone(32000, 30000, 97, 32000);
    for (bool attackSet : {true, false}) {  // with attack and release set, or the limiter's own
        Fixture fx(true);
        if (attackSet) fx.Set({{"AttackTime", 2}, {"ReleaseTime", 100}});
        fx.filter->SetProperty("Gain", 150, nullptr);
        fx.SetFloat("Ratio", 0.0f);
        fx.SetFloat("Threshold", -6.0f);
        fx.Begin();
        const auto out = fx.RunBlocks(input, 320);
        // A straight computation with a limiter of its own.
        CLimiter reference;
        reference.SetSampleRate(32000);
        reference.SetThreshold(-6.0f);
        if (attackSet) reference.SetAttackTime(2.0f), reference.SetReleaseTime(100.0f);
        reference.Reset();
        for (size_t i = 0; i < out.size(); ++i) {
            const float y = reference.ProcessSample(1.5f * (input[i] / 32768.0f));
            const int expected = std::clamp(int(std::nearbyint(y * 32768.0f)), -32768, 32767);
            ASSERT_EQ(out[i], expected) << i;
        }
    }
}

// The compressor and the expander, with and without the automatic gain feeding them, sample
// for sample against a straight computation of the chain's definition.  The gate is off and
// VADType is one the detector does not know, so every frame counts as silent for the gain
// control: the gain then only falls, whenever a frame's peak times the gain exceeds the
// target, and the smoothed gain moves on every sample.  Blocks of 400 samples at 16 kHz hold two 10 ms frames and 80
// samples that are never analysed (the frame counter restarts with every block).
TEST(PreProcess, CompressorAndExpanderWithAndWithoutAutomaticGainMatchTheDefinition) {
    const int rate = 16000;
    const size_t block = 400, frameLen = 160;
    std::vector<int16_t> input;
    const double amplitudes[] = {24000, 3000, 32000, 800, 16000, 20000};
    for (double amplitude : amplitudes) {
        const auto burst = Tone(8000, amplitude, 330, rate, input.size());
        input.insert(input.end(), burst.begin(), burst.end());
    }
    for (const auto& [autoGain, exRatio] : {std::pair{true, 0.0f}, {true, 2.0f}, {false, 0.0f}, {false, 2.0f}}) {
        Fixture fx(true, rate);
        fx.Set({{"AutoGain", autoGain ? 1 : 0}, {"AGCPeak", 30}, {"VADType", 9}, {"Gain", 150}, {"AttackTime", 5},
                {"ReleaseTime", 50}, {"DelayTime", 2}});
        fx.SetFloat("Threshold", -12.0f);
        fx.SetFloat("Ratio", 0.5f);
        fx.SetFloat("ExRatio", exRatio);
        fx.Begin();
        const auto out = fx.RunBlocks(input, block);
        ASSERT_EQ(out.size(), input.size());

        auto dbToLinear = [](float db) { return std::pow(10.0f, db / 20.0f); };
        const float threshold = -12.0f, ratio = 0.5f, floorDb = -35.0f;  // the floor of every block
        std::vector<float> xs, ys;
        if (exRatio == 0.0f) {
            xs = {0.0f, dbToLinear(threshold), 1.0f};
            ys = {0.0f, dbToLinear(threshold), dbToLinear(threshold * (1.0f - ratio))};
        } else {
            const float turn = floorDb + (threshold - floorDb) * 0.25f;
            xs = {0.0f, dbToLinear(floorDb), dbToLinear(turn), dbToLinear(threshold), 1.0f};
            ys = {0.0f, dbToLinear(floorDb), dbToLinear(threshold + (turn - threshold) * exRatio),
                  dbToLinear(threshold), dbToLinear(threshold * (1.0f - ratio))};
        }
        const float attack = float(1.0 - std::exp(-1.0 / (rate * 5 / 1000)));
        const float release = float(1.0 - std::exp(-1.0 / (rate * 50 / 1000)));
        const float smoothing = float(std::exp(-1000.0 / (double(5 * 10.0f) * rate)));
        const size_t delay = rate * 2 / 1000;
        float agcGain = 1.0f, target = 1.0f, current = 1.0f, envelope = 0.0f;
        std::vector<float> line(delay, 0.0f);
        size_t lineIndex = 0, falls = 0;
        for (size_t i = 0; i < input.size(); ++i) {
            const size_t inBlock = i % block;
            if (autoGain && (inBlock + 1) % frameLen == 0) {
                int peak = 0;
                for (size_t j = i + 1 - frameLen; j <= i; ++j) peak = std::max(peak, std::abs(int(input[j])));
                const float p = float(peak) / 32767.0f;
                if (p * agcGain > 0.3f) {
                    agcGain += (0.3f / p - agcGain) * (agcGain >= 1.0f ? 0.05f : 0.01f);
                    ++falls;
                }
                agcGain = std::clamp(agcGain, 0.5f, 3.0f);
                target = agcGain;
            }
            current = (current - target) * smoothing + target;
            const float scaled = current * 1.5f * (float(input[i]) / 32768.0f);
            const float magnitude = std::fabs(scaled);
            envelope += (magnitude - envelope) * (magnitude > envelope ? attack : release);
            const float delayed = line[lineIndex];
            line[lineIndex] = scaled;
            lineIndex = (lineIndex + 1) % delay;
            size_t k = 1;
            while (k < xs.size() - 1 && envelope >= xs[k]) ++k;
            const float level = (envelope - xs[k - 1]) * (ys[k] - ys[k - 1]) / (xs[k] - xs[k - 1]) + ys[k - 1];
            const float y = envelope < 1.1920929e-07f ? 0.0f : delayed * level / envelope;
            const int expected = int(std::clamp(std::nearbyint(y * 32768.0f), -32768.0f, 32767.0f));
            ASSERT_EQ(out[i], expected) << "auto gain " << autoGain << " exRatio " << exRatio << " sample " << i;
        }
        if (autoGain) {
            EXPECT_GT(falls, 50u);  // the gain did move
            EXPECT_LT(agcGain, 0.6f);
        }
        float floorRead = 0;
        fx.filter->GetProperty("Floor", 0, &floorRead);
        EXPECT_EQ(floorRead, floorDb);  // a "Floor" setting lasts one block
    }
}

// A 16 kHz capture with the manual gate: tone, near-silence, tone, in 10 ms blocks.
TEST(PreProcess, ManualGateFadesMutesAndPlaysThePreRollFirst) {
    const int rate = 16000;
    Fixture fx(true, rate);
    fx.Set({{"GateThreshold", 26}, {"GateTime", 100}, {"FadeoutTime", 55}});  // about 0.1 of full scale
    fx.Begin();

    const size_t block = 160;
    std::vector<int16_t> in(block), out(block);
    int32_t inBytes;
    // Speech-like tone: passes unchanged.
    for (int b = 0; b < 20; ++b) {
        in = Tone(block, 12000, 300, rate, size_t(b) * block);
        EXPECT_EQ(fx.Call(in, out, &inBytes), 12000);
        EXPECT_EQ(out, in);
    }
    // Quiet: 10 frames within GateTime pass, then 5.5 blocks fade over 55 ms (880 samples), the
    // rest of the last one silent, ending with level 1; then muted blocks return 0 without writing.
    std::vector<int32_t> levels;
    std::vector<std::vector<int16_t>> quietBlocks;
    for (int b = 0; b < 40; ++b) {
        in.assign(block, 0);
        for (size_t i = 0; i < block; ++i) in[i] = int16_t((b * 31 + i * 7) % 201 - 100);
        quietBlocks.push_back(in);
        std::fill(out.begin(), out.end(), int16_t(12345));
        levels.push_back(fx.Call(in, out, &inBytes));
        EXPECT_EQ(inBytes, 0);
        if (b < 10) {
            EXPECT_EQ(out, in) << b;
        }
        if (b >= 10 && b < 16) {
            // Linear fade: sample k of the fade is scaled by (880 - k) / 880, then 0.
            for (size_t i = 0; i < block; ++i) {
                const double k = double((b - 10) * block + i);
                ASSERT_NEAR(out[i], std::nearbyint(in[i] * std::max(0.0, 880.0 - k) / 880.0), 1.0) << b << "," << i;
            }
        }
        if (b >= 16) {
            EXPECT_EQ(out[0], 12345) << "muted output is left untouched";
        }
    }
    EXPECT_EQ(levels[15], 1);
    EXPECT_EQ(levels[16], 0);
    EXPECT_EQ(levels[39], 0);

    // Speech returns: the first call plays the oldest of the 40 ms pre-roll and keeps the block
    // (*inBytes unchanged); repeating the block drains the ring, the last call consumes it.
    in = Tone(block, 12000, 300, rate);
    std::vector<int16_t> played;
    int calls = 0;
    for (;;) {
        const int32_t level = fx.Call(in, out, &inBytes);
        ++calls;
        EXPECT_GE(level, 2);
        played.insert(played.end(), out.begin(), out.end());
        if (inBytes == 0) break;
        EXPECT_EQ(inBytes, int32_t(block * 2));
        ASSERT_LT(calls, 10);
    }
    EXPECT_EQ(calls, 5);  // 640 samples of pre-roll + the block, 160 at a time
    std::vector<int16_t> expected;
    for (int b = 36; b < 40; ++b) expected.insert(expected.end(), quietBlocks[size_t(b)].begin(), quietBlocks[size_t(b)].end());
    expected.insert(expected.end(), in.begin(), in.end());
    EXPECT_EQ(played, expected);
    // Afterwards blocks pass straight through again.
    in = Tone(block, 12000, 300, rate, block);
    EXPECT_EQ(fx.Call(in, out, &inBytes), 12000);
    EXPECT_EQ(inBytes, 0);
    EXPECT_EQ(out, in);
}

// Blocks shorter than a frame are never analysed, so the gate mutes even speech; with
// FadeoutTime 0 it never fades or mutes; without the companion no voice is heard (VADType 1).
TEST(PreProcess, AutoGateEdgeCases) {
    const int rate = 16000;
    const auto loud = Tone(rate * 3, 16000, 200, rate);
    const std::vector<int16_t> quiet(size_t(rate) * 2, 3);
    struct Row {
        bool companion, loud;
        std::vector<std::pair<const char*, int32_t>> settings;
        size_t block;
        bool passes;
    };
    const Row rows[] = {{true, true, {{"Auto", 1}, {"FadeoutTime", 100}}, 80, false},
                        {true, false, {{"Auto", 1}, {"FadeoutTime", 0}}, 160, true},
                        {false, true, {{"Auto", 1}, {"VADType", 1}, {"FadeoutTime", 100}}, 160, false}};
    for (const Row& row : rows) {
        Fixture fx(row.companion, rate);
        fx.Set(row.settings);
        fx.Begin();
        const auto& in = row.loud ? loud : quiet;
        const auto out = fx.RunBlocks(in, row.block);
        if (row.passes) EXPECT_EQ(out, in);
        else EXPECT_EQ(fx.lastLevel, 0) << row.block << " " << row.companion;
    }
    // The level gate opens on a loud tone after quiet and reports it through GateThreshold.
    Fixture fx(true, rate);
    fx.Set({{"GateThreshold", -1}, {"FadeoutTime", 0}});
    fx.Begin();
    fx.RunBlocks(std::vector<int16_t>(size_t(rate), 0), 160);
    int32_t state = 0;
    fx.filter->GetProperty("GateThreshold", 0, &state);
    EXPECT_EQ(state, -1);
    fx.RunBlocks(std::vector<int16_t>(loud.begin(), loud.begin() + 1600), 160);
    fx.filter->GetProperty("GateThreshold", 0, &state);
    EXPECT_EQ(state, 0);
}

TEST(PreProcess, FiltersRunThroughTheCompanionAndOnlyWhileTheirCutoffIsSet) {
    const int rate = 16000;
    const auto input = Tone(size_t(rate), 10000, 3000, rate);
    Fixture fx(true, rate);
    fx.filter->SetProperty("LoPassCutOff", 500, nullptr);
    fx.Begin();
    auto out = fx.RunBlocks(input, 160);
    int32_t peak = 0;
    for (size_t i = size_t(rate) / 2; i < out.size(); ++i) peak = std::max(peak, std::abs(int32_t{out[i]}));
    // First-order Butterworth at 500 Hz: 3 kHz is about -16.4 dB (tangent-warped).
    const double expectedDb = -10 * std::log10(1 + std::pow(std::tan(M_PI * 3000 / rate) / std::tan(M_PI * 500 / rate), 2));
    EXPECT_NEAR(20 * std::log10(peak / 10000.0), expectedDb, 0.3);
    fx.filter->SetProperty("LoPassCutOff", 0, nullptr);  // off again
    EXPECT_EQ(fx.RunBlocks(input, 160), input);
}

TEST(PreProcess, NoAllocationPerBlockOnceTheLargestBlockWasSeen) {
    Fixture fx(true, 32000);
    fx.Set({{"Auto", 1}, {"VADType", 2}, {"EnableNS", 1}, {"AutoGain", 1}, {"HiPassCutOff", 100}, {"LoPassCutOff2", 3000}});
    fx.SetFloat("Threshold", -10.0f);
    fx.SetFloat("Ratio", 0.5f);
    fx.SetFloat("ExRatio", 2.0f);
    fx.Begin();
    const auto speechLike = Tone(32000 * 4, 12000, 180, 32000);
    std::vector<int16_t> out(1000);
    auto run = [&](size_t from, size_t to) {
        for (size_t s = from, k = 0; s < to; ++k) {
            // The first block is the largest; the others vary below it.
            const size_t n = std::min<size_t>({k == 0 ? 1000 : 200 + k * 37 % 800, to - s});
            int32_t inBytes = int32_t(n * 2), outBytes = 2000;
            fx.filter->Process(speechLike.data() + s, &inBytes, out.data(), &outBytes);
            if (inBytes == 0) s += n;
        }
    };
    run(0, 32000);
    test::ScopedAllocationCount count;
    run(32000, speechLike.size());
    EXPECT_EQ(count.count(), 0u);
}

}  // namespace
}  // namespace zelmar
