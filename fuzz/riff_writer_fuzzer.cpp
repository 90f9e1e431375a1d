// Records with "RIFFAudioOut" on the in-memory file system: formats of any tag, channel count,
// width and extra data; PutData and the two-buffer PutDataSplit with any byte counts (odd
// ones, blocks split anywhere); Start and Stop in any order; sometimes a disk that fills up.
// The target keeps its own account of what the file must hold, and after every Stop checks
// the file byte by byte:
//
//   - "RIFF", size = file length - 8, "WAVE", "fmt ", F (18 for PCM, 18 + cbSize otherwise),
//     the format as set before Start (PCM with cbSize 0), "data", size = file length - 28 - F;
//   - the data are exactly the bytes the writer said it took, in order: PutData's answers,
//     and for PutDataSplit the interleaved whole samples of both channels (a trailing byte
//     of a 16-bit channel is no sample and is not written);
//   - "TotalOut" counts the PutData bytes since Start;
//   - "RIFFAudioIn" finds the same format (writing no more of it than asked, refusing room
//     for less than the plain structure) and reads back exactly the data (for two-channel PCM
//     also through its split read, which it does not count).
//
// A writer destroyed while recording leaves both size fields zero.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <zelmar/zelmar.h>
#include <zelmar/zelmar_split.h>

#include "platform/MemoryFileSystem.h"
#include "platform/Platform.h"

#include "FuzzInput.h"

namespace {

using fuzz::Check, fuzz::kErrArg, fuzz::kErrState;

constexpr int32_t kMaxBlock = 1 << 15;
constexpr int kMaxOperations = 64;
const char* const kNames[] = {"rec.wav", "day.2\\take", "a/b\\c.d/rec.wav"};



uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}
WAVEFORMATEX Header(const std::vector<uint8_t>& block) {
    WAVEFORMATEX f;
    std::memcpy(&f, block.data(), sizeof f);
    return f;
}

// The writer as its host sees it.
struct Model {
    std::vector<uint8_t> pendingFormat = std::vector<uint8_t>(146, 0);  // "WaveFormat" as set
    std::vector<uint8_t> fileFormat;  // the first F bytes written at Start
    bool open = false;
    std::vector<uint8_t> data;  // what the current file's data chunk holds
    uint32_t totalOut = 0;
    uint64_t room = UINT64_MAX;  // what the disk still takes

    // The split call reads the format as last set, even one that waits for the next Start.
    WAVEFORMATEX Pending() const { return Header(pendingFormat); }
};

// Sets a fuzzed "WaveFormat"; returns the answer the writer must give.
int32_t SetFormat(IAudioIO* writer, Model& m, fuzz::Input& in) {
    uint8_t wfx[146] = {};
    const uint8_t kind = in.Byte();
    const uint16_t tag = kind % 3 == 0 ? static_cast<uint16_t>(in.Half()) : 1;
    const uint16_t channels = static_cast<uint16_t>(kind % 5 == 4 ? in.Byte() : 1 + (kind >> 3) % 2);
    const uint16_t bits = static_cast<uint16_t>(kind % 7 == 6 ? in.Byte() : ((kind >> 4) % 2 == 0 ? 16 : 8));
    const uint32_t rate = 8000 * (1 + in.Byte() % 6);
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    const auto extra = static_cast<uint16_t>(kind % 11 == 10 ? in.Half() : in.Byte() % 24);
    const WAVEFORMATEX header{tag, channels, rate, rate * align, align, bits, extra};
    std::memcpy(wfx, &header, sizeof header);
    for (int i = 18; i < 146; ++i) wfx[i] = static_cast<uint8_t>(i * 7 + kind);
    const int32_t answer = writer->SetProperty("WaveFormat", 0, wfx);
    const bool refused = tag != 1 && extra > 128;  // extra data the format block cannot hold
    Check(answer == (refused ? kErrArg : 0));
    if (!refused) {  // PCM: the plain structure, recorded with cbSize 0
        m.pendingFormat.assign(146, 0);
        std::memcpy(m.pendingFormat.data(), wfx, tag == 1 ? 16u : 18u + extra);
    }
    return answer;
}

// What the writer may still put on a disk whose room is `room`: `bytes`, or what fits.
uint64_t Fits(const Model& m, uint64_t bytes) { return bytes < m.room ? bytes : m.room; }

// A plain write of `bytes` from `from` on an open file: refused below one byte, else what the
// disk takes, counted.
void Plain(Model& m, const std::vector<uint8_t>& from, int32_t bytes, int32_t answer) {
    if (bytes < 1) return Check(answer == kErrArg);
    const uint64_t fits = Fits(m, static_cast<uint64_t>(bytes));
    Check(answer == static_cast<int32_t>(fits));
    m.data.insert(m.data.end(), from.begin(), from.begin() + static_cast<long>(fits));
    m.room -= fits;
    m.totalOut += static_cast<uint32_t>(fits);
}

void CheckFile(zelmar::platform::MemoryFileSystem& files, const std::string& name, const Model& m, bool finished) {
    const std::vector<uint8_t> file = files.Contents(name);
    const size_t f = m.fileFormat.size();
    Check(files.SizeOf(name) == file.size());
    Check(file.size() == 28 + f + m.data.size());
    Check(std::memcmp(file.data(), "RIFF", 4) == 0 && std::memcmp(file.data() + 8, "WAVEfmt ", 8) == 0);
    Check(U32(file, 16) == f && std::memcmp(file.data() + 20, m.fileFormat.data(), f) == 0);
    Check(std::memcmp(file.data() + 20 + f, "data", 4) == 0);
    Check(U32(file, 4) == (finished ? file.size() - 8 : 0));
    Check(U32(file, 24 + f) == (finished ? m.data.size() : 0));
    Check(m.data.empty() || std::memcmp(file.data() + 28 + f, m.data.data(), m.data.size()) == 0);
}

// The engine's own reader must find the same format and the same data.
void ReadBack(const std::string& name, const Model& m) {
    IAudioIO* reader = ZelmarCreateComponent("RIFFAudioIn");
    Check(reader != nullptr);
    Check(reader->SetProperty("Filename", 0, const_cast<char*>(name.c_str())) == 0);
    const int32_t built = reader->Build();
    if (m.data.empty()) {
        Check(built == kErrArg);
    } else {
        Check(built == 0);
        const auto fBytes = static_cast<int32_t>(m.fileFormat.size());
        std::vector<uint8_t> format(147, 0xEE);  // asked for F bytes, it writes no more
        Check(reader->GetProperty("WaveFormat", fBytes, format.data()) == 0 && format[fBytes] == 0xEE);
        Check(std::memcmp(format.data(), m.fileFormat.data(), m.fileFormat.size()) == 0);
        Check(reader->GetProperty("WaveFormat", 17, format.data()) == kErrArg);  // short of the structure
        Check(reader->Start() == 0);
        std::vector<uint8_t> got(m.data.size() + 1, 0xEE);
        const auto size = static_cast<int32_t>(m.data.size());
        Check(reader->GetData(got.data(), size) == size);
        Check(std::memcmp(got.data(), m.data.data(), m.data.size()) == 0 && got[m.data.size()] == 0xEE);
        Check(reader->Stop() == 0);
        const WAVEFORMATEX f = Header(m.fileFormat);
        if (f.wFormatTag == 1 && f.nChannels != 1) {  // PCM of two channels: the split read takes them apart
            const uint32_t width = f.wBitsPerSample == 16 ? 2 : 1;
            const int32_t each = size / 2;
            std::vector<uint8_t> left(each + 1), right(each + 1);
            Check(reader->Start() == 0);
            auto* source = static_cast<IAudioIOSplitSource*>(reader);
            const int32_t answer = source->GetDataSplit(left.data(), right.data(), each);
            Check(answer == (each > 0 ? each : kErrArg));
            Check(fuzz::Read(reader, "TotalIn") == 0);  // split reads are not counted
            for (uint32_t i = 0; i + width <= static_cast<uint32_t>(each); i += width) {
                Check(std::memcmp(left.data() + i, m.data.data() + 2 * i, width) == 0);
                Check(std::memcmp(right.data() + i, m.data.data() + 2 * i + width, width) == 0);
            }
            Check(reader->Stop() == 0);
        }
    }
    ZelmarDisposeComponent(reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    zelmar::platform::MemoryFileSystem files;
    zelmar::platform::Services services{};
    services.files = &files;
    zelmar::platform::ScopedPlatform scope(services);

    const uint8_t setup = in.Byte();
    const std::string name = kNames[setup % 3];
    // The part file's name on the in-memory disk, where '\' separates directories as '/' does.
    std::string stored = name;
    for (char& c : stored) c = c == '\\' ? '/' : c;
    Model m;
    if (setup % 4 == 3) {  // a disk that fills up: room for the header and a little more
        m.room = 28 + 146 + in.Half();
        files.SetCapacity(m.room);
    }

    IAudioIO* writer = ZelmarCreateComponent("RIFFAudioOut");
    Check(writer != nullptr);
    auto* split = static_cast<IAudioIOSplitSink*>(writer);
    Check(writer->SetProperty("Filename", 0, const_cast<char*>(name.c_str())) == 0);
    std::vector<uint8_t> left(kMaxBlock), right(kMaxBlock);
    uint32_t next = 1;

    for (int op = 0; op < kMaxOperations && !in.Done(); ++op) {
        const uint8_t kind = in.Byte();
        switch (kind % 8) {
            case 0: SetFormat(writer, m, in); break;
            case 1: {
                const uint64_t old = files.Exists(stored) ? files.SizeOf(stored) : 0;  // Start deletes it
                const int32_t answer = writer->Start();
                if (m.open) {
                    Check(answer == kErrState);
                    break;
                }
                Check(answer == 0);
                m.open = true;
                const size_t f = m.Pending().wFormatTag == 1 ? 18 : 18 + m.Pending().cbSize;
                if (m.room != UINT64_MAX) m.room += old;
                m.fileFormat.assign(m.pendingFormat.begin(), m.pendingFormat.begin() + static_cast<long>(f));
                Check(m.room >= 28 + f);
                m.room -= 28 + f;
                m.data.clear();
                m.totalOut = 0;
                break;
            }
            case 2: {
                const int32_t answer = writer->Stop();
                Check(answer == (m.open ? 0 : kErrState));
                if (m.open) {
                    m.open = false;
                    CheckFile(files, stored, m, true);
                    ReadBack(name, m);
                }
                break;
            }
            case 3:
            case 4:
            case 5: {  // PutData: audio-sized blocks, or any count
                const uint16_t pick = in.Half();
                const int32_t bytes = pick % 3 == 0 ? pick % kMaxBlock : 2 * (pick % 400) + (pick >> 15);
                for (int32_t i = 0; i < bytes; ++i) left[i] = static_cast<uint8_t>((next++ * 2654435761u) >> 24);
                const int32_t answer = writer->PutData(left.data(), bytes);
                if (m.open) Plain(m, left, bytes, answer);
                else Check(answer == kErrState);
                break;
            }
            case 6: {  // PutDataSplit: one buffer per channel
                const uint16_t pick = in.Half();
                const int32_t bytes = pick % 3 == 0 ? pick % (kMaxBlock / 2) : 2 * (pick % 300) + (pick >> 15);
                for (int32_t i = 0; i < bytes; ++i) {
                    left[i] = static_cast<uint8_t>((next++ * 2654435761u) >> 24);
                    right[i] = static_cast<uint8_t>((next++ * 2654435761u) >> 24);
                }
                const int32_t answer = split->PutDataSplit(left.data(), right.data(), bytes);
                if (!m.open || m.Pending().wFormatTag != 1) {
                    Check(answer == kErrState);
                } else if (m.Pending().nChannels == 1) {  // a mono stream is a plain PutData
                    Plain(m, left, bytes, answer);
                } else if (bytes < 1) {
                    Check(answer == kErrArg);
                } else {
                    const uint32_t width = m.Pending().wBitsPerSample == 16 ? 2 : 1;
                    std::vector<uint8_t> frames;
                    for (int32_t i = 0; i + static_cast<int32_t>(width) <= bytes; i += static_cast<int32_t>(width)) {
                        frames.insert(frames.end(), left.begin() + i, left.begin() + i + width);
                        frames.insert(frames.end(), right.begin() + i, right.begin() + i + width);
                    }
                    const uint64_t fits = Fits(m, frames.size());
                    // A disk that fills up takes whole samples per channel back as the answer.
                    const int32_t want =
                        fits == frames.size() ? bytes : static_cast<int32_t>(fits / (2 * width) * width);
                    Check(answer == want);
                    m.data.insert(m.data.end(), frames.begin(), frames.begin() + static_cast<long>(fits));
                    m.room -= fits;
                }
                break;
            }
            default: {  // what a host gets wrong
                const int32_t refusal = m.open ? kErrArg : kErrState;
                if ((kind >> 3) % 2 == 0) {
                    Check(writer->PutData(nullptr, 16) == refusal);
                    Check(split->PutDataSplit(nullptr, right.data(), 16) == (m.open && m.Pending().wFormatTag == 1 ? kErrArg : kErrState));
                } else {
                    Check(writer->PutData(left.data(), -static_cast<int32_t>(in.Byte())) == refusal);
                }
                break;
            }
        }
        Check(fuzz::Read(writer, "TotalOut") == m.totalOut);
        if (m.open) CheckFile(files, stored, m, false);
    }
    ZelmarDisposeComponent(writer);
    if (m.open) CheckFile(files, stored, m, false);  // never stopped: the sizes stay zero
    return 0;
}
