#include "dsp/blocks/Limiter.h"

#include <cmath>
#include <new>

namespace zelmar {
namespace {

// ln(10) / 20: exp(dB * kDbToNeper) = 10^(dB/20).
constexpr double kDbToNeper = 0.11512925464970228;
constexpr double kFollowerResidual = 0.01;  // -40 dB of a step is left after the follower's time

}  // namespace

CLimiter::Envelope::Envelope(float ms, uint32_t hertz) : sampleRate(hertz), timeMs(ms) {
    Envelope::UpdateCoefficient();
}

CLimiter::Envelope::~Envelope() = default;

void CLimiter::Envelope::SetTime(float ms) {
    timeMs = ms;
    UpdateCoefficient();
}

void CLimiter::Envelope::SetSampleRate(uint32_t hertz) {
    sampleRate = hertz;
    UpdateCoefficient();
}

void CLimiter::Envelope::UpdateCoefficient() {
    coefficient = static_cast<float>(
        std::pow(kFollowerResidual, 1000.0 / (static_cast<double>(sampleRate) * static_cast<double>(timeMs))));
}

CLimiter::CLimiter() = default;

CLimiter::~CLimiter() = default;

void CLimiter::SetSampleRate(uint32_t hertz) {
    attack.SetSampleRate(hertz);
    release.SetSampleRate(hertz);
}

void CLimiter::SetThreshold(float dB) {
    threshold = static_cast<float>(std::exp(static_cast<double>(dB) * kDbToNeper));
}

void CLimiter::SetAttackTime(float ms) {
    const bool hadLookahead = lookahead != 0;
    // Extended precision keeps 2 ms at exactly 64 samples (0.001 is not exact in binary).
    const long double samples = (static_cast<long double>(0.001) * static_cast<long double>(ms)) *
                                static_cast<long double>(sampleRate);
    // Saturate rather than overflow on absurd times; Reset then refuses the look-ahead.
    lookahead = !(samples > 0.0L) ? 0u : samples >= 4294967295.0L ? 0xFFFFFFFFu : static_cast<uint32_t>(samples);
    attack.SetTime(ms);
    if (hadLookahead) Reset();
}

void CLimiter::SetReleaseTime(float ms) { release.SetTime(ms); }

bool CLimiter::Reset() {
    heldPeak = threshold;
    holdCount = 0;
    writeIndex = 0;
    envelope = threshold;
    if (lookahead == 0) return true;
    ring.reset();
    ringLength = 0;
    if (lookahead > kMaxLookahead) return false;
    uint32_t length = 2;
    while (length < lookahead) length *= 2;
    ring.reset(new (std::nothrow) float[length]());
    if (!ring) return false;
    ringLength = length;
    ringMask = length - 1;
    return true;
}

}  // namespace zelmar
