#include "platform/audio/VirtualRoom.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zelmar::platform::audio {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Reflections start this far below the direct sound at 16 kHz; at other rates the per-sample
// level scales so that their energy per second stays the same.
constexpr double kReflectionsBelowDirectDb = -26.0;
constexpr double kTailDecayDb = -60.0;
constexpr double kMaxDriftPpm = 1000.0;
constexpr uint32_t kMaxTailMs = 1000;

// Mixes the seed so that nearby seeds give unrelated sequences (never zero: xorshift's fixed point).
uint32_t Scramble(uint32_t seed) {
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    return x == 0 ? 1 : x;
}

uint32_t XorShift(uint32_t* state) {
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

// Roughly Gaussian, unit variance: the sum of four uniforms on [-0.5, 0.5) has variance 1/3.
float Gaussian(uint32_t* state) {
    float sum = 0.0f;
    for (int i = 0; i < 4; ++i) sum += static_cast<float>(XorShift(state)) / 4294967296.0f - 0.5f;
    return sum * 1.7320508f;
}

}  // namespace

void VirtualRoom::Configure(const LoopbackRoom& room, uint32_t rateHz, uint32_t channels) {
    const bool sameShape = channels == channels_ && rateHz == rateHz_ &&
                           std::min(room.tailMs, kMaxTailMs) == std::min(room_.tailMs, kMaxTailMs);
    room_ = room;
    rateHz_ = std::max<uint32_t>(rateHz, 1);
    channels_ = std::max<uint32_t>(channels, 1);
    const uint32_t length = std::max<uint32_t>(1, rateHz_ * std::min(room.tailMs, kMaxTailMs) / 1000);

    uint32_t state = Scramble(room.seed);
    std::vector<double> path(length);
    path[0] = 1.0;
    const double reflections = std::pow(10.0, kReflectionsBelowDirectDb / 20) * std::sqrt(16000.0 / rateHz_);
    double energy = 1.0;
    for (uint32_t k = 1; k < length; ++k) {
        // Amplitude falls by kTailDecayDb over the whole tail.
        path[k] = reflections * Gaussian(&state) * std::pow(10.0, kTailDecayDb / 20 * k / length);
        energy += path[k] * path[k];
    }
    // The whole path's energy gain is the echo level; stored reversed for the convolution.
    const double scale = std::pow(10.0, room.echoLevelDb / 20) / std::sqrt(energy);
    response_.resize(length);
    for (uint32_t k = 0; k < length; ++k) response_[length - 1 - k] = static_cast<float>(path[k] * scale);

    // Windowed sinc (Blackman window), one row of taps per read position between samples:
    // row r reads the point r / kInterpolatorPhases past tap kInterpolatorTaps / 2 - 1.
    interpolator_.resize(size_t{kInterpolatorPhases} * kInterpolatorTaps);
    for (uint32_t r = 0; r < kInterpolatorPhases; ++r) {
        const double at = kInterpolatorTaps / 2 - 1 + static_cast<double>(r) / kInterpolatorPhases;
        for (uint32_t j = 0; j < kInterpolatorTaps; ++j) {
            const double x = j - at;
            const double sinc = std::fabs(x) < 1e-12 ? 1.0 : std::sin(kPi * x) / (kPi * x);
            const double w = (x + kInterpolatorTaps / 2.0) / kInterpolatorTaps;  // 0..1 across the window
            const double blackman = 0.42 - 0.5 * std::cos(2 * kPi * w) + 0.08 * std::cos(4 * kPi * w);
            interpolator_[size_t{r} * kInterpolatorTaps + j] = static_cast<float>(sinc * std::max(0.0, blackman));
        }
    }
    step_ = 1.0 / (1.0 + std::clamp(room.driftPpm, -kMaxDriftPpm, kMaxDriftPpm) * 1e-6);
    noiseRms_ = room.noiseDbfs < -200.0 ? 0.0f : static_cast<float>(32768.0 * std::pow(10.0, room.noiseDbfs / 20));
    noiseState_ = Scramble(room.seed ^ 0x5EEDu);
    if (sameShape && wet_.size() == size_t{channels_} * 2 * length) return;
    dry_.assign(size_t{channels_} * 2 * kInterpolatorTaps, 0.0f);
    wet_.assign(size_t{channels_} * 2 * length, 0.0f);
    dryAt_ = wetAt_ = 0;
    phase_ = 0.0;
}

float VirtualRoom::NextNoise() { return noiseRms_ == 0.0f ? 0.0f : noiseRms_ * Gaussian(&noiseState_); }

void VirtualRoom::Capture(std::deque<uint8_t>* played, uint8_t* target, uint32_t frames) {
    if (response_.empty()) return;
    const uint32_t length = static_cast<uint32_t>(response_.size());
    const size_t frameBytes = size_t{channels_} * 2;
    for (uint32_t f = 0; f < frames; ++f) {
        // Take in the played samples the capture clock has passed.
        phase_ += step_;
        while (phase_ >= 1.0) {
            phase_ -= 1.0;
            const bool have = played->size() >= frameBytes;
            for (uint32_t c = 0; c < channels_; ++c) {
                int16_t s = 0;
                if (have) {
                    const uint8_t lo = (*played)[2 * c];
                    const uint8_t hi = (*played)[2 * c + 1];
                    s = static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8)));
                }
                float* dry = dry_.data() + size_t{c} * 2 * kInterpolatorTaps;
                dry[dryAt_] = dry[dryAt_ + kInterpolatorTaps] = s;
            }
            if (have) played->erase(played->begin(), played->begin() + static_cast<std::ptrdiff_t>(frameBytes));
            dryAt_ = (dryAt_ + 1) % kInterpolatorTaps;
        }
        const auto row = std::min<uint32_t>(static_cast<uint32_t>(phase_ * kInterpolatorPhases), kInterpolatorPhases - 1);
        const float* taps = interpolator_.data() + size_t{row} * kInterpolatorTaps;
        for (uint32_t c = 0; c < channels_; ++c) {
            const float* dry = dry_.data() + size_t{c} * 2 * kInterpolatorTaps + dryAt_;  // oldest first
            float heard = 0.0f;
            for (uint32_t j = 0; j < kInterpolatorTaps; ++j) heard += dry[j] * taps[j];
            float* wet = wet_.data() + size_t{c} * 2 * length;
            wet[wetAt_] = wet[wetAt_ + length] = heard;
        }
        wetAt_ = (wetAt_ + 1) % length;
        for (uint32_t c = 0; c < channels_; ++c) {
            // The echo: the path (reversed) over the heard stream, oldest first; four sums
            // keep the multiplications independent.
            const float* wet = wet_.data() + size_t{c} * 2 * length + wetAt_;
            float sums[4] = {0, 0, 0, 0};
            uint32_t k = 0;
            for (; k + 4 <= length; k += 4) {
                for (uint32_t u = 0; u < 4; ++u) sums[u] += wet[k + u] * response_[k + u];
            }
            for (; k < length; ++k) sums[0] += wet[k] * response_[k];
            uint8_t* at = target + f * frameBytes + 2 * c;
            int16_t nearEnd;
            std::memcpy(&nearEnd, at, 2);
            const float value = nearEnd + (sums[0] + sums[1]) + (sums[2] + sums[3]) + NextNoise();
            const auto out = static_cast<int16_t>(std::lrint(std::clamp(value, -32768.0f, 32767.0f)));
            std::memcpy(at, &out, 2);
        }
    }
}

}  // namespace zelmar::platform::audio
