// Opens arbitrary bytes as a WAV file with "RIFFAudioIn" and reads it: the file's chunks,
// sizes and format come from the input, so the reader meets truncated headers, chunk sizes
// past the end, odd formats and empty data.  The first four input bytes choose the read sizes
// and whether the two-channel read is used; the rest is the file.  Besides memory errors the
// target stops on a read that reports more bytes than were asked for.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <zelmar/zelmar.h>
#include <zelmar/zelmar_split.h>

namespace {

constexpr int32_t kBufferBytes = 1 << 14;
constexpr int kReads = 24;

// The file lives in memory (memfd) and is named through /proc, so nothing touches the disk.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("zelmar-fuzz.wav", 0)) {
        if (fd_ < 0) return;
        size_t written = 0;
        while (written < size) {
            const ssize_t n = write(fd_, data + written, size - written);
            if (n <= 0) break;
            written += static_cast<size_t>(n);
        }
        std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
    }
    ~MemoryFile() {
        if (fd_ >= 0) close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    char* Path() { return path_; }

private:
    int fd_;
    char path_[64] = {};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t sizes[3] = {data[0], data[1], data[2]};
    const bool split = data[3] % 2 == 1;
    MemoryFile file(data + 4, size - 4);
    if (!file.Ok()) return 0;

    IAudioIO* reader = ZelmarCreateComponent("RIFFAudioIn");
    if (reader == nullptr) __builtin_trap();
    reader->SetProperty("Filename", 0, file.Path());
    if (reader->Build() == 0 && reader->Start() == 0) {
        std::vector<uint8_t> left(kBufferBytes), right(kBufferBytes);
        uint8_t format[64] = {};
        reader->GetProperty("WaveFormat", 0, format);
        for (int i = 0; i < kReads; ++i) {
            // Mostly small reads, one in three up to the whole buffer.
            const uint8_t pick = sizes[i % 3];
            const int32_t bytes = pick % 3 == 0 ? (pick * 64) % (kBufferBytes + 1) : pick;
            const int32_t got = split ? static_cast<IAudioIOSplitSource*>(reader)->GetDataSplit(left.data(), right.data(), bytes)
                                      : reader->GetData(left.data(), bytes);
            if (got > bytes) __builtin_trap();
        }
        reader->Stop();
    }
    ZelmarDisposeComponent(reader);
    return 0;
}
