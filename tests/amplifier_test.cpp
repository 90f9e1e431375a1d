// "AmplifierAudioFilter": truncating bypass, unity and compressing curves against straight
// computations, the sections, the breakpoint traces and the property rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "dsp/AmplifierAudioFilter.h"
#include "dsp/blocks/BiquadFilter.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

std::vector<int16_t> RunBlocks(CAmplifierAudioFilter& amp, const std::vector<int16_t>& input, size_t block) {
    std::vector<int16_t> output(input.size());
    for (size_t s = 0; s < input.size(); s += block) {
        const size_t n = std::min(block, input.size() - s);
        int32_t inBytes = int32_t(n * 2), outBytes = inBytes;
        EXPECT_EQ(amp.Process(input.data() + s, &inBytes, output.data() + s, &outBytes), kOk);
        EXPECT_EQ(inBytes, int32_t(n * 2));  // counts are left as they are
    }
    return output;
}

// The way back: the float times the double constant 32767.0, the product in double precision,
// truncated toward zero.
int16_t Truncate(float x) { return static_cast<int16_t>(std::clamp(double(x) * 32767.0, -32768.0, 32767.0)); }

TEST(Amplifier, DefaultsBypassWithTruncationAndMeasureThePeak) {
    CAmplifierAudioFilter amp;
    ASSERT_EQ(amp.Build(), kOk);
    ASSERT_EQ(amp.Start(), kOk);
    std::vector<int16_t> input(65536);
    for (int i = 0; i < 65536; ++i) input[size_t(i)] = int16_t(i - 32768);
    const auto out = RunBlocks(amp, input, 4096);
    int movedTowardZero = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        ASSERT_EQ(out[i], Truncate(float(input[i] / 32767.0))) << input[i];
        movedTowardZero += out[i] != input[i];
    }
    // Truncation without rounding brings about half of all values one step nearer zero.
    EXPECT_GT(movedTowardZero, 65536 * 4 / 10);
    EXPECT_LT(movedTowardZero, 65536 * 6 / 10);
    int32_t level = 0;
    amp.GetProperty("MaxLevel", 0, &level);
    EXPECT_EQ(level, 32767);  // |-32768| / 32767 > 1 truncates back to 32767 x 1.00003
    uint32_t total = 0;
    amp.GetProperty("TotalIn", 0, &total);
    EXPECT_EQ(total, 131072u);
}

TEST(Amplifier, DoubleGainWithUnityCurveIsTwiceTheDelayedInput) {
    test::CapturedTraces traces;
    CAmplifierAudioFilter amp;
    amp.SetProperty("Gain", 200, nullptr);
    amp.SetProperty("DelayTime", 5, nullptr);
    amp.SetProperty("SamplesPerSec", 16000, nullptr);
    amp.Build();
    amp.Start();
    std::vector<int16_t> input(16000, 0);
    for (size_t i = 100; i < input.size(); ++i) input[i] = int16_t(std::lround(8000 * std::sin(0.05 * double(i))));
    const auto out = RunBlocks(amp, input, 160);
    const size_t delay = 80;
    for (size_t i = 0; i < 100 + delay; ++i) ASSERT_EQ(out[i], 0) << i;  // leading silence stays 0
    for (size_t i = 100 + delay; i < out.size(); ++i) {
        ASSERT_NEAR(out[i], Truncate(2.0f * input[i - delay] / 32767.0f), 1) << i;
    }
    // The unity curve: three breakpoints, traced once.
    ASSERT_EQ(traces.texts().size(), 3u);
    EXPECT_EQ(traces.texts()[0], "Setup [0] 0.000000(0),0.000000(0)\n");
    char knee[128];
    const float a = std::pow(10.0f, -1.0f / 20.0f);
    std::snprintf(knee, sizeof knee, "Setup [1] %f(%d),%f(%d)\n", double(a), int(32767.0f * a), double(a), int(32767.0f * a));
    EXPECT_EQ(traces.texts()[1], knee);
    EXPECT_EQ(traces.texts()[2], "Setup [2] 1.000000(32767),1.000000(32767)\n");
}

TEST(Amplifier, CompressorSettlesAtHalfTheExcessAndTracesEachChange) {
    test::CapturedTraces traces;
    CAmplifierAudioFilter amp;
    float threshold = -20.0f, ratio = 0.5f;
    EXPECT_EQ(amp.SetProperty("Threshold", 0, nullptr), kErrInvalidArg);
    ASSERT_EQ(amp.SetProperty("Threshold", 0, &threshold), kOk);
    ASSERT_EQ(amp.SetProperty("Ratio", 0, &ratio), kOk);
    amp.Build();
    amp.Start();
    std::vector<int16_t> input(32000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = i % 2 ? 32767 : -32767;  // steady full scale
    const auto out = RunBlocks(amp, input, 320);
    double power = 0;
    for (size_t i = 16000; i < out.size(); ++i) power += double(out[i]) * out[i];
    const double levelDb = 10 * std::log10(power / 16000 / (32767.0 * 32767.0));
    EXPECT_NEAR(levelDb, -10.0, 0.2);
    EXPECT_EQ(traces.texts().size(), 3u);  // one configuration, unchanged afterwards

    // The expander adds two breakpoints: t = F + 0.3 (T - F) maps to F + E (T - F).
    float exRatio = 2.0f, floorDb = -60.0f;
    amp.SetProperty("ExRatio", 0, &exRatio);
    amp.SetProperty("Floor", 0, &floorDb);
    RunBlocks(amp, std::vector<int16_t>(320, 0), 320);
    ASSERT_EQ(traces.texts().size(), 8u);
    const float t = -60.0f + (-20.0f + 60.0f) * 0.3f;
    char line[128];
    std::snprintf(line, sizeof line, "Setup [2] %f(%d),%f(%d)\n", double(std::pow(10.0f, t / 20.0f)),
                  int(32767.0f * std::pow(10.0f, t / 20.0f)), double(std::pow(10.0f, 20.0f / 20.0f)),
                  int(32767.0f * std::pow(10.0f, 20.0f / 20.0f)));
    EXPECT_EQ(traces.texts()[5], line);

    // A curve beyond the 16-bit steps' int range traces them as the processor's conversion
    // gives them (INT_MIN), not through an undefined conversion.
    float far = -400.0f, steep = 2.0f, noExpander = 0.0f;
    amp.SetProperty("Threshold", 0, &far);
    amp.SetProperty("Ratio", 0, &steep);
    amp.SetProperty("ExRatio", 0, &noExpander);
    RunBlocks(amp, std::vector<int16_t>(320, 0), 320);
    ASSERT_EQ(traces.texts().size(), 11u);
    std::snprintf(line, sizeof line, "Setup [2] 1.000000(32767),%f(-2147483648)\n", double(std::pow(10.0f, 20.0f)));
    EXPECT_EQ(traces.texts()[10], line);
}

TEST(Amplifier, HighPassSectionFiltersFromBuild) {
    CAmplifierAudioFilter amp;
    amp.SetProperty("HiPassCutOff", 300, nullptr);
    amp.SetProperty("SamplesPerSec", 8000, nullptr);
    amp.Build();
    amp.Start();
    std::vector<int16_t> input(4000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = int16_t((i * 7919) % 20001 - 10000);
    const auto out = RunBlocks(amp, input, 333);
    CBiquadFilter reference(8000);
    reference.type = CBiquadFilter::kHighPass;
    reference.frequency = 300;
    reference.ComputeCoefficients();
    for (size_t i = 0; i < input.size(); ++i) {
        ASSERT_EQ(out[i], Truncate(reference.ProcessSample(input[i] / 32767.0f))) << i;
    }
}

TEST(Amplifier, PropertyRulesAndLifecycle) {
    CAmplifierAudioFilter amp;
    EXPECT_EQ(amp.FindProperty("TotalOut"), 13);
    EXPECT_EQ(amp.FindProperty("Bogus"), 14);
    EXPECT_EQ(amp.SetProperty("DelayTime", 0, nullptr), kErrInvalidArg);  // must be positive
    EXPECT_EQ(amp.SetProperty("AttackTime", -1, nullptr), kErrInvalidArg);
    EXPECT_EQ(amp.SetProperty("Gain", -1, nullptr), kErrInvalidArg);
    for (const char* readOnly : {"MaxLevel", "TotalIn", "TotalOut", "Bogus"}) {
        EXPECT_EQ(amp.SetProperty(readOnly, 1, nullptr), kErrState) << readOnly;
    }
    EXPECT_EQ(amp.SetProperty(nullptr, 1, nullptr), kErrState);
    int32_t v;
    EXPECT_EQ(amp.GetProperty("Gain", 0, nullptr), kErrInvalidArg);
    EXPECT_EQ(amp.GetProperty(nullptr, 0, &v), kErrState);
    EXPECT_EQ(amp.GetProperty("Bogus", 0, &v), kErrState);
    EXPECT_EQ(amp.GetProperty("DelayTime", 0, &v), kOk);
    EXPECT_EQ(v, 10);
    std::vector<int16_t> b(10);
    int32_t inBytes = 20, outBytes = 20;
    EXPECT_EQ(amp.Process(b.data(), &inBytes, b.data(), &outBytes), kErrState);
    EXPECT_EQ(amp.Start(), kErrState);
    EXPECT_EQ(amp.Stop(), kErrState);
    amp.Build();
    EXPECT_EQ(amp.Start(), kOk);
    outBytes = 18;
    EXPECT_EQ(amp.Process(b.data(), &inBytes, b.data(), &outBytes), kErrInvalidArg);
    EXPECT_EQ(amp.Process(nullptr, &inBytes, b.data(), &outBytes), kErrInvalidArg);
    EXPECT_EQ(amp.Stop(), kOk);
    EXPECT_EQ(amp.GetData(b.data(), 20), kErrNotImpl);
}

TEST(Amplifier, NonFiniteCurveSettingsAreRefusedAndADegenerateCurveGivesSilence) {
    CAmplifierAudioFilter amp;
    float threshold = -12.0f;
    ASSERT_EQ(amp.SetProperty("Threshold", 0, &threshold), kOk);
    for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
        for (const char* name : {"Threshold", "Ratio", "ExRatio", "Floor"}) {
            EXPECT_EQ(amp.SetProperty(name, 0, &bad), kErrInvalidArg) << name;
        }
    }
    float kept = 0.0f;
    ASSERT_EQ(amp.GetProperty("Threshold", 0, &kept), kOk);
    EXPECT_EQ(kept, -12.0f);

    // A finite threshold far beyond full scale puts the knee at infinity: the curve is
    // infinity over infinity, not a number.  The output is then silence, never an undefined
    // conversion (the sanitizer build checks that).
    float far = 1000.0f, ratio = 0.5f;
    ASSERT_EQ(amp.SetProperty("Threshold", 0, &far), kOk);
    ASSERT_EQ(amp.SetProperty("Ratio", 0, &ratio), kOk);
    amp.Build();
    amp.Start();
    std::vector<int16_t> input(3200);
    for (size_t i = 0; i < input.size(); ++i) input[i] = int16_t(10000 * std::sin(0.03 * double(i)));
    const auto out = RunBlocks(amp, input, 320);
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;
}

}  // namespace
}  // namespace zelmar
