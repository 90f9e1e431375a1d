// CCompressorCurve: a compressor/expander with a piecewise-linear gain curve.
//
// The input is scaled by the gain g, a peak envelope follows |g x| with separate attack and
// release coefficients, and the output is the scaled input, delayed by the look-ahead, times
// curve(envelope) / envelope.  The curve maps envelope levels (linear full-scale units) to
// output levels through 3 breakpoints (compressor only) or 5 (with the expander):
//
//   (0, 0); (a, a) the knee; (1, 10^(T (1 - R) / 20))        T threshold dB, R ratio
//   with expander E over a floor F: (0, 0); (10^(F/20), same); (10^(t/20), y_t);
//   (10^(T/20), same); (1, 10^(T (1 - R) / 20))
//
// Above the knee the level excess is scaled by R (in dB); between t and T the slope is E; from
// F to t the curve returns to unity at F.
//
// Two flavours exist.  The pre-processor's keeps the floor at or above -50 dB, puts t a quarter
// of the way from F to T and skips an unchanged configuration by (T, R, g) alone when there is
// no expander.  The amplifier's uses the floor as given, puts t 0.3 of the way with the output
// 10^((F + E (T - F)) / 20), compares all five arguments, and traces each new breakpoint.
#pragma once

#include <cstdint>
#include <vector>

namespace zelmar {

class CCompressorCurve {
public:
    enum class Flavour { kPreProcessor, kAmplifier };
    static constexpr int kMaxPoints = 5;
    // Below this envelope (2^-23) the output is silence rather than a division by ~0.
    static constexpr float kMinEnvelope = 1.1920929e-07f;

    explicit CCompressorCurve(Flavour flavour) : flavour_(flavour) {}

    // Coefficients 1 - exp(-1 / samples) for the attack and release times, and a zeroed
    // delay line of delayMs.  Returns -1 and changes nothing when a rate or time is 0.
    int Setup(uint32_t sampleRateHz, uint32_t attackMs, uint32_t releaseMs, uint32_t delayMs);
    // Frees the delay line (the look-ahead is then 0 until the next Setup).
    void ReleaseDelayLine();

    // Designs the curve; does nothing when the arguments equal the last configuration.  The
    // pre-processor calls this per sample with a gain that moves every sample while its
    // automatic gain settles; the breakpoints do not depend on the gain, so a change of gain
    // alone only stores it.
    void Configure(float thresholdDb, float ratio, float exRatio, float floorDb, float gain) {
        if (flavour_ == Flavour::kPreProcessor && exRatio == 0.0f && thresholdDb == last_.thresholdDb &&
            ratio == last_.ratio && shapeIsThreePoint_) {
            last_.gain = gain;
            gain_ = gain;
            return;
        }
        Redesign(thresholdDb, ratio, exRatio, floorDb, gain);
    }

    float Process(float x) {
        const float scaled = gain_ * x;
        const float magnitude = scaled < 0.0f ? -scaled : scaled;
        envelope_ += (magnitude - envelope_) * (magnitude > envelope_ ? attackCoef_ : releaseCoef_);
        float delayed = scaled;
        if (delayLen_ > 0) {
            delayed = delayLine_[delayIndex_];
            delayLine_[delayIndex_] = scaled;
            if (++delayIndex_ == delayLen_) delayIndex_ = 0;
        }
        if (envelope_ < kMinEnvelope || pointCount_ < 2) return 0.0f;
        int k = 1;
        while (k < pointCount_ - 1 && envelope_ >= x_[k]) ++k;
        const float level = (envelope_ - x_[k - 1]) * (y_[k] - y_[k - 1]) / (x_[k] - x_[k - 1]) + y_[k - 1];
        return delayed * level / envelope_;
    }

    int PointCount() const { return pointCount_; }
    float PointX(int i) const { return x_[i]; }
    float PointY(int i) const { return y_[i]; }
    uint32_t DelaySamples() const { return delayLen_; }
    float Envelope() const { return envelope_; }

private:
    struct Configuration {
        float thresholdDb = 0, ratio = 0, exRatio = 0, floorDb = 0, gain = 0;
    };

    Flavour flavour_;
    float attackCoef_ = 0.0f;
    float releaseCoef_ = 0.0f;
    int pointCount_ = 0;
    float x_[kMaxPoints] = {};
    float y_[kMaxPoints] = {};
    float envelope_ = 0.0f;
    float gain_ = 0.0f;
    std::vector<float> delayLine_;
    uint32_t delayLen_ = 0;
    uint32_t delayIndex_ = 0;
    void Redesign(float thresholdDb, float ratio, float exRatio, float floorDb, float gain);

    Configuration last_;  // all zero until the first change
    // The breakpoints are the 3-point curve of last_'s threshold and ratio.
    bool shapeIsThreePoint_ = false;
};

}  // namespace zelmar
