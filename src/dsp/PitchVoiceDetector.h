// CPitchVoiceDetector: voiced-speech detection by pitch periodicity.
//
// A 30 ms history of the signal is autocorrelated (through the companion library) over lags of
// 1/3000 s to 1/80 s.  A frame is voiced when its energy is more than twice a slowly tracked
// energy floor, the strongest lag is a pitch period of 500 Hz or lower, and that peak holds
// more than 0.7 of the energy (or more than 0.4 with over three swings of the autocorrelation
// through +-0.1 of the energy, a sign of periodicity).  The floor follows the minimum energy of
// the last 10 s.  A hangover keeps talk going for hangMs after the last voiced frame, and 20 ms
// of voiced frames are needed to start it.
//
// Without the companion's vector functions the autocorrelation stays zero and no frame is
// voiced.
#pragma once

#include <cstdint>
#include <vector>

#include "companion/AudioIIR.h"
#include "companion/AudioIppUtil.h"

namespace zelmar {

class CPitchVoiceDetector {
public:
    // Minimum and maximum over the last `length` values, each value replacing the oldest.
    // The range is searched again only when the value leaving was the minimum (or else the
    // maximum); a new value beyond the range does not widen it until then.  The energy floor
    // follows this range, so the voice decisions depend on that rule.
    class CSlidingMinMax {
    public:
        explicit CSlidingMinMax(int length) : length_(length > 0 ? length : 1) {}
        void Update(float x);
        float Min() const { return min_; }
        float Max() const { return max_; }

    private:
        std::vector<float> slots_;  // made on first use
        int index_ = 0;
        int length_;
        float min_ = 0.0f;
        float max_ = 0.0f;
    };

    static constexpr int kFloorWindowMs = 10000;
    static constexpr int kAttackMs = 20;

    CPitchVoiceDetector();

    // Sizes the history for windowMs at sampleRateHz and forgets what was learnt.
    void Initialise(uint32_t sampleRateHz, uint32_t windowMs, int frameMs);
    // One frame of n samples; true when the frame counts as voiced.
    bool Update(const int16_t* frame, int n);

    void SetHangMs(int ms) { hangMs_ = ms; }
    int VoicedFrames() const { return voicedFrames_; }
    float EnergyFloor() const { return energyFloor_; }
    bool Talking() const { return talking_; }

private:
    int windowLen_ = 0;
    int rateHz_ = 0;
    int frameMs_ = 10;
    float energyFloor_ = 0.0f;
    int voicedFrames_ = 0;
    int releaseFrames_ = 0;
    int attackFrames_ = 0;
    int hangMs_ = 0;
    bool talking_ = true;
    std::vector<int16_t> history_;
    std::vector<float> samples_;
    std::vector<float> correlation_;
    CSlidingMinMax energyRange_{kFloorWindowMs / 10};
    CAudioIIR lowPass_;  // designed at initialisation, kept for the analysis, not run
    CAudioIppUtil vectors_;
    CAudioIppUtil peakVectors_;
};

}  // namespace zelmar
