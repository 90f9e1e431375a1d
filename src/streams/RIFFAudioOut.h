// "RIFFAudioOut": records into a WAV file; a recording that would pass 2,000,000,000 data
// bytes continues in numbered part files (rec.wav, rec_01.wav, rec_02.wav, ...).
#pragma once

#include <zelmar/zelmar_split.h>

#include <cstdint>
#include <string>

#include "framework/Format.h"
#include "framework/Properties.h"
#include "streams/RiffProperties.h"

namespace zelmar {

class CRIFFAudioOut : public CRiffFile<CRIFFAudioOut, IAudioIOSplitSink> {
public:
    CRIFFAudioOut();
    ~CRIFFAudioOut() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t PutData(const void* buffer, int32_t bytes) override;
    int32_t PutDataSplit(const void* left, const void* right, int32_t bytes) override;


    static const PropertyTable<CRIFFAudioOut>& Properties();

    static constexpr uint32_t kMaxDataBytesPerFile = 2000000000u;

    // The name of part file `index` of a recording called `name`: the name itself for 0,
    // else "_NN" (at least two digits) before the last '.', or appended when there is none.
    static std::string PartFileName(const char* name, uint32_t index);

private:
    friend struct RiffRows<CRIFFAudioOut>;

    int32_t SetFormat(int32_t value, void* data);
    int32_t GetFormat(int32_t size, void* out);
    // F, the size of the fmt chunk's body.
    uint32_t FmtSize() const;

    // The file being written; reset at Start.
    struct Recording {
        uint32_t dataBytes = 0;        // D of the current part file
        uint32_t sizeFieldOffset = 0;  // file offset of the data size field, F + 24
        uint32_t writtenBytes = 0;     // "TotalOut", counted from the current part's Start
    };

    FormatBlock format_;  // "WaveFormat": a setting, only the property writes it
    Recording recording_;
    // The part file being written.  Only construction sets it to 0: a recorder that rolled
    // over starts again at its current part.
    uint32_t fileIndex_ = 0;
};

}  // namespace zelmar
