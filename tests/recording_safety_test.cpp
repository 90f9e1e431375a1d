// "RIFFAudioOut" on real files when the file system says no: links, devices and FIFOs in the
// place of the file.  Every finished file is checked against a header built here by hand (a
// full disk and split writes are checked by the writer's model, tests/riff_test.cpp).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "framework/Format.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

constexpr uint32_t kPcmHeaderBytes = 46;  // RIFF, WAVE, an 18-byte fmt chunk, the data header

// The header a finished recording of `audio` must start with.
std::vector<uint8_t> ExpectedHeader(const WAVEFORMATEX& format, uint32_t dataBytes) {
    std::vector<uint8_t> header;
    auto text = [&](const char* tag) { header.insert(header.end(), tag, tag + 4); };
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) header.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    text("RIFF");
    u32(dataBytes + kPcmHeaderBytes - 8);
    text("WAVE");
    text("fmt ");
    u32(18);
    const auto* f = reinterpret_cast<const uint8_t*>(&format);
    header.insert(header.end(), f, f + 16);
    header.push_back(0);  // cbSize
    header.push_back(0);
    text("data");
    u32(dataBytes);
    return header;
}

std::vector<uint8_t> Pattern(std::size_t n, unsigned seed) {
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((i * 131 + seed * 17 + 5) & 0xFF);
    return bytes;
}

test::ComponentPtr Writer(const std::string& name, const WAVEFORMATEX& format) {
    auto writer = test::Make("RIFFAudioOut");
    EXPECT_EQ(writer->SetProperty("Filename", 0, const_cast<char*>(name.c_str())), 0);
    EXPECT_EQ(writer->SetProperty("WaveFormat", 0, const_cast<WAVEFORMATEX*>(&format)), 0);
    return writer;
}

mode_t LinkMode(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

// On real files: the writer deletes a regular file it records over, and nothing else.  A
// symbolic link stays a link (its target is written, emptied first when it is a file); a
// FIFO stays a FIFO and carries the stream (with zero sizes: it cannot be patched) to its
// reader, or is refused at once when it has none; a device is written as it is.
TEST(RecordingSafety, LinksFifosAndDevicesAreWrittenNeverReplaced) {
    test::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const WAVEFORMATEX format = MakePcmFormat(16000, 1, 16);
    const auto audio = Pattern(640, 3);
    const std::string stale(5000, 'x');  // longer than the recording: must not survive
    const auto finished = [&] {
        auto file = ExpectedHeader(format, static_cast<uint32_t>(audio.size()));
        file.insert(file.end(), audio.begin(), audio.end());
        return file;
    }();

    // Each name is a plain file or a link to a file or a device, made in the temporary directory.
    const std::pair<const char*, const char*> cases[] = {
        {"plain.wav", nullptr}, {"link.wav", "target.wav"}, {"null.wav", "/dev/null"}, {"full.wav", "/dev/full"}};
    for (const auto& [base, target] : cases) {
        const std::string name = dir.path + "/" + base, file = target == nullptr ? name : dir.path + "/" + target;
        const bool device = target != nullptr && target[0] == '/';
        if (!device) std::ofstream(file) << stale;
        if (target != nullptr) { ASSERT_EQ(::symlink(device ? target : file.c_str(), name.c_str()), 0); }
        auto writer = Writer(name, format);
        ASSERT_EQ(writer->Build(), 0) << base;
        ASSERT_EQ(writer->Start(), 0) << base;
        const int32_t put = writer->PutData(audio.data(), static_cast<int32_t>(audio.size()));
        ASSERT_EQ(writer->Stop(), 0) << base;
        EXPECT_EQ(LinkMode(name), static_cast<mode_t>(target == nullptr ? S_IFREG : S_IFLNK)) << base;
        // A full device takes nothing.
        EXPECT_EQ(put, std::string(base) == "full.wav" ? 0 : static_cast<int32_t>(audio.size())) << base;
        if (!device) { EXPECT_EQ(test::ReadFile(name), finished) << base; }
    }

    // A FIFO with its reader: the stream arrives whole.  The pipe holds it all, so the reader
    // drains it after the writer has closed.
    const std::string fifo = dir.path + "/fifo.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    {
        auto writer = Writer(fifo, format);
        ASSERT_EQ(writer->Build(), 0);
        ASSERT_EQ(writer->Start(), 0);
        EXPECT_EQ(writer->PutData(audio.data(), static_cast<int32_t>(audio.size())), static_cast<int32_t>(audio.size()));
        ASSERT_EQ(writer->Stop(), 0);
    }
    std::vector<uint8_t> streamed(8192);
    const ssize_t got = ::read(reader, streamed.data(), streamed.size());
    ::close(reader);
    ASSERT_GT(got, 0);
    streamed.resize(static_cast<std::size_t>(got));
    auto stream = ExpectedHeader(format, 0);
    std::memset(&stream[4], 0, 4);  // both sizes stay 0
    stream.insert(stream.end(), audio.begin(), audio.end());
    EXPECT_EQ(streamed, stream);
    EXPECT_EQ(LinkMode(fifo), static_cast<mode_t>(S_IFIFO));

    // Without a reader the FIFO is refused at Start, without waiting.
    auto writer = Writer(fifo, format);
    EXPECT_EQ(writer->Build(), 0);
    EXPECT_EQ(writer->Start(), ZELMAR_E_STATE);
    EXPECT_EQ(LinkMode(fifo), static_cast<mode_t>(S_IFIFO));
}

}  // namespace
}  // namespace zelmar
