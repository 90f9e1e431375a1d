#include "streams/RIFFAudioIn.h"

#include <algorithm>
#include <cstring>

#include "platform/Platform.h"
#include "streams/RiffProperties.h"

namespace zelmar {

using riff::kDataTag;
using riff::kFmtTag;

CRIFFAudioIn::CRIFFAudioIn() = default;
CRIFFAudioIn::~CRIFFAudioIn() = default;

int32_t CRIFFAudioIn::FindProperty(const char* name) {
    return FindPropertyIndex(riff::kProperties, name, riff::kUnknown);
}

int32_t CRIFFAudioIn::SetProperty(const char* name, int32_t, void* data) {
    if (name == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case riff::kFilename: return fileName_.Set(data);
        case riff::kWaveFormat:
            // The format comes from the file; a null `data` is still a bad argument first.
            return data == nullptr ? kErrInvalidArg : kErrState;
        default: return kErrState;
    }
}

int32_t CRIFFAudioIn::GetProperty(const char* name, int32_t arg, void* out) {
    if (name == nullptr || out == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case riff::kFilename: return fileName_.Get(out);
        case riff::kWaveFormat:
            if (arg < static_cast<int32_t>(kWaveFormatBytes)) return kErrInvalidArg;
            std::memcpy(out, format_.bytes, std::min<std::size_t>(arg, kFormatBlockBytes));
            return kOk;
        case riff::kTotalIn: WriteUint32(out, deliveredBytes_); return kOk;
        default: return kErrState;
    }
}

int32_t CRIFFAudioIn::Build() {
    dataSize_ = 0;
    std::unique_ptr<platform::IFile> file;
    if (fileName_) file = platform::Current().files->Open(fileName_.c_str(), platform::OpenMode::kReadExisting);
    if (file) {
        uint8_t header[12];
        if (file->Read(header, sizeof header) == static_cast<int64_t>(sizeof header) &&
            std::memcmp(header, riff::kRiffTag, 4) == 0 && std::memcmp(header + 8, riff::kWaveTag, 4) == 0) {
            uint8_t chunk[8];
            while (file->Read(chunk, sizeof chunk) == static_cast<int64_t>(sizeof chunk)) {
                uint32_t size;
                std::memcpy(&size, chunk + 4, sizeof size);
                if (std::memcmp(chunk, kFmtTag, 4) == 0) {
                    // A fmt body larger than the format block fills the block; the rest is
                    // skipped so the scan goes on at the next chunk.
                    const uint32_t kept = std::min<uint32_t>(size, kFormatBlockBytes);
                    if (file->Read(format_.bytes, kept) != static_cast<int64_t>(kept)) break;
                    if (size > kept) file->Skip(size - kept);
                } else if (std::memcmp(chunk, kDataTag, 4) == 0) {
                    dataOffset_ = static_cast<uint32_t>(file->Tell());
                    dataSize_ = size;
                    break;
                } else {
                    file->Skip(size);
                }
            }
        }
    }
    return dataSize_ == 0 ? kErrInvalidArg : kOk;
}

int32_t CRIFFAudioIn::Start() {
    if (open_ || !fileName_) return kErrState;
    file_ = platform::Current().files->Open(fileName_.c_str(), platform::OpenMode::kReadExisting);
    if (!file_) return kErrState;
    file_->Seek(dataOffset_);
    position_ = 0;
    deliveredBytes_ = 0;
    open_ = true;
    return kOk;
}

int32_t CRIFFAudioIn::Stop() {
    if (!open_) return kErrState;
    file_.reset();
    open_ = false;
    return kOk;
}

uint32_t CRIFFAudioIn::ReadFile(void* buffer, uint32_t bytes) {
    const int64_t got = file_->Read(buffer, bytes);
    return got > 0 ? static_cast<uint32_t>(got) : 0;
}

int32_t CRIFFAudioIn::GetData(void* buffer, int32_t bytes) {
    if (!open_) return kErrState;
    if (buffer == nullptr || bytes < 0) return kErrInvalidArg;
    if (bytes == 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    const uint32_t wanted = static_cast<uint32_t>(bytes);
    const uint32_t first = std::min(wanted, dataSize_ - std::min(position_, dataSize_));
    uint32_t got = first > 0 ? ReadFile(out, first) : 0;
    position_ += got;
    deliveredBytes_ += got;
    if (got < wanted) {
        // The end of the chunk: wrap once to its start.  A request longer than the whole
        // chunk gets one wrap only; its remaining tail is left as the caller had it.
        position_ = 0;
        file_->Seek(dataOffset_);
        const uint32_t second = std::min(wanted - got, dataSize_);
        const uint32_t again = ReadFile(out + got, second);
        position_ += again;
        deliveredBytes_ += again;
    }
    return bytes;
}

int32_t CRIFFAudioIn::GetDataSplit(void* left, void* right, int32_t bytes) {
    const WAVEFORMATEX wfx = format_.Format();
    if (!open_ || wfx.wFormatTag != kFormatTagPcm) return kErrState;
    if (wfx.nChannels == 1) return GetData(left, bytes);
    if (left == nullptr || right == nullptr || bytes < 1) return kErrInvalidArg;
    const uint32_t count = std::min(static_cast<uint32_t>(bytes), dataSize_ - std::min(position_, dataSize_));
    if (count == 0) return 0;
    auto* l = static_cast<uint8_t*>(left);
    auto* r = static_cast<uint8_t*>(right);
    const uint32_t sampleBytes = wfx.wBitsPerSample == 16 ? 2 : 1;
    // Reads straight on from the file position: neither advances the position nor wraps.
    for (uint32_t i = 0; i + sampleBytes <= count; i += sampleBytes) {
        uint8_t frame[4];
        if (ReadFile(frame, 2 * sampleBytes) != 2 * sampleBytes) break;
        std::memcpy(l + i, frame, sampleBytes);
        std::memcpy(r + i, frame + sampleBytes, sampleBytes);
    }
    return static_cast<int32_t>(count);
}

}  // namespace zelmar
