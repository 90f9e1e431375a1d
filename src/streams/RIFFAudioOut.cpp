#include "streams/RIFFAudioOut.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Platform.h"

namespace zelmar {
namespace {

constexpr uint32_t kHeaderBytesBeforeFmt = 20;  // "RIFF", size, "WAVE", "fmt ", F
// Callers may pass the shorter PCM structure that has no cbSize: only this much is read.
constexpr std::size_t kPcmFormatBytes = 16;
// Stereo frames are interleaved through a stack buffer of this size: one write per chunk.
constexpr std::size_t kInterleaveChunkBytes = 1024;

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

const PropertyTable<CRIFFAudioOut>& CRIFFAudioOut::Properties() {
    using C = CRIFFAudioOut;
    static constexpr auto kRows = RiffRows<C>::Make(
        {&C::SetFormat, &C::GetFormat, riff::kTotalOut, [](C& c) -> void* { return &c.recording_.writtenBytes; }});
    static_assert(kRows.size() == riff::kUnknown, "one row per property");
    static constexpr PropertyTable<C> kTable{kRows, riff::kUnknown, PropertyRules{}};
    return kTable;
}

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

int32_t CRIFFAudioOut::SetFormat(int32_t, void* data) {
    if (data == nullptr) return kErrInvalidArg;
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

int32_t CRIFFAudioOut::GetFormat(int32_t size, void* out) {
    // A size of 0 copies the whole 146-byte block; a negative size names no buffer.
    if (size < 0) return kErrInvalidArg;
    const std::size_t copied = size == 0 ? kFormatBlockBytes : std::min<std::size_t>(size, kFormatBlockBytes);
    std::memcpy(out, format_.bytes, copied);
    return kOk;
}

uint32_t CRIFFAudioOut::FmtSize() const {
    const WAVEFORMATEX wfx = format_.Format();
    return wfx.wFormatTag == kFormatTagPcm ? kWaveFormatBytes : kWaveFormatBytes + wfx.cbSize;
}

int32_t CRIFFAudioOut::Build() {
    if (!fileName_) return kErrInvalidArg;
    CreateDirectoriesOnPath(fileName_.c_str());
    auto& files = *platform::Current().files;
    // A device or FIFO is opened by Start alone: opening it here and closing it again would
    // end the stream of a reader on the other side.
    if (files.KindOf(fileName_.c_str()) == platform::FileKind::kOther) return kOk;
    auto probe = files.Open(fileName_.c_str(), platform::OpenMode::kWriteKeep);
    return probe ? kOk : kErrInvalidArg;
}

int32_t CRIFFAudioOut::Start() {
    if (!CanStart()) return kErrState;
    const std::string partName = PartFileName(fileName_.c_str(), fileIndex_);
    auto& files = *platform::Current().files;
    // Only a regular file is deleted: a symbolic link is followed and its target emptied, a
    // device or FIFO is written as it is, never replaced by a file.
    files.Delete(partName.c_str());
    CreateDirectoriesOnPath(partName);
    file_ = files.Open(partName.c_str(), platform::OpenMode::kWriteNew);
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

    recording_ = Recording{};
    recording_.sizeFieldOffset = fmtSize + kHeaderBytesBeforeFmt + 4;
    return kOk;
}

int32_t CRIFFAudioOut::Stop() {
    if (!IsOpen()) return kErrState;
    // A stream that cannot seek (a FIFO) keeps its zero sizes: writing them here would append
    // them to the audio.
    if (file_->Seek(4)) {
        WriteU32(*file_, recording_.dataBytes + recording_.sizeFieldOffset - 4);
        if (file_->Seek(recording_.sizeFieldOffset)) WriteU32(*file_, recording_.dataBytes);
    }
    file_.reset();
    return kOk;
}

int32_t CRIFFAudioOut::PutData(const void* buffer, int32_t bytes) {
    if (!IsOpen()) return kErrState;
    if (buffer == nullptr || bytes < 1) return kErrInvalidArg;
    if (recording_.dataBytes + static_cast<uint32_t>(bytes) > kMaxDataBytesPerFile) {
        // Close this part at exactly what it holds; the whole block opens the next one.  The
        // next part's file is opened here, once per two billion bytes.
        Stop();
        ++fileIndex_;
        Start();
        if (!IsOpen()) return kErrState;
    }
    const int64_t written = file_->Write(buffer, static_cast<uint32_t>(bytes));
    const uint32_t count = written > 0 ? static_cast<uint32_t>(written) : 0;
    recording_.writtenBytes += count;
    recording_.dataBytes += count;
    return static_cast<int32_t>(count);
}

int32_t CRIFFAudioOut::PutDataSplit(const void* left, const void* right, int32_t bytes) {
    const riff::SplitCall split = riff::PlanSplit(IsOpen(), format_, left, right, bytes);
    if (split.refusal != kOk) return split.refusal;
    if (split.mono) return PutData(left, bytes);
    const auto* l = static_cast<const uint8_t*>(left);
    const auto* r = static_cast<const uint8_t*>(right);
    const uint32_t sampleBytes = split.sampleBytes;
    const uint32_t count = static_cast<uint32_t>(bytes);
    uint8_t chunk[kInterleaveChunkBytes];
    uint32_t fill = 0;
    uint32_t written = 0;  // bytes the file took
    bool failed = false;
    auto flush = [&] {
        const int64_t n = file_->Write(chunk, fill);
        if (n > 0) written += static_cast<uint32_t>(n);
        failed = n != static_cast<int64_t>(fill);
        fill = 0;
    };
    for (uint32_t i = 0; i + sampleBytes <= count && !failed; i += sampleBytes) {
        std::memcpy(chunk + fill, l + i, sampleBytes);
        std::memcpy(chunk + fill + sampleBytes, r + i, sampleBytes);
        fill += 2 * sampleBytes;
        if (fill == sizeof chunk) flush();
    }
    if (fill > 0 && !failed) flush();
    // The data size is what the file holds: a trailing byte that is no whole 16-bit sample
    // is taken but not written, and a failed write adds only what reached the file.  Split
    // writes count toward the file's data size, not toward "TotalOut".
    recording_.dataBytes += written;
    // As PutData does, a failed write answers with what was taken: whole samples per channel.
    if (failed) return static_cast<int32_t>(written / (2 * sampleBytes) * sampleBytes);
    return bytes;
}

}  // namespace zelmar
