#include "dsp/blocks/CompressorCurve.h"

#include <cmath>

namespace zelmar {
namespace {

float DbToLinear(float db) { return std::pow(10.0f, db / 20.0f); }

// 1 - exp(-1 / samples): a one-pole step closes 63 % of the distance in `samples` samples.
// A time shorter than one sample follows at once.
float CoefficientFor(uint32_t sampleRateHz, uint32_t timeMs) {
    const uint64_t samples = uint64_t{sampleRateHz} * timeMs / 1000;
    return samples == 0 ? 1.0f : static_cast<float>(1.0 - std::exp(-1.0 / static_cast<double>(samples)));
}

constexpr float kPreProcessorTurnFraction = 0.25f;
constexpr float kAmplifierTurnFraction = 0.3f;
// With no threshold the knee sits just below full scale.
constexpr float kDefaultKneeDb = -1.0f;

}  // namespace

int CCompressorCurve::Setup(uint32_t sampleRateHz, uint32_t attackMs, uint32_t releaseMs, uint32_t delayMs) {
    if (sampleRateHz == 0 || attackMs == 0 || releaseMs == 0) return -1;
    attackCoef_ = CoefficientFor(sampleRateHz, attackMs);
    releaseCoef_ = CoefficientFor(sampleRateHz, releaseMs);
    delayLen_ = static_cast<uint32_t>(uint64_t{sampleRateHz} * delayMs / 1000);
    delayLine_.assign(delayLen_, 0.0f);
    envelope_ = 0.0f;
    delayIndex_ = 0;
    return 0;
}

namespace {

// Shape for a curve of kPoints breakpoints.  The segment search of Shape (the first k from 1
// with envelope < x[k], else the last) becomes a running "still above" mask that selects the
// segment's ends; the level and the output are then the same operations in the same order.
template <int kPoints>
void ShapeWithPoints(const float* pointX, const float* pointY, const float* __restrict envelopes,
                     float* __restrict samples, uint32_t count) {
    float xs[kPoints], ys[kPoints];
    for (int k = 0; k < kPoints; ++k) {
        xs[k] = pointX[k];
        ys[k] = pointY[k];
    }
    for (uint32_t i = 0; i < count; ++i) {
        const float envelope = envelopes[i];
        float lowX = xs[0], highX = xs[1], lowY = ys[0], highY = ys[1];
        bool above = true;
#pragma GCC unroll 4
        for (int k = 2; k < kPoints; ++k) {
            above = above & (envelope >= xs[k - 1]);
            lowX = above ? xs[k - 1] : lowX;
            highX = above ? xs[k] : highX;
            lowY = above ? ys[k - 1] : lowY;
            highY = above ? ys[k] : highY;
        }
        const float level = (envelope - lowX) * (highY - lowY) / (highX - lowX) + lowY;
        const float shaped = samples[i] * level / envelope;
        samples[i] = envelope < CCompressorCurve::kMinEnvelope ? 0.0f : shaped;
    }
}

}  // namespace

void CCompressorCurve::ShapeBlock(const float* envelopes, float* samples, uint32_t count) const {
    switch (pointCount_) {
        case 3: ShapeWithPoints<3>(x_, y_, envelopes, samples, count); break;
        case 5: ShapeWithPoints<5>(x_, y_, envelopes, samples, count); break;
        default:
            for (uint32_t i = 0; i < count; ++i) samples[i] = Shape(samples[i], envelopes[i]);
            break;
    }
}

void CCompressorCurve::ReleaseDelayLine() {
    delayLine_.clear();
    delayLine_.shrink_to_fit();
    delayLen_ = 0;
    delayIndex_ = 0;
}

bool CCompressorCurve::Redesign(float thresholdDb, float ratio, float exRatio, float floorDb, float gain) {
    const bool amplifier = flavour_ == Flavour::kAmplifier;
    if (!amplifier && floorDb < kPreProcessorFloorLimitDb) floorDb = kPreProcessorFloorLimitDb;
    if (exRatio == 0.0f) {
        const bool same = thresholdDb == last_.thresholdDb && ratio == last_.ratio && gain == last_.gain &&
                          (!amplifier || (exRatio == last_.exRatio && floorDb == last_.floorDb));
        if (same) return false;
        pointCount_ = 3;
        x_[0] = y_[0] = 0.0f;
        x_[1] = y_[1] = DbToLinear(thresholdDb == 0.0f ? kDefaultKneeDb : thresholdDb);
        x_[2] = 1.0f;
        y_[2] = thresholdDb == 0.0f ? 1.0f : DbToLinear(thresholdDb * (1.0f - ratio));
        shapeDesigned_ = true;
    } else {
        if (thresholdDb <= floorDb) thresholdDb = kThresholdBelowFloorDb;
        const bool same = thresholdDb == last_.thresholdDb && ratio == last_.ratio && exRatio == last_.exRatio &&
                          floorDb == last_.floorDb && gain == last_.gain;
        if (same) return false;
        const float turnFraction = amplifier ? kAmplifierTurnFraction : kPreProcessorTurnFraction;
        const float turnDb = floorDb + (thresholdDb - floorDb) * turnFraction;
        const float turnOutDb = amplifier ? floorDb + exRatio * (thresholdDb - floorDb)
                                          : thresholdDb + (turnDb - thresholdDb) * exRatio;
        pointCount_ = 5;
        x_[0] = y_[0] = 0.0f;
        x_[1] = y_[1] = DbToLinear(floorDb);
        x_[2] = DbToLinear(turnDb);
        y_[2] = DbToLinear(turnOutDb);
        x_[3] = y_[3] = DbToLinear(thresholdDb);
        x_[4] = 1.0f;
        y_[4] = DbToLinear(thresholdDb * (1.0f - ratio));
        shapeDesigned_ = true;
    }
    last_ = {thresholdDb, ratio, exRatio, floorDb, gain};
    gain_ = gain;
    return true;
}

}  // namespace zelmar
