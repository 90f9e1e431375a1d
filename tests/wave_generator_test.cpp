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

// Tones, full scale and silence (no amplitude or no frequency), set while running, in blocks
// of 10 ms, one block per period of the virtual clock.
TEST_F(GeneratorTest, OutputEqualsTheToneFormulaPacedOneBlockPerPeriod) {
    const struct { int32_t rate, frequency, amplitude; } rows[] = {
        {16000, 1000, 73}, {8000, 1000, 100}, {8000, 440, 0}, {8000, 0, 100}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.rate << " " << row.frequency << " " << row.amplitude);
        generator = Make("WaveGeneratorAudioIn");
        const int32_t block = row.rate / 100;
        Configure(row.rate, block, 500, 50);
        ASSERT_EQ(generator->Build(), 0);
        ASSERT_EQ(generator->Start(), 0);
        Configure(row.rate, block, row.frequency, row.amplitude);  // taken while running
        const uint32_t start = platform.time.NowMs();
        std::vector<int16_t> samples(static_cast<size_t>(block));
        uint32_t n = 0;
        for (int call = 0; call < 300; ++call) {  // 3 s
            ASSERT_EQ(generator->GetData(samples.data(), block * 2), block * 2);
            for (int16_t sample : samples) {
                ASSERT_EQ(sample, ExpectedSample(n++, uint32_t(row.frequency), uint32_t(row.rate), uint32_t(row.amplitude)))
                    << "sample " << n - 1;
            }
        }
        EXPECT_EQ(platform.time.NowMs() - start, 3000u);
    }
}

TEST_F(GeneratorTest, RefusalsTimeOutsAndAZeroPeriod) {
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
    // A block of 10 samples at 16 kHz has a period of 0 ms: it fires once, then times out; an
    // odd byte count fills whole samples only.
    Configure(16000, 10, 440, 100);
    ASSERT_EQ(generator->Start(), 0);
    std::vector<uint8_t> bytes(20, 0xAB);
    EXPECT_EQ(generator->GetData(bytes.data(), 5), 5);
    EXPECT_EQ(bytes[4], 0xAB);  // the odd byte and beyond stay untouched
    EXPECT_EQ(bytes[5], 0xAB);
    EXPECT_EQ(generator->GetData(bytes.data(), 20), ZELMAR_E_TIMEOUT);
}

}  // namespace
}  // namespace zelmar
