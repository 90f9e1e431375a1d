// A real recording past 2,000,000,000 data bytes on disk: the first file closes at what it
// holds and the recording continues in name_01.wav.  Slow (writes 2 GB), labelled `slow`.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <zelmar/zelmar.h>

namespace {

int failures = 0;
void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what.c_str());
        ++failures;
    }
}

uint32_t U32At(FILE* file, long offset) {
    uint32_t value = 0;
    std::fseek(file, offset, SEEK_SET);
    if (std::fread(&value, 4, 1, file) != 1) return 0xFFFFFFFFu;
    return value;
}

}  // namespace

int main() {
    char dir[] = "/tmp/zelmar-slow-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string name = std::string(dir) + "/long.wav";
    const std::string part1 = std::string(dir) + "/long_01.wav";
    IAudioIO* writer = ZelmarCreateComponent("RIFFAudioOut");
    const WAVEFORMATEX format = {1, 1, 32000, 64000, 2, 16, 0};
    Check(writer->SetProperty("Filename", 0, const_cast<char*>(name.c_str())) == 0, "Filename");
    Check(writer->SetProperty("WaveFormat", 0, const_cast<WAVEFORMATEX*>(&format)) == 0, "WaveFormat");
    Check(writer->Start() == 0, "Start");
    const int32_t blockBytes = 1 << 22;  // 4 MiB
    std::vector<char> block(blockBytes, 0x21);
    uint64_t written = 0;
    const uint64_t limit = 2000000000u;
    while (written + blockBytes <= limit) {
        if (writer->PutData(block.data(), blockBytes) != blockBytes) {
            Check(false, "PutData at " + std::to_string(written));
            break;
        }
        written += blockBytes;
    }
    struct stat info {};
    Check(stat(part1.c_str(), &info) != 0, "no part file before the limit");
    Check(writer->PutData(block.data(), blockBytes) == blockBytes, "the block past the limit");
    Check(writer->Stop() == 0, "Stop");
    ZelmarDisposeComponent(writer);

    if (FILE* first = std::fopen(name.c_str(), "rb")) {
        std::fseek(first, 0, SEEK_END);
        Check(static_cast<uint64_t>(std::ftell(first)) == 46 + written, "first file holds what was written before the limit");
        Check(U32At(first, 42) == written, "first file's data size");
        Check(U32At(first, 4) == written + 38, "first file's RIFF size");
        std::fclose(first);
    } else {
        Check(false, "first file exists");
    }
    Check(stat(part1.c_str(), &info) == 0 && info.st_size == 46 + blockBytes, "part file holds the whole next block");
    std::remove(name.c_str());
    std::remove(part1.c_str());
    rmdir(dir);
    std::printf("%s: %llu bytes in the first file, %d in the part file\n", failures == 0 ? "passed" : "FAILED",
                static_cast<unsigned long long>(written), blockBytes);
    return failures == 0 ? 0 : 1;
}
