// CLimiter: a look-ahead peak limiter.  The signal is delayed by `lookahead` samples while a
// peak detector (held for `lookahead` samples) drives a smoothed envelope; the output is the
// delayed input times threshold / envelope.  The envelope starts rising as soon as a peak
// enters the delay line, so the gain has already fallen when the peak reaches the output.
//
// The attack follower closes 99 % of a step within the attack time, which is also the
// look-ahead, so a sudden peak leaves the limiter at most about 1 % (0.1 dB) above the
// threshold.  The peak hold, however, counts from when the held peak was taken, not from the
// last sample that reached it: when it expires onto a quieter input while louder samples are
// still in the delay line (the end of a loud burst, the falling side of a low tone's peak),
// the envelope has begun to release and those samples leave above the threshold.  This is a
// smooth peak limiter, not a brick wall.
//
// The look-ahead is always counted at 32 samples per millisecond (the limiter's own rate
// stays 32000 whatever SetSampleRate says); SetSampleRate only retunes the two followers.
// Samples are floats in the owner's scale; the threshold is in that scale too.
#pragma once

#include <cstdint>
#include <memory>

namespace zelmar {

class CLimiter {
public:
    // One-pole follower: coefficient = 0.01^(1000 / (sampleRate * timeMs)), so it closes
    // 99 % (-40 dB of the remaining difference) of a step in timeMs.
    class Envelope {
    public:
        Envelope(float timeMs, uint32_t sampleRate);
        virtual ~Envelope();
        virtual void SetTime(float ms);
        virtual void UpdateCoefficient();
        void SetSampleRate(uint32_t hertz);
        void Smooth(float x, float& state) const { state = (state - x) * coefficient + x; }

        uint32_t sampleRate;
        float timeMs;
        float coefficient = 0.0f;
    };

    static constexpr uint32_t kDefaultSampleRate = 32000;
    static constexpr float kDefaultAttackMs = 1.0f;
    static constexpr float kDefaultReleaseMs = 10.0f;
    // 2^24 samples (over 8 minutes at 32 kHz): far beyond any sensible attack time, and small
    // enough that the delay line's length cannot overflow.
    static constexpr uint32_t kMaxLookahead = 1u << 24;

    CLimiter();
    virtual ~CLimiter();

    // Retunes the attack and release followers; the look-ahead keeps 32 samples per ms.
    virtual void SetSampleRate(uint32_t hertz);
    // threshold = 10^(dB/20).  Held peak and envelope follow at the next Reset.
    virtual void SetThreshold(float dB);
    // lookahead = trunc(0.001 * ms * 32000) samples; also the attack follower's time.  Resets
    // the limiter when it already had a look-ahead (the owner resets it when it goes from 0).
    virtual void SetAttackTime(float ms);
    virtual void SetReleaseTime(float ms);
    // Restarts the detector at the threshold and (re)allocates a zeroed delay line of the
    // next power of two >= lookahead (at least 2).  Returns false when the line cannot be
    // allocated (or the look-ahead exceeds kMaxLookahead); the limiter is then transparent
    // until a Reset succeeds.
    virtual bool Reset();

    // One sample in, the sample `lookahead` samples earlier out, scaled by the gain.
    virtual float ProcessSample(float x) {
        // Transparent until a Reset has made a delay line long enough for the look-ahead.
        if (lookahead == 0 || lookahead > ringLength) return x;
        float peak = x < 0.0f ? -x : x;
        if (peak < threshold) peak = threshold;
        ++holdCount;
        if (holdCount >= lookahead || heldPeak < peak) {
            heldPeak = peak;
            holdCount = 0;
        }
        const float k = envelope < heldPeak ? attack.coefficient : release.coefficient;
        envelope = heldPeak + (envelope - heldPeak) * k;
        const float gain = threshold / envelope;
        const float delayed = ring[(writeIndex - lookahead) & ringMask];
        ring[writeIndex] = x;
        writeIndex = (writeIndex + 1) & ringMask;
        return delayed * gain;
    }

    float threshold = 1.0f;
    uint32_t lookahead = 0;  // samples; 0 = transparent
    uint32_t holdCount = 0;
    float heldPeak = 1.0f;
    Envelope attack{kDefaultAttackMs, kDefaultSampleRate};
    Envelope release{kDefaultReleaseMs, kDefaultSampleRate};
    float envelope = 1.0f;
    uint32_t sampleRate = kDefaultSampleRate;  // only turns the attack time into `lookahead`
    uint32_t ringMask = 63;
    uint32_t writeIndex = 0;
    std::unique_ptr<float[]> ring;
    uint32_t ringLength = 0;  // 0 while no delay line exists
};

}  // namespace zelmar
