#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::Make;

// The tone, computed straight from its definition.
int16_t ExpectedSample(uint32_t n, uint32_t frequency, uint32_t rate, uint32_t amplitude) {
    const double step = static_cast<double>(frequency) * 6.28 / static_cast<double>(rate);
    return static_cast<int16_t>(static_cast<int32_t>(std::sin(n * step) * (amplitude * 32767.0 / 100.0)));
}

struct GeneratorTest : ::testing::Test {
    test::VirtualPlatform platform;
    test::ComponentPtr generator = Make("WaveGeneratorAudioIn");

    void Configure(int32_t rate, int32_t block, int32_t frequency, int32_t amplitude) {
        ASSERT_EQ(generator->SetProperty("SamplesPerSec", rate, nullptr), 0);
        ASSERT_EQ(generator->SetProperty("BlockSamples", block, nullptr), 0);
        ASSERT_EQ(generator->SetProperty("Frequency", frequency, nullptr), 0);
        ASSERT_EQ(generator->SetProperty("Amplitude", amplitude, nullptr), 0);
    }
};

TEST_F(GeneratorTest, OutputEqualsTheToneFormulaPacedOneBlockPerPeriod) {
    Configure(16000, 160, 1000, 73);
    ASSERT_EQ(generator->Build(), 0);
    ASSERT_EQ(generator->Start(), 0);
    const uint32_t start = platform.time.NowMs();
    std::vector<int16_t> block(160);
    uint32_t n = 0;
    for (int call = 0; call < 600; ++call) {  // 6 s
        ASSERT_EQ(generator->GetData(block.data(), 320), 320);
        for (int16_t sample : block) ASSERT_EQ(sample, ExpectedSample(n++, 1000, 16000, 73)) << "sample " << n - 1;
    }
    EXPECT_EQ(platform.time.NowMs() - start, 6000u);  // 600 blocks of 10 ms
}

TEST_F(GeneratorTest, FullScaleNeverReachesMinus32768AndSilenceIsZero) {
    Configure(8000, 80, 1000, 100);
    ASSERT_EQ(generator->Build(), 0);
    ASSERT_EQ(generator->Start(), 0);
    std::vector<int16_t> block(8000);
    ASSERT_EQ(generator->GetData(block.data(), 16000), 16000);
    int16_t low = 0, high = 0;
    for (int16_t s : block) { low = std::min(low, s); high = std::max(high, s); }
    EXPECT_GE(low, -32767);
    EXPECT_GT(high, 32000);
    for (const char* zero : {"Amplitude", "Frequency"}) {
        Configure(8000, 80, 1000, 100);
        ASSERT_EQ(generator->SetProperty(zero, 0, nullptr), 0);
        ASSERT_EQ(generator->GetData(block.data(), 16000), 16000);
        for (int16_t s : block) ASSERT_EQ(s, 0) << zero;
    }
}

TEST_F(GeneratorTest, RefusalsAndTimeOuts) {
    std::vector<int16_t> block(160, 0x1234);
    EXPECT_EQ(generator->GetData(block.data(), 320), ZELMAR_E_STATE);  // not built
    EXPECT_EQ(generator->Start(), ZELMAR_E_PLATFORM);                  // BlockSamples still 0
    ASSERT_EQ(generator->SetProperty("BlockSamples", 160, nullptr), 0);
    ASSERT_EQ(generator->Build(), 0);
    EXPECT_EQ(generator->GetData(block.data(), 0), ZELMAR_E_INVALIDARG);
    // Built but never started: the wait gives up after two periods.
    const uint32_t before = platform.time.NowMs();
    EXPECT_EQ(generator->GetData(block.data(), 320), ZELMAR_E_TIMEOUT);
    EXPECT_EQ(platform.time.NowMs() - before, 20u);
    // Widths other than 16 bits and a zero rate are refused rather than mis-sized.
    ASSERT_EQ(generator->SetProperty("BitsPerSample", 8, nullptr), 0);
    EXPECT_EQ(generator->GetData(block.data(), 320), ZELMAR_E_INVALIDARG);
    ASSERT_EQ(generator->SetProperty("BitsPerSample", 16, nullptr), 0);
    ASSERT_EQ(generator->SetProperty("SamplesPerSec", 0, nullptr), 0);
    EXPECT_EQ(generator->GetData(block.data(), 320), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(generator->Start(), ZELMAR_E_PLATFORM);
}

TEST_F(GeneratorTest, OddByteCountsFillWholeSamplesOnly) {
    Configure(16000, 160, 440, 100);
    ASSERT_EQ(generator->Build(), 0);
    ASSERT_EQ(generator->Start(), 0);
    std::vector<uint8_t> bytes(8, 0xAB);
    EXPECT_EQ(generator->GetData(bytes.data(), 5), 5);
    EXPECT_EQ(bytes[5], 0xAB);  // the odd byte and beyond stay untouched
    EXPECT_EQ(bytes[4], 0xAB);
}

TEST_F(GeneratorTest, ZeroPeriodFiresOnceThenTimesOut) {
    Configure(16000, 10, 440, 100);  // 10 samples at 16 kHz: a period of 0 ms
    ASSERT_EQ(generator->Build(), 0);
    ASSERT_EQ(generator->Start(), 0);
    int16_t block[10];
    EXPECT_EQ(generator->GetData(block, 20), 20);
    EXPECT_EQ(generator->GetData(block, 20), ZELMAR_E_TIMEOUT);
}

}  // namespace
}  // namespace zelmar
