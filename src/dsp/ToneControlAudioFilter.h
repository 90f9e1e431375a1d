// "ToneControlAudioFilter": a three-band tone control (low shelf at 200 Hz, peak at
// 1000 Hz, high shelf at 5000 Hz, all Q 0.7071) with an overall gain and an optional
// low-pass, for 16-bit mono PCM, in place or buffer to buffer.  Bands at 0 dB are skipped;
// with every band flat the component is a gain stage, or a copy at unity gain.  Band gains
// and the cutoff may change while audio flows: only the affected section is redesigned, and
// it keeps its state, so the change makes no click.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/BiquadFilter.h"
#include "framework/AudioComponent.h"

namespace zelmar {

class CToneControlAudioFilter : public CAudioComponent<> {
public:
    CToneControlAudioFilter();
    ~CToneControlAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;

    virtual int32_t FindProperty(const char* name);

    enum Property : int32_t {
        kSamplesPerSec = 0,
        kGain = 1,
        kLowGain = 2,
        kHighGain = 3,
        kMidGain = 4,
        kLowPassCutOff = 5,
        kTotalIn = 6,
        kTotalOut = 7,
        kUnknown = 8,
    };

    static constexpr double kLowShelfHz = 200.0;
    static constexpr double kMidPeakHz = 1000.0;
    static constexpr double kHighShelfHz = 5000.0;

private:
    enum Section { kLowShelf = 0, kMidPeak = 1, kHighShelf = 2, kLowPass = 3, kSectionCount = 4 };

    // Stores a band gain (dB) and, once built, redesigns its section if the gain changed.
    void SetBandGain(float& stored, Section section, int32_t hundredthsDb);
    void FilterSamples(const uint8_t* in, uint32_t count, uint8_t* out);

    int32_t sampleRate_ = 0;
    uint32_t totalIn_ = 0;   // wraps modulo 2^32, never reset
    uint32_t totalOut_ = 0;  // wraps modulo 2^32, never reset
    float gain_ = 1.0f;      // linear ("Gain" / 100)
    float lowGainDb_ = 0.0f;
    float highGainDb_ = 0.0f;
    float midGainDb_ = 0.0f;
    int32_t lowPassCutOffHz_ = 0;  // 0 = no low-pass
    std::unique_ptr<CBiquadFilter> sections_[kSectionCount];
    int32_t sectionCount_ = 0;
    bool built_ = false;
};

}  // namespace zelmar
