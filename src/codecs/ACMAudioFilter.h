// "ACMAudioFilter": the codec bridge.  Converts audio between two formats through one stream
// of the compression manager (platform/acm): PCM to and from GSM 6.10, G.723.1, TrueSpeech,
// Microsoft ADPCM, A-law, or any pair the host describes itself.  A template ("PCM2GSM",
// "ADPCM2PCM", ...) fills both formats from the simple PCM properties; or the host sets the
// two formats; or it lets its format chooser pick the output ("OutWaveFormat" with a null
// `data`, or "CHOOSE").  Build suggests and opens the stream; Process pushes one buffer
// through it per call, and what a codec keeps between calls stays in the stream.
#pragma once

#include <cstdint>

#include "framework/AudioComponent.h"
#include "framework/Format.h"
#include "framework/Properties.h"
#include "platform/acm/Acm.h"

namespace zelmar {

class CACMAudioFilter : public CTableComponent<CACMAudioFilter> {
public:
    enum Property : int32_t {
        kSamplesPerSec = 0, kBitsPerSample, kChannels, kTemplate, kInBufferSize, kOutBufferSize, kInWaveFormat,
        kOutWaveFormat, kLastError, kReset, kTotalIn, kTotalOut, kUnknown,
    };
    static constexpr std::size_t kTemplateChars = 64;

    CACMAudioFilter();
    ~CACMAudioFilter() override;
    CACMAudioFilter(const CACMAudioFilter&) = delete;
    CACMAudioFilter& operator=(const CACMAudioFilter&) = delete;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;

    static const PropertyTable<CACMAudioFilter>& Properties();

private:
    // What the properties write; Build reads it.  The input format's rate, bits and channels
    // are the "SamplesPerSec", "BitsPerSample" and "Channels" properties themselves.
    struct Settings {
        FormatBlock input;
        FormatBlock output;
        char templateName[kTemplateChars + 1] = {};
    };
    // Counters run for the life of the filter.
    struct Meters {
        uint32_t totalIn = 0, totalOut = 0;  // bytes consumed and produced by Process; wrap
        int32_t lastError = 0;               // the compression manager's (or the template's) last failure
    };

    int32_t SetBits(int32_t value, void*);
    int32_t GetBits(int32_t, void* out);
    int32_t SetChannels(int32_t value, void*);
    int32_t GetChannels(int32_t, void* out);
    int32_t SetTemplate(int32_t, void* data);
    int32_t GetTemplate(int32_t, void* out);
    int32_t GetInBufferSize(int32_t arg, void* out);
    int32_t GetOutBufferSize(int32_t arg, void* out);
    int32_t SetInWaveFormat(int32_t value, void* data);
    int32_t GetInWaveFormat(int32_t arg, void* out);
    int32_t SetOutWaveFormat(int32_t value, void* data);
    int32_t GetOutWaveFormat(int32_t arg, void* out);
    int32_t ResetRequest(int32_t, void*) { return kOk; }

    int32_t RunTemplate();
    int32_t Choose();
    // Bytes on the other side of a conversion of `bytes`, or 0 when the stream cannot say.
    int32_t StreamSize(int32_t bytes, uint32_t side) const;
    void CloseStream();

    Settings settings_;
    Meters meters_;
    platform::acm::Stream* stream_ = nullptr;
    bool startOfRun_ = true;  // the next conversion begins a new run of the codec
};

}  // namespace zelmar
