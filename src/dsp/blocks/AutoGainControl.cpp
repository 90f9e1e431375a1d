#include "dsp/blocks/AutoGainControl.h"

namespace zelmar {
namespace {

constexpr float kFallRateAboveUnity = 0.05f;
constexpr float kFallRateBelowUnity = 0.01f;
constexpr float kRiseBoostBelowUnity = 5.0f;
constexpr float kMaxRiseBelowUnity = 0.1f;

}  // namespace

float CAutoGainControl::Update(float peak, float target, bool silent) {
    if (peak * gain > target) {
        gain += (target / peak - gain) * (gain >= 1.0f ? kFallRateAboveUnity : kFallRateBelowUnity);
        holdFrames = 0;
    } else if (silent || peak <= 0.0f) {
        // A frame of digital silence holds too: target / 0 would drive the gain to its limit.
        ++holdFrames;
    } else {
        float step = (target / peak - gain) * upSpeed;
        if (gain < 1.0f) {
            step *= kRiseBoostBelowUnity;
            if (step > kMaxRiseBelowUnity) step = kMaxRiseBelowUnity;
        }
        gain += step;
        holdFrames = 0;
    }
    if (gain > maxGain) {
        gain = maxGain;
    } else if (gain < minGain) {
        gain = minGain;
    }
    return gain;
}

}  // namespace zelmar
