// Coded WAV files between the engine and the tools everyone else uses: what "RIFFAudioOut"
// writes from the codec bridge, sox and ffmpeg decode to the PCM the bridge decodes; what sox
// and ffmpeg write, "RIFFAudioIn" and the bridge decode to the PCM the tools decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/acm/Acm.h"
#include "support/SpeechMaterial.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

constexpr int32_t kOkay = ZELMAR_OK;
constexpr int32_t kRate = 8000;

struct Codec {
    const char* name;
    uint16_t tag;
    const char* soxEncoding;     // sox -e
    const char* ffmpegEncoder;   // ffmpeg -c:a when writing
    const char* ffmpegDecoder;   // ffmpeg -c:a when reading (libgsm for GSM: the reference coder)
    int tolerance;               // largest difference from each tool's decode, in LSB
    double soxSnrDb;             // else, for sox's own decoder: our decode against sox's, at least
    bool soxAlwaysBySnr;         // sox's decoder computes differently on every file, not only its own
};
const Codec kCodecs[] = {
    {"GSM 6.10", 49, "gsm-full-rate", "libgsm_ms", "libgsm_ms", 0, 0, false},
    // sox predicts with an arithmetic shift where libavcodec divides: on sox's own files the
    // two decoders drift apart inside a block.
    {"Microsoft ADPCM", 2, "ms-adpcm", "adpcm_ms", "adpcm_ms", 1, 40, false},
    {"A-law", 6, "a-law", "pcm_alaw", "pcm_alaw", 0, 0, false},
    {"mu-law", 7, "u-law", "pcm_mulaw", "pcm_mulaw", 0, 0, false},
    // sox's IMA ADPCM decoder and libavcodec's (the bridge's driver) do not agree sample for
    // sample on any file: on this speech their decodes are 41 to 48 dB apart.
    {"IMA ADPCM", 17, "ima-adpcm", "adpcm_ima_wav", "adpcm_ima_wav", 0, 40, true},
    // sox neither reads nor writes G.723.1.
    {"G.723.1", 66, nullptr, "g723_1", "g723_1", 0, 0, false},
};

bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::vector<int16_t> ReadRaw(const std::string& path) { return test::Recast<int16_t>(test::ReadFile(path)); }

// The length of a WAV file's data chunk, read from the file itself.
uint32_t DataBytes(const std::vector<uint8_t>& file) {
    for (size_t at = 12; at + 8 <= file.size();) {
        uint32_t size;
        std::memcpy(&size, &file[at + 4], 4);
        if (std::memcmp(&file[at], "data", 4) == 0) return std::min<uint32_t>(size, uint32_t(file.size() - at - 8));
        at += 8 + size + (size & 1);
    }
    return 0;
}

test::ComponentPtr Bridge(const std::vector<uint8_t>& in, const std::vector<uint8_t>& out) {
    test::ComponentPtr io = test::Make("ACMAudioFilter");
    EXPECT_EQ(io->SetProperty("InWaveFormat", int32_t(in.size()), const_cast<uint8_t*>(in.data())), kOkay);
    EXPECT_EQ(io->SetProperty("OutWaveFormat", int32_t(out.size()), const_cast<uint8_t*>(out.data())), kOkay);
    EXPECT_EQ(io->Build(), kOkay);
    EXPECT_EQ(io->Start(), kOkay);
    return io;
}

std::vector<uint8_t> Pass(IAudioIO* io, const std::vector<uint8_t>& input) {
    int32_t room = 0;
    EXPECT_EQ(io->GetProperty("OutBufferSize", int32_t(input.size()), &room), kOkay);
    std::vector<uint8_t> output(size_t(room) + 1);
    int32_t inBytes = int32_t(input.size()), outBytes = room;
    EXPECT_EQ(io->Process(input.data(), &inBytes, output.data(), &outBytes), kOkay);
    EXPECT_EQ(inBytes, int32_t(input.size()));
    output.resize(size_t(outBytes));
    return output;
}

std::vector<uint8_t> PcmBlock() { return test::Recast<uint8_t>(std::vector<WAVEFORMATEX>{{1, 1, kRate, 2 * kRate, 2, 16, 0}}); }

// The coded format the compression manager suggests for the codec at 8000 mono.
std::vector<uint8_t> CodedBlock(uint16_t tag) {
    std::vector<uint8_t> block(ZELMAR_FORMAT_BLOCK_BYTES);
    const WAVEFORMATEX pcm{1, 1, kRate, 2 * kRate, 2, 16, 0}, wanted{tag, 1, kRate, 0, 0, 0, 0};
    std::memcpy(block.data(), &wanted, 18);
    EXPECT_EQ(platform::acm::FormatSuggest(&pcm, reinterpret_cast<WAVEFORMATEX*>(block.data()), uint32_t(block.size()),
                                           platform::acm::kSuggestTag | platform::acm::kSuggestRate),
              0);
    return block;
}

// `tool` against `ours` over their common length, which must cover nearly all of ours: no
// sample further apart than `tolerance`, or with `snrDb` > 0 the difference that far below.
void ExpectSame(const std::vector<int16_t>& ours, const std::vector<int16_t>& tool, int tolerance, const char* who,
                double snrDb = 0) {
    const size_t common = std::min(ours.size(), tool.size());
    EXPECT_GE(common + 640, ours.size()) << who << " decoded " << tool.size() << " samples, we " << ours.size();
    int worst = 0;
    size_t first = common;
    double signal = 1e-9, error = 1e-9;
    for (size_t i = 0; i < common; ++i) {
        const int diff = std::abs(int(ours[i]) - int(tool[i]));
        if (diff > tolerance && first == common) first = i;
        worst = std::max(worst, diff);
        signal += double(tool[i]) * tool[i], error += double(diff) * diff;
    }
    if (snrDb > 0) {
        EXPECT_GE(10 * std::log10(signal / error), snrDb) << who;
    } else {
        EXPECT_LE(worst, tolerance) << who << ": first difference at sample " << first;
    }
}

class CodedFiles : public ::testing::TestWithParam<Codec> {
protected:
    void SetUp() override {
        if (!Shell("command -v sox") || !Shell("command -v ffmpeg")) GTEST_SKIP() << "sox and ffmpeg are needed";
        ASSERT_FALSE(dir_.path.empty());
    }
    std::string Path(const char* name) const { return dir_.path + "/" + name; }
    // sox's and ffmpeg's PCM of a coded WAV file.
    std::vector<int16_t> Sox(const std::string& wav) {
        EXPECT_TRUE(Shell("sox " + wav + " -t raw -e signed -b 16 " + Path("sox.raw")));
        return ReadRaw(Path("sox.raw"));
    }
    std::vector<int16_t> Ffmpeg(const std::string& wav) {
        EXPECT_TRUE(Shell(std::string("ffmpeg -nostdin -y -c:a ") + GetParam().ffmpegDecoder + " -i " + wav +
                        " -f s16le " + Path("ffmpeg.raw")));
        return ReadRaw(Path("ffmpeg.raw"));
    }
    test::TempDir dir_;
};

// Three files of each codec -- the engine's (speech through the bridge into "RIFFAudioOut"),
// ffmpeg's and sox's -- each read by "RIFFAudioIn", decoded by the bridge and compared with
// what sox and ffmpeg decode from it.
TEST_P(CodedFiles, FilesOfTheEngineSoxAndFfmpegDecodeThroughTheReaderAndTheBridgeAsTheToolsDecode) {
    const Codec& codec = GetParam();
    const std::vector<int16_t> speech = test::LoadSpeech(kRate);
    ASSERT_GE(speech.size(), size_t(3 * kRate));
    const auto pcm = test::Recast<uint8_t>(std::vector<int16_t>(speech.begin(), speech.begin() + 3 * kRate));
    const std::vector<uint8_t> coded = CodedBlock(codec.tag);
    const std::vector<uint8_t> encoded = Pass(Bridge(PcmBlock(), coded).get(), pcm);
    test::ComponentPtr writer = test::Make("RIFFAudioOut");
    ASSERT_EQ(writer->SetProperty("Filename", 0, const_cast<char*>(Path("engine.wav").c_str())), kOkay);
    ASSERT_EQ(writer->SetProperty("WaveFormat", 0, const_cast<uint8_t*>(coded.data())), kOkay);
    ASSERT_EQ(writer->Start(), kOkay);
    ASSERT_EQ(writer->PutData(encoded.data(), int32_t(encoded.size())), int32_t(encoded.size()));
    ASSERT_EQ(writer->Stop(), kOkay);

    const std::string source = test::SpeechPath(kRate);
    std::vector<std::string> files = {"engine.wav", "ffmpeg.wav"};
    ASSERT_TRUE(Shell("ffmpeg -nostdin -y -i " + source + " -c:a " + codec.ffmpegEncoder + " " + Path("ffmpeg.wav")));
    if (codec.soxEncoding != nullptr) {
        ASSERT_TRUE(Shell("sox " + source + " -e " + codec.soxEncoding + " " + Path("sox.wav")));
        files.push_back("sox.wav");
    }
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const std::string wav = Path(file.c_str());
        test::ComponentPtr reader = test::Make("RIFFAudioIn");
        ASSERT_EQ(reader->SetProperty("Filename", 0, const_cast<char*>(wav.c_str())), kOkay);
        ASSERT_EQ(reader->Build(), kOkay);
        ASSERT_EQ(reader->Start(), kOkay);
        std::vector<uint8_t> format(ZELMAR_FORMAT_BLOCK_BYTES);
        ASSERT_EQ(reader->GetProperty("WaveFormat", ZELMAR_FORMAT_BLOCK_BYTES, format.data()), kOkay);
        std::vector<uint8_t> stream(DataBytes(test::ReadFile(wav)));
        ASSERT_EQ(reader->GetData(stream.data(), int32_t(stream.size())), int32_t(stream.size()));
        const std::vector<int16_t> ours = test::Recast<int16_t>(Pass(Bridge(format, PcmBlock()).get(), stream));
        if (codec.soxEncoding != nullptr) {
            ExpectSame(ours, Sox(wav), codec.tolerance, "sox", file == "sox.wav" || codec.soxAlwaysBySnr ? codec.soxSnrDb : 0);
        }
        ExpectSame(ours, Ffmpeg(wav), codec.tolerance, "ffmpeg");
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, CodedFiles, ::testing::ValuesIn(kCodecs), [](const auto& info) {
    std::string name = info.param.name;
    name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }),
               name.end());
    return name;
});

}  // namespace
}  // namespace zelmar
