#include "dsp/blocks/LevelGate.h"

#include <algorithm>
#include <cmath>

namespace zelmar {
namespace {

constexpr float kLevelScale = 32767.0f;
constexpr int kInitialThreshold = 100;
constexpr int kMinThreshold = 100;
constexpr float kInitialNoise = 5.0f;
constexpr float kLearntNoise = 30.0f;
// Windows quieter than this (mean magnitude units) teach nothing about the noise.
constexpr float kMinWindowPeak = 50.0f;
constexpr float kSteadyDeviation = 50.0f;
constexpr float kBusyDeviation = 100.0f;

}  // namespace

void CLevelGate::CRunningStats::Add(float x) {
    ++count;
    if (max < x) {
        max = x;
    } else if (min > x) {
        min = x;
    }
    const float d = x - mean;
    mean += d / static_cast<float>(count);
    m2 += d * (static_cast<float>(count - 1) * d) / static_cast<float>(count);
}

float CLevelGate::CRunningStats::Deviation() const {
    return count <= 1 ? 0.0f : static_cast<float>(std::sqrt(m2 / static_cast<float>(count - 1)));
}

void CLevelGate::CRunningStats::Clear() { *this = CRunningStats(); }

void CLevelGate::ClearWindow() {
    minAbove_ = 2147483647;
    maxAbove_ = maxBelow_ = countAbove_ = countBelow_ = 0;
}

void CLevelGate::Restart() {
    noise_ = kInitialNoise;
    threshold_ = 0;
    runFrames_ = 0;
    lastDeviation_ = kInitialNoise;
    lastMinimum_ = 0.0f;
    ClearWindow();
    stats_.Clear();
    open_ = false;
}

bool CLevelGate::Update(float meanNormalised) {
    // Frame levels are at most 32767 (a mean magnitude), so the conversion cannot overflow.
    const int level = static_cast<int>(meanNormalised * kLevelScale);
    stats_.Add(static_cast<float>(level));
    const bool loud = level > threshold_;
    if (open_ == loud) {
        runFrames_ = 0;
    } else {
        ++runFrames_;
        if (runFrames_ >= (open_ ? closeFrames_ : openFrames_)) {
            open_ = !open_;
            runFrames_ = 0;  // the next run is counted from the flip
            ClearWindow();
            stats_.Clear();
            return !open_;
        }
    }
    if (threshold_ == 0) {
        noise_ = kLearntNoise;
        threshold_ = kInitialThreshold;
        return true;
    }
    if (loud) {
        minAbove_ = std::min(minAbove_, level);
        maxAbove_ = std::max(maxAbove_, level);
        ++countAbove_;
    } else {
        maxBelow_ = std::max(maxBelow_, level);
        ++countBelow_;
    }
    if (countAbove_ + countBelow_ <= windowFrames_) return !open_;

    if (stats_.max > kMinWindowPeak) {
        const float deviation = stats_.Deviation();
        const float minimum = stats_.min;
        // A window whose minimum is a fair fraction of its maximum is steady background: the
        // noise estimate follows its deviation, fast when the deviation is small.
        float fast = 0.0f, slow = 0.0f;
        if (deviation < kSteadyDeviation) {
            fast = 0.5f;
            slow = 0.2f;
        } else if (deviation < kBusyDeviation) {
            fast = 0.05f;
            slow = 0.02f;
        }
        if (5.0f * minimum > stats_.max) {
            noise_ += (deviation - noise_) * fast;
        } else if (10.0f * minimum > stats_.max) {
            noise_ += (deviation - noise_) * slow;
        }
        lastDeviation_ = deviation;
        lastMinimum_ = minimum;
        if (noise_ > deviation) {
            const float base = static_cast<float>(countAbove_ != 0 ? maxAbove_ : maxBelow_);
            const float target = base + (base - stats_.mean) * 0.5f;
            threshold_ = static_cast<int>(target * 0.1f + static_cast<float>(threshold_) * 0.9f);
        }
    }
    if (threshold_ <= kMinThreshold) threshold_ = kMinThreshold;
    ClearWindow();
    stats_.Clear();
    return !open_;
}

}  // namespace zelmar
