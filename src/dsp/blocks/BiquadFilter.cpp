#include "dsp/blocks/BiquadFilter.h"

#include <cmath>

namespace zelmar {

CBiquadFilter::CBiquadFilter(int sampleRateHz) : sampleRate(static_cast<double>(sampleRateHz)) {}

CBiquadFilter::~CBiquadFilter() = default;

void CBiquadFilter::ComputeCoefficients() {
    // Robert Bristow-Johnson's audio-EQ cookbook.  A is the amplitude of the peaking and
    // shelf gains (10^(dB/40), the square root of the linear gain).
    const double A = std::pow(10.0, gainDb / 40.0);
    const double w0 = 2.0 * pi * frequency / sampleRate;
    const double s = std::sin(w0);
    const double c = std::cos(w0);
    const double alpha = s / (2.0 * q);
    const double twoSqrtAAlpha = 2.0 * std::sqrt(A) * alpha;

    double nb0, nb1, nb2, na0, na1, na2;
    switch (type) {
        case kLowPass:
            nb0 = (1.0 - c) / 2.0;
            nb1 = 1.0 - c;
            nb2 = (1.0 - c) / 2.0;
            na0 = 1.0 + alpha;
            na1 = -2.0 * c;
            na2 = 1.0 - alpha;
            break;
        case kHighPass:
            nb0 = (1.0 + c) / 2.0;
            nb1 = -(1.0 + c);
            nb2 = (1.0 + c) / 2.0;
            na0 = 1.0 + alpha;
            na1 = -2.0 * c;
            na2 = 1.0 - alpha;
            break;
        case kBandPass:
            nb0 = alpha;
            nb1 = 0.0;
            nb2 = -alpha;
            na0 = 1.0 + alpha;
            na1 = -2.0 * c;
            na2 = 1.0 - alpha;
            break;
        case kNotch:
            nb0 = 1.0;
            nb1 = -2.0 * c;
            nb2 = 1.0;
            na0 = 1.0 + alpha;
            na1 = -2.0 * c;
            na2 = 1.0 - alpha;
            break;
        case kPeaking:
            nb0 = 1.0 + alpha * A;
            nb1 = -2.0 * c;
            nb2 = 1.0 - alpha * A;
            na0 = 1.0 + alpha / A;
            na1 = -2.0 * c;
            na2 = 1.0 - alpha / A;
            break;
        case kLowShelf:
            nb0 = A * ((A + 1.0) - (A - 1.0) * c + twoSqrtAAlpha);
            nb1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * c);
            nb2 = A * ((A + 1.0) - (A - 1.0) * c - twoSqrtAAlpha);
            na0 = (A + 1.0) + (A - 1.0) * c + twoSqrtAAlpha;
            na1 = -2.0 * ((A - 1.0) + (A + 1.0) * c);
            na2 = (A + 1.0) + (A - 1.0) * c - twoSqrtAAlpha;
            break;
        case kHighShelf:
            nb0 = A * ((A + 1.0) + (A - 1.0) * c + twoSqrtAAlpha);
            nb1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * c);
            nb2 = A * ((A + 1.0) + (A - 1.0) * c - twoSqrtAAlpha);
            na0 = (A + 1.0) - (A - 1.0) * c + twoSqrtAAlpha;
            na1 = 2.0 * ((A - 1.0) - (A + 1.0) * c);
            na2 = (A + 1.0) - (A - 1.0) * c - twoSqrtAAlpha;
            break;
        default:
            return;  // no owner sets another kind; keep the previous design
    }
    a0 = na0;
    b0 = nb0 / a0;
    b1 = nb1 / a0;
    b2 = nb2 / a0;
    a1 = na1 / a0;
    a2 = na2 / a0;
}

}  // namespace zelmar
