#include "streams/RIFFAudioIn.h"

#include <algorithm>
#include <cstring>

#include "platform/Platform.h"

namespace zelmar {

using riff::kDataTag;
using riff::kFmtTag;

const PropertyTable<CRIFFAudioIn>& CRIFFAudioIn::Properties() {
    using C = CRIFFAudioIn;
    static constexpr auto kRows = RiffRows<C>::Make(
        {&C::RefuseFormat, &C::GetFormat, riff::kTotalIn, [](C& c) -> void* { return &c.playback_.deliveredBytes; }});
    static_assert(kRows.size() == riff::kUnknown, "one row per property");
    static constexpr PropertyTable<C> kTable{kRows, riff::kUnknown, PropertyRules{}};
    return kTable;
}

CRIFFAudioIn::CRIFFAudioIn() = default;
CRIFFAudioIn::~CRIFFAudioIn() = default;

int32_t CRIFFAudioIn::RefuseFormat(int32_t, void* data) {
    // A null `data` is still a bad argument first.
    return data == nullptr ? kErrInvalidArg : kErrState;
}

int32_t CRIFFAudioIn::GetFormat(int32_t size, void* out) {
    if (size < static_cast<int32_t>(kWaveFormatBytes)) return kErrInvalidArg;
    std::memcpy(out, found_.format.bytes, std::min<std::size_t>(static_cast<std::size_t>(size), kFormatBlockBytes));
    return kOk;
}

int32_t CRIFFAudioIn::Build() {
    found_.dataSize = 0;
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
                    if (file->Read(found_.format.bytes, kept) != static_cast<int64_t>(kept)) break;
                    if (size > kept) file->Skip(size - kept);
                } else if (std::memcmp(chunk, kDataTag, 4) == 0) {
                    found_.dataOffset = static_cast<uint32_t>(file->Tell());
                    found_.dataSize = size;
                    break;
                } else {
                    file->Skip(size);
                }
            }
        }
    }
    return found_.dataSize == 0 ? kErrInvalidArg : kOk;
}

int32_t CRIFFAudioIn::Start() {
    if (!CanStart()) return kErrState;
    file_ = platform::Current().files->Open(fileName_.c_str(), platform::OpenMode::kReadExisting);
    if (!file_) return kErrState;
    file_->Seek(found_.dataOffset);
    playback_ = {};
    return kOk;
}

int32_t CRIFFAudioIn::Stop() {
    if (!IsOpen()) return kErrState;
    file_.reset();
    return kOk;
}

uint32_t CRIFFAudioIn::ReadFile(void* buffer, uint32_t bytes) {
    const int64_t got = file_->Read(buffer, bytes);
    return got > 0 ? static_cast<uint32_t>(got) : 0;
}

int32_t CRIFFAudioIn::GetData(void* buffer, int32_t bytes) {
    if (!IsOpen()) return kErrState;
    if (buffer == nullptr || bytes < 0) return kErrInvalidArg;
    if (bytes == 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    const uint32_t wanted = static_cast<uint32_t>(bytes);
    const uint32_t dataSize = found_.dataSize;
    const uint32_t first = std::min(wanted, dataSize - std::min(playback_.position, dataSize));
    const uint32_t got = first > 0 ? ReadFile(out, first) : 0;
    playback_.position += got;
    playback_.deliveredBytes += got;
    if (got < wanted) {
        // The end of the chunk: wrap once to its start.  A request longer than the whole
        // chunk gets one wrap only; its remaining tail is left as the caller had it.
        file_->Seek(found_.dataOffset);
        const uint32_t again = ReadFile(out + got, std::min(wanted - got, dataSize));
        playback_.position = again;
        playback_.deliveredBytes += again;
    }
    return bytes;
}

int32_t CRIFFAudioIn::GetDataSplit(void* left, void* right, int32_t bytes) {
    const riff::SplitCall split = riff::PlanSplit(IsOpen(), found_.format, left, right, bytes);
    if (split.refusal != kOk) return split.refusal;
    if (split.mono) return GetData(left, bytes);
    const uint32_t dataSize = found_.dataSize;
    const uint32_t count = std::min(static_cast<uint32_t>(bytes), dataSize - std::min(playback_.position, dataSize));
    if (count == 0) return 0;
    auto* l = static_cast<uint8_t*>(left);
    auto* r = static_cast<uint8_t*>(right);
    const uint32_t sampleBytes = split.sampleBytes;
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
