#include <gtest/gtest.h>

#include <cmath>
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
    return test::Running("ResampleAudioFilter", {{"InSamplesPerSec", inRate}, {"OutSamplesPerSec", outRate}});
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

// Output room short of the ratio's worth is refused without writing, counting or touching
// the sections (the next call gives what a fresh resampler gives); nothing is written past
// the reported bytes, and an odd byte is not a sample.
TEST(Resampler, SizesFollowTheRatioAndShortOutputIsRefusedWithoutSideEffects) {
    struct Row { int inRate, outRate; int32_t inBytes, shortRoom, room, written; };
    for (const Row& r : {Row{8000, 16000, 320, 639, 640, 640}, Row{48000, 16000, 960, 319, 322, 320}}) {
        ComponentPtr resampler = MakeResampler(r.inRate, r.outRate), fresh = MakeResampler(r.inRate, r.outRate);
        std::vector<int16_t> in(size_t(r.inBytes / 2)), out(size_t(r.room / 2 + 1), 7), again(out);
        for (size_t n = 0; n < in.size(); ++n) in[n] = int16_t(9000 * std::sin(0.3 * double(n)));
        int32_t inBytes = r.inBytes, outBytes = r.shortRoom;
        EXPECT_EQ(resampler->Process(in.data(), &inBytes, out.data(), &outBytes), ZELMAR_E_INVALIDARG);
        EXPECT_EQ(out[0], 7);
        uint32_t total = 1;
        resampler->GetProperty("TotalIn", 0, &total);
        EXPECT_EQ(total, 0u);
        for (IAudioIO* io : {resampler.get(), fresh.get()}) {
            outBytes = r.room;
            ASSERT_EQ(io->Process(in.data(), &inBytes, (io == fresh.get() ? again : out).data(), &outBytes), 0);
            EXPECT_EQ(outBytes, r.written);
        }
        EXPECT_EQ(out[size_t(r.written / 2)], 7);
        EXPECT_EQ(out, again) << r.inRate;
    }
    ComponentPtr equal = MakeResampler(16000, 16000);
    std::vector<int16_t> odd(3, 0x1234), outOdd(3, 7);
    int32_t inBytes = 5, outBytes = 5;
    ASSERT_EQ(equal->Process(odd.data(), &inBytes, outOdd.data(), &outBytes), 0);
    EXPECT_EQ(outBytes, 5);
    EXPECT_EQ(outOdd[2], 7);  // two samples written, the odd byte is not a sample
    uint32_t totalOut = 0;
    equal->GetProperty("TotalOut", 0, &totalOut);
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
