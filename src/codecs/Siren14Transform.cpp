#include "codecs/Siren14Transform.h"

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
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define ZELMAR_SIREN14_TARGET_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZELMAR_SIREN14_TARGET_CLONES
#endif

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
        slot_[m] = static_cast<uint16_t>((m % 5) * radix2_ + reversed);
    }
}

ZELMAR_SIREN14_TARGET_CLONES void DctIv::Transform(const float* in, float* out, float outputScale) const {
    // Complex work array laid out as 5 sub-sequences of radix2_ points: sub-FFT r holds the
    // folded points 5m + r, stored in bit-reversed order so the butterflies run in place.
    Real re[kMaxHalf], im[kMaxHalf];
    for (int m = 0; m < half_; ++m) {
        const Real a = in[2 * m];
        const Real b = in[length_ - 1 - 2 * m];
        const int slot = slot_[m];
        re[slot] = a * preCos_[m] - b * preSin_[m];
        im[slot] = a * preSin_[m] + b * preCos_[m];
    }

    // Radix-2 decimation-in-time passes.  The five sub-sequences lie one after another and
    // every butterfly block stays inside one of them, so each pass runs over all at once.
    // Spans 1 and 2 have the trivial twiddles 1 and -i.
    for (int p = 0; p < half_; p += 2) {
        const Real ar = re[p], ai = im[p], br = re[p + 1], bi = im[p + 1];
        re[p] = ar + br, im[p] = ai + bi;
        re[p + 1] = ar - br, im[p + 1] = ai - bi;
    }
    for (int p = 0; p < half_; p += 4) {
        Real ar = re[p], ai = im[p], br = re[p + 2], bi = im[p + 2];
        re[p] = ar + br, im[p] = ai + bi;
        re[p + 2] = ar - br, im[p + 2] = ai - bi;
        // (br, bi) * -i = (bi, -br)
        ar = re[p + 1], ai = im[p + 1], br = im[p + 3], bi = -re[p + 3];
        re[p + 1] = ar + br, im[p + 1] = ai + bi;
        re[p + 3] = ar - br, im[p + 3] = ai - bi;
    }
    for (int span = 4, base = 0; span < radix2_; base += span, span <<= 1) {
        const Real* wr = radix2Cos_ + base;
        const Real* wi = radix2Sin_ + base;
        for (int start = 0; start < half_; start += 2 * span) {
            Real* pr = re + start;
            Real* pi = im + start;
            Real* qr = pr + span;
            Real* qi = pi + span;
            for (int j = 0; j < span; ++j) {
                const Real tr = qr[j] * wr[j] - qi[j] * wi[j];
                const Real ti = qr[j] * wi[j] + qi[j] * wr[j];
                qr[j] = pr[j] - tr;
                qi[j] = pi[j] - ti;
                pr[j] += tr;
                pi[j] += ti;
            }
        }
    }

    // Radix-5 pass: output k + radix2 * k1 combines bin k of the five sub-FFTs.  Written as
    // loops over k on contiguous arrays so the compiler vectorises them.
    const Real c1 = static_cast<Real>(std::cos(2 * kPi / 5)), c2 = static_cast<Real>(std::cos(4 * kPi / 5));
    const Real s1 = static_cast<Real>(std::sin(2 * kPi / 5)), s2 = static_cast<Real>(std::sin(4 * kPi / 5));
    const int q = radix2_;
    for (int r = 1; r < 5; ++r) {
        Real* xr = re + r * q;
        Real* xi = im + r * q;
        const Real* wr = crossCos_ + (r - 1) * q;
        const Real* wi = crossSin_ + (r - 1) * q;
        for (int k = 0; k < q; ++k) {
            const Real tr = xr[k] * wr[k] - xi[k] * wi[k];
            const Real ti = xr[k] * wi[k] + xi[k] * wr[k];
            xr[k] = tr;
            xi[k] = ti;
        }
    }
    Real yr[kMaxHalf], yi[kMaxHalf];
    for (int k = 0; k < q; ++k) {
        const Real t0r = re[k], t0i = im[k];
        const Real b1r = re[q + k] + re[4 * q + k], b1i = im[q + k] + im[4 * q + k];
        const Real b2r = re[2 * q + k] + re[3 * q + k], b2i = im[2 * q + k] + im[3 * q + k];
        const Real d1r = re[q + k] - re[4 * q + k], d1i = im[q + k] - im[4 * q + k];
        const Real d2r = re[2 * q + k] - re[3 * q + k], d2i = im[2 * q + k] - im[3 * q + k];
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
    for (int bin = 0; bin < half_; ++bin) {
        const Real r = yr[bin] * postCos_[bin] - yi[bin] * postSin_[bin];
        const Real i = yr[bin] * postSin_[bin] + yi[bin] * postCos_[bin];
        out[2 * bin] = static_cast<float>(r) * outputScale;
        out[length_ - 1 - 2 * bin] = static_cast<float>(-i) * outputScale;
    }
}

}  // namespace siren14
}  // namespace zelmar
