#include "dsp/CompressorCurve.h"

#include <cmath>

#include "framework/DebugOutput.h"

namespace zelmar {
namespace {

float DbToLinear(float db) { return std::pow(10.0f, db / 20.0f); }

// 1 - exp(-1 / samples): a one-pole step closes 63 % of the distance in `samples` samples.
// A time shorter than one sample follows at once.
float CoefficientFor(uint32_t sampleRateHz, uint32_t timeMs) {
    const uint64_t samples = uint64_t{sampleRateHz} * timeMs / 1000;
    return samples == 0 ? 1.0f : static_cast<float>(1.0 - std::exp(-1.0 / static_cast<double>(samples)));
}

constexpr float kPreProcessorFloorLimitDb = -50.0f;
constexpr float kPreProcessorTurnFraction = 0.25f;
constexpr float kAmplifierTurnFraction = 0.3f;
// With no threshold the knee sits just below full scale.
constexpr float kDefaultKneeDb = -1.0f;
// A threshold at or below the floor leaves no room for the expander: it moves to -1 dB.
constexpr float kThresholdBelowFloorDb = -1.0f;

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

void CCompressorCurve::ReleaseDelayLine() {
    delayLine_.clear();
    delayLine_.shrink_to_fit();
    delayLen_ = 0;
    delayIndex_ = 0;
}

void CCompressorCurve::Redesign(float thresholdDb, float ratio, float exRatio, float floorDb, float gain) {
    const bool amplifier = flavour_ == Flavour::kAmplifier;
    if (!amplifier && floorDb < kPreProcessorFloorLimitDb) floorDb = kPreProcessorFloorLimitDb;
    if (exRatio == 0.0f) {
        const bool same = thresholdDb == last_.thresholdDb && ratio == last_.ratio && gain == last_.gain &&
                          (!amplifier || (exRatio == last_.exRatio && floorDb == last_.floorDb));
        if (same) return;
        pointCount_ = 3;
        x_[0] = y_[0] = 0.0f;
        x_[1] = y_[1] = DbToLinear(thresholdDb == 0.0f ? kDefaultKneeDb : thresholdDb);
        x_[2] = 1.0f;
        y_[2] = thresholdDb == 0.0f ? 1.0f : DbToLinear(thresholdDb * (1.0f - ratio));
        shapeIsThreePoint_ = true;
    } else {
        if (thresholdDb <= floorDb) thresholdDb = kThresholdBelowFloorDb;
        const bool same = thresholdDb == last_.thresholdDb && ratio == last_.ratio && exRatio == last_.exRatio &&
                          floorDb == last_.floorDb && gain == last_.gain;
        if (same) return;
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
        shapeIsThreePoint_ = false;
    }
    last_ = {thresholdDb, ratio, exRatio, floorDb, gain};
    gain_ = gain;
    if (amplifier) {
        for (int i = 0; i < pointCount_; ++i) {
            DebugPrintf("Setup [%d] %f(%d),%f(%d)\n", i, static_cast<double>(x_[i]), static_cast<int>(32767.0f * x_[i]),
                        static_cast<double>(y_[i]), static_cast<int>(32767.0f * y_[i]));
        }
    }
}

}  // namespace zelmar
