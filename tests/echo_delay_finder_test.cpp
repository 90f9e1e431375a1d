#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "dsp/blocks/EchoDelayFinder.h"
#include "support/SpeechMaterial.h"

namespace zelmar {
namespace {

// Far-end noise at -20 dBFS, and its echo through a room: the direct sound `delayMs` late at
// -10 dB, then a 100 ms tail of noise decaying by 60 dB, plus near-end noise 40 dB down.
// The echo is a plain convolution here, apart from the finder.
struct Room {
    std::vector<int16_t> far, captured;
};

Room MakeRoom(int rateHz, double delayMs, double seconds, uint32_t seed) {
    const size_t n = static_cast<size_t>(rateHz * seconds);
    const size_t delay = static_cast<size_t>(std::lround(delayMs * rateHz / 1000));
    const std::vector<float> source = test::WhiteNoise(n, seed);
    const std::vector<float> tailNoise = test::WhiteNoise(static_cast<size_t>(rateHz / 10), seed + 1);
    const std::vector<float> nearNoise = test::WhiteNoise(n, seed + 2);
    std::vector<double> response(tailNoise.size(), 0.0);
    response[0] = std::pow(10.0, -10.0 / 20);
    for (size_t k = 1; k < response.size(); ++k) {
        // 60 dB down over the tail: 10^(-3 k / length); the tail starts 20 dB below the direct sound.
        response[k] = 0.1 * response[0] * tailNoise[k] * std::pow(10.0, -3.0 * k / response.size());
    }
    Room room;
    room.far.resize(n);
    room.captured.resize(n);
    const double level = 3277.0;  // -20 dBFS RMS
    for (size_t i = 0; i < n; ++i) room.far[i] = static_cast<int16_t>(std::lround(source[i] * level));
    for (size_t i = 0; i < n; ++i) {
        double echo = nearNoise[i] * level / 100;
        for (size_t k = 0; k < response.size() && k + delay <= i; ++k) echo += response[k] * room.far[i - delay - k];
        room.captured[i] = static_cast<int16_t>(std::clamp(std::lround(echo), -32768L, 32767L));
    }
    return room;
}

// Far end and capture in 10 ms blocks, the far end one block ahead as a device delivers them.
int32_t Feed(CEchoDelayFinder& finder, const Room& room, int rateHz, size_t from, size_t to) {
    const size_t block = static_cast<size_t>(rateHz / 100);
    for (size_t i = from; i + block <= to; i += block) {
        finder.AddFar(room.far.data() + i, static_cast<uint32_t>(block));
        finder.AddCaptured(room.captured.data() + i, static_cast<uint32_t>(block));
    }
    return finder.DelayMs();
}

TEST(EchoDelayFinder, FindsTheDelayOfARoomWithinOneAnalysisStep) {
    struct Case {
        int rateHz;
        double delayMs;
    };
    // Delays off the analysis grid (a third of a 16 kHz sample step), at the rates the
    // canceller runs at.
    for (const Case c : {Case{16000, 30.19}, Case{16000, 100.19}, Case{16000, 250.19}, Case{8000, 100.19},
                         Case{48000, 250.19}}) {
        SCOPED_TRACE(testing::Message() << c.rateHz << " Hz, " << c.delayMs << " ms");
        const Room room = MakeRoom(c.rateHz, c.delayMs, 2.0, 7);
        CEchoDelayFinder finder;
        finder.Reset(static_cast<uint32_t>(c.rateHz), 500);
        // Not before half a second of correlation (after the longest lag has passed).
        EXPECT_EQ(Feed(finder, room, c.rateHz, 0, static_cast<size_t>(c.rateHz * 0.8)), -1);
        const int32_t found = Feed(finder, room, c.rateHz, static_cast<size_t>(c.rateHz * 0.8), room.far.size());
        EXPECT_NEAR(found, c.delayMs, 1000.0 / CEchoDelayFinder::kAnalysisRateHz);
    }
}

TEST(EchoDelayFinder, FollowsAPathChangeAndReportsNothingWithoutEcho) {
    const int rate = 16000;
    const Room before = MakeRoom(rate, 100, 2.0, 11);
    const Room after = MakeRoom(rate, 250, 4.0, 12);
    CEchoDelayFinder finder;
    finder.Reset(rate, 500);
    EXPECT_EQ(Feed(finder, before, rate, 0, before.far.size()), 100);
    // The old peak forgets with a 0.5 s time constant: 2 s later only the new one is left.
    EXPECT_EQ(Feed(finder, after, rate, 0, 2 * rate), 250);

    // A capture that holds no echo of the far end: nothing stands out.
    Room unrelated = MakeRoom(rate, 100, 3.0, 13);
    unrelated.captured = MakeRoom(rate, 100, 3.0, 14).far;
    finder.Reset(rate, 500);
    EXPECT_EQ(Feed(finder, unrelated, rate, 0, unrelated.far.size()), -1);
}

}  // namespace
}  // namespace zelmar
