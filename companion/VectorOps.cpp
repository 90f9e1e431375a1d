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
// Lags at or beyond N are 0.  Long ones are computed through FFTs (float rounding differs
// from the direct sum by a few 1e-7 of lag 0).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

#include <ZelmarEC/ZelmarEC.h>

namespace zelmar::ec {
namespace {

constexpr int kOk = zelmar::companion::kIppsOk;
constexpr int kBad = zelmar::companion::kIppsBadArgument;
constexpr double kPi = 3.14159265358979323846;

inline int16_t Saturate(int32_t v) {
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

inline int16_t SaturateRound(float v) {
    v = v == v ? v : 0.0f;  // not a number becomes silence, not an undefined conversion
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

// Loops run on every block are built for several instruction sets (the best one is picked when
// the library loads) so that they run on wide vectors.
#define ZELMAR_EC_VECTOR_CLONES __attribute__((target_clones("avx512f", "arch=x86-64-v3", "default")))

// Long autocorrelations go through the spectrum.  The frame x (length N) is cut into halves
// u = x[0..s) and v = x[s..N), s = ceil(N / 2); with U, V their transforms of length M,
//   r[j] = IDFT(S)[j],  S[k] = |U[k]|^2 + |V[k]|^2 + conj(U[k]) V[k] exp(-2 pi i k s / M):
// the autocorrelations of the halves plus the products that cross from u into v (a cross-
// correlation shifted by s).  Nothing wraps around for the lags j < min(lags, N) when
// M >= N and M >= lags + s - 1, so M is about half the M >= N + lags that |X|^2 of the whole
// frame would need: for the pitch detector's 480 x 200 and 960 x 400, 512 and 1024 instead
// of 1024 and 2048.
//
// The transforms are libavutil's complex FFTs (whose SIMD code needs aligned buffers, hence
// av_malloc):
//  - forward, length M: z = u + i v, Z = DFT_M(z); with a = Z[k], m = Z[M - k],
//    |U|^2 + |V|^2 = (|a|^2 + |m|^2) / 2 and conj(U) V = Im(a m) / 2 - i (|a|^2 - |m|^2) / 4;
//  - inverse, length H = M / 2: S is Hermitian (S[M - k] = conj S[k]), so the even and odd
//    output samples come from one transform of Y[k] = (S[k] + B) + i (S[k] - B) exp(2 pi i
//    k / M), B = conj S[H - k]: IDFT_H(Y)[n] = M (r[2n] + i r[2n+1]), which read as floats is
//    M r in order.
// Each thread keeps its own contexts and buffers (a context is not shared between threads).
class SpectralCorrelator {
public:
    ~SpectralCorrelator() { Release(); }

    bool Run(const float* src, int srcLength, float* dst, int lags, float norm) {
        const int valid = lags < srcLength ? lags : srcLength;
        const int split = (srcLength + 1) / 2;
        const long needed = std::max(long{srcLength}, long{valid} + split - 1);
        if (needed > kLargestSize) return false;  // the direct sum takes frames this long
        int size = 64;
        while (size < needed) size *= 2;
        if ((size != size_ || split != split_) && !Prepare(size, split)) return false;
        const int half = size / 2;
        InterleaveHalves(src, split, srcLength - split, size, reinterpret_cast<float*>(input_));
        forwardFn_(forward_, spectrum_, input_, sizeof(AVComplexFloat));
        spectrum_[size] = spectrum_[0];
        const auto* z = reinterpret_cast<const float*>(spectrum_);
        auto* hermitian = reinterpret_cast<float*>(hermitian_);
        auto* mirror = reinterpret_cast<float*>(mirror_);
        Reverse(z + 2 * size, half + 1, mirror);  // Z[M - k] at k, for k = 0..H
        CombinedSpectrum(half, z, mirror, shiftCosines_, shiftSines_, hermitian);
        Reverse(hermitian + 2 * half, half + 1, mirror);  // S[H - k] at k
        PackForRealInverse(half, hermitian, mirror, cosines_, sines_, reinterpret_cast<float*>(packed_));
        inverseFn_(inverse_, output_, packed_, sizeof(AVComplexFloat));
        const float scale = norm / static_cast<float>(size);
        const auto* correlation = reinterpret_cast<const float*>(output_);
        for (int lag = 0; lag < valid; ++lag) dst[lag] = correlation[lag] * scale;
        for (int lag = valid; lag < lags; ++lag) dst[lag] = 0.0f;
        return true;
    }

private:
    static constexpr long kLargestSize = 1L << 26;

    // z[n] = u[n] + i v[n], zero beyond each half, as interleaved floats (second <= first).
    ZELMAR_EC_VECTOR_CLONES static void InterleaveHalves(const float* __restrict src, int first, int second,
                                                           int size, float* __restrict z) {
        const float* __restrict v = src + first;
        for (int n = 0; n < second; ++n) {
            z[2 * n] = src[n];
            z[2 * n + 1] = v[n];
        }
        for (int n = second; n < first; ++n) {
            z[2 * n] = src[n];
            z[2 * n + 1] = 0.0f;
        }
        std::fill(z + 2 * first, z + 2 * size, 0.0f);
    }

    // out[k] = end[-k] for k = 0..count-1 (complex values, interleaved), so that the next loop
    // reads both operands forwards.
    ZELMAR_EC_VECTOR_CLONES static void Reverse(const float* __restrict end, int count, float* __restrict out) {
        for (int k = 0; k < count; ++k) {
            out[2 * k] = end[-2 * k];
            out[2 * k + 1] = end[-2 * k + 1];
        }
    }

    // S[k] for k = 0..H from a = Z[k] and m = Z[M - k] (see above); (c, s) = exp(-2 pi i k s / M).
    ZELMAR_EC_VECTOR_CLONES static void CombinedSpectrum(int half, const float* __restrict z,
                                                           const float* __restrict mirror,
                                                           const float* __restrict shiftCos,
                                                           const float* __restrict shiftSin, float* __restrict out) {
        for (int k = 0; k <= half; ++k) {
            const float aRe = z[2 * k], aIm = z[2 * k + 1];
            const float mRe = mirror[2 * k], mIm = mirror[2 * k + 1];
            const float powerA = aRe * aRe + aIm * aIm;
            const float powerM = mRe * mRe + mIm * mIm;
            const float crossRe = 0.5f * (aRe * mIm + aIm * mRe);
            const float crossIm = -0.25f * (powerA - powerM);
            out[2 * k] = 0.5f * (powerA + powerM) + shiftCos[k] * crossRe - shiftSin[k] * crossIm;
            out[2 * k + 1] = shiftCos[k] * crossIm + shiftSin[k] * crossRe;
        }
    }

    // Y[k] for k = 0..H-1 from A = S[k] and S[H - k] (B is its conjugate); (c, s) =
    // exp(2 pi i k / M).
    ZELMAR_EC_VECTOR_CLONES static void PackForRealInverse(int half, const float* __restrict spectrum,
                                                             const float* __restrict mirror,
                                                             const float* __restrict cosines,
                                                             const float* __restrict sines, float* __restrict out) {
        for (int k = 0; k < half; ++k) {
            const float aRe = spectrum[2 * k], aIm = spectrum[2 * k + 1];
            const float bRe = mirror[2 * k], bIm = -mirror[2 * k + 1];
            const float dRe = aRe - bRe, dIm = aIm - bIm;
            out[2 * k] = aRe + bRe - dRe * sines[k] - dIm * cosines[k];
            out[2 * k + 1] = aIm + bIm + dRe * cosines[k] - dIm * sines[k];
        }
    }

    void Release() {
        av_tx_uninit(&forward_);
        av_tx_uninit(&inverse_);
        for (AVComplexFloat** buffer : {&input_, &spectrum_, &mirror_, &hermitian_, &packed_, &output_}) av_freep(buffer);
        for (float** table : {&cosines_, &sines_, &shiftCosines_, &shiftSines_}) av_freep(table);
        size_ = split_ = 0;
    }

    bool Prepare(int size, int split) {
        Release();
        const int half = size / 2;
        const float unit = 1.0f;
        // No AV_TX_UNALIGNED: it would rule out the SIMD transforms.
        if (av_tx_init(&forward_, &forwardFn_, AV_TX_FLOAT_FFT, 0, size, &unit, 0) < 0 ||
            av_tx_init(&inverse_, &inverseFn_, AV_TX_FLOAT_FFT, 1, half, &unit, 0) < 0) {
            Release();
            return false;
        }
        auto complexBuffer = [](int count) {
            return static_cast<AVComplexFloat*>(av_malloc(sizeof(AVComplexFloat) * static_cast<size_t>(count)));
        };
        auto table = [](int count) { return static_cast<float*>(av_malloc(sizeof(float) * static_cast<size_t>(count))); };
        input_ = complexBuffer(size);
        spectrum_ = complexBuffer(size + 1);
        mirror_ = complexBuffer(half + 1);
        hermitian_ = complexBuffer(half + 1);
        packed_ = complexBuffer(half);
        output_ = complexBuffer(half);
        cosines_ = table(half + 1);
        sines_ = table(half + 1);
        shiftCosines_ = table(half + 1);
        shiftSines_ = table(half + 1);
        for (void* buffer : {static_cast<void*>(input_), static_cast<void*>(spectrum_), static_cast<void*>(mirror_),
                             static_cast<void*>(hermitian_), static_cast<void*>(packed_), static_cast<void*>(output_),
                             static_cast<void*>(cosines_), static_cast<void*>(sines_), static_cast<void*>(shiftCosines_),
                             static_cast<void*>(shiftSines_)}) {
            if (buffer == nullptr) {
                Release();
                return false;
            }
        }
        for (int k = 0; k <= half; ++k) {
            const double angle = 2.0 * kPi * k / size;
            cosines_[k] = static_cast<float>(std::cos(angle));
            sines_[k] = static_cast<float>(std::sin(angle));
            // k * split reduced modulo size first, so the angle stays small and exact.
            const double shift = 2.0 * kPi * static_cast<double>((int64_t{k} * split) % size) / size;
            shiftCosines_[k] = static_cast<float>(std::cos(shift));
            shiftSines_[k] = static_cast<float>(-std::sin(shift));
        }
        size_ = size;
        split_ = split;
        return true;
    }

    AVTXContext* forward_ = nullptr;
    AVTXContext* inverse_ = nullptr;
    av_tx_fn forwardFn_ = nullptr;
    av_tx_fn inverseFn_ = nullptr;
    int size_ = 0;                        // M
    int split_ = 0;                       // s
    AVComplexFloat* input_ = nullptr;     // M values: z
    AVComplexFloat* spectrum_ = nullptr;  // M + 1 values: Z and Z[M] = Z[0]
    AVComplexFloat* mirror_ = nullptr;    // H + 1 values: Z[M - k], then S[H - k]
    AVComplexFloat* hermitian_ = nullptr; // H + 1 values: S[k]
    AVComplexFloat* packed_ = nullptr;    // H values: Y
    AVComplexFloat* output_ = nullptr;    // H values: M r, as 2H floats
    float* cosines_ = nullptr;            // cos(2 pi k / M), k = 0..H
    float* sines_ = nullptr;
    float* shiftCosines_ = nullptr;  // exp(-2 pi i k s / M), k = 0..H
    float* shiftSines_ = nullptr;
};

// The per-sample loops the pre-processor calls on every block.

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
