// CPitchVoiceDetector against a straight model of its rules (double-precision direct
// autocorrelation), and the sliding minimum/maximum that feeds its energy floor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "dsp/PitchVoiceDetector.h"
#include "support/Companion.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using MinMax = CPitchVoiceDetector::CSlidingMinMax;

TEST(PitchVoiceDetector, SlidingRangeIsSearchedAgainOnlyWhenAnExtremeLeaves) {
    MinMax range(4);
    range.Update(5);  // slots 5 5 5 5
    EXPECT_EQ(range.Min(), 5);
    range.Update(3);  // 5 3 5 5: a 5 left and it was the minimum, so searched again
    EXPECT_EQ(range.Min(), 3);
    EXPECT_EQ(range.Max(), 5);
    range.Update(9);  // 5 3 9 5: a 5 left and it was the maximum, searched again
    EXPECT_EQ(range.Max(), 9);
    range.Update(7);  // 5 3 9 7: the 5 that left was neither
    range.Update(1);  // 1 3 9 7: neither again, so the range is not widened to 1 yet
    EXPECT_EQ(range.Min(), 3);
    EXPECT_EQ(range.Max(), 9);
    range.Update(4);  // 1 4 9 7: the 3 that left was the minimum: searched again
    EXPECT_EQ(range.Min(), 1);
}

// The detector's rules written out directly, with the autocorrelation summed in double.
struct ModelDetector {
    ModelDetector(int rate, int hangMs) : rate(rate), window(size_t(rate * 30 / 1000)), hangMs(hangMs), history(window, 0) {}

    bool Update(const int16_t* frame, int n) {
        std::copy(history.begin() + n, history.end(), history.begin());
        std::copy(frame, frame + n, history.end() - n);
        const int lagMin = rate / 500, lagMax = rate / 80, lagStart = rate / 3000;
        std::vector<double> ac(size_t(lagMax), 0.0);
        for (int j = 0; j < lagMax; ++j) {
            for (size_t i = 0; i + size_t(j) < window; ++i) ac[size_t(j)] += double(history[i]) * history[i + size_t(j)];
            ac[size_t(j)] /= double(window);
        }
        double maxValue = 1.17549435e-38;
        int maxLag = 1, crossings = 0;
        bool positive = true;
        for (int j = lagStart; j < lagMax; ++j) {
            if (ac[size_t(j)] > maxValue) maxValue = ac[size_t(j)], maxLag = j;
            if (j < lagMin) continue;
            if (positive && ac[size_t(j)] < -0.1 * ac[0]) positive = false, ++crossings;
            else if (!positive && ac[size_t(j)] > 0.1 * ac[0]) positive = true, ++crossings;
        }
        const bool voiced = ac[0] > 2 * floor && maxLag >= lagMin &&
                            (maxValue > 0.7 * ac[0] || (maxValue > 0.4 * ac[0] && crossings > 3));
        range.Update(float(ac[0]));
        const double e = range.Min();
        floor += (e - floor) * (e > floor ? 0.001 : 0.01);
        if (talking) {
            if (voiced) return release = 0, true;
            if (release < hangMs / 10) return ++release, true;
            release = 0, talking = false;
            return false;
        }
        if (!voiced) return attack = 0, false;
        if (attack < 2) return ++attack, false;
        talking = true, attack = 0;
        return true;
    }

    int rate;
    size_t window;
    int hangMs;
    std::vector<int16_t> history;
    MinMax range{1000};
    double floor = 0;
    int release = 0, attack = 0;
    bool talking = true;
};

TEST(PitchVoiceDetector, FrameDecisionsFollowTheRulesOnVoicedUnvoicedAndSilentStretches) {
    for (int rate : {16000, 32000}) {
        test::VirtualPlatform platform;
        ASSERT_TRUE(test::RegisterRealCompanion(platform.libraries));
        CPitchVoiceDetector detector;
        detector.Initialise(uint32_t(rate), 30, 10);
        detector.SetHangMs(200);
        ModelDetector model(rate, 200);

        // 60 s of 200 ms stretches: voiced (a 90-300 Hz buzz with harmonics over noise),
        // noise alone, near silence, at levels that change by tens of dB, so the energy floor
        // rises and falls and many frames sit below twice the floor.
        std::mt19937 random{uint32_t(rate)};
        std::normal_distribution<double> noise(0.0, 1.0);
        std::uniform_real_distribution<double> pitch(90, 300), level(0.01, 1.0);
        const int frame = rate / 100;
        std::vector<int16_t> block(static_cast<size_t>(frame));
        int frames = 0, agree = 0, voiced = 0, modelVoiced = 0;
        double phase = 0;
        for (int stretch = 0; stretch < 300; ++stretch) {
            const int kind = int(random() % 3);
            const double hz = pitch(random), gain = level(random);
            for (int f = 0; f < 20; ++f) {
                for (int i = 0; i < frame; ++i) {
                    double v = 300 * gain * noise(random);
                    if (kind == 0) {
                        phase += 2 * M_PI * hz / rate;
                        v += 8000 * gain * (std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.3 * std::sin(3 * phase));
                    } else if (kind == 2) {
                        v *= 0.02;
                    }
                    block[size_t(i)] = int16_t(std::lround(std::clamp(v, -32768.0, 32767.0)));
                }
                const bool ours = detector.Update(block.data(), frame);
                const bool theirs = model.Update(block.data(), frame);
                ++frames;
                agree += ours == theirs;
                voiced += ours;
                modelVoiced += theirs;
            }
        }
        // Float against double rounding could flip a frame sitting on a threshold, nothing more
        // (none flips on this signal).
        EXPECT_GE(agree, frames - frames / 1000) << rate << " Hz: " << voiced << " vs " << modelVoiced << " voiced";
        // Both outcomes are exercised (low buzzes count as unvoiced: their short lags correlate
        // more than the pitch lag).
        EXPECT_GT(voiced, frames / 10);
        EXPECT_LT(voiced, frames * 9 / 10);
    }
}

}  // namespace
}  // namespace zelmar
