// IPPS_IIR*: Butterworth low-pass and high-pass filters of order 1 and 3, designed by the
// bilinear transform with the cutoff pre-warped (K = tan(pi * fc / fs)), so the response is
// exactly -3.01 dB at the cutoff and the analog Butterworth shape is kept below it.
//
// Order 3 is the analog prototype (s + 1)(s^2 + s + 1): a first-order section followed by a
// second-order section with Q = 1.  Sections are in transposed direct form II in double
// precision; the 16-bit output is rounded to nearest and saturated.
//
// A recursion run one sample at a time waits on its own previous result every sample.  So
// blocks of kBlock samples are computed at once from the state-space form of the cascade,
// state s (the sections' delay elements) and input x:
//   y[k]       = (C A^k) s + sum_{m<=k} h[k-m] x[m]        (h the impulse response)
//   s_next     = A^kBlock s + sum_m A^(kBlock-1-m) B x[m]
// The block's outputs are independent of one another (vector arithmetic over k) and the only
// chain left is the state update once per block.  The matrices come from running the
// per-sample recursion itself on unit states and unit impulses, so both forms are the same
// linear map and differ only in double rounding (about 1e-16 of the signal, far below the
// 16-bit output step).  Blocks shorter than kBlock and the tail of a call use the per-sample
// recursion on the same state, so any split of a signal into calls gives the same output.
#include <cmath>
#include <cstring>
#include <new>

#include <ZelmarEC/ZelmarEC.h>

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

constexpr int kBlock = 8;
constexpr int kMaxStates = 3;

struct IirState {
    bool thirdOrder = false;
    FirstOrderSection first;
    SecondOrderSection second;
    // Block form (see above); index [p][k] is state p's or input m's effect on output k.
    double stateToOutput[kMaxStates][kBlock] = {};
    double inputToOutput[kBlock][kBlock] = {};
    double stateToState[kMaxStates][kMaxStates] = {};  // [from][to]
    double inputToState[kBlock][kMaxStates] = {};

    int StateCount() const { return thirdOrder ? 3 : 1; }
    double Step(double x) { return thirdOrder ? second.Step(first.Step(x)) : first.Step(x); }
    void GetStates(double* s) const {
        s[0] = first.z;
        s[1] = second.z1;
        s[2] = second.z2;
    }
    void SetStates(const double* s) {
        first.z = s[0];
        second.z1 = s[1];
        second.z2 = s[2];
    }
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

// The block matrices, measured by running the per-sample recursion: from each unit state with
// no input, and from each unit impulse at position m with a zero state.
void DeriveBlockForm(IirState& filter) {
    const int states = filter.StateCount();
    double unit[kMaxStates];
    for (int p = 0; p < states; ++p) {
        for (int q = 0; q < kMaxStates; ++q) unit[q] = q == p ? 1.0 : 0.0;
        filter.SetStates(unit);
        for (int k = 0; k < kBlock; ++k) filter.stateToOutput[p][k] = filter.Step(0.0);
        filter.GetStates(unit);
        for (int q = 0; q < states; ++q) filter.stateToState[p][q] = unit[q];
    }
    for (int m = 0; m < kBlock; ++m) {
        for (double& v : unit) v = 0.0;
        filter.SetStates(unit);
        for (int k = 0; k < kBlock; ++k) filter.inputToOutput[m][k] = filter.Step(k == m ? 1.0 : 0.0);
        filter.GetStates(unit);
        for (int q = 0; q < states; ++q) filter.inputToState[m][q] = unit[q];
    }
    for (double& v : unit) v = 0.0;
    filter.SetStates(unit);
}

// One call's samples: whole blocks in the block form, the rest one at a time.  The block's
// outputs are one vector of kBlock doubles (one AVX-512 register, two AVX ones); the function
// is built for several instruction sets and the best one is picked when the library loads.
typedef double BlockVector __attribute__((vector_size(kBlock * sizeof(double))));
typedef int32_t BlockIntegers __attribute__((vector_size(kBlock * sizeof(int32_t))));
typedef short BlockShorts __attribute__((vector_size(kBlock * sizeof(short))));
typedef double StateVector __attribute__((vector_size(4 * sizeof(double))));
static_assert(kMaxStates <= 4, "the state fits one four-lane vector");

template <int kStates>
__attribute__((always_inline)) inline void FilterBlocks(IirState& filter, const short* src, short* dst, int length) {
    BlockVector stateColumns[kStates], inputColumns[kBlock];
    StateVector stateRows[kStates] = {}, inputRows[kBlock] = {};
    for (int p = 0; p < kStates; ++p) {
        for (int k = 0; k < kBlock; ++k) stateColumns[p][k] = filter.stateToOutput[p][k];
        for (int q = 0; q < kStates; ++q) stateRows[p][q] = filter.stateToState[p][q];
    }
    for (int m = 0; m < kBlock; ++m) {
        for (int k = 0; k < kBlock; ++k) inputColumns[m][k] = filter.inputToOutput[m][k];
        for (int q = 0; q < kStates; ++q) inputRows[m][q] = filter.inputToState[m][q];
    }
    double s[kMaxStates];
    filter.GetStates(s);
    StateVector state = {s[0], s[1], s[2], 0.0};
    const BlockVector high = BlockVector{} + 32767.0, low = BlockVector{} - 32768.0;
    const BlockVector half = BlockVector{} + 0.5, zero = BlockVector{};
    int done = 0;
    for (; done + kBlock <= length; done += kBlock) {
        BlockShorts raw;
        std::memcpy(&raw, src + done, sizeof raw);
        const BlockVector x = __builtin_convertvector(raw, BlockVector);
        // The inputs' share first: it does not wait for the previous block, so the only chain
        // from block to block is the state's share, added last.
        BlockVector y = inputColumns[0] * x[0];
        StateVector next = inputRows[0] * x[0];
        for (int m = 1; m < kBlock; ++m) {
            y += inputColumns[m] * x[m];
            next += inputRows[m] * x[m];
        }
        for (int p = 0; p < kStates; ++p) {
            y += stateColumns[p] * state[p];
            next += stateRows[p] * state[p];
        }
        state = next;
        // RoundSaturate on all lanes: clamp, then half away from zero and truncation.
        y = y > high ? high : y;
        y = y < low ? low : y;
        y += y >= zero ? half : -half;
        const BlockShorts rounded = __builtin_convertvector(__builtin_convertvector(y, BlockIntegers), BlockShorts);
        std::memcpy(dst + done, &rounded, sizeof rounded);
    }
    for (int p = 0; p < kMaxStates; ++p) s[p] = p < kStates ? state[p] : s[p];
    filter.SetStates(s);
    for (; done < length; ++done) dst[done] = RoundSaturate(filter.Step(src[done]));
}

__attribute__((target_clones("avx512f", "arch=x86-64-v3", "default"))) void FilterFirstOrder(IirState& filter,
                                                                                           const short* src,
                                                                                           short* dst, int length) {
    FilterBlocks<1>(filter, src, dst, length);
}

__attribute__((target_clones("avx512f", "arch=x86-64-v3", "default"))) void FilterThirdOrder(IirState& filter,
                                                                                           const short* src,
                                                                                           short* dst, int length) {
    FilterBlocks<3>(filter, src, dst, length);
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
    DeriveBlockForm(*state);
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
        FilterThirdOrder(*filter, src, dst, lengthSamples);
    } else {
        FilterFirstOrder(*filter, src, dst, lengthSamples);
    }
    return zelmar::companion::kIppsOk;
}
