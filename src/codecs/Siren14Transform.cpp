#include "codecs/Siren14Transform.h"

#include <cmath>

namespace zelmar {
namespace siren14 {
namespace {

constexpr double kPi = 3.14159265358979323846;

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
    for (int j = 0; j < radix2_ / 2; ++j) {
        radix2Cos_[j] = std::cos(-2.0 * kPi * j / radix2_);
        radix2Sin_[j] = std::sin(-2.0 * kPi * j / radix2_);
    }
    for (int k = 0; k < radix2_; ++k) {
        for (int r = 1; r <= 4; ++r) {
            crossCos_[k * 4 + r - 1] = std::cos(-2.0 * kPi * r * k / half_);
            crossSin_[k * 4 + r - 1] = std::sin(-2.0 * kPi * r * k / half_);
        }
    }
    int bits = 0;
    while ((1 << bits) < radix2_) ++bits;
    for (int i = 0; i < radix2_; ++i) {
        int reversed = 0;
        for (int b = 0; b < bits; ++b) reversed |= ((i >> b) & 1) << (bits - 1 - b);
        bitReverse_[i] = static_cast<uint16_t>(reversed);
    }
}

void DctIv::Transform(const float* in, float* out) const {
    // Complex work array laid out as 5 sub-sequences of radix2_ points: sub-FFT r holds the
    // folded points 5m + r, stored in bit-reversed order so the butterflies run in place.
    double re[kMaxHalf], im[kMaxHalf];
    for (int m = 0; m < half_; ++m) {
        const double a = in[2 * m];
        const double b = in[length_ - 1 - 2 * m];
        const int r = m % 5;
        const int slot = r * radix2_ + bitReverse_[m / 5];
        re[slot] = a * preCos_[m] - b * preSin_[m];
        im[slot] = a * preSin_[m] + b * preCos_[m];
    }

    // Radix-2 decimation-in-time passes on each of the five sub-sequences.
    for (int r = 0; r < 5; ++r) {
        double* sre = re + r * radix2_;
        double* sim = im + r * radix2_;
        for (int span = 1; span < radix2_; span <<= 1) {
            const int stride = radix2_ / (2 * span);
            for (int start = 0; start < radix2_; start += 2 * span) {
                for (int j = 0; j < span; ++j) {
                    const double wr = radix2Cos_[j * stride];
                    const double wi = radix2Sin_[j * stride];
                    const int p = start + j;
                    const int q = p + span;
                    const double tr = sre[q] * wr - sim[q] * wi;
                    const double ti = sre[q] * wi + sim[q] * wr;
                    sre[q] = sre[p] - tr;
                    sim[q] = sim[p] - ti;
                    sre[p] += tr;
                    sim[p] += ti;
                }
            }
        }
    }

    // Radix-5 pass: output k2 + radix2_ * k1 combines bin k2 of the five sub-FFTs.
    const double c1 = std::cos(2 * kPi / 5), c2 = std::cos(4 * kPi / 5);
    const double s1 = std::sin(2 * kPi / 5), s2 = std::sin(4 * kPi / 5);
    for (int k = 0; k < radix2_; ++k) {
        double tr[5], ti[5];
        tr[0] = re[k];
        ti[0] = im[k];
        for (int r = 1; r < 5; ++r) {
            const double xr = re[r * radix2_ + k], xi = im[r * radix2_ + k];
            const double wr = crossCos_[k * 4 + r - 1], wi = crossSin_[k * 4 + r - 1];
            tr[r] = xr * wr - xi * wi;
            ti[r] = xr * wi + xi * wr;
        }
        const double b1r = tr[1] + tr[4], b1i = ti[1] + ti[4];
        const double b2r = tr[2] + tr[3], b2i = ti[2] + ti[3];
        const double d1r = tr[1] - tr[4], d1i = ti[1] - ti[4];
        const double d2r = tr[2] - tr[3], d2i = ti[2] - ti[3];
        const double m1r = tr[0] + c1 * b1r + c2 * b2r, m1i = ti[0] + c1 * b1i + c2 * b2i;
        const double m2r = tr[0] + c2 * b1r + c1 * b2r, m2i = ti[0] + c2 * b1i + c1 * b2i;
        // n = -i (s d): real part s*d_im, imaginary part -s*d_re.
        const double n1r = s1 * d1i + s2 * d2i, n1i = -(s1 * d1r + s2 * d2r);
        const double n2r = s2 * d1i - s1 * d2i, n2i = -(s2 * d1r - s1 * d2r);
        const double outRe[5] = {tr[0] + b1r + b2r, m1r + n1r, m2r + n2r, m2r - n2r, m1r - n1r};
        const double outIm[5] = {ti[0] + b1i + b2i, m1i + n1i, m2i + n2i, m2i - n2i, m1i - n1i};
        for (int k1 = 0; k1 < 5; ++k1) {
            const int bin = k + radix2_ * k1;
            const double yr = outRe[k1] * postCos_[bin] - outIm[k1] * postSin_[bin];
            const double yi = outRe[k1] * postSin_[bin] + outIm[k1] * postCos_[bin];
            out[2 * bin] = static_cast<float>(yr);
            out[length_ - 1 - 2 * bin] = static_cast<float>(-yi);
        }
    }
}

}  // namespace siren14
}  // namespace zelmar
