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
// 10^((F + E (T - F)) / 20) and compares all five arguments.
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
    // The pre-processor's expander floor is kept at or above this.
    static constexpr float kPreProcessorFloorLimitDb = -50.0f;
    // A threshold at or below the floor leaves no room for the expander: it moves to -1 dB.
    static constexpr float kThresholdBelowFloorDb = -1.0f;

    explicit CCompressorCurve(Flavour flavour) : flavour_(flavour) {}

    // Coefficients 1 - exp(-1 / samples) for the attack and release times, and a zeroed
    // delay line of delayMs.  Returns -1 and changes nothing when a rate or time is 0.
    int Setup(uint32_t sampleRateHz, uint32_t attackMs, uint32_t releaseMs, uint32_t delayMs);
    // Frees the delay line (the look-ahead is then 0 until the next Setup).
    void ReleaseDelayLine();

    // Designs the curve; does nothing when the arguments equal the last configuration.  The
    // pre-processor calls this per sample with a gain that moves every sample while its
    // automatic gain settles; its breakpoints do not depend on the gain, so when the shape's
    // arguments are those of the current breakpoints only the gain is stored.
    // Returns true when the breakpoints were designed anew.
    bool Configure(float thresholdDb, float ratio, float exRatio, float floorDb, float gain) {
        if (ShapeIsFor(thresholdDb, ratio, exRatio, floorDb)) {
            last_.gain = gain;
            gain_ = gain;
            return false;
        }
        return Redesign(thresholdDb, ratio, exRatio, floorDb, gain);
    }

    float Process(float x) {
        const float delayed = Track(x);  // moves the envelope Shape reads
        return Shape(delayed, envelope_);
    }

    // Process in two halves, so that a block can run the serial half sample by sample and the
    // curve over the whole block at once.  Track scales x by the gain, moves the envelope
    // (Envelope() afterwards) and returns the scaled input delayed by the look-ahead.
    float Track(float x) {
        const float scaled = gain_ * x;
        const float magnitude = scaled < 0.0f ? -scaled : scaled;
        envelope_ += (magnitude - envelope_) * (magnitude > envelope_ ? attackCoef_ : releaseCoef_);
        if (delayLen_ == 0) return scaled;
        const float delayed = delayLine_[delayIndex_];
        delayLine_[delayIndex_] = scaled;
        if (++delayIndex_ == delayLen_) delayIndex_ = 0;
        return delayed;
    }
    // The output for a delayed sample and the envelope Track left: the delayed sample times
    // curve(envelope) / envelope, 0 below the smallest envelope.
    float Shape(float delayed, float envelope) const {
        if (envelope < kMinEnvelope || pointCount_ < 2) return 0.0f;
        int k = 1;
        while (k < pointCount_ - 1 && envelope >= x_[k]) ++k;
        const float level = (envelope - x_[k - 1]) * (y_[k] - y_[k - 1]) / (x_[k] - x_[k - 1]) + y_[k - 1];
        return delayed * level / envelope;
    }
    // Track over a block with a gain that moves every sample and curve arguments that stay
    // fixed (the pre-processor's case, once ShapeIsFor those arguments): for each sample i the
    // gain nextGain(i) is stored, as Configure would, then Track runs; samples[i] becomes the
    // delayed sample and envelopes[i] the envelope.  The state lives in locals through the
    // loop, so the chain from one sample's envelope to the next is a few arithmetic steps, and
    // the caller's gain chain can overlap with it.
    template <typename NextGain>
    void TrackBlock(NextGain&& nextGain, float* samples, float* envelopes, uint32_t count) {
        float envelope = envelope_;
        float gain = gain_;
        uint32_t index = delayIndex_;
        float* line = delayLine_.data();
        const uint32_t length = delayLen_;
        const float attack = attackCoef_, release = releaseCoef_;
        for (uint32_t i = 0; i < count; ++i) {
            gain = nextGain(i);
            const float scaled = gain * samples[i];
            const float magnitude = scaled < 0.0f ? -scaled : scaled;
            envelope += (magnitude - envelope) * (magnitude > envelope ? attack : release);
            float delayed = scaled;
            if (length > 0) {
                delayed = line[index];
                line[index] = scaled;
                if (++index == length) index = 0;
            }
            samples[i] = delayed;
            envelopes[i] = envelope;
        }
        envelope_ = envelope;
        delayIndex_ = index;
        gain_ = gain;
        if (count > 0) last_.gain = gain;
    }
    // The pre-processor's breakpoints are those these arguments design, whatever the gain, so
    // Configure with them would only store the gain.
    bool ShapeIsFor(float thresholdDb, float ratio, float exRatio, float floorDb) const {
        if (flavour_ != Flavour::kPreProcessor || !shapeDesigned_) return false;
        const float floor = floorDb < kPreProcessorFloorLimitDb ? kPreProcessorFloorLimitDb : floorDb;
        const float threshold = exRatio != 0.0f && thresholdDb <= floor ? kThresholdBelowFloorDb : thresholdDb;
        return threshold == last_.thresholdDb && ratio == last_.ratio && exRatio == last_.exRatio &&
               (exRatio == 0.0f || floor == last_.floorDb);
    }
    // Shape over a block: samples[i] (delayed samples) becomes Shape(samples[i], envelopes[i]),
    // with the same arithmetic, written without branches so that it runs on vectors.
    void ShapeBlock(const float* envelopes, float* samples, uint32_t count) const;

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
    bool Redesign(float thresholdDb, float ratio, float exRatio, float floorDb, float gain);

    Configuration last_;  // all zero until the first change
    // The breakpoints are the curve of last_'s threshold, ratio, expander ratio and floor.
    bool shapeDesigned_ = false;
};

}  // namespace zelmar
