// IPPS_IIR*: Butterworth low-pass and high-pass filters of order 1 and 3, designed by the
// bilinear transform with the cutoff pre-warped (K = tan(pi * fc / fs)), so the response is
// exactly -3.01 dB at the cutoff and the analog Butterworth shape is kept below it.
//
// Order 3 is the analog prototype (s + 1)(s^2 + s + 1): a first-order section followed by a
// second-order section with Q = 1.  Sections run in transposed direct form II in double
// precision; the 16-bit output is rounded to nearest and saturated.
#include <cmath>
#include <new>

#include "ZelmarEC.h"
#include "companion/CompanionApi.h"

namespace zelmar::ec {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The cutoff is kept inside (0, fs/2), where the pre-warping tangent is finite and positive.
constexpr double kMinCutoffHz = 1.0;
constexpr double kMaxCutoffFraction = 0.49;
constexpr double kThirdOrderSectionQ = 1.0;

struct FirstOrderSection {
    double b0 = 1, b1 = 0, a1 = 0;
    double z = 0;
    double Step(double x) {
        const double y = b0 * x + z;
        z = b1 * x - a1 * y;
        return y;
    }
};

struct SecondOrderSection {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double z1 = 0, z2 = 0;
    double Step(double x) {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

struct IirState {
    bool thirdOrder = false;
    FirstOrderSection first;
    SecondOrderSection second;
};

FirstOrderSection DesignFirstOrder(bool highPass, double k) {
    FirstOrderSection s;
    const double norm = 1.0 / (1.0 + k);
    // LP: H(s) = 1/(s+1) ; HP: H(s) = s/(s+1), with s = (1/K)(z-1)/(z+1).
    s.b0 = highPass ? norm : k * norm;
    s.b1 = highPass ? -norm : k * norm;
    s.a1 = (k - 1.0) * norm;
    return s;
}

SecondOrderSection DesignSecondOrder(bool highPass, double k, double q) {
    SecondOrderSection s;
    const double kk = k * k;
    const double norm = 1.0 / (1.0 + k / q + kk);
    // LP: H(s) = 1/(s^2 + s/q + 1) ; HP: H(s) = s^2/(s^2 + s/q + 1).
    s.b0 = highPass ? norm : kk * norm;
    s.b1 = highPass ? -2.0 * norm : 2.0 * kk * norm;
    s.b2 = s.b0;
    s.a1 = 2.0 * (kk - 1.0) * norm;
    s.a2 = (1.0 - k / q + kk) * norm;
    return s;
}

// Round half away from zero, inline (std::lround is a library call per sample).
inline int16_t RoundSaturate(double y) {
    if (y >= 32767.0) return 32767;
    if (y <= -32768.0) return -32768;
    return static_cast<int16_t>(static_cast<int32_t>(y + (y >= 0.0 ? 0.5 : -0.5)));
}

}  // namespace
}  // namespace zelmar::ec

ZELMAR_EC_API void* IPPS_IIRAlloc(int kind, int order, int cutoffHz, int sampleRate) {
    using namespace zelmar::ec;
    if (kind != zelmar::companion::kIirKindLowPass && kind != zelmar::companion::kIirKindHighPass) return nullptr;
    if ((order != 1 && order != 3) || sampleRate <= 0 || cutoffHz <= 0) return nullptr;
    auto* state = new (std::nothrow) IirState();
    if (state == nullptr) return nullptr;
    const bool highPass = kind == zelmar::companion::kIirKindHighPass;
    double cutoff = cutoffHz;
    if (cutoff < kMinCutoffHz) cutoff = kMinCutoffHz;
    if (cutoff > kMaxCutoffFraction * sampleRate) cutoff = kMaxCutoffFraction * sampleRate;
    const double k = std::tan(kPi * cutoff / sampleRate);
    state->first = DesignFirstOrder(highPass, k);
    state->thirdOrder = order == 3;
    if (state->thirdOrder) state->second = DesignSecondOrder(highPass, k, kThirdOrderSectionQ);
    return state;
}

ZELMAR_EC_API void IPPS_IIRFree(void* state) { delete static_cast<zelmar::ec::IirState*>(state); }

ZELMAR_EC_API int IPPS_IIR(const short* src, short* dst, int lengthSamples, void* state) {
    using namespace zelmar::ec;
    auto* filter = static_cast<IirState*>(state);
    if (filter == nullptr || src == nullptr || dst == nullptr || lengthSamples < 0) {
        return zelmar::companion::kIppsBadArgument;
    }
    if (filter->thirdOrder) {
        for (int i = 0; i < lengthSamples; ++i) {
            dst[i] = RoundSaturate(filter->second.Step(filter->first.Step(src[i])));
        }
    } else {
        for (int i = 0; i < lengthSamples; ++i) dst[i] = RoundSaturate(filter->first.Step(src[i]));
    }
    return zelmar::companion::kIppsOk;
}
