// "Siren14AudioFilter": the Siren14 (G.722.1 / Annex C) codec as a filter.  One instance
// either encodes 16-bit mono PCM into coded frames ("Direction" 0) or decodes coded frames
// into PCM ("Direction" 1).  Process works on whole 20 ms frames only and tells the caller
// how much it took and made, so the caller keeps any remainder; a null output buffer asks
// for frame-aligned sizes only; a null input buffer while decoding conceals lost frames.
#pragma once

#include <cstdint>

#include "codecs/siren14/Siren14Codec.h"
#include "framework/AudioComponent.h"
#include "framework/Properties.h"

namespace zelmar {

class CSiren14AudioFilter : public CTableComponent<CSiren14AudioFilter> {
public:
    enum Property : int32_t {
        kBitrate = 0, kSamplesPerSec, kDirection, kInBufferSize, kOutBufferSize, kLastError, kReset,
        kTotalIn, kTotalOut, kUnknown,
    };

    enum Direction : int32_t { kEncode = 0, kDecode = 1 };

    CSiren14AudioFilter();
    ~CSiren14AudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;


    static const PropertyTable<CSiren14AudioFilter>& Properties();

private:
    // Fixed once built: a different configuration needs a new filter.
    struct Settings {
        int32_t bitRate = 32000;
        int32_t samplesPerSec = 32000;
        int32_t direction = kEncode;
    };
    // Frame sizes of the built codec; 0 before Build.
    struct FrameSizes {
        int32_t pcmBytes = 0;    // 2 x frame length: 640 at 16 000 samples/s, 1280 at 32 000
        int32_t codedBytes = 0;  // 60, 80 or 120
    };
    // Counters run for the life of the filter; neither Stop/Start nor "Reset" clears them.
    struct Meters {
        uint32_t totalIn = 0, totalOut = 0;  // bytes consumed and produced by Process; wrap
        int32_t lastError = 0;               // reported for hosts that poll it; decoding never fails
    };

    bool Decoding() const { return settings_.direction == kDecode; }
    int32_t GetInBufferSize(int32_t arg, void* out);
    int32_t GetOutBufferSize(int32_t arg, void* out);
    int32_t ResetCodec(int32_t value, void* data);

    Settings settings_;
    FrameSizes frames_;
    Meters meters_;
    // Both codec states live inside the object; Build initialises the one for the direction,
    // and its history then runs across Stop/Start until "Reset".
    Siren14DecoderState decoder_{};
    Siren14EncoderState encoder_{};
};

}  // namespace zelmar
