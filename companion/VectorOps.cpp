// IPPS_ vector operations on 16-bit and float vectors.
//
// Scale factors follow the usual fixed-point convention: a result is multiplied by
// 2^-scaleFactor, then rounded to nearest and saturated to 16 bits where the destination is.
// So Convert_16s32f with 15 maps full scale to +-1.0, and Convert_32f16s with -15 maps +-1.0
// back to full scale.
//
// IPPS_AutoCorrNorm32f normalises by the frame length: dst[j] = (1/N) sum_{i<N-j} x[i] x[i+j],
// so lag 0 is the frame's mean energy (the energy divided by the length) and each lag is a
// biased estimate of the autocorrelation.  IPPS_AutoCorr is the same sum without the 1/N.
// Lags at or beyond N are 0.  Long ones are computed through an FFT (float rounding differs
// from the direct sum by about 1e-7 of lag 0).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

#include "ZelmarEC.h"
#include "companion/CompanionApi.h"

namespace zelmar::ec {
namespace {

constexpr int kOk = zelmar::companion::kIppsOk;
constexpr int kBad = zelmar::companion::kIppsBadArgument;
constexpr double kPi = 3.14159265358979323846;

inline int16_t Saturate(int32_t v) {
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

inline int16_t SaturateRound(float v) {
    v = v > 32767.0f ? 32767.0f : (v < -32768.0f ? -32768.0f : v);
    return static_cast<int16_t>(std::nearbyint(v));  // round half to even in the default mode
}

// x * 2^-scale, rounded to nearest for positive scales.
inline int32_t Scale(int32_t product, int scaleFactor) {
    if (scaleFactor > 0) {
        if (scaleFactor > 31) return 0;
        const int64_t half = int64_t{1} << (scaleFactor - 1);
        return static_cast<int32_t>((int64_t{product} + half) >> scaleFactor);
    }
    if (scaleFactor < 0) {
        const int64_t shifted = int64_t{product} * (int64_t{1} << (-scaleFactor > 31 ? 31 : -scaleFactor));
        return shifted > 32767 ? 32767 : (shifted < -32768 ? -32768 : static_cast<int32_t>(shifted));
    }
    return product;
}

// Long autocorrelations go through the spectrum: r = IDFT(|DFT(x zero-padded)|^2), with
// padding to a power of two M >= N + lags so no lag wraps around.
//
// Both transforms of length M are done as complex transforms of length H = M / 2 (libavutil's,
// whose SIMD code needs aligned buffers, hence av_malloc):
//  - forward: the real frame read as H complex values z[n] = x[2n] + i x[2n+1] gives
//    Z = DFT_H(z), and X[k] = (Z[k] + conj Z[H-k]) / 2 - i w^k (Z[k] - conj Z[H-k]) / 2 with
//    w = exp(-2 pi i / M), for k = 0..H;
//  - the power spectrum P = |X|^2 is real and even (P[k + H] = P[H - k]), so the even and odd
//    output samples come from one inverse transform of Y[k] = (P[k] + P[H-k])
//    + i (P[k] - P[H-k]) exp(2 pi i k / M): IDFT_H(Y)[m] = M (r[2m] + i r[2m+1]), which read
//    as floats is M r in order.
// Each thread keeps its own contexts and buffers (a context is not shared between threads).
class SpectralCorrelator {
public:
    ~SpectralCorrelator() { Release(); }

    bool Run(const float* src, int srcLength, float* dst, int lags, float norm) {
        const int valid = lags < srcLength ? lags : srcLength;
        int size = 64;
        while (size < srcLength + valid) size *= 2;
        if (size != size_ && !Prepare(size)) return false;
        std::copy(src, src + srcLength, time_);
        std::fill(time_ + srcLength, time_ + size_, 0.0f);
        forwardFn_(forward_, spectrum_, time_, sizeof(AVComplexFloat));
        spectrum_[size_ / 2] = spectrum_[0];
        PowerSpectrumToHalfLength(size_ / 2, reinterpret_cast<const float*>(spectrum_), work_, cosines_, sines_,
                                  time_);
        inverseFn_(inverse_, spectrum_, time_, sizeof(AVComplexFloat));
        const float scale = norm / static_cast<float>(size_);
        const auto* correlation = reinterpret_cast<const float*>(spectrum_);
        for (int lag = 0; lag < valid; ++lag) dst[lag] = correlation[lag] * scale;
        for (int lag = valid; lag < lags; ++lag) dst[lag] = 0.0f;
        return true;
    }

private:
    // From Z = DFT_H(z) (interleaved, with Z[H] = Z[0] appended) to Y (interleaved, into
    // `out`), through P = |X|^2; `work` holds a mirrored copy of Z and P.  The loops are plain
    // vector loops; the function is built for several instruction sets and the best one is
    // picked at load time.
    __attribute__((target_clones("avx512f", "arch=x86-64-v3", "default"))) static void PowerSpectrumToHalfLength(
        int half, const float* __restrict spectrum, float* __restrict work, const float* __restrict cosines,
        const float* __restrict sines, float* __restrict out) {
        // Z[H-k] at k: a reversed copy, so that the next loop reads both operands forwards.
        for (int k = 0; k <= half; ++k) {
            work[2 * k] = spectrum[2 * (half - k)];
            work[2 * k + 1] = spectrum[2 * (half - k) + 1];
        }
        const float* mirrored = work;
        float* power = work + 2 * (static_cast<size_t>(half) + 1);
        for (int k = 0; k <= half; ++k) {
            // a = Z[k], b = conj Z[H-k]; even part (a + b) / 2, odd part -i (a - b) / 2.
            const float aRe = spectrum[2 * k], aIm = spectrum[2 * k + 1];
            const float bRe = mirrored[2 * k], bIm = mirrored[2 * k + 1];
            const float evenRe = 0.5f * (aRe + bRe);
            const float evenIm = 0.5f * (aIm - bIm);
            const float oddRe = 0.5f * (aIm + bIm);
            const float oddIm = -0.5f * (aRe - bRe);
            // times w^k = cos - i sin
            const float xRe = evenRe + cosines[k] * oddRe + sines[k] * oddIm;
            const float xIm = evenIm + cosines[k] * oddIm - sines[k] * oddRe;
            power[k] = xRe * xRe + xIm * xIm;
        }
        for (int k = 0; k < half; ++k) {
            const float reflected = power[half - k];  // P[k + H]
            const float even = power[k] + reflected;
            const float odd = power[k] - reflected;
            out[2 * k] = even - odd * sines[k];
            out[2 * k + 1] = odd * cosines[k];
        }
    }

    void Release() {
        av_tx_uninit(&forward_);
        av_tx_uninit(&inverse_);
        for (float** buffer : {&time_, &work_, &cosines_, &sines_}) av_freep(buffer);
        av_freep(&spectrum_);
        size_ = 0;
    }

    bool Prepare(int size) {
        Release();
        const int half = size / 2;
        const float unit = 1.0f;
        // No AV_TX_UNALIGNED: it would rule out the SIMD transforms.
        if (av_tx_init(&forward_, &forwardFn_, AV_TX_FLOAT_FFT, 0, half, &unit, 0) < 0 ||
            av_tx_init(&inverse_, &inverseFn_, AV_TX_FLOAT_FFT, 1, half, &unit, 0) < 0) {
            Release();
            return false;
        }
        const size_t stride = static_cast<size_t>(half) + 1;
        time_ = static_cast<float*>(av_malloc(sizeof(float) * static_cast<size_t>(size)));
        spectrum_ = static_cast<AVComplexFloat*>(av_malloc(sizeof(AVComplexFloat) * stride));
        work_ = static_cast<float*>(av_malloc(sizeof(float) * stride * 3));
        cosines_ = static_cast<float*>(av_malloc(sizeof(float) * stride));
        sines_ = static_cast<float*>(av_malloc(sizeof(float) * stride));
        if (time_ == nullptr || spectrum_ == nullptr || work_ == nullptr || cosines_ == nullptr || sines_ == nullptr) {
            Release();
            return false;
        }
        for (int k = 0; k <= half; ++k) {
            const double angle = 2.0 * kPi * k / size;
            cosines_[k] = static_cast<float>(std::cos(angle));
            sines_[k] = static_cast<float>(std::sin(angle));
        }
        size_ = size;
        return true;
    }

    AVTXContext* forward_ = nullptr;
    AVTXContext* inverse_ = nullptr;
    av_tx_fn forwardFn_ = nullptr;
    av_tx_fn inverseFn_ = nullptr;
    int size_ = 0;
    float* time_ = nullptr;               // M floats: the padded frame, then Y
    AVComplexFloat* spectrum_ = nullptr;  // H + 1 values: Z and Z[H] = Z[0], then M r
    float* work_ = nullptr;               // Z mirrored and P: 3 (H + 1) floats
    float* cosines_ = nullptr;            // cos(2 pi k / M), k = 0..H
    float* sines_ = nullptr;
};

// The per-sample loops the pre-processor calls on every block, built for several instruction
// sets (the best one is picked when the library loads) so that they run on wide vectors.
#define ZELMAR_EC_VECTOR_CLONES __attribute__((target_clones("avx512f", "arch=x86-64-v3", "default")))

ZELMAR_EC_VECTOR_CLONES int32_t PeakMagnitude(const short* __restrict src, int length) {
    int32_t peak = 0;
    for (int i = 0; i < length; ++i) {
        const int32_t magnitude = src[i] < 0 ? -int32_t{src[i]} : src[i];
        peak = magnitude > peak ? magnitude : peak;
    }
    return peak;
}

ZELMAR_EC_VECTOR_CLONES void ScaleToFloat(const short* __restrict src, float* __restrict dst, int length, float scale) {
    for (int i = 0; i < length; ++i) dst[i] = static_cast<float>(src[i]) * scale;
}

ZELMAR_EC_VECTOR_CLONES void ScaleToInt16(const float* __restrict src, short* __restrict dst, int length, float scale) {
    for (int i = 0; i < length; ++i) dst[i] = SaturateRound(src[i] * scale);
}

// Below this many products the direct sum is cheaper than two transforms.
constexpr long kSpectralMinProducts = 16384;

// Lag 0, the frame's energy.  Both ways of computing the other lags
// take lag 0 from here, so a caller asking for lag 0 alone gets the very value a call for many
// lags returns (the pitch detector asks for it first to skip frames too quiet to be voiced).
float Energy(const float* src, int length) {
    // Eight running sums, one per lane of a vector register, added together at the end.
    constexpr int kLanes = 8;
    float lanes[kLanes] = {};
    int i = 0;
    for (; i + kLanes <= length; i += kLanes) {
        for (int lane = 0; lane < kLanes; ++lane) lanes[lane] += src[i + lane] * src[i + lane];
    }
    float sum = 0.0f;
    for (int lane = 0; lane < kLanes; ++lane) sum += lanes[lane];
    for (; i < length; ++i) sum += src[i] * src[i];
    return sum;
}

int AutoCorrelate(const float* src, int srcLength, float* dst, int dstLength, float norm) {
    if (src == nullptr || dst == nullptr || srcLength <= 0 || dstLength <= 0) return kBad;
    const float lagZero = Energy(src, srcLength) * norm;
    if (long{srcLength} * dstLength >= kSpectralMinProducts) {
        thread_local SpectralCorrelator correlator;
        if (correlator.Run(src, srcLength, dst, dstLength, norm)) {
            dst[0] = lagZero;
            return kOk;
        }
    }
    dst[0] = lagZero;
    if (dstLength == 1) return kOk;  // lag 0 alone: no pass over the frame for the other lags
    for (int lag = 1; lag < dstLength; ++lag) dst[lag] = 0.0f;
    // Sample-major order: the inner loop runs over lags with one independent sum each, so it
    // vectorises; every lag's sum still adds its products in increasing i.
    for (int i = 0; i < srcLength; ++i) {
        const float x = src[i];
        const float* shifted = src + i;
        const int lags = dstLength < srcLength - i ? dstLength : srcLength - i;
        for (int lag = 1; lag < lags; ++lag) dst[lag] += x * shifted[lag];
    }
    for (int lag = 1; lag < dstLength; ++lag) dst[lag] *= norm;
    return kOk;
}

}  // namespace
}  // namespace zelmar::ec

using namespace zelmar::ec;

ZELMAR_EC_API int IPPS_MaxAbs16s(const short* src, int length, short* maxAbs) {
    if (src == nullptr || maxAbs == nullptr || length <= 0) return kBad;
    *maxAbs = Saturate(PeakMagnitude(src, length));  // |-32768| saturates to 32767
    return kOk;
}

ZELMAR_EC_API int IPPS_Max16s(const short* src, int length, short* max) {
    if (src == nullptr || max == nullptr || length <= 0) return kBad;
    short best = src[0];
    for (int i = 1; i < length; ++i) best = src[i] > best ? src[i] : best;
    *max = best;
    return kOk;
}

ZELMAR_EC_API int IPPS_MulC16s(const short* src, short value, short* dst, int length, int scaleFactor) {
    if (src == nullptr || dst == nullptr || length <= 0) return kBad;
    for (int i = 0; i < length; ++i) dst[i] = Saturate(Scale(int32_t{src[i]} * value, scaleFactor));
    return kOk;
}

ZELMAR_EC_API int IPPS_MulC16sI(short value, short* srcDst, int length, int scaleFactor) {
    return IPPS_MulC16s(srcDst, value, srcDst, length, scaleFactor);
}

ZELMAR_EC_API int IPPS_Add16s(const short* a, const short* b, short* dst, int length, int scaleFactor) {
    if (a == nullptr || b == nullptr || dst == nullptr || length <= 0) return kBad;
    for (int i = 0; i < length; ++i) dst[i] = Saturate(Scale(int32_t{a[i]} + b[i], scaleFactor));
    return kOk;
}

ZELMAR_EC_API int IPPS_Add16sI(const short* src, short* srcDst, int length, int scaleFactor) {
    return IPPS_Add16s(src, srcDst, srcDst, length, scaleFactor);
}

ZELMAR_EC_API float* IPPS_Malloc_32f(int length) {
    return length <= 0 ? nullptr : static_cast<float*>(std::aligned_alloc(64, ((length * sizeof(float) + 63) / 64) * 64));
}

ZELMAR_EC_API short* IPPS_Malloc_16s(int length) {
    return length <= 0 ? nullptr : static_cast<short*>(std::aligned_alloc(64, ((length * sizeof(short) + 63) / 64) * 64));
}

ZELMAR_EC_API void IPPS_Free(void* pointer) { std::free(pointer); }

ZELMAR_EC_API int IPPS_Convert_16s32f(const short* src, float* dst, int length, int scaleFactor) {
    if (src == nullptr || dst == nullptr || length <= 0) return kBad;
    ScaleToFloat(src, dst, length, std::ldexp(1.0f, -scaleFactor));
    return kOk;
}

ZELMAR_EC_API int IPPS_Convert_32f16s(const float* src, short* dst, int length, int scaleFactor) {
    if (src == nullptr || dst == nullptr || length <= 0) return kBad;
    ScaleToInt16(src, dst, length, std::ldexp(1.0f, -scaleFactor));
    return kOk;
}

ZELMAR_EC_API int IPPS_AutoCorr(const float* src, int srcLength, float* dst, int dstLength) {
    return AutoCorrelate(src, srcLength, dst, dstLength, 1.0f);
}

ZELMAR_EC_API int IPPS_AutoCorrNorm32f(const float* src, int srcLength, float* dst, int dstLength) {
    if (srcLength <= 0) return kBad;
    return AutoCorrelate(src, srcLength, dst, dstLength, 1.0f / static_cast<float>(srcLength));
}
