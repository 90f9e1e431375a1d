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
// from the direct sum by about 1e-6 of lag 0).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/tx.h>
}

#include "ZelmarEC.h"
#include "companion/CompanionApi.h"

namespace zelmar::ec {
namespace {

constexpr int kOk = zelmar::companion::kIppsOk;
constexpr int kBad = zelmar::companion::kIppsBadArgument;

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
// padding to at least N + lags so no lag wraps around.  Transforms are libavutil's real FFTs;
// each thread keeps its own contexts and buffers (a context is not shared between threads).
class SpectralCorrelator {
public:
    ~SpectralCorrelator() {
        av_tx_uninit(&forward_);
        av_tx_uninit(&inverse_);
    }
    bool Run(const float* src, int srcLength, float* dst, int lags, float norm) {
        int size = 64;
        while (size < srcLength + lags) size *= 2;
        if (size != size_ && !Prepare(size)) return false;
        std::fill(time_.begin(), time_.end(), 0.0f);
        std::copy(src, src + srcLength, time_.begin());
        forwardFn_(forward_, spectrum_.data(), time_.data(), sizeof(AVComplexFloat));
        for (AVComplexFloat& bin : spectrum_) {
            bin.re = bin.re * bin.re + bin.im * bin.im;
            bin.im = 0.0f;
        }
        inverseFn_(inverse_, time_.data(), spectrum_.data(), sizeof(AVComplexFloat));
        const float scale = norm / static_cast<float>(size);
        const int valid = lags < srcLength ? lags : srcLength;
        for (int lag = 0; lag < valid; ++lag) dst[lag] = time_[static_cast<size_t>(lag)] * scale;
        for (int lag = valid; lag < lags; ++lag) dst[lag] = 0.0f;
        return true;
    }

private:
    bool Prepare(int size) {
        av_tx_uninit(&forward_);
        av_tx_uninit(&inverse_);
        size_ = 0;
        const float unit = 1.0f;
        if (av_tx_init(&forward_, &forwardFn_, AV_TX_FLOAT_RDFT, 0, size, &unit, AV_TX_UNALIGNED) < 0 ||
            av_tx_init(&inverse_, &inverseFn_, AV_TX_FLOAT_RDFT, 1, size, &unit, AV_TX_UNALIGNED) < 0) {
            return false;
        }
        time_.assign(static_cast<size_t>(size) + 2, 0.0f);
        spectrum_.assign(static_cast<size_t>(size) / 2 + 1, AVComplexFloat{0.0f, 0.0f});
        size_ = size;
        return true;
    }

    AVTXContext* forward_ = nullptr;
    AVTXContext* inverse_ = nullptr;
    av_tx_fn forwardFn_ = nullptr;
    av_tx_fn inverseFn_ = nullptr;
    int size_ = 0;
    std::vector<float> time_;
    std::vector<AVComplexFloat> spectrum_;
};

// Below this many products the direct sum is cheaper than two transforms.
constexpr long kSpectralMinProducts = 16384;

int AutoCorrelate(const float* src, int srcLength, float* dst, int dstLength, float norm) {
    if (src == nullptr || dst == nullptr || srcLength <= 0 || dstLength <= 0) return kBad;
    if (long{srcLength} * dstLength >= kSpectralMinProducts) {
        thread_local SpectralCorrelator correlator;
        if (correlator.Run(src, srcLength, dst, dstLength, norm)) return kOk;
    }
    for (int lag = 0; lag < dstLength; ++lag) dst[lag] = 0.0f;
    // Sample-major order: the inner loop runs over lags with one independent sum each, so it
    // vectorises; every lag's sum still adds its products in increasing i.
    for (int i = 0; i < srcLength; ++i) {
        const float x = src[i];
        const float* shifted = src + i;
        const int lags = dstLength < srcLength - i ? dstLength : srcLength - i;
        for (int lag = 0; lag < lags; ++lag) dst[lag] += x * shifted[lag];
    }
    for (int lag = 0; lag < dstLength; ++lag) dst[lag] *= norm;
    return kOk;
}

}  // namespace
}  // namespace zelmar::ec

using namespace zelmar::ec;

ZELMAR_EC_API int IPPS_MaxAbs16s(const short* src, int length, short* maxAbs) {
    if (src == nullptr || maxAbs == nullptr || length <= 0) return kBad;
    int32_t peak = 0;
    for (int i = 0; i < length; ++i) {
        const int32_t magnitude = src[i] < 0 ? -int32_t{src[i]} : src[i];
        peak = magnitude > peak ? magnitude : peak;
    }
    *maxAbs = Saturate(peak);  // |-32768| saturates to 32767
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
    const float scale = std::ldexp(1.0f, -scaleFactor);
    for (int i = 0; i < length; ++i) dst[i] = static_cast<float>(src[i]) * scale;
    return kOk;
}

ZELMAR_EC_API int IPPS_Convert_32f16s(const float* src, short* dst, int length, int scaleFactor) {
    if (src == nullptr || dst == nullptr || length <= 0) return kBad;
    const float scale = std::ldexp(1.0f, -scaleFactor);
    for (int i = 0; i < length; ++i) dst[i] = SaturateRound(src[i] * scale);
    return kOk;
}

ZELMAR_EC_API int IPPS_AutoCorr(const float* src, int srcLength, float* dst, int dstLength) {
    return AutoCorrelate(src, srcLength, dst, dstLength, 1.0f);
}

ZELMAR_EC_API int IPPS_AutoCorrNorm32f(const float* src, int srcLength, float* dst, int dstLength) {
    if (srcLength <= 0) return kBad;
    return AutoCorrelate(src, srcLength, dst, dstLength, 1.0f / static_cast<float>(srcLength));
}
