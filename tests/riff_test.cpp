#include <gtest/gtest.h>

#include <zelmar/zelmar_split.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "framework/Format.h"
#include "streams/RIFFAudioOut.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::Make;

uint32_t U32At(const std::vector<uint8_t>& bytes, std::size_t at) {
    uint32_t value;
    std::memcpy(&value, &bytes.at(at + 3) - 3, 4);
    return value;
}

void Append(std::vector<uint8_t>& file, const char* tag, const void* body, uint32_t size) {
    file.insert(file.end(), tag, tag + 4);
    const auto* s = reinterpret_cast<const uint8_t*>(&size);
    file.insert(file.end(), s, s + 4);
    const auto* b = static_cast<const uint8_t*>(body);
    file.insert(file.end(), b, b + size);
}

// A WAV file built by hand: header, then the given chunks.
std::vector<uint8_t> WavFile(const std::vector<std::pair<const char*, std::vector<uint8_t>>>& chunks) {
    std::vector<uint8_t> file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const auto& [tag, body] : chunks) Append(file, tag, body.data(), static_cast<uint32_t>(body.size()));
    return file;
}

std::vector<uint8_t> FormatBytes(const WAVEFORMATEX& wfx) {
    std::vector<uint8_t> bytes(sizeof wfx);
    std::memcpy(bytes.data(), &wfx, sizeof wfx);
    return bytes;
}

std::vector<uint8_t> Ramp(std::size_t n) {
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

struct RiffTest : ::testing::Test {
    test::VirtualPlatform platform;

    test::ComponentPtr Writer(const char* name, const WAVEFORMATEX& wfx) {
        auto writer = Make("RIFFAudioOut");
        EXPECT_EQ(writer->SetProperty("Filename", 0, const_cast<char*>(name)), 0);
        EXPECT_EQ(writer->SetProperty("WaveFormat", 0, const_cast<WAVEFORMATEX*>(&wfx)), 0);
        return writer;
    }
    test::ComponentPtr Reader(const char* name) {
        auto reader = Make("RIFFAudioIn");
        EXPECT_EQ(reader->SetProperty("Filename", 0, const_cast<char*>(name)), 0);
        return reader;
    }
};

TEST_F(RiffTest, WriterLaysOutAPcmFileExactly) {
    auto writer = Writer("rec.wav", MakePcmFormat(16000, 1, 16));
    ASSERT_EQ(writer->Start(), 0);
    const auto audio = Ramp(320);
    EXPECT_EQ(writer->PutData(audio.data(), 320), 320);
    ASSERT_EQ(writer->Stop(), 0);
    const auto file = platform.files.Contents("rec.wav");
    ASSERT_EQ(file.size(), 366u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(U32At(file, 4), 358u);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(U32At(file, 16), 18u);
    WAVEFORMATEX written;
    std::memcpy(&written, &file[20], sizeof written);
    EXPECT_EQ(written.nSamplesPerSec, 16000u);
    EXPECT_EQ(written.cbSize, 0);
    EXPECT_EQ(std::string(file.begin() + 38, file.begin() + 42), "data");
    EXPECT_EQ(U32At(file, 42), 320u);
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), file.begin() + 46));
    uint32_t total = 0;
    EXPECT_EQ(writer->GetProperty("TotalOut", 0, &total), 0);
    EXPECT_EQ(total, 320u);
}

TEST_F(RiffTest, NonPcmFormatKeepsItsExtraBytes) {
    uint8_t format[20] = {};
    WAVEFORMATEX wfx{0x31, 1, 8000, 1625, 65, 0, 2};
    std::memcpy(format, &wfx, sizeof wfx);
    format[18] = 0x40;
    format[19] = 0x01;
    auto writer = Make("RIFFAudioOut");
    ASSERT_EQ(writer->SetProperty("Filename", 0, const_cast<char*>("gsm.wav")), 0);
    ASSERT_EQ(writer->SetProperty("WaveFormat", 0, format), 0);
    ASSERT_EQ(writer->Start(), 0);
    const auto audio = Ramp(65);
    ASSERT_EQ(writer->PutData(audio.data(), 65), 65);
    ASSERT_EQ(writer->Stop(), 0);
    const auto file = platform.files.Contents("gsm.wav");
    EXPECT_EQ(U32At(file, 16), 20u);
    EXPECT_EQ(file[38], 0x40);
    EXPECT_EQ(std::string(file.begin() + 40, file.begin() + 44), "data");
    EXPECT_EQ(U32At(file, 44), 65u);
    EXPECT_EQ(file.size(), 48u + 65u);  // no pad byte after the odd size

    // The reader hands the whole format back.
    auto reader = Reader("gsm.wav");
    ASSERT_EQ(reader->Build(), 0);
    uint8_t back[146] = {};
    ASSERT_EQ(reader->GetProperty("WaveFormat", 146, back), 0);
    EXPECT_EQ(std::memcmp(back, format, 20), 0);
    EXPECT_EQ(reader->GetProperty("WaveFormat", 17, back), ZELMAR_E_INVALIDARG);

    // Extra data that would not fit the format block is refused; the old format stays.
    wfx.cbSize = 129;
    std::vector<uint8_t> tooLong(18 + 129);
    std::memcpy(tooLong.data(), &wfx, sizeof wfx);
    EXPECT_EQ(writer->SetProperty("WaveFormat", 0, tooLong.data()), ZELMAR_E_INVALIDARG);
    uint8_t kept[146];
    ASSERT_EQ(writer->GetProperty("WaveFormat", 0, kept), 0);
    EXPECT_EQ(std::memcmp(kept, format, 20), 0);
}

TEST_F(RiffTest, ReaderSkipsForeignChunksAndLoopsTheData) {
    const auto data = Ramp(1000);
    platform.files.Put("in.wav", WavFile({{"LIST", std::vector<uint8_t>(13, 'L')},
                                          {"fmt ", FormatBytes(MakePcmFormat(8000, 1, 16))},
                                          {"data", data},
                                          {"junk", std::vector<uint8_t>(10, 0xEE)}}));
    auto reader = Reader("in.wav");
    ASSERT_EQ(reader->Build(), 0);
    WAVEFORMATEX wfx;
    ASSERT_EQ(reader->GetProperty("WaveFormat", 18, &wfx), 0);
    EXPECT_EQ(wfx.nSamplesPerSec, 8000u);
    ASSERT_EQ(reader->Start(), 0);

    std::vector<uint8_t> got(400);
    uint32_t total = 0;
    EXPECT_EQ(reader->GetData(got.data(), 0), 0);
    for (int call = 0; call < 3; ++call) {
        ASSERT_EQ(reader->GetData(got.data(), 400), 400);
        for (int i = 0; i < 400; ++i) ASSERT_EQ(got[i], data[(call * 400 + i) % 1000]) << call << ":" << i;
        ASSERT_EQ(reader->GetProperty("TotalIn", 0, &total), 0);
        EXPECT_EQ(total, 400u * (call + 1));
    }
    // Stop and Start replay from the start of the data.
    ASSERT_EQ(reader->Stop(), 0);
    ASSERT_EQ(reader->Start(), 0);
    ASSERT_EQ(reader->GetData(got.data(), 400), 400);
    EXPECT_EQ(got[0], data[0]);

    // A request longer than the whole chunk wraps once and never reads the next chunk.
    std::vector<uint8_t> big(2500, 0x55);
    ASSERT_EQ(reader->GetData(big.data(), 2500), 2500);
    EXPECT_EQ(big[599], data[999]);
    EXPECT_EQ(big[600], data[0]);
    EXPECT_EQ(big[1599], data[999]);
    EXPECT_EQ(big[1600], 0x55);
}

TEST_F(RiffTest, ReaderBuildRefusesFilesWithoutAudio) {
    platform.files.Put("nodata.wav", WavFile({{"fmt ", FormatBytes(MakePcmFormat(8000, 1, 16))}}));
    platform.files.Put("empty.wav", WavFile({{"fmt ", FormatBytes(MakePcmFormat(8000, 1, 16))}, {"data", {}}}));
    platform.files.Put("text.wav", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'});
    for (const char* name : {"nodata.wav", "empty.wav", "text.wav", "missing.wav"}) {
        EXPECT_EQ(Reader(name)->Build(), ZELMAR_E_INVALIDARG) << name;
    }
    EXPECT_EQ(Make("RIFFAudioIn")->Build(), ZELMAR_E_INVALIDARG);  // no name
    EXPECT_EQ(Make("RIFFAudioIn")->Start(), ZELMAR_E_STATE);
    EXPECT_EQ(Reader("missing.wav")->Start(), ZELMAR_E_STATE);
}

TEST_F(RiffTest, OversizedFmtChunkFillsTheBlockAndTheScanGoesOn) {
    std::vector<uint8_t> fmt(300, 0x77);
    const WAVEFORMATEX wfx{0x55, 2, 44100, 16000, 1, 0, 282};
    std::memcpy(fmt.data(), &wfx, sizeof wfx);
    platform.files.Put("big.wav", WavFile({{"fmt ", fmt}, {"data", Ramp(10)}}));
    auto reader = Reader("big.wav");
    ASSERT_EQ(reader->Build(), 0);
    std::vector<uint8_t> block(200, 0);
    ASSERT_EQ(reader->GetProperty("WaveFormat", 200, block.data()), 0);
    EXPECT_EQ(block[145], 0x77);
    EXPECT_EQ(block[146], 0);  // at most 146 bytes copied
    ASSERT_EQ(reader->Start(), 0);
    uint8_t got[10];
    ASSERT_EQ(reader->GetData(got, 10), 10);
    EXPECT_EQ(got[9], Ramp(10)[9]);
}

TEST_F(RiffTest, SplitChannelsInterleaveAndSeparate) {
    auto writer = Writer("st.wav", MakePcmFormat(16000, 2, 16));
    auto* sink = static_cast<IAudioIOSplitSink*>(writer.get());
    ASSERT_EQ(writer->Start(), 0);
    const int16_t left[2] = {100, 101}, right[2] = {-200, -201};
    EXPECT_EQ(sink->PutDataSplit(left, right, 4), 4);
    EXPECT_EQ(sink->PutDataSplit(nullptr, right, 4), ZELMAR_E_INVALIDARG);
    ASSERT_EQ(writer->Stop(), 0);
    const auto file = platform.files.Contents("st.wav");
    ASSERT_EQ(file.size(), 46u + 8u);
    int16_t frames[4];
    std::memcpy(frames, &file[46], 8);
    EXPECT_EQ(frames[0], 100);
    EXPECT_EQ(frames[1], -200);
    EXPECT_EQ(frames[2], 101);
    EXPECT_EQ(frames[3], -201);
    EXPECT_EQ(U32At(file, 42), 8u);

    auto reader = Reader("st.wav");
    auto* source = static_cast<IAudioIOSplitSource*>(reader.get());
    ASSERT_EQ(reader->Build(), 0);
    ASSERT_EQ(reader->Start(), 0);
    int16_t l[2], r[2];
    EXPECT_EQ(source->GetDataSplit(l, r, 4), 4);
    EXPECT_EQ(l[1], 101);
    EXPECT_EQ(r[1], -201);
    uint32_t total = 1;
    ASSERT_EQ(reader->GetProperty("TotalIn", 0, &total), 0);
    EXPECT_EQ(total, 0u);  // split reads are not counted

    // 8-bit stereo interleaves bytes.
    auto narrow = Writer("st8.wav", MakePcmFormat(8000, 2, 8));
    ASSERT_EQ(narrow->Start(), 0);
    const uint8_t l8[3] = {1, 2, 3}, r8[3] = {9, 8, 7};
    EXPECT_EQ(static_cast<IAudioIOSplitSink*>(narrow.get())->PutDataSplit(l8, r8, 3), 3);
    ASSERT_EQ(narrow->Stop(), 0);
    const auto bytes = platform.files.Contents("st8.wav");
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 46, bytes.end()), (std::vector<uint8_t>{1, 9, 2, 8, 3, 7}));

    // Split operations need PCM.
    const WAVEFORMATEX gsm{0x31, 1, 8000, 1625, 65, 0, 0};
    auto coded = Writer("c.wav", gsm);
    ASSERT_EQ(coded->Start(), 0);
    EXPECT_EQ(static_cast<IAudioIOSplitSink*>(coded.get())->PutDataSplit(l8, r8, 3), ZELMAR_E_STATE);
}

TEST_F(RiffTest, PartFileNames) {
    EXPECT_EQ(CRIFFAudioOut::PartFileName("rec.wav", 0), "rec.wav");
    EXPECT_EQ(CRIFFAudioOut::PartFileName("rec.wav", 1), "rec_01.wav");
    EXPECT_EQ(CRIFFAudioOut::PartFileName("a.wav", 100), "a_100.wav");
    EXPECT_EQ(CRIFFAudioOut::PartFileName("rec", 2), "rec_02");
    EXPECT_EQ(CRIFFAudioOut::PartFileName("day.2/rec", 1), "day_01.2/rec");
}

TEST_F(RiffTest, RecordingRollsOverIntoPartFilesAtTwoBillionBytes) {
    test::VirtualPlatform sparse(true, /*storedBytesPerFile=*/4096);
    auto writer = Writer("long.wav", MakePcmFormat(32000, 1, 16));
    ASSERT_EQ(writer->Start(), 0);
    std::vector<uint8_t> block(1 << 20, 0x11);  // 1 MiB blocks
    const uint32_t limit = CRIFFAudioOut::kMaxDataBytesPerFile;
    uint32_t inFirst = 0;
    while (inFirst + block.size() <= limit) {
        ASSERT_EQ(writer->PutData(block.data(), static_cast<int32_t>(block.size())), static_cast<int32_t>(block.size()));
        inFirst += static_cast<uint32_t>(block.size());
    }
    EXPECT_FALSE(sparse.files.Exists("long_01.wav"));
    // The block that would pass the limit goes whole into the next part.
    ASSERT_EQ(writer->PutData(block.data(), static_cast<int32_t>(block.size())), static_cast<int32_t>(block.size()));
    ASSERT_TRUE(sparse.files.Exists("long_01.wav"));
    uint32_t total = 0;
    ASSERT_EQ(writer->GetProperty("TotalOut", 0, &total), 0);
    EXPECT_EQ(total, block.size());  // counted from the new part's start
    ASSERT_EQ(writer->Stop(), 0);

    const auto first = sparse.files.Contents("long.wav");
    EXPECT_EQ(sparse.files.SizeOf("long.wav"), 46u + inFirst);
    EXPECT_EQ(U32At(first, 42), inFirst);
    EXPECT_EQ(U32At(first, 4), inFirst + 38u);
    const auto second = sparse.files.Contents("long_01.wav");
    EXPECT_EQ(U32At(second, 42), block.size());

    // The writer keeps its part index: a new Start recreates part 1, not the first file.
    ASSERT_EQ(writer->Start(), 0);
    ASSERT_EQ(writer->Stop(), 0);
    EXPECT_EQ(sparse.files.SizeOf("long_01.wav"), 46u);
    EXPECT_EQ(sparse.files.SizeOf("long.wav"), 46u + inFirst);
}

TEST_F(RiffTest, WriterCreatesDirectoriesForEitherSeparator) {
    auto writer = Writer("rec\\day.2\\take.wav", MakePcmFormat(8000, 1, 8));
    ASSERT_EQ(writer->Build(), 0);
    EXPECT_TRUE(platform.files.HasDirectory("rec"));
    EXPECT_TRUE(platform.files.HasDirectory("rec/day.2"));
    ASSERT_EQ(writer->Start(), 0);
    ASSERT_EQ(writer->Stop(), 0);
    EXPECT_TRUE(platform.files.Exists("rec/day.2/take.wav"));
    // The shortest directory is attempted first.
    const auto requests = platform.files.DirectoryRequests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0], "rec");
}

TEST_F(RiffTest, StateAndArgumentChecks) {
    auto writer = Make("RIFFAudioOut");
    uint8_t byte = 0;
    char name[64];
    EXPECT_EQ(writer->Start(), ZELMAR_E_STATE);      // no name
    EXPECT_EQ(writer->Build(), ZELMAR_E_INVALIDARG);  // no name
    EXPECT_EQ(writer->GetProperty("Filename", 64, name), ZELMAR_E_STATE);
    EXPECT_EQ(writer->SetProperty("Filename", 0, nullptr), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(writer->SetProperty(nullptr, 0, nullptr), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(writer->SetProperty("filename", 0, const_cast<char*>("x")), ZELMAR_E_STATE);
    EXPECT_EQ(writer->SetProperty("TotalOut", 0, nullptr), ZELMAR_E_STATE);
    EXPECT_EQ(writer->PutData(&byte, 1), ZELMAR_E_STATE);
    EXPECT_EQ(writer->Stop(), ZELMAR_E_STATE);
    EXPECT_EQ(writer->GetData(&byte, 1), ZELMAR_E_NOTIMPL);
    EXPECT_EQ(writer->GetProperty("TotalIn", 0, &byte), ZELMAR_E_STATE);
    EXPECT_EQ(writer->GetProperty("WaveFormat", -1, name), ZELMAR_E_INVALIDARG);
    ASSERT_EQ(writer->SetProperty("Filename", 0, const_cast<char*>("a.wav")), 0);
    ASSERT_EQ(writer->GetProperty("Filename", 64, name), 0);
    EXPECT_STREQ(name, "a.wav");
    ASSERT_EQ(writer->Start(), 0);
    EXPECT_EQ(writer->Start(), ZELMAR_E_STATE);
    EXPECT_EQ(writer->PutData(nullptr, 1), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(writer->PutData(&byte, 0), ZELMAR_E_INVALIDARG);

    auto reader = Make("RIFFAudioIn");
    EXPECT_EQ(reader->GetData(&byte, 1), ZELMAR_E_STATE);
    EXPECT_EQ(reader->PutData(&byte, 1), ZELMAR_E_NOTIMPL);
    EXPECT_EQ(reader->SetProperty("WaveFormat", 0, name), ZELMAR_E_STATE);
    EXPECT_EQ(reader->GetProperty("TotalOut", 0, name), ZELMAR_E_STATE);
    EXPECT_EQ(reader->Stop(), ZELMAR_E_STATE);
}

TEST(RiffFiles, RoundTripThroughRealFilesWithWindowsStyleNames) {
    char dir[] = "/tmp/zelmar-riff-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string name = std::string(dir) + "\\nested\\take.wav";
    auto writer = Make("RIFFAudioOut");
    const WAVEFORMATEX wfx = MakePcmFormat(16000, 1, 16);
    ASSERT_EQ(writer->SetProperty("Filename", 0, const_cast<char*>(name.c_str())), 0);
    ASSERT_EQ(writer->SetProperty("WaveFormat", 0, const_cast<WAVEFORMATEX*>(&wfx)), 0);
    ASSERT_EQ(writer->Build(), 0);
    ASSERT_EQ(writer->Start(), 0);
    const auto audio = Ramp(3200);
    ASSERT_EQ(writer->PutData(audio.data(), 3200), 3200);
    ASSERT_EQ(writer->Stop(), 0);

    auto reader = Make("RIFFAudioIn");
    const std::string posixName = std::string(dir) + "/nested/take.wav";
    ASSERT_EQ(reader->SetProperty("Filename", 0, const_cast<char*>(posixName.c_str())), 0);
    ASSERT_EQ(reader->Build(), 0);
    ASSERT_EQ(reader->Start(), 0);
    std::vector<uint8_t> back(3200);
    ASSERT_EQ(reader->GetData(back.data(), 3200), 3200);
    EXPECT_EQ(back, audio);
    reader->Stop();
    std::remove(posixName.c_str());
    rmdir((std::string(dir) + "/nested").c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace zelmar

namespace zelmar {
namespace {

// Truncated and corrupt files: whatever the header claims, the reader reads only what the
// file holds and never writes past the caller's buffer (ASan checks the latter).
TEST_F(RiffTest, TruncatedAndCorruptFilesNeverReadPastTheFileOrWritePastTheBuffer) {
    // A data chunk that claims more than the file holds plays what is there, then wraps.
    auto truncated = WavFile({{"fmt ", FormatBytes(MakePcmFormat(8000, 1, 16))}, {"data", Ramp(100)}});
    const uint32_t claimed = 1000000;
    std::memcpy(&truncated[truncated.size() - 100 - 4], &claimed, 4);
    platform.files.Put("truncated.wav", truncated);
    auto reader = Reader("truncated.wav");
    ASSERT_EQ(reader->Build(), 0);
    ASSERT_EQ(reader->Start(), 0);
    std::vector<uint8_t> got(64 + 16, 0xCC);
    for (int call = 0; call < 50; ++call) ASSERT_EQ(reader->GetData(got.data(), 64), 64);
    for (int i = 64; i < 80; ++i) EXPECT_EQ(got[i], 0xCC);  // guard bytes untouched

    // A header cut inside a chunk header, and chunks whose sizes point far past the end.
    auto cut = WavFile({{"fmt ", FormatBytes(MakePcmFormat(8000, 1, 16))}});
    cut.insert(cut.end(), {'d', 'a', 't'});
    platform.files.Put("cut.wav", cut);
    EXPECT_EQ(Reader("cut.wav")->Build(), ZELMAR_E_INVALIDARG);
    auto huge = WavFile({{"LIST", Ramp(4)}});
    const uint32_t far = 0xFFFFFFF0u;
    std::memcpy(&huge[16], &far, 4);
    platform.files.Put("huge.wav", huge);
    EXPECT_EQ(Reader("huge.wav")->Build(), ZELMAR_E_INVALIDARG);

    // Random bytes behind a valid RIFF/WAVE header: Build either finds data or refuses, and
    // reading whatever it found stays inside the buffer.
    uint32_t seed = 12345;
    auto next = [&seed] { seed = seed * 1664525u + 1013904223u; return seed >> 24; };
    for (int trial = 0; trial < 500; ++trial) {
        std::vector<uint8_t> file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
        const int length = 8 + static_cast<int>(next() % 200);
        for (int i = 0; i < length; ++i) file.push_back(static_cast<uint8_t>(next()));
        if (trial % 3 == 0) std::memcpy(&file[12], "fmt ", 4);
        if (trial % 5 == 0 && file.size() > 40) std::memcpy(&file[32], "data", 4);
        platform.files.Put("random.wav", file);
        auto random = Reader("random.wav");
        if (random->Build() != 0) continue;
        ASSERT_EQ(random->Start(), 0);
        std::vector<uint8_t> buffer(333);
        ASSERT_EQ(random->GetData(buffer.data(), 333), 333) << "trial " << trial;
        uint8_t format[146];
        ASSERT_EQ(random->GetProperty("WaveFormat", 146, format), 0);
    }
}

}  // namespace
}  // namespace zelmar
