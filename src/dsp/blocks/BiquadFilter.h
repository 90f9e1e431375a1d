// CBiquadFilter: one second-order IIR section (direct form I) with the audio-EQ cookbook
// designs.  Owners set `type`, `frequency` (and `gainDb` for the peaking and shelf kinds),
// call ComputeCoefficients, then feed one float sample at a time through ProcessSample.
//
// The arithmetic is part of the engine's output definition: coefficients and state are
// double, every step is computed in double in a fixed order and only the returned sample is
// rounded to float.  Compile without FMA contraction of these expressions (x86-64 baseline
// has no FMA, so the compiler cannot fuse them).
#pragma once

#include <cstdint>

namespace zelmar {

class CBiquadFilter {
public:
    enum Kind : uint32_t {
        kLowPass = 0,
        kHighPass = 1,
        kBandPass = 2,  // constant 0 dB peak gain
        kNotch = 3,
        kPeaking = 4,
        kLowShelf = 5,
        kHighShelf = 6,
    };

    // Q of a Butterworth section as the engine has always written it: this literal, not the
    // correctly rounded 1/sqrt(2) (0.7071067811865476).  Changing it changes every output.
    static constexpr double kDefaultQ = 0.707106782373095;
    static constexpr double kPi = 3.141592653589793;

    explicit CBiquadFilter(int sampleRate);
    virtual ~CBiquadFilter();

    uint32_t SetType(uint32_t kind) { type = kind; return type; }
    void SetFrequency(float hertz) { frequency = hertz; }

    // Designs the section from type, frequency, sampleRate, q and gainDb.  The state
    // (x1, x2, y1, y2) is kept, so a redesign while running changes the response without a
    // click.  An unknown kind leaves the coefficients as they were.
    void ComputeCoefficients();

    // One step: y = ((b0 x + b1 x1) + b2 x2) - (a2 y2 + a1 y1), in double; the state keeps the
    // unrounded y and the caller gets y rounded to float.
    float ProcessSample(float x) {
        const double in = x;
        const double y = ((b0 * in + b1 * x1) + b2 * x2) - (a2 * y2 + a1 * y1);
        x2 = x1;
        x1 = in;
        y2 = y1;
        y1 = y;
        return static_cast<float>(y);
    }

    // Clears the recursion state (x1, x2, y1, y2); the design stays.
    void ClearState() { x1 = x2 = y1 = y2 = 0.0; }

    // Fields are public on purpose: owners write type, frequency and gainDb directly before
    // a design, and the tests read the coefficients.
    uint32_t type = kLowPass;
    double frequency = 0.0;  // Hz: corner, centre or shelf midpoint
    double sampleRate;       // Hz
    double q = kDefaultQ;
    double gainDb = 0.0;  // peaking and shelf kinds only
    double pi = kPi;
    double a0 = 1.0, a1 = 0.0, a2 = 0.0;  // a1, a2 normalised by a0; a0 keeps its raw value
    double b0 = 1.0, b1 = 0.0, b2 = 0.0;  // normalised by a0
    double x1 = 0.0, x2 = 0.0;            // last two inputs
    double y1 = 0.0, y2 = 0.0;            // last two outputs (unrounded)
};

}  // namespace zelmar
