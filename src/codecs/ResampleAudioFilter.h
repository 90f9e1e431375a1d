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

namespace zelmar {

class CResampleAudioFilter : public CAudioComponent<> {
public:
    CResampleAudioFilter();
    ~CResampleAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;

    virtual int32_t FindProperty(const char* name);

    enum Property : int32_t {
        kInSamplesPerSec = 0,
        kOutSamplesPerSec = 1,
        kTotalIn = 2,
        kTotalOut = 3,
        kUnknown = 4,
    };

    static constexpr int kMaxSections = 4;
    static constexpr int kSectionCount = 2;

private:
    // Runs `count` input samples through the cascade, writing every output (equal rates),
    // each one k times (up), or every k-th starting at the decimation phase (down).
    void FilterEqual(const uint8_t* in, uint32_t count, uint8_t* out);
    void FilterUp(const uint8_t* in, uint32_t count, uint32_t factor, uint8_t* out);
    uint32_t FilterDown(const uint8_t* in, uint32_t count, uint32_t factor, uint8_t* out);

    int32_t inRate_ = 0;
    int32_t outRate_ = 0;
    uint32_t totalIn_ = 0;   // wraps modulo 2^32, never reset
    uint32_t totalOut_ = 0;  // wraps modulo 2^32, never reset
    std::unique_ptr<CBiquadFilter> sections_[kMaxSections];
    // Input samples to skip before the next kept one when going down.  It runs on across
    // calls, so a stream cut into blocks of any length is decimated as one stream.
    uint32_t decimationSkip_ = 0;
};

}  // namespace zelmar
