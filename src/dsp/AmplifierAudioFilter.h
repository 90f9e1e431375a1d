// "AmplifierAudioFilter": 16-bit mono PCM through an optional high-pass and low-pass biquad
// section and a gain with a compressor/expander curve (the amplifier flavour of
// CCompressorCurve, which traces its breakpoints).  Measures each input block's peak.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/BiquadFilter.h"
#include "dsp/CompressorCurve.h"
#include "framework/AudioComponent.h"

namespace zelmar {

class CAmplifierAudioFilter : public CAudioComponent<> {
public:
    enum Property : int32_t {
        kGain = 0, kThreshold, kRatio, kExRatio, kFloor, kSamplesPerSec, kAttackTime, kReleaseTime,
        kDelayTime, kMaxLevel, kHiPassCutOff, kLoPassCutOff, kTotalIn, kTotalOut, kUnknown,
    };

    CAmplifierAudioFilter();
    ~CAmplifierAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;

    virtual int32_t FindProperty(const char* name);

private:
    float thresholdDb_ = 0.0f;
    float ratio_ = 1.0f;
    int32_t gainPercent_ = 100;
    float floorDb_ = -70.0f;
    float exRatio_ = 0.0f;
    int32_t attackMs_ = 60;
    int32_t releaseMs_ = 500;
    int32_t delayMs_ = 10;
    int32_t samplesPerSec_ = 32000;
    int32_t hiPassCutOff_ = 0;
    int32_t loPassCutOff_ = 0;
    // Two sections per kind are made; only the first filters (the second is a spare kept for
    // a steeper slope).
    std::unique_ptr<CBiquadFilter> hiPass_[2];
    std::unique_ptr<CBiquadFilter> loPass_[2];
    uint32_t totalIn_ = 0, totalOut_ = 0;
    int32_t maxLevel_ = 0;
    int32_t state_ = kStateCreated;
    CCompressorCurve curve_{CCompressorCurve::Flavour::kAmplifier};
};

}  // namespace zelmar
