// The signal-processing filters allocate in Build or Start only: a thousand Process calls
// after that make no heap allocation.
#include <gtest/gtest.h>

#include <vector>

#include "framework/Format.h"
#include "support/AllocationCounter.h"
#include "support/DspReference.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::ComponentPtr;
using test::Make;

// Runs 1000 blocks of 20 ms through `filter` and returns the allocations they made.
uint64_t AllocationsOverThousandBlocks(IAudioIO* filter, int inRate, int outBytesPerInByte = 4) {
    const std::vector<int16_t> signal = test::TestSignal(inRate, 1.0, 2);
    const int32_t blockBytes = inRate / 50 * 2;
    std::vector<uint8_t> out(static_cast<std::size_t>(blockBytes) * outBytesPerInByte);
    test::ScopedAllocationCount allocations;
    for (int call = 0; call < 1000; ++call) {
        const auto* in = reinterpret_cast<const uint8_t*>(signal.data()) + (call % 50) * blockBytes;
        int32_t inBytes = blockBytes, outBytes = static_cast<int32_t>(out.size());
        EXPECT_GE(filter->Process(in, &inBytes, out.data(), &outBytes), 0);
    }
    return allocations.count();
}

TEST(DspAllocation, ProcessAllocatesNothingAfterBuildOrStart) {
    ComponentPtr resampler = Make("ResampleAudioFilter");
    int data = 0;
    resampler->SetProperty("InSamplesPerSec", 16000, &data);
    resampler->SetProperty("OutSamplesPerSec", 48000, &data);
    ASSERT_EQ(resampler->Build(), 0);
    EXPECT_EQ(AllocationsOverThousandBlocks(resampler.get(), 16000, 3), 0u);

    ComponentPtr tone = Make("ToneControlAudioFilter");
    tone->SetProperty("SamplesPerSec", 32000, nullptr);
    tone->SetProperty("LowGain", 600, nullptr);
    tone->SetProperty("MidGain", -300, nullptr);
    tone->SetProperty("HighGain", 300, nullptr);
    tone->SetProperty("LowPassCutOff", 8000, nullptr);
    ASSERT_EQ(tone->Build(), 0);
    EXPECT_EQ(AllocationsOverThousandBlocks(tone.get(), 32000), 0u);

    ComponentPtr gate = Make("NoiseGateAudioFilter");
    gate->SetProperty("Threshold", -1, nullptr);
    gate->SetProperty("CutOff", 100, nullptr);
    ASSERT_EQ(gate->Build(), 0);
    ASSERT_EQ(gate->Start(), 0);
    EXPECT_EQ(AllocationsOverThousandBlocks(gate.get(), 16000), 0u);

    ComponentPtr accelerate = Make("AccelerateAudioFilter");
    accelerate->SetProperty("SamplesPerSec", 16000, nullptr);
    accelerate->SetProperty("Speed", 150, nullptr);
    ASSERT_EQ(accelerate->Build(), 0);
    ASSERT_EQ(accelerate->Start(), 0);
    EXPECT_EQ(AllocationsOverThousandBlocks(accelerate.get(), 16000), 0u);

    ComponentPtr mixer = Make("MixerAudioFilter");
    WAVEFORMATEX mono = MakePcmFormat(16000, 1, 16), stereo = MakePcmFormat(16000, 2, 16);
    mixer->SetProperty("InWaveFormat", 18, &mono);
    mixer->SetProperty("OutWaveFormat", 18, &stereo);
    ASSERT_EQ(mixer->Build(), 0);
    mixer->SetProperty("Angle", 80, &data);
    EXPECT_EQ(AllocationsOverThousandBlocks(mixer.get(), 16000, 2), 0u);
}

}  // namespace
}  // namespace zelmar
