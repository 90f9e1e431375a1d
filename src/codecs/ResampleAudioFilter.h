// "ResampleAudioFilter": converts 16-bit mono PCM between two rates whose ratio is a whole
// number.  Going up it repeats each input sample k times (zero-order hold), going down it
// keeps every k-th sample; both ways the stream runs through a cascade of two low-pass
// biquads at 0.4 times the lower rate (80 % of its Nyquist frequency), which at equal rates
// is all it does.  The sections keep their state between calls, so consecutive blocks are
// one continuous stream.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/blocks/BiquadFilter.h"
#include "framework/AudioComponent.h"
#include "framework/Properties.h"

namespace zelmar {

class CResampleAudioFilter : public CTableComponent<CResampleAudioFilter> {
public:
    enum Property : int32_t { kInSamplesPerSec = 0, kOutSamplesPerSec, kTotalIn, kTotalOut, kUnknown };

    static constexpr int kSectionCount = 2;

    CResampleAudioFilter();
    ~CResampleAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;


    static const PropertyTable<CResampleAudioFilter>& Properties();

private:
    // Rates may change at any time: the sections follow them at the next Build, the choice
    // of mode and ratio at the next Process.
    struct Settings {
        int32_t inRate = 0;   // samples per second
        int32_t outRate = 0;
    };
    struct Counters {
        uint32_t totalIn = 0, totalOut = 0;  // bytes; wrap modulo 2^32, never reset
    };

    // Runs `count` input samples through the cascade, writing every output (equal rates),
    // each one k times (up), or every k-th starting at the decimation phase (down).
    void FilterEqual(const uint8_t* in, uint32_t count, uint8_t* out);
    void FilterUp(const uint8_t* in, uint32_t count, uint32_t factor, uint8_t* out);
    uint32_t FilterDown(const uint8_t* in, uint32_t count, uint32_t factor, uint8_t* out);

    Settings settings_;
    Counters counters_;
    // Designed by Build; they carry the stream's filter memory from call to call.
    std::unique_ptr<CBiquadFilter> sections_[kSectionCount];
    // Input samples to skip before the next kept one when going down.  It runs on across
    // calls, so a stream cut into blocks of any length is decimated as one stream; Build
    // starts it afresh.
    uint32_t decimationSkip_ = 0;
};

}  // namespace zelmar
