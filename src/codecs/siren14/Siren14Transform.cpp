#include "codecs/siren14/Siren14Transform.h"

#include <cmath>

namespace zelmar {
namespace siren14 {
namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

// Where the compiler can make one, an AVX2 copy of the transform is picked at load time on
// processors that have it.  Both copies perform the same IEEE operations in the same order
// (AVX2 does not bring fused multiply-add, which is a feature of its own), so the results
// are identical to the last bit; only the vector width differs.
// Not under ThreadSanitizer: the load-time resolver would run before its runtime is up.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define ZELMAR_SIREN14_TARGET_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZELMAR_SIREN14_TARGET_CLONES
#endif

// The radix-5 pass writes five rows of one array q points apart; iterations never touch
// each other's elements (q >= 8 > any vector width), which GCC cannot prove for a run-time q.
#if defined(__GNUC__) && !defined(__clang__)
#define ZELMAR_SIREN14_INDEPENDENT_ITERATIONS _Pragma("GCC ivdep")
#else
#define ZELMAR_SIREN14_INDEPENDENT_ITERATIONS
#endif

#if defined(__GNUC__)
#define ZELMAR_SIREN14_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define ZELMAR_SIREN14_ALWAYS_INLINE inline
#endif

namespace {

// One radix-2 pass of butterfly span `Span` over `points` points.  The span is a template
// argument so the short inner loops of the early passes unroll into whole vectors instead of
// running a loop with a remainder per block; inlined into each copy of the transform, it is
// compiled for that copy's instruction set.
template <int Span>
ZELMAR_SIREN14_ALWAYS_INLINE void Radix2Pass(DctIv::Real* re, DctIv::Real* im, const DctIv::Real* wr,
                                             const DctIv::Real* wi, int points) {
    using Real = DctIv::Real;
    for (int start = 0; start < points; start += 2 * Span) {
        Real* pr = re + start;
        Real* pi = im + start;
        Real* qr = pr + Span;
        Real* qi = pi + Span;
        for (int j = 0; j < Span; ++j) {
            const Real tr = qr[j] * wr[j] - qi[j] * wi[j];
            const Real ti = qr[j] * wi[j] + qi[j] * wr[j];
            qr[j] = pr[j] - tr;
            qi[j] = pi[j] - ti;
            pr[j] += tr;
            pi[j] += ti;
        }
    }
}

}  // namespace

const DctIv* DctIv::ForLength(int length) {
    // Function-local statics: built on first use, thread-safe by the language's guarantee.
    if (length == 320) {
        static const DctIv transform320(320);
        return &transform320;
    }
    if (length == 640) {
        static const DctIv transform640(640);
        return &transform640;
    }
    return nullptr;
}

DctIv::DctIv(int length) : length_(length), half_(length / 2), radix2_(length / 10) {
    const double scale = std::sqrt(2.0 / length);
    for (int m = 0; m < half_; ++m) {
        const double pre = -kPi * (4 * m + 1) / (4.0 * length);
        preCos_[m] = std::cos(pre);
        preSin_[m] = std::sin(pre);
        const double post = -kPi * m / length;
        postCos_[m] = scale * std::cos(post);
        postSin_[m] = scale * std::sin(post);
    }
    for (int span = 4, base = 0; span < radix2_; base += span, span <<= 1) {
        for (int j = 0; j < span; ++j) {
            radix2Cos_[base + j] = std::cos(-kPi * j / span);
            radix2Sin_[base + j] = std::sin(-kPi * j / span);
        }
    }
    for (int k = 0; k < radix2_; ++k) {
        for (int r = 1; r <= 4; ++r) {
            crossCos_[(r - 1) * radix2_ + k] = std::cos(-2.0 * kPi * r * k / half_);
            crossSin_[(r - 1) * radix2_ + k] = std::sin(-2.0 * kPi * r * k / half_);
        }
    }
    int bits = 0;
    while ((1 << bits) < radix2_) ++bits;
    for (int m = 0; m < half_; ++m) {
        const int i = m / 5;
        int reversed = 0;
        for (int b = 0; b < bits; ++b) reversed |= ((i >> b) & 1) << (bits - 1 - b);
        source_[(m % 5) * radix2_ + reversed] = static_cast<uint16_t>(m);
    }
}

// The loops are arranged for the vectoriser: every one but the permuting first pass runs
// over contiguous arrays.  Each output is the same sequence of IEEE operations on the same
// operands as in the textbook arrangement (fold, permute, radix-2 passes, twiddle, radix-5
// pass, unfold), so rearranging the loops never changes a result.
ZELMAR_SIREN14_TARGET_CLONES void DctIv::Transform(const float* in, float* out, float outputScale) const {
    const int half = half_;
    const int q = radix2_;

    // Fold: point m = (in[2m] + i in[n-1-2m]) e^{-i pi (4m+1) / (4n)}.  The odd inputs are
    // taken backwards, so they are separated from the even ones first.
    float even[kMaxHalf], odd[kMaxHalf];
    for (int m = 0; m < half; ++m) {
        even[m] = in[2 * m];
        odd[m] = in[2 * m + 1];
    }
    Real foldedRe[kMaxHalf], foldedIm[kMaxHalf];
    for (int m = 0; m < half; ++m) {
        const Real a = even[m];
        const Real b = odd[half - 1 - m];
        foldedRe[m] = a * preCos_[m] - b * preSin_[m];
        foldedIm[m] = a * preSin_[m] + b * preCos_[m];
    }

    // Radix-2 decimation-in-time passes over the five sub-sequences of q points at once (every
    // butterfly block stays inside one of them).  The first two passes, whose twiddles are 1
    // and -i, run together with the permutation into bit-reversed order.
    Real re[kMaxHalf], im[kMaxHalf];
    for (int p = 0; p < half; p += 4) {
        const int s0 = source_[p], s1 = source_[p + 1], s2 = source_[p + 2], s3 = source_[p + 3];
        // span 1
        const Real x0r = foldedRe[s0] + foldedRe[s1], x0i = foldedIm[s0] + foldedIm[s1];
        const Real x1r = foldedRe[s0] - foldedRe[s1], x1i = foldedIm[s0] - foldedIm[s1];
        const Real x2r = foldedRe[s2] + foldedRe[s3], x2i = foldedIm[s2] + foldedIm[s3];
        const Real x3r = foldedRe[s2] - foldedRe[s3], x3i = foldedIm[s2] - foldedIm[s3];
        // span 2: x2 with twiddle 1, x3 with twiddle -i: (x3r, x3i) * -i = (x3i, -x3r)
        re[p] = x0r + x2r, im[p] = x0i + x2i;
        re[p + 2] = x0r - x2r, im[p + 2] = x0i - x2i;
        const Real br = x3i, bi = -x3r;
        re[p + 1] = x1r + br, im[p + 1] = x1i + bi;
        re[p + 3] = x1r - br, im[p + 3] = x1i - bi;
    }
    // Spans 4 ... q / 2: 4, 8, 16 for N = 320 (q = 32), and 32 for N = 640 (q = 64).
    Radix2Pass<4>(re, im, radix2Cos_, radix2Sin_, half);
    Radix2Pass<8>(re, im, radix2Cos_ + 4, radix2Sin_ + 4, half);
    Radix2Pass<16>(re, im, radix2Cos_ + 12, radix2Sin_ + 12, half);
    if (q == 64) Radix2Pass<32>(re, im, radix2Cos_ + 28, radix2Sin_ + 28, half);

    // Radix-5 pass: bin k + q * k1 combines bin k of the five sub-FFTs, sub-FFT r first turned
    // by e^{-2 pi i r k / half}.
    const Real c1 = static_cast<Real>(std::cos(2 * kPi / 5)), c2 = static_cast<Real>(std::cos(4 * kPi / 5));
    const Real s1 = static_cast<Real>(std::sin(2 * kPi / 5)), s2 = static_cast<Real>(std::sin(4 * kPi / 5));
    Real yr[kMaxHalf], yi[kMaxHalf];
    {
        const Real* x0r = re;
        const Real* x0i = im;
        const Real* x1r = re + q;
        const Real* x1i = im + q;
        const Real* x2r = re + 2 * q;
        const Real* x2i = im + 2 * q;
        const Real* x3r = re + 3 * q;
        const Real* x3i = im + 3 * q;
        const Real* x4r = re + 4 * q;
        const Real* x4i = im + 4 * q;
        const Real* w1r = crossCos_;
        const Real* w1i = crossSin_;
        const Real* w2r = crossCos_ + q;
        const Real* w2i = crossSin_ + q;
        const Real* w3r = crossCos_ + 2 * q;
        const Real* w3i = crossSin_ + 2 * q;
        const Real* w4r = crossCos_ + 3 * q;
        const Real* w4i = crossSin_ + 3 * q;
        ZELMAR_SIREN14_INDEPENDENT_ITERATIONS
        for (int k = 0; k < q; ++k) {
            const Real t1r = x1r[k] * w1r[k] - x1i[k] * w1i[k], t1i = x1r[k] * w1i[k] + x1i[k] * w1r[k];
            const Real t2r = x2r[k] * w2r[k] - x2i[k] * w2i[k], t2i = x2r[k] * w2i[k] + x2i[k] * w2r[k];
            const Real t3r = x3r[k] * w3r[k] - x3i[k] * w3i[k], t3i = x3r[k] * w3i[k] + x3i[k] * w3r[k];
            const Real t4r = x4r[k] * w4r[k] - x4i[k] * w4i[k], t4i = x4r[k] * w4i[k] + x4i[k] * w4r[k];
            const Real t0r = x0r[k], t0i = x0i[k];
            const Real b1r = t1r + t4r, b1i = t1i + t4i;
            const Real b2r = t2r + t3r, b2i = t2i + t3i;
            const Real d1r = t1r - t4r, d1i = t1i - t4i;
            const Real d2r = t2r - t3r, d2i = t2i - t3i;
            const Real m1r = t0r + c1 * b1r + c2 * b2r, m1i = t0i + c1 * b1i + c2 * b2i;
            const Real m2r = t0r + c2 * b1r + c1 * b2r, m2i = t0i + c2 * b1i + c1 * b2i;
            // n = -i (s d): real part s * d_im, imaginary part -s * d_re.
            const Real n1r = s1 * d1i + s2 * d2i, n1i = -(s1 * d1r + s2 * d2r);
            const Real n2r = s2 * d1i - s1 * d2i, n2i = -(s2 * d1r - s1 * d2r);
            yr[k] = t0r + b1r + b2r, yi[k] = t0i + b1i + b2i;
            yr[q + k] = m1r + n1r, yi[q + k] = m1i + n1i;
            yr[2 * q + k] = m2r + n2r, yi[2 * q + k] = m2i + n2i;
            yr[3 * q + k] = m2r - n2r, yi[3 * q + k] = m2i - n2i;
            yr[4 * q + k] = m1r - n1r, yi[4 * q + k] = m1i - n1i;
        }
    }

    // Unfold: bin m gives out[2m] (real part) and out[n-1-2m] (minus the imaginary part).  The
    // odd outputs are gathered backwards and interleaved with the even ones at the end.
    float evenOut[kMaxHalf], oddOut[kMaxHalf];
    for (int bin = 0; bin < half; ++bin) {
        const Real r = yr[bin] * postCos_[bin] - yi[bin] * postSin_[bin];
        const Real i = yr[bin] * postSin_[bin] + yi[bin] * postCos_[bin];
        evenOut[bin] = static_cast<float>(r) * outputScale;
        oddOut[half - 1 - bin] = static_cast<float>(-i) * outputScale;
    }
    for (int m = 0; m < half; ++m) {
        out[2 * m] = evenOut[m];
        out[2 * m + 1] = oddOut[m];
    }
}

}  // namespace siren14
}  // namespace zelmar
