// "RIFFAudioIn": plays the data chunk of a WAV file in a loop.
#pragma once

#include <zelmar/zelmar_split.h>

#include <cstdint>
#include <memory>

#include "framework/AudioComponent.h"
#include "framework/Format.h"
#include "platform/FileSystem.h"
#include "streams/RiffProperties.h"

namespace zelmar {

class CRIFFAudioIn : public CAudioComponent<IAudioIOSplitSource> {
public:
    CRIFFAudioIn();
    ~CRIFFAudioIn() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t GetData(void* buffer, int32_t bytes) override;
    int32_t GetDataSplit(void* left, void* right, int32_t bytes) override;

    virtual int32_t FindProperty(const char* name);

private:
    // Reads up to `bytes` at the file position; the count read (0 on failure).
    uint32_t ReadFile(void* buffer, uint32_t bytes);

    bool open_ = false;
    uint32_t position_ = 0;
    std::unique_ptr<platform::IFile> file_;
    uint32_t dataSize_ = 0;
    uint32_t dataOffset_ = 0;
    riff::FileName fileName_;
    FormatBlock format_;
    uint32_t deliveredBytes_ = 0;
};

}  // namespace zelmar
