// "RIFFAudioIn": plays the data chunk of a WAV file in a loop.
#pragma once

#include <zelmar/zelmar_split.h>

#include <cstdint>

#include "framework/Format.h"
#include "framework/Properties.h"
#include "streams/RiffProperties.h"

namespace zelmar {

class CRIFFAudioIn : public CRiffFile<CRIFFAudioIn, IAudioIOSplitSource> {
public:
    CRIFFAudioIn();
    ~CRIFFAudioIn() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t GetData(void* buffer, int32_t bytes) override;
    int32_t GetDataSplit(void* left, void* right, int32_t bytes) override;


    static const PropertyTable<CRIFFAudioIn>& Properties();

private:
    friend struct RiffRows<CRIFFAudioIn>;

    // "WaveFormat" comes from the file: it can be read, not set.
    int32_t RefuseFormat(int32_t value, void* data);
    int32_t GetFormat(int32_t size, void* out);
    // Reads up to `bytes` at the file position; the count read (0 on failure).
    uint32_t ReadFile(void* buffer, uint32_t bytes);

    // What the last Build found in the file.  A failed Build clears only the data size: the
    // format block keeps what was read.
    struct Found {
        FormatBlock format;
        uint32_t dataOffset = 0;  // file offset of the data chunk's first byte
        uint32_t dataSize = 0;
    };
    // The pass through the data chunk; reset at Start.
    struct Playback {
        uint32_t position = 0;        // bytes of the chunk delivered in this pass
        uint32_t deliveredBytes = 0;  // "TotalIn"
    };

    Found found_;
    Playback playback_;
};

}  // namespace zelmar
