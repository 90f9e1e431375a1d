// "Siren14AudioFilter": the Siren14 (G.722.1 / Annex C) codec as a filter.  One instance
// either encodes 16-bit mono PCM into coded frames ("Direction" 0) or decodes coded frames
// into PCM ("Direction" 1).  Process works on whole 20 ms frames only and tells the caller
// how much it took and made, so the caller keeps any remainder; a null output buffer asks
// for frame-aligned sizes only; a null input buffer while decoding conceals lost frames.
#pragma once

#include <cstdint>

#include "codecs/siren14/Siren14Codec.h"
#include "framework/AudioComponent.h"

namespace zelmar {

class CSiren14AudioFilter : public CAudioComponent<> {
public:
    CSiren14AudioFilter();
    ~CSiren14AudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;

    virtual int32_t FindProperty(const char* name);

    enum Property : int32_t {
        kBitrate = 0,
        kSamplesPerSec = 1,
        kDirection = 2,
        kInBufferSize = 3,
        kOutBufferSize = 4,
        kLastError = 5,
        kReset = 6,
        kTotalIn = 7,
        kTotalOut = 8,
        kUnknown = 9,
    };

    enum Direction : int32_t { kEncode = 0, kDecode = 1 };

private:
    bool Decoding() const { return direction_ == kDecode; }

    // Both codec states live inside the object; Build initialises the one for the direction.
    Siren14DecoderState decoder_{};
    Siren14EncoderState encoder_{};
    int32_t bitRate_ = 32000;
    int32_t samplesPerSec_ = 32000;
    int32_t direction_ = kEncode;
    int32_t pcmFrameBytes_ = 0;    // 2 x frame length once built
    int32_t codedFrameBytes_ = 0;  // 60, 80 or 120 once built
    int32_t lastError_ = 0;        // reported for hosts that poll it; decoding never fails
    uint32_t totalIn_ = 0;         // bytes consumed by Process since construction; wraps
    uint32_t totalOut_ = 0;        // bytes produced by Process since construction; wraps
    int32_t state_ = kStateCreated;
};

}  // namespace zelmar
