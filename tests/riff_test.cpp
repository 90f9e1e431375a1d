// "RIFFAudioIn" and "RIFFAudioOut" on the memory file system: the writer's layout for plain
// and coded formats, the reader's chunk scan and looping, split channels, part files past two
// billion bytes, directories, and files that lie about their sizes; then the writer on real
// links, devices and FIFOs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zelmar/zelmar_split.h>

#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "framework/Format.h"
#include "streams/RIFFAudioOut.h"
#include "support/FuzzReplay.h"
#include "support/TestPlatform.h"
#define LLVMFuzzerTestOneInput RiffWriterModelCheck
#include "../fuzz/riff_writer_fuzzer.cpp"
#undef LLVMFuzzerTestOneInput

namespace zelmar {
namespace {

using test::Make;

// A WAV file built by hand: header, then the given chunks.
std::vector<uint8_t> WavFile(const std::vector<std::pair<const char*, std::vector<uint8_t>>>& chunks) {
    std::vector<uint8_t> file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const auto& [tag, body] : chunks) {
        const uint32_t size = static_cast<uint32_t>(body.size());
        file.insert(file.end(), tag, tag + 4);
        file.insert(file.end(), reinterpret_cast<const uint8_t*>(&size), reinterpret_cast<const uint8_t*>(&size) + 4);
        file.insert(file.end(), body.begin(), body.end());
    }
    return file;
}

std::vector<uint8_t> Pcm8000() {
    const WAVEFORMATEX wfx = MakePcmFormat(8000, 1, 16);
    return {reinterpret_cast<const uint8_t*>(&wfx), reinterpret_cast<const uint8_t*>(&wfx) + sizeof wfx};
}

std::vector<uint8_t> Ramp(std::size_t n) {
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

test::ComponentPtr Writer(const std::string& name, const void* format) {
    auto writer = Make("RIFFAudioOut");
    EXPECT_EQ(writer->SetProperty("Filename", 0, const_cast<char*>(name.c_str())), 0);
    EXPECT_EQ(writer->SetProperty("WaveFormat", 0, const_cast<void*>(format)), 0);
    return writer;
}

struct RiffTest : ::testing::Test {
    test::VirtualPlatform platform;

    test::ComponentPtr Reader(const char* name) {
        auto reader = Make("RIFFAudioIn");
        EXPECT_EQ(reader->SetProperty("Filename", 0, const_cast<char*>(name)), 0);
        return reader;
    }
};

// Foreign chunks are skipped and the data loops; a data chunk that claims more than the file
// holds plays what is there, then wraps; nothing is written past a request.
TEST_F(RiffTest, ReaderSkipsForeignChunksLoopsTheDataAndCutsAnOversizedFormat) {
    const auto data = Ramp(1000);
    auto truncated = WavFile({{"fmt ", Pcm8000()}, {"data", Ramp(100)}});
    const uint32_t claimed = 1000000;
    std::memcpy(&truncated[truncated.size() - 100 - 4], &claimed, 4);
    platform.files.Put("truncated.wav", truncated);
    platform.files.Put("in.wav", WavFile({{"LIST", std::vector<uint8_t>(13, 'L')},
                                          {"fmt ", Pcm8000()},
                                          {"data", data},
                                          {"junk", std::vector<uint8_t>(10, 0xEE)}}));
    std::vector<uint8_t> got(400 + 16);
    for (const auto& [name, length, request] : {std::tuple{"truncated.wav", 100, 64}, std::tuple{"in.wav", 1000, 400}}) {
        auto reader = Reader(name);
        ASSERT_EQ(reader->Build(), 0);
        ASSERT_EQ(reader->Start(), 0);
        EXPECT_EQ(reader->GetData(got.data(), 0), 0);
        for (int call = 0; call < 6; ++call) {
            std::fill(got.begin(), got.end(), 0xCC);
            ASSERT_EQ(reader->GetData(got.data(), request), request);
            for (int i = 0; i < request; ++i) ASSERT_EQ(got[i], Ramp(length)[(call * request + i) % length]) << name << call;
            EXPECT_EQ(got[request], 0xCC) << name;
        }
        if (length != 1000) continue;
        // A request longer than the whole chunk wraps once and never reads the next chunk.
        std::vector<uint8_t> big(2500, 0x55);
        ASSERT_EQ(reader->GetData(big.data(), 2500), 2500);
        EXPECT_EQ(big[599], data[999]);
        EXPECT_EQ(big[600], data[0]);
        EXPECT_EQ(big[1599], data[999]);
        EXPECT_EQ(big[1600], 0x55);
    }

    // A fmt chunk longer than the format block fills the block, and the scan goes on.
    std::vector<uint8_t> fmt(300, 0x77);
    const WAVEFORMATEX odd{0x55, 2, 44100, 16000, 1, 0, 282};
    std::memcpy(fmt.data(), &odd, sizeof odd);
    platform.files.Put("big.wav", WavFile({{"fmt ", fmt}, {"data", Ramp(10)}}));
    auto reader = Reader("big.wav");
    ASSERT_EQ(reader->Build(), 0);
    std::vector<uint8_t> block(200, 0);
    ASSERT_EQ(reader->GetProperty("WaveFormat", 200, block.data()), 0);
    EXPECT_EQ(block[145], 0x77);
    EXPECT_EQ(block[146], 0);  // at most 146 bytes copied
    ASSERT_EQ(reader->Start(), 0);
    ASSERT_EQ(reader->GetData(got.data(), 10), 10);
    EXPECT_EQ(got[9], Ramp(10)[9]);
}

TEST_F(RiffTest, ReaderRefusesFilesWithoutAudioAndNamesItCannotOpen) {
    auto cut = WavFile({{"fmt ", Pcm8000()}});
    cut.insert(cut.end(), {'d', 'a', 't'});  // a chunk header cut short
    auto huge = WavFile({{"LIST", Ramp(4)}});
    const uint32_t far = 0xFFFFFFF0u;  // a chunk that points far past the end
    std::memcpy(&huge[16], &far, 4);
    platform.files.Put("nodata.wav", WavFile({{"fmt ", Pcm8000()}}));
    platform.files.Put("empty.wav", WavFile({{"fmt ", Pcm8000()}, {"data", {}}}));
    platform.files.Put("text.wav", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'});
    platform.files.Put("cut.wav", cut);
    platform.files.Put("huge.wav", huge);
    for (const char* name : {"nodata.wav", "empty.wav", "text.wav", "missing.wav", "cut.wav", "huge.wav"}) {
        EXPECT_EQ(Reader(name)->Build(), ZELMAR_E_INVALIDARG) << name;
    }
    EXPECT_EQ(Make("RIFFAudioIn")->Build(), ZELMAR_E_INVALIDARG);  // no name
    EXPECT_EQ(Make("RIFFAudioIn")->Start(), ZELMAR_E_STATE);
    EXPECT_EQ(Reader("missing.wav")->Start(), ZELMAR_E_STATE);
}

// Formats of any tag, width, channel count and extra data, plain and split writes of any size,
// Start and Stop in any order and a disk that fills up, against the model the fuzz target
// keeps: the header's sizes, the data the writer said it took (split writes interleaved, a
// trailing half sample left out), "TotalOut", and the reader giving back the same format and
// bytes, split too; split operations need PCM.
TEST(RiffWriter, EveryCorpusInputAgreesWithTheModel) {
    EXPECT_GT(test::ReplayCorpus("riff_writer_fuzzer", RiffWriterModelCheck), 100u);
}

TEST_F(RiffTest, RecordingRollsOverIntoPartFilesAtTwoBillionBytes) {
    test::VirtualPlatform sparse(true, /*storedBytesPerFile=*/4096);
    const WAVEFORMATEX format = MakePcmFormat(32000, 1, 16);
    auto writer = Writer("long.wav", &format);
    ASSERT_EQ(writer->Start(), 0);
    std::vector<uint8_t> block(1 << 20, 0x11);  // 1 MiB blocks
    const int32_t blockBytes = static_cast<int32_t>(block.size());
    uint32_t inFirst = 0;
    while (inFirst + block.size() <= 2000000000u) {
        ASSERT_EQ(writer->PutData(block.data(), blockBytes), blockBytes);
        inFirst += static_cast<uint32_t>(block.size());
    }
    EXPECT_FALSE(sparse.files.Exists("long_01.wav"));
    // The block that would pass the limit goes whole into the next part.
    ASSERT_EQ(writer->PutData(block.data(), blockBytes), blockBytes);
    ASSERT_TRUE(sparse.files.Exists("long_01.wav"));
    uint32_t total = 0;
    ASSERT_EQ(writer->GetProperty("TotalOut", 0, &total), 0);
    EXPECT_EQ(total, block.size());  // counted from the new part's start
    ASSERT_EQ(writer->Stop(), 0);
    const auto first = sparse.files.Contents("long.wav");
    EXPECT_EQ(sparse.files.SizeOf("long.wav"), 46u + inFirst);
    EXPECT_EQ(U32(first, 42), inFirst);
    EXPECT_EQ(U32(first, 4), inFirst + 38u);
    EXPECT_EQ(U32(sparse.files.Contents("long_01.wav"), 42), block.size());

    // The writer keeps its part index: a new Start recreates part 1, not the first file.
    ASSERT_EQ(writer->Start(), 0);
    ASSERT_EQ(writer->Stop(), 0);
    EXPECT_EQ(sparse.files.SizeOf("long_01.wav"), 46u);
    EXPECT_EQ(sparse.files.SizeOf("long.wav"), 46u + inFirst);
    // How parts are named: the index before the last extension of the last name.
    EXPECT_EQ(CRIFFAudioOut::PartFileName("a.wav", 100), "a_100.wav");
    EXPECT_EQ(CRIFFAudioOut::PartFileName("rec", 2), "rec_02");
    EXPECT_EQ(CRIFFAudioOut::PartFileName("day.2/rec", 1), "day_01.2/rec");
}

// Names and format arguments; the directories of a name are made shortest first.
TEST_F(RiffTest, NamesFormatArgumentsAndDirectories) {
    auto writer = Make("RIFFAudioOut");
    char name[64];
    EXPECT_EQ(writer->Start(), ZELMAR_E_STATE);      // no name
    EXPECT_EQ(writer->Build(), ZELMAR_E_INVALIDARG);  // no name
    EXPECT_EQ(writer->GetProperty("Filename", 64, name), ZELMAR_E_STATE);
    EXPECT_EQ(writer->SetProperty("Filename", 0, nullptr), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(writer->SetProperty("WaveFormat", 0, nullptr), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(writer->GetProperty("WaveFormat", -1, name), ZELMAR_E_INVALIDARG);
    ASSERT_EQ(writer->SetProperty("Filename", 0, const_cast<char*>("a.wav")), 0);
    ASSERT_EQ(writer->GetProperty("Filename", 64, name), 0);
    EXPECT_STREQ(name, "a.wav");

    const WAVEFORMATEX format = MakePcmFormat(8000, 1, 8);
    auto nested = Writer("rec\\day.2\\take.wav", &format);
    ASSERT_EQ(nested->Build(), 0);
    EXPECT_TRUE(platform.files.HasDirectory("rec/day.2"));
    ASSERT_EQ(nested->Start(), 0);
    ASSERT_EQ(nested->Stop(), 0);
    EXPECT_TRUE(platform.files.Exists("rec/day.2/take.wav"));
    ASSERT_GE(platform.files.DirectoryRequests().size(), 2u);
    EXPECT_EQ(platform.files.DirectoryRequests()[0], "rec");
}


mode_t LinkMode(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

// On real files: the writer deletes a regular file it records over, and nothing else.  A
// symbolic link stays a link (its target is written, emptied first when it is a file); a
// FIFO stays a FIFO and carries the stream (with zero sizes: it cannot be patched) to its
// reader, or is refused at once when it has none; a device is written as it is.
TEST(RiffWriter, LinksFifosAndDevicesAreWrittenNeverReplaced) {
    test::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const WAVEFORMATEX format = MakePcmFormat(8000, 1, 16);
    const auto audio = Ramp(640);
    const std::string stale(5000, 'x');  // longer than the recording: must not survive
    auto finished = WavFile({{"fmt ", Pcm8000()}, {"data", audio}});
    const uint32_t riffSize = static_cast<uint32_t>(finished.size() - 8);
    std::memcpy(&finished[4], &riffSize, 4);

    // Each name is a plain file or a link to a file or a device, made in the temporary directory.
    const std::pair<const char*, const char*> cases[] = {
        {"plain.wav", nullptr}, {"link.wav", "target.wav"}, {"null.wav", "/dev/null"}, {"full.wav", "/dev/full"}};
    for (const auto& [base, target] : cases) {
        const std::string name = dir.path + "/" + base, file = target == nullptr ? name : dir.path + "/" + target;
        const bool device = target != nullptr && target[0] == '/';
        if (!device) std::ofstream(file) << stale;
        if (target != nullptr) { ASSERT_EQ(::symlink(device ? target : file.c_str(), name.c_str()), 0); }
        auto writer = Writer(name, &format);
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
        auto writer = Writer(fifo, &format);
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
    auto stream = WavFile({{"fmt ", Pcm8000()}, {"data", {}}});  // both sizes stay 0
    stream.insert(stream.end(), audio.begin(), audio.end());
    EXPECT_EQ(streamed, stream);
    EXPECT_EQ(LinkMode(fifo), static_cast<mode_t>(S_IFIFO));

    // Without a reader the FIFO is refused at Start, without waiting.
    auto writer = Writer(fifo, &format);
    EXPECT_EQ(writer->Build(), 0);
    EXPECT_EQ(writer->Start(), ZELMAR_E_STATE);
    EXPECT_EQ(LinkMode(fifo), static_cast<mode_t>(S_IFIFO));
}
}  // namespace
}  // namespace zelmar
