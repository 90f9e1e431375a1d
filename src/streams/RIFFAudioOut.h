// "RIFFAudioOut": records into a WAV file; a recording that would pass 2,000,000,000 data
// bytes continues in numbered part files (rec.wav, rec_01.wav, rec_02.wav, ...).
#pragma once

#include <zelmar/zelmar_split.h>

#include <cstdint>
#include <memory>
#include <string>

#include "framework/AudioComponent.h"
#include "framework/Format.h"
#include "platform/FileSystem.h"
#include "streams/RiffProperties.h"

namespace zelmar {

class CRIFFAudioOut : public CAudioComponent<IAudioIOSplitSink> {
public:
    CRIFFAudioOut();
    ~CRIFFAudioOut() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t PutData(const void* buffer, int32_t bytes) override;
    int32_t PutDataSplit(const void* left, const void* right, int32_t bytes) override;

    virtual int32_t FindProperty(const char* name);

    static constexpr uint32_t kMaxDataBytesPerFile = 2000000000u;

    // The name of part file `index` of a recording called `name`: the name itself for 0,
    // else "_NN" (at least two digits) before the last '.', or appended when there is none.
    static std::string PartFileName(const char* name, uint32_t index);

private:
    uint32_t FmtSize() const;

    bool open_ = false;
    std::unique_ptr<platform::IFile> file_;
    uint32_t dataBytes_ = 0;
    uint32_t sizeFieldOffset_ = 0;
    riff::FileName fileName_;
    uint32_t fileIndex_ = 0;
    FormatBlock format_;
    uint32_t writtenBytes_ = 0;
};

}  // namespace zelmar
