// The pieces that carry a near-end talker through the echo cancellation of mono captures: the
// linear canceller against echoes computed here as plain convolutions, the double-talk
// detector's decisions, and the lag of WebRTC's canceller that the capture effects line the
// linear canceller's output up with.  The whole path: capture_effects_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "dsp/blocks/DoubleTalkDetector.h"
#include "platform/audio/CaptureEffects.h"
#include "platform/audio/LinearEchoCanceller.h"
#include "support/SpeechMaterial.h"

namespace zelmar {
namespace {

constexpr uint32_t kBlock = 160;  // 10 ms at 16 kHz
constexpr uint32_t kPartitions = 16;

std::vector<float> Scaled(std::vector<float> x, float gain) {
    for (float& v : x) v *= gain;
    return x;
}

// A room of `gain`: the direct sound 12 ms in, reflections decaying over 80 ms after it.
std::vector<float> Room(uint32_t seed, float gain) {
    const std::vector<float> noise = test::WhiteNoise(16 * 100, seed);
    std::vector<float> h(16 * 100, 0.0f);
    h[16 * 12] = gain;
    for (size_t k = 16 * 12 + 1; k < h.size(); ++k) {
        h[k] = 0.1f * gain * noise[k] * std::exp(-6.9f * static_cast<float>(k - 16 * 12) / (16 * 80));
    }
    return h;
}

std::vector<float> Convolve(const std::vector<float>& x, const std::vector<float>& h) {
    std::vector<float> y(x.size(), 0.0f);
    for (size_t n = 0; n < x.size(); ++n) {
        double sum = 0;
        for (size_t k = 0; k < h.size() && k <= n; ++k) sum += double(h[k]) * x[n - k];
        y[n] = static_cast<float>(sum);
    }
    return y;
}

double Energy(const float* x, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += double(x[i]) * x[i];
    return sum;
}

// Learns a room from white noise (most of it within half a second); keeps cancelling it while a
// talker comes through untouched (not learning); and when the path goes away (a headset plugged
// in), a stale estimate that would make the capture louder is dropped: the capture then passes
// unchanged.
TEST(LinearEchoCanceller, LearnsARoomKeepsItThroughATalkerAndStartsOverWhenThePathIsGone) {
    const size_t learnBlocks = 400, talkBlocks = 100, goneBlocks = 50;
    const size_t total = (learnBlocks + talkBlocks + goneBlocks) * kBlock;
    const std::vector<float> far = Scaled(test::WhiteNoise(total, 1), 3000.0f);
    const std::vector<float> echo = Convolve(far, Room(2, 0.3f));
    const std::vector<float> talker = Scaled(test::WhiteNoise(total, 3), 3000.0f);
    const std::vector<float> noise = Scaled(test::WhiteNoise(total, 4), 3.0f);
    platform::audio::LinearEchoCanceller canceller;
    ASSERT_TRUE(canceller.Init(kBlock, kPartitions));
    std::vector<float> captured(kBlock), out(kBlock);
    double echoEnergy = 0, leftEnergy = 0, earlyEcho = 0, earlyLeft = 0;
    for (size_t b = 0; b < learnBlocks + talkBlocks + goneBlocks; ++b) {
        const size_t at = b * kBlock;
        const bool talking = b >= learnBlocks && b < learnBlocks + talkBlocks;
        const bool gone = b >= learnBlocks + talkBlocks;
        for (size_t i = 0; i < kBlock; ++i) {
            captured[i] = (gone ? 0.0f : echo[at + i]) + noise[at + i] + (talking ? talker[at + i] : 0.0f);
        }
        canceller.Process(&far[at], captured.data(), out.data());
        if (!talking && !gone) canceller.Learn();
        if (b >= 25 && b < 50) {  // a room's echo sits in a few partitions: they learn first
            earlyEcho += Energy(&echo[at], kBlock);
            earlyLeft += Energy(out.data(), kBlock);
        }
        if (b == 50) {
            EXPECT_GT(10 * std::log10(earlyEcho / earlyLeft), 8.0) << "echo left after half a second";
        }
        if (b + 100 >= learnBlocks && b < learnBlocks) {
            echoEnergy += Energy(&echo[at], kBlock);
            leftEnergy += Energy(out.data(), kBlock);
        }
        if (b + 1 == learnBlocks) {
            EXPECT_GT(10 * std::log10(echoEnergy / leftEnergy), 35.0) << "echo left after learning";
            echoEnergy = leftEnergy = 0;
        }
        if (talking) {
            // What is not the talker is what is left of the echo.
            for (size_t i = 0; i < kBlock; ++i) out[i] -= talker[at + i];
            echoEnergy += Energy(&echo[at], kBlock);
            leftEnergy += Energy(out.data(), kBlock);
        }
        if (b + 1 == learnBlocks + talkBlocks) {
            EXPECT_GT(10 * std::log10(echoEnergy / leftEnergy), 35.0) << "echo left while the talker talked";
        }
    }
    for (size_t i = 0; i < kBlock; ++i) ASSERT_EQ(out[i], captured[i]) << "sample " << i;
}

// Geigel's test and the echo estimate's share, one block at a time: a talker is marked from
// its first block and held kHangBlocks; neither an echo the estimate explains nor one of a path
// not learnt yet (10 dB down) nor a quiet capture is.
TEST(DoubleTalkDetector, MarksATalkerFromItsFirstBlockButNotEchoesOrQuiet) {
    struct Case {
        const char* what;
        float echoGain;       // echo = far * gain, delayed by a block
        bool estimateKnown;   // the estimate is the echo itself (else zero: nothing learnt)
        float talkerRms;      // from block 100 to 200
        bool marked;
    };
    const Case cases[] = {
        {"a learnt echo", 0.3f, true, 0.0f, false},
        {"an echo of a path not learnt yet", 0.3f, false, 0.0f, false},
        {"a talker over a learnt echo", 0.3f, true, 3000.0f, true},
        {"a quiet talker alone", 0.0f, false, 60.0f, false},
    };
    const size_t blocks = 300;
    const std::vector<float> far = Scaled(test::WhiteNoise(blocks * kBlock, 5), 3000.0f);
    const std::vector<float> talker = test::WhiteNoise(blocks * kBlock, 6);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CDoubleTalkDetector detector;
        detector.Reset(kBlock, kPartitions);
        std::vector<float> captured(kBlock), estimate(kBlock);
        size_t firstMarked = SIZE_MAX, lastMarked = 0;
        for (size_t b = 1; b < blocks; ++b) {
            for (size_t i = 0; i < kBlock; ++i) {
                const float echo = c.echoGain * far[(b - 1) * kBlock + i];
                const bool talks = b >= 100 && b < 200;
                captured[i] = echo + (talks ? c.talkerRms * talker[b * kBlock + i] : 0.0f);
                estimate[i] = c.estimateKnown ? echo : 0.0f;
            }
            if (detector.Update(&far[b * kBlock], captured.data(), estimate.data())) {
                firstMarked = std::min(firstMarked, b);
                lastMarked = b;
            }
        }
        if (c.marked) {
            EXPECT_EQ(firstMarked, 100u);
            EXPECT_EQ(lastMarked, 199u + CDoubleTalkDetector::kHangBlocks - 1);
        } else {
            EXPECT_EQ(firstMarked, SIZE_MAX);
        }
    }
}

// The capture effects delay the linear canceller's output by WebRTC's own lag before switching
// between the two: their echo-cancelled stream (fed noise it cannot cancel) must come out that
// lag after their fixed latency, at every rate they take.
TEST(CaptureEffects, TheLinearPathIsDelayedByWebRtcsOwnLag) {
    for (const uint32_t rate : {8000u, 16000u, 32000u, 48000u}) {
        SCOPED_TRACE(rate);
        const WAVEFORMATEX format{1, 1, rate, rate * 2, 2, 16, 0};
        const auto effects = platform::audio::CaptureEffects::Create(format, true, false);
        ASSERT_NE(effects, nullptr);
        const size_t chunk = rate / 100, chunks = 300;
        const std::vector<float> far = Scaled(test::WhiteNoise(chunk * chunks, 7), 16.0f);
        const std::vector<float> in = Scaled(test::WhiteNoise(chunk * chunks, 8), 1600.0f);
        std::vector<int16_t> farChunk(chunk), out(in.size());
        for (size_t c = 0; c < chunks; ++c) {
            const int64_t us = static_cast<int64_t>(c) * 10000;
            for (size_t i = 0; i < chunk; ++i) farChunk[i] = static_cast<int16_t>(far[c * chunk + i]);
            for (size_t i = 0; i < chunk; ++i) out[c * chunk + i] = static_cast<int16_t>(in[c * chunk + i]);
            effects->Render(format, reinterpret_cast<const uint8_t*>(farChunk.data()), static_cast<uint32_t>(2 * chunk), us);
            effects->Process(reinterpret_cast<uint8_t*>(out.data() + c * chunk), static_cast<uint32_t>(2 * chunk), us);
        }
        const size_t expected = platform::audio::CaptureEffects::kLatencyChunks * chunk +
                                platform::audio::CaptureEffects::CancellerLagSamples(rate);
        size_t lag = 0;
        double best = -1;
        for (size_t l = 0; l < expected + chunk; ++l) {
            double sum = 0;
            for (size_t i = 100 * chunk; i + l < in.size(); ++i) sum += double(in[i]) * out[i + l];
            if (sum > best) {
                best = sum;
                lag = l;
            }
        }
        EXPECT_EQ(lag, expected);
    }
}

}  // namespace
}  // namespace zelmar
