#include "dsp/PitchVoiceDetector.h"

#include <algorithm>
#include <cstring>

#include <ZelmarEC/ZelmarEC.h>

namespace zelmar {
namespace {

constexpr int kLowPassOrder = 3;
constexpr int kLowPassCutoffHz = 1000;
constexpr int kHighestPitchHz = 500;  // shortest pitch period accepted
constexpr int kLowestPitchHz = 80;    // longest lag examined
constexpr int kFirstLagHz = 3000;     // lags shorter than this are formant, not pitch
constexpr float kSmallestPeak = 1.17549435e-38f;
constexpr float kStrongPeak = 0.7f;
constexpr float kWeakPeak = 0.4f;
constexpr float kSwingLevel = 0.1f;
constexpr int kMinSwings = 3;
constexpr float kEnergyOverFloor = 2.0f;
constexpr float kFloorRise = 0.001f;
constexpr float kFloorFall = 0.01f;

}  // namespace

void CPitchVoiceDetector::CSlidingMinMax::Update(float x) {
    if (slots_.empty()) {
        slots_.assign(static_cast<size_t>(length_), x);
        min_ = max_ = x;
        index_ = 1 % length_;
        return;
    }
    const float old = slots_[static_cast<size_t>(index_)];
    slots_[static_cast<size_t>(index_)] = x;
    if (old == min_) {
        min_ = x;
        min_ = *std::min_element(slots_.begin(), slots_.end());
    } else if (old == max_) {
        max_ = x;
        max_ = *std::max_element(slots_.begin(), slots_.end());
    }
    index_ = (index_ + 1) % length_;
}

CPitchVoiceDetector::CPitchVoiceDetector() = default;

void CPitchVoiceDetector::Initialise(uint32_t sampleRateHz, uint32_t windowMs, int frameMs) {
    rateHz_ = static_cast<int>(sampleRateHz);
    windowLen_ = static_cast<int>(uint64_t{sampleRateHz} * windowMs / 1000);
    frameMs_ = frameMs > 0 ? frameMs : 10;
    energyFloor_ = 0.0f;
    voicedFrames_ = releaseFrames_ = attackFrames_ = 0;
    history_.assign(static_cast<size_t>(windowLen_), 0);
    samples_.assign(static_cast<size_t>(windowLen_), 0.0f);
    // Lags up to rate / 80 are examined; the window is longer than that, but the buffer is
    // sized for both so a short window can never be overrun.
    correlation_.assign(static_cast<size_t>(std::max(windowLen_, rateHz_ / kLowestPitchHz + 1)), 0.0f);
    energyRange_ = CSlidingMinMax(kFloorWindowMs / frameMs_);
    lowPass_.Allocate(companion::kIirKindLowPass, kLowPassOrder, kLowPassCutoffHz, rateHz_);
}

bool CPitchVoiceDetector::Update(const int16_t* frame, int n) {
    if (n > windowLen_) return true;
    if (n > 0) {
        std::memmove(history_.data(), history_.data() + n, static_cast<size_t>(windowLen_ - n) * sizeof(int16_t));
        std::memcpy(history_.data() + (windowLen_ - n), frame, static_cast<size_t>(n) * sizeof(int16_t));
    }
    const int lagMin = rateHz_ / kHighestPitchHz;
    const int lagMax = rateHz_ / kLowestPitchHz;
    const int lagStart = rateHz_ / kFirstLagHz;
    float* ac = correlation_.data();
    if (vectors_.ToFloat(history_.data(), samples_.data(), windowLen_, 0)) {
        // The energy (lag 0) first: a frame not above twice the floor is unvoiced whatever
        // its other lags hold, so their computation, most of the detector's cost, is skipped
        // (the companion returns the same lag 0 whether asked for one lag or many).
        vectors_.AutoCorrNorm(samples_.data(), windowLen_, ac, 1);
        if (ac[0] > kEnergyOverFloor * energyFloor_) vectors_.AutoCorrNorm(samples_.data(), windowLen_, ac, lagMax);
        int16_t unused;
        peakVectors_.MaxAbs(history_.data(), windowLen_, &unused);
    }
    const bool aboveFloor = ac[0] > kEnergyOverFloor * energyFloor_;

    float maxValue = kSmallestPeak;
    int maxLag = 1;
    int swings = 0;
    bool positiveSide = true;
    const float swingLevel = kSwingLevel * ac[0];
    const int firstLag = aboveFloor ? lagStart : lagMax;  // below the floor there is nothing to search
    for (int j = firstLag; j < lagMax; ++j) {
        if (ac[j] > maxValue) {
            maxValue = ac[j];
            maxLag = j;
        }
        if (j >= lagMin) {
            if (positiveSide && ac[j] < -swingLevel) {
                positiveSide = false;
                ++swings;
            } else if (!positiveSide && ac[j] > swingLevel) {
                positiveSide = true;
                ++swings;
            }
        }
    }
    const bool periodic = maxValue > kStrongPeak * ac[0] || (maxValue > kWeakPeak * ac[0] && swings > kMinSwings);
    const bool voicedFrame = aboveFloor && maxLag >= lagMin && periodic;

    energyRange_.Update(ac[0]);
    const float floorTarget = energyRange_.Min();
    energyFloor_ += (floorTarget - energyFloor_) * (floorTarget > energyFloor_ ? kFloorRise : kFloorFall);
    voicedFrames_ += voicedFrame ? 1 : 0;

    if (talking_) {
        if (voicedFrame) {
            releaseFrames_ = 0;
            return true;
        }
        if (releaseFrames_ < hangMs_ / frameMs_) {
            ++releaseFrames_;
            return true;
        }
        releaseFrames_ = 0;
        talking_ = false;
        return false;
    }
    if (!voicedFrame) {
        attackFrames_ = 0;
        return false;
    }
    if (attackFrames_ < kAttackMs / frameMs_) {
        ++attackFrames_;
        return false;
    }
    talking_ = true;
    attackFrames_ = 0;
    return true;
}

}  // namespace zelmar
