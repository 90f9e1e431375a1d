#include "platform/audio/LinearEchoCanceller.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zelmar::platform::audio {
namespace {

// Keeps the step finite where the far end is silent: the power, per transform point and
// partition, of a far end at an RMS of 100 (about -50 dBFS).
constexpr float kPowerFloorPerPoint = 1.0e4f;

}  // namespace

LinearEchoCanceller::~LinearEchoCanceller() {
    av_tx_uninit(&forward_);
    av_tx_uninit(&inverse_);
    av_free(time_);
    av_free(spectrum_);
}

bool LinearEchoCanceller::Init(uint32_t blockSamples, uint32_t partitions) {
    static_assert(sizeof(Complex) == sizeof(AVComplexFloat), "a bin is two floats, as libavutil keeps it");
    if (blockSamples == 0 || blockSamples % 2 != 0 || partitions == 0 || forward_ != nullptr) return false;
    block_ = blockSamples;
    bins_ = blockSamples + 1;
    partitions_ = partitions;
    const int points = static_cast<int>(2 * blockSamples);
    // The forward transform is unscaled; the inverse divides by the length, so a spectrum
    // product comes back as the plain circular convolution.
    const float forwardScale = 1.0f;
    const float inverseScale = 1.0f / static_cast<float>(points);
    av_tx_fn forward = nullptr;
    av_tx_fn inverse = nullptr;
    if (av_tx_init(&forward_, &forward, AV_TX_FLOAT_RDFT, 0, points, &forwardScale, 0) < 0 ||
        av_tx_init(&inverse_, &inverse, AV_TX_FLOAT_RDFT, 1, points, &inverseScale, 0) < 0) {
        return false;
    }
    forwardFn_ = forward;
    inverseFn_ = inverse;
    time_ = static_cast<float*>(av_malloc(sizeof(float) * 2 * size_t{block_}));
    spectrum_ = static_cast<Complex*>(av_malloc(sizeof(Complex) * bins_));
    if (time_ == nullptr || spectrum_ == nullptr) return false;
    farPrevious_.assign(block_, 0.0f);
    farSpectra_.assign(size_t{partitions_} * bins_, Complex{});
    farPower_.assign(bins_, 0.0f);
    background_.assign(size_t{partitions_} * bins_, Complex{});
    stepShares_.assign(partitions_, 1.0f);
    foreground_.assign(size_t{partitions_} * bins_, Complex{});
    echo_.assign(block_, 0.0f);
    backgroundError_.assign(block_, 0.0f);
    errorSpectrum_.assign(bins_, Complex{});
    Reset();
    return true;
}

void LinearEchoCanceller::Reset() {
    std::fill(farPrevious_.begin(), farPrevious_.end(), 0.0f);
    std::fill(farSpectra_.begin(), farSpectra_.end(), Complex{});
    std::fill(farPower_.begin(), farPower_.end(), 0.0f);
    farNewest_ = 0;
    constrainNext_ = 0;
    ForgetPath();
}

void LinearEchoCanceller::ForgetPath() {
    std::fill(background_.begin(), background_.end(), Complex{});
    std::fill(foreground_.begin(), foreground_.end(), Complex{});
    backgroundEnergy_ = foregroundEnergy_ = capturedEnergy_ = outputEnergy_ = 0;
    betterBlocks_ = 0;
    ++startsOver_;
}

void LinearEchoCanceller::Forward(const float* time, Complex* spectrum) {
    if (time != time_) std::memcpy(time_, time, sizeof(float) * 2 * block_);
    forwardFn_(forward_, spectrum, time_, sizeof(float));
}

void LinearEchoCanceller::Estimate(const std::vector<Complex>& weights, float* echo) {
    std::fill(spectrum_, spectrum_ + bins_, Complex{});
    for (uint32_t p = 0; p < partitions_; ++p) {
        const Complex* x = &farSpectra_[size_t{(farNewest_ + partitions_ - p) % partitions_} * bins_];
        const Complex* w = &weights[size_t{p} * bins_];
        for (uint32_t k = 0; k < bins_; ++k) {
            spectrum_[k].re += w[k].re * x[k].re - w[k].im * x[k].im;
            spectrum_[k].im += w[k].re * x[k].im + w[k].im * x[k].re;
        }
    }
    inverseFn_(inverse_, time_, spectrum_, sizeof(float));  // (overwrites spectrum_)
    // Overlap-save: the second half is the linear convolution.
    std::memcpy(echo, time_ + block_, sizeof(float) * block_);
}

void LinearEchoCanceller::Process(const float* far, const float* captured, float* out) {
    // The far end's newest spectrum: the last two blocks.
    std::memcpy(time_, farPrevious_.data(), sizeof(float) * block_);
    std::memcpy(time_ + block_, far, sizeof(float) * block_);
    std::memcpy(farPrevious_.data(), far, sizeof(float) * block_);
    farNewest_ = (farNewest_ + 1) % partitions_;
    Complex* newest = &farSpectra_[size_t{farNewest_} * bins_];
    // The slot is the oldest partition's: its power leaves the sum as the newest's comes in.
    for (uint32_t k = 0; k < bins_; ++k) farPower_[k] -= newest[k].re * newest[k].re + newest[k].im * newest[k].im;
    Forward(time_, newest);
    for (uint32_t k = 0; k < bins_; ++k) {
        farPower_[k] = std::max(0.0f, farPower_[k] + newest[k].re * newest[k].re + newest[k].im * newest[k].im);
    }

    blockBackgroundEnergy_ = blockForegroundEnergy_ = 0;
    float capturedEnergy = 0;
    for (uint32_t i = 0; i < block_; ++i) capturedEnergy += captured[i] * captured[i];
    Estimate(background_, echo_.data());
    for (uint32_t i = 0; i < block_; ++i) {
        backgroundError_[i] = captured[i] - echo_[i];
        blockBackgroundEnergy_ += backgroundError_[i] * backgroundError_[i];
    }
    Estimate(foreground_, echo_.data());
    for (uint32_t i = 0; i < block_; ++i) {
        out[i] = captured[i] - echo_[i];
        blockForegroundEnergy_ += out[i] * out[i];
    }
    // A foreground that makes the capture louder (kDivergedBy, over the last 200 ms or so)
    // models a path that is gone: both filters start over.  A block or two of a half-learnt
    // filter overshooting on a new sound is not that.
    capturedEnergy_ = kDivergenceSmoothing * capturedEnergy_ + (1.0f - kDivergenceSmoothing) * capturedEnergy;
    outputEnergy_ = kDivergenceSmoothing * outputEnergy_ + (1.0f - kDivergenceSmoothing) * blockForegroundEnergy_;
    if (outputEnergy_ > kDivergedBy * capturedEnergy_ + 1.0f) ForgetPath();
}

void LinearEchoCanceller::ShareStepsByWeight() {
    // Each partition's share: the magnitude of its weights, plus kStepShareFloor of the
    // largest's (a partition with no echo yet keeps learning), scaled so the shares average 1.
    float largest = 0;
    for (uint32_t p = 0; p < partitions_; ++p) {
        const Complex* w = &background_[size_t{p} * bins_];
        float energy = 0;
        for (uint32_t k = 0; k < bins_; ++k) energy += w[k].re * w[k].re + w[k].im * w[k].im;
        stepShares_[p] = std::sqrt(energy);
        largest = std::max(largest, stepShares_[p]);
    }
    // The constant keeps the shares even while every weight is still zero.
    const float added = kStepShareFloor * largest + 1.0e-3f;
    float sum = 0;
    for (float& share : stepShares_) sum += (share += added);
    const float scale = static_cast<float>(partitions_) / sum;
    for (float& share : stepShares_) share *= scale;
}

void LinearEchoCanceller::Learn() {
    // The background learns from its own error: W += step * conj(X) * E, each bin's step
    // normalised by the far end's power there.
    std::fill(time_, time_ + block_, 0.0f);
    std::memcpy(time_ + block_, backgroundError_.data(), sizeof(float) * block_);
    Forward(time_, errorSpectrum_.data());
    const float floor = kPowerFloorPerPoint * static_cast<float>(2 * block_) * static_cast<float>(partitions_);
    ShareStepsByWeight();
    for (uint32_t p = 0; p < partitions_; ++p) {
        const Complex* x = &farSpectra_[size_t{(farNewest_ + partitions_ - p) % partitions_} * bins_];
        Complex* w = &background_[size_t{p} * bins_];
        for (uint32_t k = 0; k < bins_; ++k) {
            const float step = stepShares_[p] * kStep / (farPower_[k] + floor);
            const Complex& e = errorSpectrum_[k];
            w[k].re += step * (x[k].re * e.re + x[k].im * e.im);
            w[k].im += step * (x[k].re * e.im - x[k].im * e.re);
        }
    }
    // One partition's taps past N cut, in turn.
    Complex* constrained = &background_[size_t{constrainNext_} * bins_];
    std::memcpy(spectrum_, constrained, sizeof(Complex) * bins_);
    inverseFn_(inverse_, time_, spectrum_, sizeof(float));
    std::fill(time_ + block_, time_ + 2 * block_, 0.0f);
    Forward(time_, constrained);
    constrainNext_ = (constrainNext_ + 1) % partitions_;

    // Which filter cancels better, over the last few blocks.
    backgroundEnergy_ = kEnergySmoothing * backgroundEnergy_ + (1.0f - kEnergySmoothing) * blockBackgroundEnergy_;
    foregroundEnergy_ = kEnergySmoothing * foregroundEnergy_ + (1.0f - kEnergySmoothing) * blockForegroundEnergy_;
    if (backgroundEnergy_ < kBetterBy * foregroundEnergy_) {
        if (++betterBlocks_ >= kCopyAfterBlocks) {
            std::copy(background_.begin(), background_.end(), foreground_.begin());
            foregroundEnergy_ = backgroundEnergy_;
            betterBlocks_ = 0;
        }
    } else {
        betterBlocks_ = 0;
        if (backgroundEnergy_ > kWorseBy * foregroundEnergy_) {
            std::copy(foreground_.begin(), foreground_.end(), background_.begin());
            backgroundEnergy_ = foregroundEnergy_;
        }
    }
}

}  // namespace zelmar::platform::audio
