// "AmplifierAudioFilter": bypass, unity and compressing curves and the filter sections against
// straight computations, and the breakpoint traces.  The way back to 16 bits is checked to
// within one step of the exact value, whichever rounding the conversion uses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "support/DspReference.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::ComponentPtr;

ComponentPtr Started(const test::Settings& settings, float threshold = 0.0f, float ratio = 1.0f) {
    ComponentPtr amp = test::Running("AmplifierAudioFilter", settings, false);
    EXPECT_EQ(amp->SetProperty("Threshold", 0, &threshold), 0);
    EXPECT_EQ(amp->SetProperty("Ratio", 0, &ratio), 0);
    EXPECT_EQ(amp->Build(), 0);
    EXPECT_EQ(amp->Start(), 0);
    return amp;
}

// The output sample for the exact value x (full scale 1.0): within one step, clamped.
void ExpectSample(int16_t out, double x, size_t at) {
    ASSERT_LT(std::fabs(out - std::clamp(x * 32767.0, -32768.0, 32767.0)), 1.001) << "sample " << at;
}

TEST(Amplifier, DefaultsBypassAndMeasureThePeak) {
    ComponentPtr amp = Started({});
    std::vector<int16_t> input(65536);
    for (int i = 0; i < 65536; ++i) input[size_t(i)] = int16_t(i - 32768);
    const auto out = test::ProcessBlocks(amp.get(), input, 4096);
    // Bypassed, the way back is exact: the float times the double 32767.0, the product in double
    // precision, truncated toward zero; about half of all values come back one step nearer zero.
    int movedTowardZero = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        const double product = double(static_cast<float>(input[i] / 32767.0)) * 32767.0;
        ASSERT_EQ(out[i], static_cast<int16_t>(std::clamp(product, -32768.0, 32767.0))) << input[i];
        movedTowardZero += out[i] != input[i];
    }
    EXPECT_GT(movedTowardZero, 65536 * 4 / 10);
    EXPECT_LT(movedTowardZero, 65536 * 6 / 10);
    EXPECT_EQ(test::Read(amp.get(), "MaxLevel"), 32767);  // |-32768| / 32767 is above 1: the peak is full scale
    int32_t inBytes = 20, outBytes = 20;
    EXPECT_EQ(amp->Process(input.data(), &inBytes, input.data(), &outBytes), 0);
    EXPECT_EQ(inBytes, 20);  // counts are left as they are
}

TEST(Amplifier, DoubleGainWithUnityCurveIsTwiceTheDelayedInput) {
    test::CapturedTraces traces;
    ComponentPtr amp = Started({{"Gain", 200}, {"DelayTime", 5}, {"SamplesPerSec", 16000}});
    std::vector<int16_t> input(16000, 0);
    for (size_t i = 100; i < input.size(); ++i) input[i] = int16_t(std::lround(8000 * std::sin(0.05 * double(i))));
    const auto out = test::ProcessBlocks(amp.get(), input, 160);
    const size_t delay = 80;
    for (size_t i = 0; i < 100 + delay; ++i) ASSERT_EQ(out[i], 0) << i;  // leading silence stays 0
    for (size_t i = 100 + delay; i < out.size(); ++i) ExpectSample(out[i], 2.0 * static_cast<float>(input[i - delay] / 32767.0), i);
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
    ComponentPtr amp = Started({}, -20.0f, 0.5f);
    std::vector<int16_t> input(32000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = i % 2 ? 32767 : -32767;  // steady full scale
    const auto out = test::ProcessBlocks(amp.get(), input, 320);
    double power = 0;
    for (size_t i = 16000; i < out.size(); ++i) power += double(out[i]) * out[i];
    EXPECT_NEAR(10 * std::log10(power / 16000 / (32767.0 * 32767.0)), -10.0, 0.2);
    EXPECT_EQ(traces.texts().size(), 3u);  // one configuration, unchanged afterwards

    // The expander adds two breakpoints: t = F + 0.3 (T - F) maps to F + E (T - F).
    float exRatio = 2.0f, floorDb = -60.0f;
    amp->SetProperty("ExRatio", 0, &exRatio);
    amp->SetProperty("Floor", 0, &floorDb);
    test::ProcessBlocks(amp.get(), std::vector<int16_t>(640, 0), 320);
    ASSERT_EQ(traces.texts().size(), 8u);  // once for two blocks
    const float t = -60.0f + (-20.0f + 60.0f) * 0.3f;
    char line[128];
    std::snprintf(line, sizeof line, "Setup [2] %f(%d),%f(%d)\n", double(std::pow(10.0f, t / 20.0f)),
                  int(32767.0f * std::pow(10.0f, t / 20.0f)), double(std::pow(10.0f, 20.0f / 20.0f)),
                  int(32767.0f * std::pow(10.0f, 20.0f / 20.0f)));
    EXPECT_EQ(traces.texts()[5], line);

    // A curve beyond the 16-bit steps' int range traces them as the processor's conversion
    // gives them (INT_MIN), not through an undefined conversion.
    float far = -400.0f, steep = 2.0f, noExpander = 0.0f;
    amp->SetProperty("Threshold", 0, &far);
    amp->SetProperty("Ratio", 0, &steep);
    amp->SetProperty("ExRatio", 0, &noExpander);
    test::ProcessBlocks(amp.get(), std::vector<int16_t>(320, 0), 320);
    ASSERT_EQ(traces.texts().size(), 11u);
    std::snprintf(line, sizeof line, "Setup [2] 1.000000(32767),%f(-2147483648)\n", double(std::pow(10.0f, 20.0f)));
    EXPECT_EQ(traces.texts()[10], line);
}

TEST(Amplifier, SectionsFilterFromBuildHighPassFirst) {
    struct Case {
        int32_t highPassHz, lowPassHz;
    };
    std::vector<int16_t> input(8000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = int16_t((i * 7919) % 20001 - 10000);
    for (const Case& c : {Case{300, 0}, Case{0, 1000}, Case{150, 2500}}) {
        ComponentPtr amp = Started({{"HiPassCutOff", c.highPassHz}, {"LoPassCutOff", c.lowPassHz}, {"SamplesPerSec", 8000}});
        const auto out = test::ProcessBlocks(amp.get(), input, 333);
        test::RefBiquad highPass, lowPass;
        highPass.Design(1, c.highPassHz, 8000);
        lowPass.Design(0, c.lowPassHz, 8000);
        for (size_t i = 0; i < input.size(); ++i) {
            float x = static_cast<float>(input[i] / 32767.0);
            if (c.highPassHz != 0) x = highPass.Step(x);
            if (c.lowPassHz != 0) x = lowPass.Step(x);
            ExpectSample(out[i], x, i);
        }
    }
    // A cutoff set to 0 while running stops its section at once.
    ComponentPtr amp = Started({{"HiPassCutOff", 300}, {"SamplesPerSec", 8000}});
    ASSERT_EQ(amp->SetProperty("HiPassCutOff", 0, nullptr), 0);
    EXPECT_EQ(test::ProcessBlocks(amp.get(), input, 333), test::ProcessBlocks(Started({}).get(), input, 333));
}

// A finite threshold far beyond full scale puts the knee at infinity: the curve is infinity
// over infinity, not a number.  The output is then silence, never an undefined conversion
// (the sanitizer build checks that), in the amplifier and in the pre-processor with its own
// conversions.
TEST(Amplifier, ADegenerateCurveGivesSilence) {
    test::VirtualPlatform platform;  // no companion library
    std::vector<int16_t> input(3200);
    for (size_t i = 0; i < input.size(); ++i) input[i] = int16_t(10000 * std::sin(0.03 * double(i)));
    for (const char* name : {"AmplifierAudioFilter", "PreProcessAudioFilter"}) {
        ComponentPtr io = test::Running(name, {{"SamplesPerSec", 16000}}, false);
        const float threshold = 1000.0f, ratio = 0.5f;
        EXPECT_EQ(io->SetProperty("Threshold", 0, const_cast<float*>(&threshold)), 0);
        EXPECT_EQ(io->SetProperty("Ratio", 0, const_cast<float*>(&ratio)), 0);
        ASSERT_EQ(io->Build(), 0);
        ASSERT_EQ(io->Start(), 0);
        EXPECT_EQ(test::ProcessBlocks(io.get(), input, 160), std::vector<int16_t>(input.size(), 0)) << name;
    }
}

}  // namespace
}  // namespace zelmar
