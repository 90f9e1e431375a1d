#include "streams/RIFFAudioOut.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Platform.h"
#include "streams/RiffProperties.h"

namespace zelmar {
namespace {

constexpr uint32_t kHeaderBytesBeforeFmt = 20;  // "RIFF", size, "WAVE", "fmt ", F

// Creates every directory on the way to `name`, shortest first.  Both '\' and '/' separate
// directories; failures (a directory that exists already, a drive part) are ignored.
void CreateDirectoriesOnPath(const std::string& name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' || name[i] == '/') {
            platform::Current().files->CreateDirectory(name.substr(0, i).c_str());
        }
    }
}

void WriteU32(platform::IFile& file, uint32_t value) { file.Write(&value, sizeof value); }

}  // namespace

CRIFFAudioOut::CRIFFAudioOut() = default;
CRIFFAudioOut::~CRIFFAudioOut() = default;  // an unstopped recording keeps zero sizes

std::string CRIFFAudioOut::PartFileName(const char* name, uint32_t index) {
    if (index == 0) return name;
    const std::string text = name;
    const auto dot = text.rfind('.');
    char number[16];
    std::snprintf(number, sizeof number, "_%02u", index);
    if (dot == std::string::npos) return text + number;
    return text.substr(0, dot) + number + text.substr(dot);
}

int32_t CRIFFAudioOut::FindProperty(const char* name) {
    return FindPropertyIndex(riff::kProperties, name, riff::kUnknown);
}

int32_t CRIFFAudioOut::SetProperty(const char* name, int32_t, void* data) {
    if (name == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case riff::kFilename: return fileName_.Set(data);
        case riff::kWaveFormat: {
            if (data == nullptr) return kErrInvalidArg;
            // Only the first 16 bytes are read for PCM: callers may pass the shorter PCM
            // structure that has no cbSize.
            constexpr std::size_t kPcmFormatBytes = 16;
            WAVEFORMATEX wfx{};
            std::memcpy(&wfx, data, kPcmFormatBytes);
            if (wfx.wFormatTag == kFormatTagPcm) {
                format_ = FormatBlock{};
                format_.SetFormat(wfx);  // recorded with cbSize 0
                return kOk;
            }
            std::memcpy(&wfx.cbSize, static_cast<const uint8_t*>(data) + kPcmFormatBytes, sizeof wfx.cbSize);
            // Extra data beyond the format block cannot be kept: refuse rather than cut it.
            if (wfx.cbSize > kFormatExtraMax) return kErrInvalidArg;
            format_ = FormatBlock{};
            std::memcpy(format_.bytes, data, kWaveFormatBytes + wfx.cbSize);
            return kOk;
        }
        default: return kErrState;
    }
}

int32_t CRIFFAudioOut::GetProperty(const char* name, int32_t arg, void* out) {
    if (name == nullptr || out == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case riff::kFilename: return fileName_.Get(out);
        case riff::kWaveFormat: {
            // A size of 0 copies the whole 146-byte block; a negative size names no buffer.
            if (arg < 0) return kErrInvalidArg;
            const std::size_t size = arg == 0 ? kFormatBlockBytes : std::min<std::size_t>(arg, kFormatBlockBytes);
            std::memcpy(out, format_.bytes, size);
            return kOk;
        }
        case riff::kTotalOut: WriteUint32(out, writtenBytes_); return kOk;
        default: return kErrState;
    }
}

uint32_t CRIFFAudioOut::FmtSize() const {
    const WAVEFORMATEX wfx = format_.Format();
    return wfx.wFormatTag == kFormatTagPcm ? kWaveFormatBytes : kWaveFormatBytes + wfx.cbSize;
}

int32_t CRIFFAudioOut::Build() {
    if (!fileName_) return kErrInvalidArg;
    CreateDirectoriesOnPath(fileName_.c_str());
    auto probe = platform::Current().files->Open(fileName_.c_str(), platform::OpenMode::kWriteKeep);
    return probe ? kOk : kErrInvalidArg;
}

int32_t CRIFFAudioOut::Start() {
    if (open_ || !fileName_) return kErrState;
    const std::string partName = PartFileName(fileName_.c_str(), fileIndex_);
    auto& files = *platform::Current().files;
    files.Delete(partName.c_str());
    CreateDirectoriesOnPath(partName);
    file_ = files.Open(partName.c_str(), platform::OpenMode::kWriteKeep);
    if (!file_) return kErrState;

    const uint32_t fmtSize = std::min<uint32_t>(FmtSize(), kFormatBlockBytes);
    file_->Write(riff::kRiffTag, 4);
    WriteU32(*file_, 0);
    file_->Write(riff::kWaveTag, 4);
    file_->Write(riff::kFmtTag, 4);
    WriteU32(*file_, fmtSize);
    file_->Write(format_.bytes, fmtSize);
    file_->Write(riff::kDataTag, 4);
    WriteU32(*file_, 0);

    sizeFieldOffset_ = fmtSize + kHeaderBytesBeforeFmt + 4;
    dataBytes_ = 0;
    writtenBytes_ = 0;
    open_ = true;
    return kOk;
}

int32_t CRIFFAudioOut::Stop() {
    if (!open_) return kErrState;
    file_->Seek(4);
    WriteU32(*file_, dataBytes_ + sizeFieldOffset_ - 4);
    file_->Seek(sizeFieldOffset_);
    WriteU32(*file_, dataBytes_);
    file_.reset();
    open_ = false;
    return kOk;
}

int32_t CRIFFAudioOut::PutData(const void* buffer, int32_t bytes) {
    if (!open_) return kErrState;
    if (buffer == nullptr || bytes < 1) return kErrInvalidArg;
    if (dataBytes_ + static_cast<uint32_t>(bytes) > kMaxDataBytesPerFile) {
        // Close this part at exactly what it holds; the whole block opens the next one.
        Stop();
        ++fileIndex_;
        Start();
        if (!open_) return kErrState;
    }
    const int64_t written = file_->Write(buffer, static_cast<uint32_t>(bytes));
    const uint32_t count = written > 0 ? static_cast<uint32_t>(written) : 0;
    writtenBytes_ += count;
    dataBytes_ += count;
    return static_cast<int32_t>(count);
}

int32_t CRIFFAudioOut::PutDataSplit(const void* left, const void* right, int32_t bytes) {
    const WAVEFORMATEX wfx = format_.Format();
    if (!open_ || wfx.wFormatTag != kFormatTagPcm) return kErrState;
    if (wfx.nChannels == 1) return PutData(left, bytes);
    if (left == nullptr || right == nullptr || bytes < 1) return kErrInvalidArg;
    const auto* l = static_cast<const uint8_t*>(left);
    const auto* r = static_cast<const uint8_t*>(right);
    const uint32_t sampleBytes = wfx.wBitsPerSample == 16 ? 2 : 1;
    const uint32_t count = static_cast<uint32_t>(bytes);
    // Interleave through a small stack buffer: one write per chunk, not per sample.
    uint8_t chunk[1024];
    uint32_t fill = 0;
    for (uint32_t i = 0; i + sampleBytes <= count; i += sampleBytes) {
        std::memcpy(chunk + fill, l + i, sampleBytes);
        std::memcpy(chunk + fill + sampleBytes, r + i, sampleBytes);
        fill += 2 * sampleBytes;
        if (fill == sizeof chunk) {
            file_->Write(chunk, fill);
            fill = 0;
        }
    }
    if (fill > 0) file_->Write(chunk, fill);
    dataBytes_ += 2 * count;
    return bytes;
}

}  // namespace zelmar
