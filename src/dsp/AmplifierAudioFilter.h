// "AmplifierAudioFilter": 16-bit mono PCM through an optional high-pass and low-pass biquad
// section and a gain with a compressor/expander curve (the amplifier flavour of
// CCompressorCurve, which traces its breakpoints).  Measures each input block's peak.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/blocks/BiquadFilter.h"
#include "dsp/blocks/CompressorCurve.h"
#include "dsp/CompressorProperties.h"
#include "framework/AudioComponent.h"
#include "framework/Properties.h"

namespace zelmar {

class CAmplifierAudioFilter : public CTableComponent<CAmplifierAudioFilter> {
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
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;


    static const PropertyTable<CAmplifierAudioFilter>& Properties();

private:
    friend struct CompressorRows<CAmplifierAudioFilter>;

    struct Settings {
        int32_t gainPercent = 100;
        int32_t delayMs = 10;
        int32_t samplesPerSec = 32000;
        int32_t hiPassCutOff = 0;  // Hz, 0 = off; takes effect at Build
        int32_t loPassCutOff = 0;
    };
    // Counters and the last block's peak: kept across Stop/Start, like the sections' memory.
    struct Meters {
        uint32_t totalIn = 0, totalOut = 0;
        int32_t maxLevel = 0;  // peak of the last input block, 0..32767
    };

    CompressorSettings compressor_;
    Settings settings_;
    Meters meters_;
    // Two sections per kind are made; only the first filters (the second is a spare kept for
    // a steeper slope).
    std::unique_ptr<CBiquadFilter> hiPass_[2];
    std::unique_ptr<CBiquadFilter> loPass_[2];
    CCompressorCurve curve_{CCompressorCurve::Flavour::kAmplifier};
};

}  // namespace zelmar
