#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/DspReference.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::ComponentPtr;
using test::Make;

struct Geometry {
    int window, outputHop, fade;
};

Geometry GeometryFor(int rate, float windowMs, int speed) {
    Geometry g;
    g.window = static_cast<int>(static_cast<float>(rate) * windowMs / 1000.0);
    g.outputHop = static_cast<int>(100.0 / speed * g.window);
    const float overlap = static_cast<float>(1.0 - 100.0 / speed);
    g.fade = static_cast<int>(g.window * std::min<double>(overlap, 0.5));
    return g;
}

// Overlap-add on one global output timeline: frame j is the j-th window of the input
// (preceded by half a window of zeros), placed at j * outputHop with raised-cosine edges;
// the output starts half a window in.
std::vector<int16_t> ReferenceAccelerate(const std::vector<int16_t>& in, int rate, float windowMs, int speed) {
    const Geometry g = GeometryFor(rate, windowMs, speed);
    const int N = g.window, P = g.outputHop, L = g.fade;
    std::vector<float> w(L);
    for (int i = 0; i < L; ++i) w[i] = static_cast<float>(static_cast<float>(std::cos(i * 3.1415926535 / L) + 1) * 0.5);
    std::vector<float> padded(N / 2, 0.0f);
    for (int16_t s : in) padded.push_back(static_cast<float>(s / 32767.0));
    const std::size_t frames = padded.size() / N;
    std::vector<float> timeline(frames * P + N, 0.0f);
    for (std::size_t j = 0; j < frames; ++j) {
        for (int k = 0; k < N; ++k) {
            const float x = padded[j * N + k];
            const float weight = k < L ? w[L - 1 - k] : k >= N - L ? w[k - (N - L)] : 1.0f;
            timeline[j * P + k] += k < L || k >= N - L ? weight * x : x;
        }
    }
    std::vector<int16_t> out;
    for (std::size_t n = N / 2; n < frames * P; ++n) out.push_back(test::Clamp16(std::trunc(timeline[n] * 32767.0)));
    return out;
}

ComponentPtr MakeStarted(int rate, int speed) {
    return test::Running("AccelerateAudioFilter", {{"SamplesPerSec", rate}, {"Speed", speed}, {"WindowTime", 80}});
}

// Feeds all of `in` in blocks of `inBlock` samples with `outCapacity` samples of output
// space per call, calling again with the rest of a block until it is consumed.
std::vector<int16_t> Feed(IAudioIO* accelerate, const std::vector<int16_t>& in, int inBlock, int outCapacity) {
    std::vector<int16_t> out, space(static_cast<std::size_t>(outCapacity));
    for (std::size_t at = 0; at < in.size();) {
        const int block = static_cast<int>(std::min<std::size_t>(inBlock, in.size() - at));
        int32_t inBytes = block * 2, outBytes = outCapacity * 2;
        EXPECT_EQ(accelerate->Process(&in[at], &inBytes, space.data(), &outBytes), 0);
        EXPECT_TRUE(inBytes % 2 == 0 && outBytes % 2 == 0 && inBytes <= block * 2 && outBytes <= outCapacity * 2);
        if (inBytes == 0 && outBytes == 0) {
            ADD_FAILURE() << "no progress at " << at;
            break;
        }
        out.insert(out.end(), space.begin(), space.begin() + outBytes / 2);
        at += static_cast<std::size_t>(inBytes / 2);
    }
    return out;
}

TEST(Accelerate, EqualsOverlapAddOnOneTimelineWhateverTheBlocking) {
    for (int speed : {101, 125, 150, 200, 237, 300}) {
        SCOPED_TRACE(testing::Message() << "speed " << speed);
        const std::vector<int16_t> in = test::TestSignal(16000, 5.0, 8);
        const std::vector<int16_t> expected = ReferenceAccelerate(in, 16000, 80.0f, speed);
        struct Plan {
            int inBlock, outCapacity;
        };
        for (const Plan& plan : {Plan{static_cast<int>(in.size()), static_cast<int>(in.size())}, Plan{320, 400},
                                 Plan{333, 97}, Plan{7, 5000}}) {
            ComponentPtr accelerate = MakeStarted(16000, speed);
            std::vector<int16_t> out = Feed(accelerate.get(), in, plan.inBlock, plan.outCapacity);
            ASSERT_LE(out.size(), expected.size());
            // Output held back for the next call is at most one output hop.
            EXPECT_GE(out.size() + GeometryFor(16000, 80, speed).outputHop, expected.size());
            ASSERT_TRUE(std::equal(out.begin(), out.end(), expected.begin())) << "block " << plan.inBlock;
        }
    }
}

// Start refuses what gives no usable window or fade; the component stays built.  With no
// output room a running filter takes nothing; a negative room is refused.
TEST(Accelerate, StartRefusesAWindowWithoutFadeOrTooLargeToHold) {
    ComponentPtr accelerate = Make("AccelerateAudioFilter");
    ASSERT_EQ(accelerate->SetProperty("SamplesPerSec", 16000, nullptr), 0);
    ASSERT_EQ(accelerate->Build(), 0);
    EXPECT_EQ(accelerate->Start(), -1);  // speed 100: no overlap to fade
    ASSERT_EQ(accelerate->SetProperty("Speed", 101, nullptr), 0);
    ASSERT_EQ(accelerate->Start(), 0);  // the smallest working speed at 80 ms and 16 kHz
    EXPECT_EQ(accelerate->SetProperty("Speed", 150, nullptr), ZELMAR_E_STATE);
    std::vector<int16_t> in(1280, 500), out(1);
    int32_t inBytes = 2560, outBytes = 0;
    ASSERT_EQ(accelerate->Process(in.data(), &inBytes, out.data(), &outBytes), 0);
    EXPECT_EQ(inBytes, 0);
    EXPECT_EQ(outBytes, 0);
    inBytes = 2560, outBytes = -1;
    EXPECT_EQ(accelerate->Process(in.data(), &inBytes, out.data(), &outBytes), ZELMAR_E_INVALIDARG);
    ASSERT_EQ(accelerate->Stop(), 0);
    EXPECT_EQ(accelerate->SetProperty("SamplesPerSec", 0, nullptr), 0);
    EXPECT_EQ(accelerate->Start(), -1);  // no window at all
    EXPECT_EQ(accelerate->SetProperty("SamplesPerSec", 2000000000, nullptr), 0);
    EXPECT_EQ(accelerate->SetProperty("WindowTime", 1000000, nullptr), 0);
    EXPECT_EQ(accelerate->Start(), ZELMAR_E_INVALIDARG);
}

}  // namespace
}  // namespace zelmar
