// CAutoGainControl: per-frame automatic gain toward a target peak.
//
// When the frame peak times the gain exceeds the target the gain falls at once toward
// target / peak (5 % of the distance per frame above unity gain, 1 % below); otherwise, in
// speech, it rises by upSpeed of the distance (five times faster, at most 0.1 per frame, while
// below unity); in silence it holds.  The result stays within [minGain, maxGain].
#pragma once

namespace zelmar {

class CAutoGainControl {
public:
    void Restart(float maxGain, float minGain) {
        gain = 1.0f;
        holdFrames = 0;
        SetLimits(maxGain, minGain);
    }
    void SetLimits(float maxGainLimit, float minGainLimit) {
        maxGain = maxGainLimit;
        minGain = minGainLimit;
    }
    // `peak` and `target` as fractions of full scale.
    float Update(float peak, float target, bool silent);

    float gain = 1.0f;
    int holdFrames = 0;
    float upSpeed = 0.0005f;
    float maxGain = 3.0f;
    float minGain = 0.5f;
};

}  // namespace zelmar
