#include <gtest/gtest.h>

#include <vector>

#include "dsp/blocks/SampleConversion.h"
#include "support/DspReference.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::ComponentPtr;
using test::Make;

// The resampler written out from its definition: two low-pass sections at 0.4 x the lower
// rate, zero-order hold going up, every k-th output going down.
std::vector<int16_t> ReferenceResample(const std::vector<int16_t>& in, int inRate, int outRate) {
    const int low = std::min(inRate, outRate), high = std::max(inRate, outRate);
    const float cutoff = inRate == outRate ? static_cast<float>(2.0 * inRate / 5.0)
                                           : static_cast<float>(low * 0.5 * 0.800000011920929);
    test::RefBiquad first, second;
    first.Design(0, cutoff, high);
    second.Design(0, cutoff, high);
    auto run = [&](float x) {
        const float v = second.Step(first.Step(x));
        return test::Clamp16(std::trunc(v * 32767.0));
    };
    std::vector<int16_t> out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const float x = static_cast<float>(in[i] / 32767.0);
        if (outRate > inRate) {
            for (int r = 0; r < outRate / inRate; ++r) out.push_back(run(x));
        } else {
            const int16_t y = run(x);
            if (i % static_cast<std::size_t>(inRate / outRate) == 0) out.push_back(y);
        }
    }
    return out;
}

ComponentPtr MakeResampler(int inRate, int outRate) {
    ComponentPtr resampler = Make("ResampleAudioFilter");
    int dummy = 0;
    EXPECT_EQ(resampler->SetProperty("InSamplesPerSec", inRate, &dummy), 0);
    EXPECT_EQ(resampler->SetProperty("OutSamplesPerSec", outRate, &dummy), 0);
    EXPECT_EQ(resampler->Build(), 0);
    return resampler;
}

// Feeds `in` in the given blocks and collects the output.
std::vector<int16_t> Resample(IAudioIO* resampler, const std::vector<int16_t>& in, const std::vector<int32_t>& plan,
                         int inRate, int outRate) {
    std::vector<int16_t> out;
    const auto* bytes = reinterpret_cast<const uint8_t*>(in.data());
    std::vector<int16_t> block;
    int32_t at = 0;
    for (int32_t blockBytes : plan) {
        block.assign(static_cast<std::size_t>(blockBytes) * (outRate > inRate ? outRate / inRate : 1) / 2 + 1, 0);
        int32_t inBytes = blockBytes;
        int32_t outBytes = static_cast<int32_t>(block.size() * 2);
        EXPECT_EQ(resampler->Process(bytes + at, &inBytes, block.data(), &outBytes), 0);
        EXPECT_EQ(inBytes, blockBytes);
        out.insert(out.end(), block.begin(), block.begin() + outBytes / 2);
        at += blockBytes;
    }
    return out;
}

TEST(Resampler, EqualsItsDefinitionSampleForSampleInAnyBlocking) {
    const int ratios[][2] = {{32000, 16000}, {48000, 16000}, {16000, 32000}, {8000, 16000}, {16000, 48000}, {16000, 16000}};
    for (const auto& r : ratios) {
        SCOPED_TRACE(testing::Message() << r[0] << " -> " << r[1]);
        const std::vector<int16_t> in = test::TestSignal(r[0], 4.0, 3);
        const std::vector<int16_t> expected = ReferenceResample(in, r[0], r[1]);
        const int32_t total = static_cast<int32_t>(in.size() * 2);
        const int32_t block20Ms = r[0] / 50 * 2;
        for (const auto& plan : {test::BlockPlan(total, total), test::BlockPlan(total, block20Ms)}) {
            ComponentPtr resampler = MakeResampler(r[0], r[1]);
            ASSERT_EQ(Resample(resampler.get(), in, plan, r[0], r[1]), expected);
        }
        if (r[1] <= r[0] && r[0] % r[1] != 0) continue;
        // Going down, blocks of any length are decimated as one stream; that matches the
        // definition for streams cut into whole multiples of k.
        ComponentPtr resampler = MakeResampler(r[0], r[1]);
        ASSERT_EQ(Resample(resampler.get(), in, test::BlockPlan(total, 0, 9), r[0], r[1]), expected);
    }
}

TEST(Resampler, SizesFollowTheRatioAndShortOutputIsRefusedWithoutSideEffects) {
    ComponentPtr up = MakeResampler(8000, 16000);
    std::vector<int16_t> in(160, 1000), out(400, 7);
    int32_t inBytes = 320, outBytes = 639;
    EXPECT_EQ(up->Process(in.data(), &inBytes, out.data(), &outBytes), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(out[0], 7);
    uint32_t totalIn = 1, totalOut = 1;
    up->GetProperty("TotalIn", 0, &totalIn);
    up->GetProperty("TotalOut", 0, &totalOut);
    EXPECT_EQ(totalIn, 0u);
    EXPECT_EQ(totalOut, 0u);
    outBytes = 640;
    ASSERT_EQ(up->Process(in.data(), &inBytes, out.data(), &outBytes), 0);
    EXPECT_EQ(outBytes, 640);
    EXPECT_EQ(out[320], 7);  // nothing past the reported bytes
    // The refused call left the sections alone: the output is that of a fresh resampler.
    ComponentPtr fresh = MakeResampler(8000, 16000);
    std::vector<int16_t> again(320);
    inBytes = 320, outBytes = 640;
    ASSERT_EQ(fresh->Process(in.data(), &inBytes, again.data(), &outBytes), 0);
    EXPECT_TRUE(std::equal(again.begin(), again.end(), out.begin()));

    ComponentPtr down = MakeResampler(48000, 16000);
    std::vector<int16_t> in48(480, 0), out16(161, 7);
    inBytes = 960, outBytes = 319;
    EXPECT_EQ(down->Process(in48.data(), &inBytes, out16.data(), &outBytes), ZELMAR_E_INVALIDARG);
    outBytes = 322;
    ASSERT_EQ(down->Process(in48.data(), &inBytes, out16.data(), &outBytes), 0);
    EXPECT_EQ(outBytes, 320);
    EXPECT_EQ(out16[160], 7);

    ComponentPtr equal = MakeResampler(16000, 16000);
    std::vector<int16_t> odd(3, 0x1234), outOdd(3, 7);
    inBytes = 5, outBytes = 5;
    ASSERT_EQ(equal->Process(odd.data(), &inBytes, outOdd.data(), &outBytes), 0);
    EXPECT_EQ(outBytes, 5);
    EXPECT_EQ(outOdd[2], 7);  // two samples written, the odd byte is not a sample
    equal->GetProperty("TotalIn", 0, &totalIn);
    equal->GetProperty("TotalOut", 0, &totalOut);
    EXPECT_EQ(totalIn, 5u);
    EXPECT_EQ(totalOut, 5u);
}

TEST(Resampler, RefusesUnusableRatesAtBuildAndProcess) {
    ComponentPtr resampler = Make("ResampleAudioFilter");
    int dummy = 0;
    std::vector<int16_t> buffer(64);
    int32_t inBytes = 64, outBytes = 128;
    EXPECT_EQ(resampler->Process(buffer.data(), &inBytes, buffer.data(), &outBytes), ZELMAR_E_STATE);  // not built
    EXPECT_EQ(resampler->Build(), ZELMAR_E_INVALIDARG);  // rates 0
    resampler->SetProperty("InSamplesPerSec", 44100, &dummy);
    EXPECT_EQ(resampler->SetProperty("OutSamplesPerSec", 16000, nullptr), ZELMAR_E_INVALIDARG);
    int32_t rate = 0;
    ASSERT_EQ(resampler->GetProperty("OutSamplesPerSec", 0, &rate), 0);
    EXPECT_EQ(rate, 16000);  // stored although `data` was null
    EXPECT_EQ(resampler->Build(), ZELMAR_E_INVALIDARG);
    resampler->SetProperty("InSamplesPerSec", -32000, &dummy);
    EXPECT_EQ(resampler->Build(), ZELMAR_E_INVALIDARG);
    // After a good build, a rate set to zero is refused by Process rather than divided by.
    resampler->SetProperty("InSamplesPerSec", 32000, &dummy);
    ASSERT_EQ(resampler->Build(), 0);
    resampler->SetProperty("OutSamplesPerSec", 0, &dummy);
    EXPECT_EQ(resampler->Process(buffer.data(), &inBytes, buffer.data(), &outBytes), ZELMAR_E_INVALIDARG);
    resampler->SetProperty("OutSamplesPerSec", 16000, &dummy);
    EXPECT_EQ(resampler->Process(nullptr, &inBytes, buffer.data(), &outBytes), ZELMAR_E_INVALIDARG);
}

TEST(SampleConversion, ReciprocalMultiplyRoundsLikeTheDivisionForEverySample) {
    for (int s = -32768; s <= 32767; ++s) {
        ASSERT_EQ(dsp::SampleToFloat(static_cast<int16_t>(s)), static_cast<float>(s / 32767.0)) << s;
    }
    EXPECT_EQ(dsp::TruncateToSample(-1.7), -1);
    EXPECT_EQ(dsp::TruncateToSample(32767.9), 32767);
    EXPECT_EQ(dsp::TruncateToSample(40000.0), 32767);
    EXPECT_EQ(dsp::TruncateToSample(-32768.5), -32768);
}

}  // namespace
}  // namespace zelmar
