// "PreProcessAudioFilter": properties, lifecycle, the dynamics paths against straight
// computations, the gates with fade-out and the pre-roll protocol, with and without the
// companion library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/blocks/Limiter.h"
#include "dsp/PreProcessAudioFilter.h"
#include "support/AllocationCounter.h"
#include "support/Companion.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using P = CPreProcessAudioFilter;

std::vector<int16_t> Tone(size_t count, double amplitude, double hz, int rate, size_t phase = 0) {
    std::vector<int16_t> s(count);
    for (size_t i = 0; i < count; ++i) {
        s[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * double(i + phase) / rate)));
    }
    return s;
}

// Every 16-bit value, then a ramp: covers both conversion directions and saturation.
std::vector<int16_t> AllValues() {
    std::vector<int16_t> s(65536);
    for (int i = 0; i < 65536; ++i) s[size_t(i)] = static_cast<int16_t>(i - 32768);
    return s;
}

struct Fixture {
    // The library is registered before the filter exists: its wrappers load when it is made.
    explicit Fixture(bool withCompanion, int rate = 32000)
        : registered(withCompanion && test::RegisterRealCompanion(platform.libraries)) {
        EXPECT_EQ(registered, withCompanion);
        filter.SetProperty("SamplesPerSec", rate, nullptr);
    }
    void Begin() {
        ASSERT_EQ(filter.Build(), kOk);
        ASSERT_EQ(filter.Start(), kOk);
    }
    int32_t Call(const std::vector<int16_t>& in, std::vector<int16_t>& out, int32_t* inBytes) {
        *inBytes = int32_t(in.size() * 2);
        int32_t outBytes = int32_t(out.size() * 2);
        return filter.Process(in.data(), inBytes, out.data(), &outBytes);
    }
    std::vector<int16_t> RunBlocks(const std::vector<int16_t>& input, size_t block) {
        std::vector<int16_t> output, in(block), out(block);
        for (size_t s = 0; s + block <= input.size(); s += block) {
            std::copy(input.begin() + long(s), input.begin() + long(s + block), in.begin());
            int32_t inBytes;
            EXPECT_GE(Call(in, out, &inBytes), 0);
            EXPECT_EQ(inBytes, 0);
            output.insert(output.end(), out.begin(), out.end());
        }
        return output;
    }
    void SetFloat(const char* name, float v) { ASSERT_EQ(filter.SetProperty(name, 0, &v), kOk); }

    test::VirtualPlatform platform;
    bool registered;
    CPreProcessAudioFilter filter;
};

TEST(PreProcess, PropertyTableLookupAndAccess) {
    test::VirtualPlatform platform;
    P f;
    const char* names[] = {"Gain", "AutoGain", "Threshold", "Ratio", "ExRatio", "Floor", "SamplesPerSec",
                           "AttackTime", "ReleaseTime", "DelayTime", "MaxLevel", "HiPassCutOff", "HiPassCutOff2",
                           "LoPassCutOff", "LoPassCutOff2", "GateThreshold", "GateTime", "Auto", "FadeoutTime",
                           "AGCPeak", "AGCGainLimit", "AGCGainLimit2", "AGCUpSpeed", "AntiClipping", "NSFactor",
                           "EnableNS", "VADType", "NGParam", "NGParam2", "TotalIn", "TotalOut"};
    for (int i = 0; i < 31; ++i) EXPECT_EQ(f.FindProperty(names[i]), i) << names[i];
    EXPECT_EQ(f.FindProperty("gain"), 31);  // case matters
    EXPECT_EQ(f.FindProperty(nullptr), 31);

    int32_t v = 0;
    for (const char* readOnly : {"MaxLevel", "TotalIn", "TotalOut", "Bogus"}) {
        EXPECT_EQ(f.SetProperty(readOnly, 1, nullptr), kErrState) << readOnly;
    }
    EXPECT_EQ(f.SetProperty(nullptr, 1, nullptr), kErrState);
    for (const char* writeOnly : {"AutoGain", "Auto", "AGCPeak", "AGCGainLimit", "AGCGainLimit2", "AGCUpSpeed",
                                  "AntiClipping", "NSFactor", "EnableNS", "VADType", "NGParam", "NGParam2"}) {
        EXPECT_EQ(f.GetProperty(writeOnly, 0, &v), kErrState) << writeOnly;
    }
    EXPECT_EQ(f.GetProperty("Gain", 0, nullptr), kErrInvalidArg);
    EXPECT_EQ(f.GetProperty(nullptr, 0, &v), kErrState);

    // Floats travel through `data` and come back as their bit pattern.
    EXPECT_EQ(f.SetProperty("Threshold", 0, nullptr), kErrInvalidArg);
    float minus20 = -20.0f, read = 0;
    EXPECT_EQ(f.SetProperty("Threshold", 0, &minus20), kOk);
    EXPECT_EQ(f.GetProperty("Threshold", 0, &read), kOk);
    EXPECT_EQ(read, -20.0f);
    // Not a number and the infinities are no level or ratio: refused, the setting kept.
    for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
        for (const char* name : {"Threshold", "Ratio", "ExRatio", "Floor"}) {
            EXPECT_EQ(f.SetProperty(name, 0, &bad), kErrInvalidArg) << name;
        }
    }
    EXPECT_EQ(f.GetProperty("Threshold", 0, &read), kOk);
    EXPECT_EQ(read, -20.0f);
    for (const char* positive : {"AttackTime", "ReleaseTime", "GateTime"}) {
        EXPECT_EQ(f.SetProperty(positive, 0, nullptr), kErrInvalidArg) << positive;
    }
    for (const char* nonNegative : {"DelayTime", "FadeoutTime", "AntiClipping"}) {
        EXPECT_EQ(f.SetProperty(nonNegative, -1, nullptr), kErrInvalidArg) << nonNegative;
        EXPECT_EQ(f.SetProperty(nonNegative, 0, nullptr), kOk) << nonNegative;
    }
    EXPECT_EQ(f.SetProperty("NGParam", 5, nullptr), kOk);
    EXPECT_EQ(f.SetProperty("NGParam", 1000, nullptr), kOk);
    EXPECT_EQ(f.GetProperty("HiPassCutOff2", 0, &v), kOk);
    EXPECT_EQ(v, 50);

    // The manual gate threshold in 1/255 steps; the previous value comes back through data.
    int32_t previous = 77;
    EXPECT_EQ(f.SetProperty("GateThreshold", 128, &previous), kOk);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(f.GetProperty("GateThreshold", 0, &v), kOk);
    EXPECT_EQ(v, 128);
    EXPECT_EQ(f.SetProperty("GateThreshold", 300, &previous), kOk);
    EXPECT_EQ(previous, 128);
    EXPECT_EQ(f.GetProperty("GateThreshold", 0, &v), kOk);
    EXPECT_EQ(v, 255);  // at most 255
    // Negative: automatic gate, reported -1 while closed.
    EXPECT_EQ(f.SetProperty("GateThreshold", -1, nullptr), kOk);
    EXPECT_EQ(f.GetProperty("GateThreshold", 0, &v), kOk);
    EXPECT_EQ(v, -1);
    int32_t oldGateTime = 0;
    EXPECT_EQ(f.SetProperty("GateTime", 300, &oldGateTime), kOk);
    EXPECT_EQ(oldGateTime, 1000);
}

TEST(PreProcess, LifecycleAndArgumentChecks) {
    test::VirtualPlatform platform;
    P f;
    std::vector<int16_t> buffer(320);
    int32_t inBytes = 640, outBytes = 640;
    EXPECT_EQ(f.Process(buffer.data(), &inBytes, buffer.data(), &outBytes), kErrState);
    EXPECT_EQ(f.Start(), kErrState);
    EXPECT_EQ(f.Stop(), kErrState);
    EXPECT_EQ(f.GetData(buffer.data(), 640), kErrNotImpl);
    EXPECT_EQ(f.PutData(buffer.data(), 640), kErrNotImpl);
    EXPECT_EQ(f.Build(), kOk);
    EXPECT_EQ(f.Start(), kOk);
    EXPECT_EQ(f.Start(), kErrState);
    // An empty block as the very first one: nothing is moved (no buffer has been sized yet).
    int32_t noBytes = 0, room = 0;
    EXPECT_EQ(f.Process(buffer.data(), &noBytes, buffer.data(), &room), 0);
    EXPECT_EQ(noBytes, 0);
    EXPECT_EQ(f.Process(nullptr, &inBytes, buffer.data(), &outBytes), kErrInvalidArg);
    EXPECT_EQ(f.Process(buffer.data(), nullptr, buffer.data(), &outBytes), kErrInvalidArg);
    EXPECT_EQ(f.Process(buffer.data(), &inBytes, nullptr, &outBytes), kErrInvalidArg);
    EXPECT_EQ(f.Process(buffer.data(), &inBytes, buffer.data(), nullptr), kErrInvalidArg);
    outBytes = 638;
    EXPECT_EQ(f.Process(buffer.data(), &inBytes, buffer.data(), &outBytes), kErrInvalidArg);
    inBytes = -2;
    EXPECT_EQ(f.Process(buffer.data(), &inBytes, buffer.data(), &outBytes), kErrInvalidArg);
    EXPECT_EQ(f.Stop(), kOk);
    EXPECT_EQ(f.Stop(), kErrState);
    // A rate the 10 ms frames and the ring cannot be sized for is refused at Start.
    EXPECT_EQ(f.SetProperty("SamplesPerSec", -8000, nullptr), kOk);
    EXPECT_EQ(f.Start(), kErrInvalidArg);
}

TEST(PreProcess, DefaultsPassTheInputThroughTheConversions) {
    const auto input = AllValues();
    {
        // The companion's conversions (x 2^-15 and back, rounded) return every value.
        Fixture fx(true);
        fx.Begin();
        std::vector<int16_t> out(input.size());
        int32_t inBytes;
        EXPECT_EQ(fx.Call(input, out, &inBytes), 32767);  // the block's peak
        EXPECT_EQ(inBytes, 0);
        EXPECT_EQ(out, input);
    }
    {
        // Without it: s / 32767 and back adding 0.5 before truncating, so negative samples come
        // back one step nearer zero; the peak is measured by the component itself.
        Fixture fx(false);
        fx.Begin();
        std::vector<int16_t> out(input.size());
        int32_t inBytes;
        EXPECT_EQ(fx.Call(input, out, &inBytes), 32767);
        for (size_t i = 0; i < input.size(); ++i) {
            const int expected = input[i] < 0 ? input[i] + 1 : input[i];
            ASSERT_EQ(out[i], expected) << input[i];
        }
        EXPECT_FALSE(fx.filter.CompanionLoaded());
    }
}

// A finite threshold far beyond full scale makes the curve infinity over infinity: the
// output is silence with either set of conversions, never an undefined conversion (the
// sanitizer build checks that).
TEST(PreProcess, ADegenerateCurveGivesSilence) {
    for (bool withCompanion : {true, false}) {
        Fixture fx(withCompanion, 16000);
        fx.SetFloat("Threshold", 1000.0f);
        fx.SetFloat("Ratio", 0.5f);
        fx.Begin();
        std::vector<int16_t> input(3200);
        for (size_t i = 0; i < input.size(); ++i) input[i] = int16_t(10000 * std::sin(0.03 * double(i)));
        const auto out = fx.RunBlocks(input, 160);
        ASSERT_EQ(out.size(), input.size());
        for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << withCompanion << " sample " << i;
    }
}

TEST(PreProcess, GainWithRatioZeroScalesAndSaturates) {
    Fixture fx(true);
    fx.filter.SetProperty("Gain", 200, nullptr);
    fx.SetFloat("Ratio", 0.0f);
    fx.Begin();
    const auto input = AllValues();
    std::vector<int16_t> out(input.size());
    int32_t inBytes;
    fx.Call(input, out, &inBytes);
    for (size_t i = 0; i < input.size(); ++i) ASSERT_EQ(out[i], std::clamp(2 * input[i], -32768, 32767));
}

TEST(PreProcess, LimiterPathIsTheGainedInputThroughTheLookAheadLimiter) {
    const auto input = Tone(32000, 30000, 97, 32000);
    for (bool attackSet : {true, false}) {
        Fixture fx(true);
        if (attackSet) fx.filter.SetProperty("AttackTime", 2, nullptr);
        fx.filter.SetProperty("Gain", 150, nullptr);
        fx.SetFloat("Ratio", 0.0f);
        fx.SetFloat("Threshold", -6.0f);
        fx.Begin();
        const auto out = fx.RunBlocks(input, 320);
        // A straight computation with a limiter of its own.
        CLimiter reference;
        reference.SetSampleRate(32000);
        reference.SetThreshold(-6.0f);
        if (attackSet) reference.SetAttackTime(2.0f);
        reference.Reset();
        for (size_t i = 0; i < out.size(); ++i) {
            const float y = reference.ProcessSample(1.5f * (input[i] / 32768.0f));
            const int expected = std::clamp(int(std::nearbyint(y * 32768.0f)), -32768, 32767);
            ASSERT_EQ(out[i], expected) << i;
        }
        if (attackSet) {
            for (size_t i = 0; i < 64; ++i) EXPECT_EQ(out[i], 0);  // the look-ahead delay
        } else {
            EXPECT_EQ(out[100], std::clamp(int(std::nearbyint(1.5 * input[100])), -32768, 32767));
        }
    }
}

// The compressor curve as a straight computation of its definition (3-point curve).
TEST(PreProcess, CompressorFollowsItsCurveWithAttackReleaseAndDelay) {
    const int rate = 16000;
    std::vector<int16_t> input;
    for (int burst = 0; burst < 4; ++burst) {
        const auto loud = Tone(8000, 30000, 440, rate, input.size());
        input.insert(input.end(), loud.begin(), loud.end());
        const auto quiet = Tone(8000, 1000, 440, rate, input.size());
        input.insert(input.end(), quiet.begin(), quiet.end());
    }
    Fixture fx(true, rate);
    fx.SetFloat("Threshold", -20.0f);
    fx.SetFloat("Ratio", 0.5f);
    fx.filter.SetProperty("Gain", 120, nullptr);
    fx.filter.SetProperty("AttackTime", 5, nullptr);
    fx.filter.SetProperty("ReleaseTime", 50, nullptr);
    fx.filter.SetProperty("DelayTime", 3, nullptr);
    fx.Begin();
    const auto out = fx.RunBlocks(input, 160);

    const float g = 1.2f;
    const float attack = float(1.0 - std::exp(-1.0 / (rate * 5 / 1000)));
    const float release = float(1.0 - std::exp(-1.0 / (rate * 50 / 1000)));
    const float knee = std::pow(10.0f, -20.0f / 20.0f);
    const float top = std::pow(10.0f, -20.0f * (1.0f - 0.5f) / 20.0f);
    const size_t delay = rate * 3 / 1000;
    float envelope = 0;
    std::vector<float> scaled(input.size());
    for (size_t i = 0; i < input.size(); ++i) {
        scaled[i] = g * (input[i] / 32768.0f);
        const float magnitude = std::fabs(scaled[i]);
        envelope += (magnitude - envelope) * (magnitude > envelope ? attack : release);
        const float level = envelope < knee ? envelope : (envelope - knee) * (top - knee) / (1.0f - knee) + knee;
        const float delayed = i >= delay ? scaled[i - delay] : 0.0f;
        const float y = envelope < 1.1920929e-07f ? 0.0f : delayed * level / envelope;
        const int expected = std::clamp(int(std::nearbyint(y * 32768.0f)), -32768, 32767);
        ASSERT_NEAR(out[i], expected, 1) << i;  // float association may differ by one step
    }
    // A steady loud tone settles near the curve: -20 dB knee, ratio 0.5 above it.
    float read = 0;
    fx.filter.GetProperty("Floor", 0, &read);
    EXPECT_EQ(read, -35.0f);  // the floor setting lasts one block
}

// The automatic gain feeding the compressor and the expander, sample for sample against a
// straight computation of the chain's definition.  The gate is off and VADType is one the
// detector does not know, so every frame counts as silent for the gain control: the gain then
// only falls, whenever a frame's peak times the gain exceeds the target, and the smoothed gain
// moves on every sample.  Blocks of 400 samples at 16 kHz hold two 10 ms frames and 80
// samples that are never analysed (the frame counter restarts with every block).
TEST(PreProcess, AutomaticGainIntoCompressorAndExpanderMatchTheDefinitionSampleForSample) {
    const int rate = 16000;
    const size_t block = 400, frameLen = 160;
    std::vector<int16_t> input;
    const double amplitudes[] = {24000, 3000, 32000, 800, 16000, 20000};
    for (double amplitude : amplitudes) {
        const auto burst = Tone(8000, amplitude, 330, rate, input.size());
        input.insert(input.end(), burst.begin(), burst.end());
    }
    for (float exRatio : {0.0f, 2.0f}) {
        Fixture fx(true, rate);
        fx.filter.SetProperty("AutoGain", 1, nullptr);
        fx.filter.SetProperty("AGCPeak", 30, nullptr);
        fx.filter.SetProperty("VADType", 9, nullptr);
        fx.filter.SetProperty("Gain", 150, nullptr);
        fx.filter.SetProperty("AttackTime", 5, nullptr);
        fx.filter.SetProperty("ReleaseTime", 50, nullptr);
        fx.filter.SetProperty("DelayTime", 2, nullptr);
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
            if ((inBlock + 1) % frameLen == 0) {
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
            ASSERT_EQ(out[i], expected) << "exRatio " << exRatio << " sample " << i;
        }
        EXPECT_GT(falls, 50u);  // the gain did move
        EXPECT_LT(agcGain, 0.6f);
    }
}

// A 16 kHz capture with the manual gate: tone, near-silence, tone, in 10 ms blocks.
TEST(PreProcess, ManualGateFadesMutesAndPlaysThePreRollFirst) {
    const int rate = 16000;
    Fixture fx(true, rate);
    fx.filter.SetProperty("GateThreshold", 26, nullptr);  // about 0.1 of full scale
    fx.filter.SetProperty("GateTime", 100, nullptr);
    fx.filter.SetProperty("FadeoutTime", 50, nullptr);
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
    // Quiet: 10 frames within GateTime pass, then 5 blocks fade over 50 ms (800 samples) ending
    // with level 1, then muted blocks return 0 without writing.
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
        if (b >= 10 && b < 15) {
            // Linear fade: sample k of the fade is scaled by (800 - k) / 800.
            for (size_t i = 0; i < block; ++i) {
                const double k = double((b - 10) * block + i);
                ASSERT_NEAR(out[i], std::nearbyint(in[i] * (800.0 - k) / 800.0), 1.0) << b << "," << i;
            }
        }
        if (b >= 15) {
            EXPECT_EQ(out[0], 12345) << "muted output is left untouched";
        }
    }
    EXPECT_EQ(levels[14], 1);
    EXPECT_EQ(levels[15], 0);
    EXPECT_EQ(levels[39], 0);
    EXPECT_TRUE(fx.filter.Muted());

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

TEST(PreProcess, AutoGateEdgeCases) {
    const int rate = 16000;
    const auto loud = Tone(rate * 3, 16000, 200, rate);
    {
        // Blocks shorter than a frame are never analysed: the gate fades and mutes even in speech.
        Fixture fx(true, rate);
        fx.filter.SetProperty("Auto", 1, nullptr);
        fx.filter.SetProperty("FadeoutTime", 100, nullptr);
        fx.Begin();
        std::vector<int16_t> in(80), out(80);
        int32_t lastLevel = -1, inBytes;
        for (size_t s = 0; s + 80 <= loud.size(); s += 80) {
            std::copy(loud.begin() + long(s), loud.begin() + long(s + 80), in.begin());
            lastLevel = fx.Call(in, out, &inBytes);
        }
        EXPECT_EQ(lastLevel, 0);
        EXPECT_TRUE(fx.filter.Muted());
    }
    {
        // With FadeoutTime 0 the automatic gate never fades or mutes: output = input.
        Fixture fx(true, rate);
        fx.filter.SetProperty("Auto", 1, nullptr);
        fx.filter.SetProperty("FadeoutTime", 0, nullptr);
        fx.Begin();
        std::vector<int16_t> quiet(size_t(rate) * 2, 3);
        EXPECT_EQ(fx.RunBlocks(quiet, 160), quiet);
    }
    {
        // Without the companion the pitch detector hears no voice: VADType 1 mutes a loud tone.
        Fixture fx(false, rate);
        fx.filter.SetProperty("Auto", 1, nullptr);
        fx.filter.SetProperty("VADType", 1, nullptr);
        fx.filter.SetProperty("FadeoutTime", 100, nullptr);
        fx.Begin();
        std::vector<int16_t> in(160), out(160);
        int32_t level = -1, inBytes;
        for (size_t s = 0; s + 160 <= loud.size(); s += 160) {
            std::copy(loud.begin() + long(s), loud.begin() + long(s + 160), in.begin());
            level = fx.Call(in, out, &inBytes);
        }
        EXPECT_EQ(level, 0);
    }
    {
        // The level gate opens on a loud tone after quiet and reports it through GateThreshold.
        Fixture fx(true, rate);
        fx.filter.SetProperty("GateThreshold", -1, nullptr);
        fx.filter.SetProperty("FadeoutTime", 0, nullptr);
        fx.Begin();
        std::vector<int16_t> quiet(size_t(rate), 0);
        fx.RunBlocks(quiet, 160);
        int32_t state = 0;
        fx.filter.GetProperty("GateThreshold", 0, &state);
        EXPECT_EQ(state, -1);
        fx.RunBlocks(std::vector<int16_t>(loud.begin(), loud.begin() + 1600), 160);
        fx.filter.GetProperty("GateThreshold", 0, &state);
        EXPECT_EQ(state, 0);
    }
}

TEST(PreProcess, FiltersRunThroughTheCompanionAndOnlyWhileTheirCutoffIsSet) {
    const int rate = 16000;
    const auto input = Tone(size_t(rate), 10000, 3000, rate);
    Fixture fx(true, rate);
    fx.filter.SetProperty("LoPassCutOff", 500, nullptr);
    fx.Begin();
    auto out = fx.RunBlocks(input, 160);
    int32_t peak = 0;
    for (size_t i = size_t(rate) / 2; i < out.size(); ++i) peak = std::max(peak, std::abs(int32_t{out[i]}));
    // First-order Butterworth at 500 Hz: 3 kHz is about -16.4 dB (tangent-warped).
    const double expectedDb = -10 * std::log10(1 + std::pow(std::tan(M_PI * 3000 / rate) / std::tan(M_PI * 500 / rate), 2));
    EXPECT_NEAR(20 * std::log10(peak / 10000.0), expectedDb, 0.3);
    fx.filter.SetProperty("LoPassCutOff", 0, nullptr);  // off again
    EXPECT_EQ(fx.RunBlocks(input, 160), input);
}

TEST(PreProcess, NoAllocationPerBlockOnceTheLargestBlockWasSeen) {
    Fixture fx(true, 32000);
    fx.filter.SetProperty("Auto", 1, nullptr);
    fx.filter.SetProperty("VADType", 2, nullptr);
    fx.filter.SetProperty("EnableNS", 1, nullptr);
    fx.filter.SetProperty("AutoGain", 1, nullptr);
    fx.filter.SetProperty("HiPassCutOff", 100, nullptr);
    fx.filter.SetProperty("LoPassCutOff2", 3000, nullptr);
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
            fx.filter.Process(speechLike.data() + s, &inBytes, out.data(), &outBytes);
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
