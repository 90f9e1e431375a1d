// "ToneControlAudioFilter": a three-band tone control (low shelf at 200 Hz, peak at
// 1000 Hz, high shelf at 5000 Hz, all Q 0.7071) with an overall gain and an optional
// low-pass, for 16-bit mono PCM, in place or buffer to buffer.  Bands at 0 dB are skipped;
// with every band flat the component is a gain stage, or a copy at unity gain.  Band gains
// and the cutoff may change while audio flows: only the affected section is redesigned, and
// it keeps its state, so the change makes no click.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/blocks/BiquadFilter.h"
#include "framework/AudioComponent.h"
#include "framework/Properties.h"

namespace zelmar {

class CToneControlAudioFilter : public CTableComponent<CToneControlAudioFilter> {
public:
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

    CToneControlAudioFilter();
    ~CToneControlAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;


    static const PropertyTable<CToneControlAudioFilter>& Properties();

private:
    // The sections in the order a sample passes them; the first three are the bands.
    enum Section { kLowShelf = 0, kMidPeak = 1, kHighShelf = 2, kLowPass = 3, kSectionCount = 4 };
    static constexpr int kBandCount = 3;

    // Gains travel as integers scaled by 100 and are kept as value / 100 in single precision.
    int32_t SetGain(int32_t percent, void* data);
    int32_t GetGain(int32_t arg, void* out);
    // Once built, a changed band gain redesigns its section at once.
    template <Section S>
    int32_t SetBandGain(int32_t hundredthsDb, void* data);
    template <Section S>
    int32_t GetBandGain(int32_t arg, void* out);
    int32_t RedesignLowPass();
    void FilterSamples(const uint8_t* in, uint32_t count, uint8_t* out);

    struct Settings {
        int32_t samplesPerSec = 0;          // must be set before Build; frozen by it
        float gain = 1.0f;                  // linear ("Gain" / 100)
        float bandGainDb[kBandCount] = {};  // by Section: low shelf, peak, high shelf
        int32_t lowPassCutOffHz = 0;        // 0 = no low-pass
    };
    struct Meters {
        uint32_t totalIn = 0, totalOut = 0;  // bytes; wrap, never reset
    };

    Settings settings_;
    Meters meters_;
    // Made by Build; each keeps its memory across redesigns, and a band skipped at 0 dB
    // resumes from where it stopped.
    std::unique_ptr<CBiquadFilter> sections_[kSectionCount];
};

}  // namespace zelmar
