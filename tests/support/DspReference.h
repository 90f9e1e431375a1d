// Straight computations of the engine's DSP arithmetic, written from the definitions for the
// tests to compare against, plus test signals.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace zelmar::test {

// One direct-form-I section with the cookbook design of the kinds the components use,
// written out from the design equations (no code shared with the engine).
struct RefBiquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;

    // kind: 0 low-pass, 1 high-pass, 2 band-pass (0 dB peak), 3 notch, 4 peaking, 5 low shelf,
    // 6 high shelf.
    void Design(int kind, double f0, double fs, double gainDb = 0.0) {
        const double Q = 0.707106782373095, pi = 3.141592653589793;
        const double A = std::pow(10.0, gainDb / 40.0);
        const double w0 = 2 * pi * f0 / fs, c = std::cos(w0), alpha = std::sin(w0) / (2 * Q);
        const double r = 2 * std::sqrt(A) * alpha;
        double n0, n1, n2, d0, d1, d2;
        if (kind == 0) {
            n0 = (1 - c) / 2, n1 = 1 - c, n2 = (1 - c) / 2, d0 = 1 + alpha, d1 = -2 * c, d2 = 1 - alpha;
        } else if (kind == 1) {
            n0 = (1 + c) / 2, n1 = -(1 + c), n2 = (1 + c) / 2, d0 = 1 + alpha, d1 = -2 * c, d2 = 1 - alpha;
        } else if (kind == 2 || kind == 3) {
            n0 = kind == 2 ? alpha : 1, n1 = kind == 2 ? 0 : -2 * c, n2 = kind == 2 ? -alpha : 1;
            d0 = 1 + alpha, d1 = -2 * c, d2 = 1 - alpha;
        } else if (kind == 4) {
            n0 = 1 + alpha * A, n1 = -2 * c, n2 = 1 - alpha * A, d0 = 1 + alpha / A, d1 = -2 * c, d2 = 1 - alpha / A;
        } else if (kind == 5) {
            n0 = A * ((A + 1) - (A - 1) * c + r), n1 = 2 * A * ((A - 1) - (A + 1) * c), n2 = A * ((A + 1) - (A - 1) * c - r);
            d0 = (A + 1) + (A - 1) * c + r, d1 = -2 * ((A - 1) + (A + 1) * c), d2 = (A + 1) + (A - 1) * c - r;
        } else {
            n0 = A * ((A + 1) + (A - 1) * c + r), n1 = -2 * A * ((A - 1) + (A + 1) * c), n2 = A * ((A + 1) + (A - 1) * c - r);
            d0 = (A + 1) - (A - 1) * c + r, d1 = 2 * ((A - 1) - (A + 1) * c), d2 = (A + 1) - (A - 1) * c - r;
        }
        b0 = n0 / d0, b1 = n1 / d0, b2 = n2 / d0, a1 = d1 / d0, a2 = d2 / d0;
    }
    float Step(float x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - (a2 * y2 + a1 * y1);
        x2 = x1, x1 = x, y2 = y1, y1 = y;
        return static_cast<float>(y);
    }
};

// A sine of `hz` at `rate`, rounded to 16 bits, from `phase` samples in.
inline std::vector<int16_t> Tone(std::size_t count, double amplitude, double hz, int rate, std::size_t phase = 0) {
    std::vector<int16_t> s(count);
    for (std::size_t i = 0; i < count; ++i) {
        s[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * 3.141592653589793 * hz * double(i + phase) / rate)));
    }
    return s;
}

inline int16_t Clamp16(double v) { return static_cast<int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v); }

// Seconds of test signal at `rate`: a gliding tone with bursts of full-scale noise and
// stretches of digital silence, so filters meet clipping, silence and everything between.
inline std::vector<int16_t> TestSignal(int rate, double seconds, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-32768, 32767);
    std::vector<int16_t> signal(static_cast<std::size_t>(rate * seconds));
    double phase = 0;
    for (std::size_t n = 0; n < signal.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const int segment = static_cast<int>(t * 4) % 4;
        phase += 2 * 3.141592653589793 * (100 + 3000 * std::fmod(t, 1.0)) / rate;
        if (segment == 0) signal[n] = static_cast<int16_t>(20000 * std::sin(phase));
        else if (segment == 1) signal[n] = static_cast<int16_t>(noise(random));
        else if (segment == 2) signal[n] = 0;
        else signal[n] = Clamp16(32767 * std::sin(phase) + 0.3 * noise(random));  // clips
    }
    return signal;
}

// Block lengths in bytes that cover `totalBytes`: a fixed size, or a fixed-seed random
// mix of small ones, so state carried between calls is exercised.
inline std::vector<int32_t> BlockPlan(int32_t totalBytes, int32_t fixedBytes, uint32_t seed = 0) {
    std::vector<int32_t> plan;
    std::mt19937 random(seed);
    std::uniform_int_distribution<int32_t> size(1, 400);
    for (int32_t at = 0; at < totalBytes;) {
        int32_t bytes = fixedBytes > 0 ? fixedBytes : 2 * size(random);
        if (bytes > totalBytes - at) bytes = totalBytes - at;
        plan.push_back(bytes);
        at += bytes;
    }
    return plan;
}

}  // namespace zelmar::test
