#include "wav_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {
namespace {

constexpr uint32_t kRiffHeaderBytes = 12;  // "RIFF", size, "WAVE"
constexpr uint32_t kChunkHeaderBytes = 8;  // tag, size
// What the RIFF size counts beyond the chunks: "WAVE".
constexpr uint64_t kRiffSizeBase = 4;
constexpr uint64_t kMaxRiffBytes = 0xFFFFFFFFu;

uint32_t Le32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Only regular files are read back: a FIFO or a device has no header to check.
bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The name of part file `index` of a recording, as "RIFFAudioOut" names them: "_NN" before
// the last '.', or appended when there is none.
std::string PartFileName(const std::string& name, uint32_t index) {
    if (index == 0) return name;
    char number[16];
    std::snprintf(number, sizeof number, "_%02u", index);
    const auto dot = name.rfind('.');
    if (dot == std::string::npos) return name + number;
    return name.substr(0, dot) + number + name.substr(dot);
}

std::string Seconds(uint64_t bytes, const WAVEFORMATEX& format) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s",
                  format.nAvgBytesPerSec > 0 ? static_cast<double>(bytes) / format.nAvgBytesPerSec : 0.0);
    return text;
}

bool WriteLe32At(std::fstream& file, uint64_t offset, uint32_t value) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    return static_cast<bool>(file);
}

}  // namespace

std::string ReadWavLayout(const std::string& path, WavLayout* layout) {
    *layout = WavLayout{};
    std::string why = WhyNotReadable(path);
    if (!why.empty()) return why;
    std::ifstream file(path, std::ios::binary);
    if (!file) return "cannot open " + path + ": " + std::strerror(errno);
    file.seekg(0, std::ios::end);
    layout->fileBytes = static_cast<uint64_t>(std::max<std::streamoff>(0, file.tellg()));
    file.seekg(0);
    unsigned char header[kRiffHeaderBytes];
    if (!file.read(reinterpret_cast<char*>(header), sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0) {
        return path + " is not a WAV file (no RIFF/WAVE header)";
    }
    layout->riffBytes = Le32(header + 4);
    uint64_t at = kRiffHeaderBytes;
    unsigned char chunk[kChunkHeaderBytes];
    while (at + kChunkHeaderBytes <= layout->fileBytes) {
        file.clear();  // a short "fmt " body leaves the stream failed
        file.seekg(static_cast<std::streamoff>(at));
        if (!file.read(reinterpret_cast<char*>(chunk), sizeof chunk)) break;
        const uint32_t size = Le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            layout->haveData = true;
            layout->dataSizeOffset = at + 4;
            layout->declaredDataBytes = size;
            return "";
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            uint8_t block[ZELMAR_FORMAT_BLOCK_BYTES] = {};
            const uint32_t kept = std::min<uint32_t>(size, sizeof block);
            if (file.read(reinterpret_cast<char*>(block), kept) && kept >= 16) {
                std::memcpy(&layout->format, block, sizeof layout->format);
                std::memcpy(layout->formatBlock, block, sizeof block);
                layout->haveFormat = true;
            }
        }
        if (size % 2 != 0) layout->padBeforeData = true;
        at += kChunkHeaderBytes + static_cast<uint64_t>(size) + size % 2;
    }
    return "";
}

std::string ProbeWav(const std::string& path, WavProbe* probe) {
    WavLayout layout;
    std::string error = ReadWavLayout(path, &layout);
    if (!error.empty()) return error;
    if (!layout.haveData) return path + " has no data chunk";
    if (!layout.haveFormat) return path + " has no format chunk before its data";
    const uint64_t available = layout.BytesAfterDataHeader();
    *probe = WavProbe{};
    probe->format = layout.format;
    probe->dataOffset = layout.DataOffset();
    // A recording that was never finished declares 0 bytes: take what the file holds.
    probe->unfinished = layout.declaredDataBytes == 0 || layout.declaredDataBytes > available;
    probe->dataBytes = probe->unfinished ? static_cast<uint32_t>(std::min<uint64_t>(available, kMaxRiffBytes))
                                         : layout.declaredDataBytes;
    probe->engineScans = !layout.padBeforeData && !probe->unfinished;
    if (probe->dataBytes == 0) return path + " holds no audio data";
    return "";
}

std::string WavInput::Open(const std::string& path, const WavProbe& probe) {
    if (probe.engineScans) {
        std::string error;
        engine_ = ComponentSetup("RIFFAudioIn").Set("Filename", path).Start(&error);
        return engine_ ? "" : "cannot read " + path + ": " + error;
    }
    file_.open(path, std::ios::binary);
    if (!file_ || !file_.seekg(static_cast<std::streamoff>(probe.dataOffset))) {
        return "cannot read " + path + ": " + std::strerror(errno);
    }
    return "";
}

int32_t WavInput::Read(void* buffer, int32_t bytes) {
    if (engine_) return engine_->GetData(buffer, bytes);
    if (buffer == nullptr || bytes < 0) return ZELMAR_E_INVALIDARG;
    file_.read(static_cast<char*>(buffer), bytes);
    const auto got = static_cast<int32_t>(file_.gcount());
    // Past the end of the file (never asked for by the commands) the block is silence.
    std::memset(static_cast<char*>(buffer) + got, 0, static_cast<std::size_t>(bytes - got));
    return bytes;
}

std::string RepairWav(const std::string& path, std::string* report) {
    WavLayout layout;
    std::string error = ReadWavLayout(path, &layout);
    if (!error.empty()) return error;
    if (!layout.haveData) return path + " has no data chunk: there is nothing to size";
    if (!layout.haveFormat) return path + " has no format chunk before its data";
    const uint64_t available = layout.BytesAfterDataHeader();
    const uint32_t frameBytes = std::max<uint32_t>(layout.format.nBlockAlign, 1);

    uint32_t dataBytes = layout.declaredDataBytes;
    uint64_t fileEnd = layout.fileBytes;
    uint64_t cut = 0;
    std::string note;
    const bool dataWrong = dataBytes == 0 || dataBytes > available;
    if (dataWrong) {
        // Whole sample frames only, and no more than the RIFF size can count.
        const uint64_t most = kMaxRiffBytes - (layout.DataOffset() - 8);
        uint64_t kept = std::min(available, most);
        kept -= kept % frameBytes;
        dataBytes = static_cast<uint32_t>(kept);
        if (available > kept && available - kept < frameBytes) {
            // The writer stopped within a frame: the torn frame goes.
            cut = available - kept;
            fileEnd -= cut;
        } else if (available > kept) {
            note = "; the file holds more than a WAV file can count: the sizes cover its first " +
                   std::to_string(kept) + " bytes of audio";
        }
    }
    if (dataBytes == 0) return path + " holds no audio after its header: there is nothing to repair";
    // The data chunk and whatever chunks follow it.
    const uint64_t riff64 = dataWrong ? layout.DataOffset() + dataBytes - 8 : fileEnd - 8;
    const uint32_t riffBytes = static_cast<uint32_t>(std::min(riff64, kMaxRiffBytes));
    if (!dataWrong && riffBytes == layout.riffBytes) {
        *report = path + ": the sizes are right (" + std::to_string(dataBytes) + " bytes of audio, " +
                  Seconds(dataBytes, layout.format) + "); nothing to repair";
        return "";
    }

    if (cut > 0 && ::truncate(path.c_str(), static_cast<off_t>(fileEnd)) != 0) {
        return "cannot shorten " + path + ": " + std::strerror(errno);
    }
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!file || !WriteLe32At(file, 4, riffBytes) ||
        (dataWrong && !WriteLe32At(file, layout.dataSizeOffset, dataBytes)) || !file.flush()) {
        return "cannot write the sizes into " + path + ": " + std::strerror(errno);
    }
    *report = path + ": ";
    if (dataWrong) {
        *report += "data size " + std::to_string(layout.declaredDataBytes) + " -> " + std::to_string(dataBytes) +
                   " bytes (" + Seconds(dataBytes, layout.format) + "), ";
    }
    *report += "RIFF size " + std::to_string(layout.riffBytes) + " -> " + std::to_string(riffBytes);
    if (cut > 0) *report += "; cut the last " + std::to_string(cut) + " byte(s), a torn sample frame";
    *report += note;
    return "";
}

std::string WavRecording::Open(const std::string& path, const WAVEFORMATEX& format) {
    return Open(path, format, &format);
}

std::string WavRecording::Open(const std::string& path, const WAVEFORMATEX& format, const void* block) {
    Finish();
    std::string error = WhyNotWritable(path);
    if (!error.empty()) return error;
    writer_ = ComponentSetup("RIFFAudioOut")
                  .Set("Filename", path)
                  .Set("WaveFormat", 0, const_cast<void*>(block), DescribeFormat(format))
                  .Start(&error);
    struct stat info {};
    if (!writer_ && ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) {
        return "cannot create " + path + ": " + error + " (a FIFO takes a recording only while a reader has it open)";
    }
    if (!writer_) return "cannot create " + path + ": " + error;
    path_ = path;
    format_ = format;
    bytes_ = 0;
    partIndex_ = 0;
    partBytes_ = 0;
    // The header goes out in Start without a word on how it went: read it back.
    WavLayout layout;
    if (IsRegularFile(path) && (!ReadWavLayout(path, &layout).empty() || !layout.haveData ||
                                layout.DataOffset() != layout.fileBytes)) {
        const uint64_t onDisk = layout.fileBytes;
        Finish();
        return "cannot write " + path + ": its header did not reach the file (" + std::to_string(onDisk) +
               " bytes on disk): is the disk full, or a file size limit set?";
    }
    return "";
}

std::string WavRecording::Write(const void* data, int32_t bytes) {
    if (!writer_) return "the recording is closed";
    if (bytes <= 0) return "";
    const int32_t put = writer_->PutData(data, bytes);
    if (put < 0) return ResultText(put);
    bytes_ += static_cast<uint64_t>(put);
    // "TotalOut" counts from the start of the part being written: a count that is not the
    // old one plus this block means the block opened the next part.
    uint32_t total = partBytes_ + static_cast<uint32_t>(put);
    if (writer_->GetProperty("TotalOut", 0, &total) == 0 && total != partBytes_ + static_cast<uint32_t>(put)) {
        ++partIndex_;
    }
    partBytes_ = total;
    if (put != bytes) {
        return "the file system took " + std::to_string(put) + " of " + std::to_string(bytes) +
               " bytes (is the disk full, or a file size limit set?)";
    }
    return "";
}

std::string WavRecording::Finish() {
    if (!writer_) return "";
    const int32_t code = writer_->Stop();
    writer_ = Component();
    if (code != 0) return path_ + ": stopping the writer returned " + ResultText(code);
    // The sizes are written over the zeros of the header: read them back.
    const std::string part = PartFileName(path_, partIndex_);
    if (!IsRegularFile(part)) return "";
    WavLayout layout;
    const bool right = ReadWavLayout(part, &layout).empty() && layout.haveData &&
                       layout.declaredDataBytes == partBytes_ && layout.DataOffset() + partBytes_ == layout.fileBytes &&
                       layout.riffBytes == layout.fileBytes - 8;
    if (right) return "";
    return "the sizes in " + part + "'s header did not reach the file: 'zelmar repair " + part + "' writes them";
}

double WavRecording::seconds() const {
    return format_.nAvgBytesPerSec > 0 ? static_cast<double>(bytes_) / format_.nAvgBytesPerSec : 0.0;
}

int FailKeeping(WavRecording& recording, const std::string& message) {
    const std::string finishing = recording.Finish();
    char kept[64];
    std::snprintf(kept, sizeof kept, "%.2f s", recording.seconds());
    std::string text = message + "; " + recording.path() + " keeps the " + kept + " written";
    if (!finishing.empty()) text += ", but " + finishing;
    return Fail(text);
}

}  // namespace cli
