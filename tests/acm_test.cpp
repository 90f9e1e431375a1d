// The codec bridge and the compression manager under it: G.711 against levels libavcodec
// decodes, every codec's round trip on speech cut into blocks of many sizes, the templates'
// formats, and bad input; then coded WAV files between the engine and the tools everyone else
// uses: what "RIFFAudioOut" writes from the bridge, sox and ffmpeg decode to the PCM the bridge
// decodes; what sox and ffmpeg write, "RIFFAudioIn" and the bridge decode as the tools do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <zelmar/zelmar_acm.h>

#include "platform/acm/Acm.h"
#include "platform/acm/G711.h"
#include "support/SpeechMaterial.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

namespace acm = platform::acm;
constexpr int32_t kOkay = ZELMAR_OK;

// The 256 levels libavcodec's G.711 decoder gives, one per code.
std::vector<int16_t> LibavcodecLevels(AVCodecID id) {
    const AVCodec* codec = avcodec_find_decoder(id);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->sample_rate = 8000;
    av_channel_layout_default(&context->ch_layout, 1);
    EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
    std::vector<uint8_t> codes(256 + AV_INPUT_BUFFER_PADDING_SIZE);
    for (int i = 0; i < 256; ++i) codes[i] = static_cast<uint8_t>(i);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    packet->data = codes.data(), packet->size = 256;
    std::vector<int16_t> levels(256);
    EXPECT_EQ(avcodec_send_packet(context, packet), 0);
    EXPECT_EQ(avcodec_receive_frame(context, frame), 0);
    std::memcpy(levels.data(), frame->data[0], 512);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return levels;
}

// Each law's levels come from libavcodec; the code for an input is then found from the levels
// alone: every level is the middle of its interval, so the boundaries follow one from the
// other (A-law's first interval starts at 0, mu-law's at -1 in 14-bit units), and the input's
// magnitude, truncated to 13 (A-law) or 14 (mu-law) bits, falls in exactly one interval.
TEST(G711, EveryInputCodesToTheIntervalHoldingItsTruncatedMagnitude) {
    struct Law {
        AVCodecID id;
        int shift;           // 16-bit to 13 or 14 bits
        int firstBoundary;   // in those units
        uint8_t (*encode)(int16_t);
        int16_t (*decode)(uint8_t);
    };
    for (const Law& law : {Law{AV_CODEC_ID_PCM_ALAW, 3, 0, acm::ALawEncode, acm::ALawDecode},
                           Law{AV_CODEC_ID_PCM_MULAW, 2, -1, acm::MuLawEncode, acm::MuLawDecode}}) {
        SCOPED_TRACE(law.shift == 3 ? "A-law" : "mu-law");
        const std::vector<int16_t> levels = LibavcodecLevels(law.id);
        std::map<std::pair<bool, int>, uint8_t> codeOf;  // (positive, level) -> code
        std::vector<int> magnitudes;
        for (int code = 0; code < 256; ++code) {
            ASSERT_EQ(law.decode(static_cast<uint8_t>(code)), levels[code]) << "code " << code;
            codeOf[{(code & 0x80) != 0, std::abs(levels[code]) >> law.shift}] = static_cast<uint8_t>(code);
            magnitudes.push_back(std::abs(levels[code]) >> law.shift);
        }
        std::sort(magnitudes.begin(), magnitudes.end());
        magnitudes.erase(std::unique(magnitudes.begin(), magnitudes.end()), magnitudes.end());
        ASSERT_EQ(magnitudes.size(), 128u);
        std::vector<int> upper;  // upper[k]: first magnitude above interval k
        int lower = law.firstBoundary;
        for (int level : magnitudes) upper.push_back(lower = 2 * level - lower);
        int mismatches = 0;
        for (int x = -32768; x <= 32767; ++x) {
            const int magnitude = (x < 0 ? -x - 1 : x) >> law.shift;  // one's complement for negatives
            const size_t k = std::upper_bound(upper.begin(), upper.end(), magnitude) - upper.begin();
            const int level = magnitudes[std::min<size_t>(k, 127)];
            const uint8_t expected = codeOf.at({x >= 0, level});
            if (law.encode(static_cast<int16_t>(x)) != expected && ++mismatches < 5) {
                ADD_FAILURE() << "input " << x << " coded " << int(law.encode(static_cast<int16_t>(x))) << ", expected "
                              << int(expected);
            }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

void SetFormat(IAudioIO* io, const char* name, const std::vector<uint8_t>& block) {
    ASSERT_EQ(io->SetProperty(name, static_cast<int32_t>(block.size()), const_cast<uint8_t*>(block.data())), kOkay);
}

std::vector<uint8_t> Format(IAudioIO* io, const char* name) {
    std::vector<uint8_t> block(ZELMAR_FORMAT_BLOCK_BYTES);
    EXPECT_EQ(io->GetProperty(name, 0, block.data()), kOkay);
    return block;
}

WAVEFORMATEX Header(const std::vector<uint8_t>& block) {
    WAVEFORMATEX f;
    std::memcpy(&f, block.data(), sizeof f);
    return f;
}

using test::Read;

// A filter made from a template, or from the two formats when `tmpl` is null.
test::ComponentPtr Filter(const char* tmpl, int32_t rate, int32_t channels = 1, int32_t bits = 16) {
    test::ComponentPtr io =
        test::Running("ACMAudioFilter", {{"SamplesPerSec", rate}, {"Channels", channels}, {"BitsPerSample", bits}}, false);
    if (tmpl != nullptr) { EXPECT_EQ(io->SetProperty("Template", 0, const_cast<char*>(tmpl)), kOkay); }
    return io;
}

// Pushes `input` through a running filter in blocks whose sizes cycle through `blocks`,
// passing back what the filter did not take; the output room of each call is what
// "OutBufferSize" asks for.
std::vector<uint8_t> Convert(IAudioIO* io, const std::vector<uint8_t>& input, const std::vector<int32_t>& blocks) {
    std::vector<uint8_t> output;
    size_t at = 0, turn = 0;
    int stuck = 0;
    while (at < input.size() && stuck < 3) {
        int32_t inBytes = std::min<int32_t>(blocks[turn++ % blocks.size()], int32_t(input.size() - at));
        int32_t room = Read(io, "OutBufferSize", inBytes);
        std::vector<uint8_t> out(size_t(std::max(room, 1)));
        int32_t outBytes = room;
        EXPECT_EQ(io->Process(input.data() + at, &inBytes, out.data(), &outBytes), kOkay);
        EXPECT_LE(outBytes, room);
        stuck = inBytes == 0 ? stuck + 1 : 0;
        at += size_t(inBytes);
        output.insert(output.end(), out.begin(), out.begin() + outBytes);
    }
    return output;
}

std::vector<uint8_t> Block(WAVEFORMATEX f, std::vector<uint16_t> extra = {}) {
    std::vector<uint8_t> block(ZELMAR_FORMAT_BLOCK_BYTES);
    std::memcpy(block.data(), &f, 18);
    for (size_t i = 0; i < extra.size(); ++i) block[18 + 2 * i] = uint8_t(extra[i]), block[19 + 2 * i] = uint8_t(extra[i] >> 8);
    return block;
}

// A coded format the stand-in suggests for PCM at `rate` (mono).
std::vector<uint8_t> Suggested(uint16_t tag, uint32_t rate) {
    std::vector<uint8_t> block(ZELMAR_FORMAT_BLOCK_BYTES);
    WAVEFORMATEX pcm{1, 1, rate, rate * 2, 2, 16, 0}, coded{tag, 1, rate, 0, 0, 0, 0};
    std::memcpy(block.data(), &coded, sizeof coded);
    EXPECT_EQ(acm::FormatSuggest(&pcm, reinterpret_cast<WAVEFORMATEX*>(block.data()), ZELMAR_FORMAT_BLOCK_BYTES,
                                 acm::kSuggestTag | acm::kSuggestChannels | acm::kSuggestRate),
              acm::kOk);
    return block;
}

// Each codec both ways on speech: the coded stream and the decoded speech are the same
// whatever the block sizes (a block cut between calls waits in the stream), Stop and Start
// begin the codec afresh, and the speech comes back with the codec's quality.
TEST(ACMAudioFilter, EveryCodecRoundTripsSpeechTheSameInAnyBlocks) {
    struct Row {
        const char* encode;   // template, or null for tag's suggested format
        const char* decode;
        uint16_t tag;
        int32_t rate;
        double minSegSnrDb;   // measured once, kept 1 dB below
    };
    const Row rows[] = {
        {"PCM2GSM", "GSM2PCM", 49, 8000, 7.1},        {"PCM2ADPCM", "ADPCM2PCM", 2, 16000, 21.5},
        {"PCM2ALAW", "ALAW2PCM", 6, 16000, 30.8},     {nullptr, nullptr, 7, 8000, 31.6},
        {nullptr, nullptr, 17, 16000, 22.0},          {"PCM2G723", "G7232PCM", 66, 8000, 6.8},
        {"PCM2ADPCM", "ADPCM2PCM", 2, 32000, 26.3},
        {nullptr, nullptr, 1, 16000, 7.0},  // PCM to 8-bit stereo at 11025 and back (5.5 kHz wide)
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "tag " << row.tag << " at " << row.rate);
        const std::vector<int16_t> speech = test::LoadSpeech(row.rate);
        ASSERT_FALSE(speech.empty());
        const auto pcm = test::Recast<uint8_t>(std::vector<int16_t>(speech.begin(), speech.begin() + row.rate * 4));
        test::ComponentPtr encoder = Filter(row.encode, row.rate), decoder = Filter(row.decode, row.rate);
        if (row.encode == nullptr) {
            const std::vector<uint8_t> coded =
                row.tag == 1 ? Block({1, 2, 11025, 22050, 2, 8, 0}) : Suggested(row.tag, uint32_t(row.rate));
            ASSERT_EQ(encoder->SetProperty("InWaveFormat", 0, nullptr), kOkay);
            SetFormat(encoder.get(), "OutWaveFormat", coded);
            SetFormat(decoder.get(), "InWaveFormat", coded);
            SetFormat(decoder.get(), "OutWaveFormat", Block({1, 1, uint32_t(row.rate), uint32_t(row.rate) * 2, 2, 16, 0}));
        }
        ASSERT_EQ(encoder->Build(), kOkay);
        ASSERT_EQ(decoder->Build(), kOkay);
        ASSERT_EQ(Header(Format(encoder.get(), "OutWaveFormat")).wFormatTag, row.tag);
        ASSERT_EQ(encoder->Start(), kOkay);
        ASSERT_EQ(decoder->Start(), kOkay);
        const std::vector<uint8_t> coded = Convert(encoder.get(), pcm, {int32_t(pcm.size())});
        const std::vector<uint8_t> decoded = Convert(decoder.get(), coded, {int32_t(coded.size())});
        EXPECT_EQ(Read(encoder.get(), "TotalOut"), int32_t(coded.size()));
        for (const std::vector<int32_t>& blocks : {std::vector<int32_t>{1, 3}, {333, 7, 4096}, {641, 64, 2}}) {
            ASSERT_EQ(encoder->Stop(), kOkay);
            ASSERT_EQ(encoder->Start(), kOkay);
            ASSERT_EQ(decoder->Stop(), kOkay);
            ASSERT_EQ(decoder->Start(), kOkay);
            const size_t step = blocks[0] == 1 ? pcm.size() / 8 : pcm.size();  // one byte, then three, on a part
            const std::vector<uint8_t> part(pcm.begin(), pcm.begin() + step);
            const std::vector<uint8_t> codedAgain = Convert(encoder.get(), part, blocks);
            ASSERT_TRUE(std::equal(codedAgain.begin(), codedAgain.end(), coded.begin())) << "blocks of " << blocks[0];
            const std::vector<uint8_t> decodedAgain = Convert(decoder.get(), codedAgain, blocks);
            ASSERT_TRUE(std::equal(decodedAgain.begin(), decodedAgain.end(), decoded.begin())) << "blocks of " << blocks[0];
        }
        const auto clean = test::Recast<int16_t>(pcm), back = test::Recast<int16_t>(decoded);
        const size_t delay = test::BestDelay(clean, back, size_t(row.rate) / 50);
        const double snr = test::SegmentalSnrDb(clean, back, test::SpeechLabels(clean, row.rate), row.rate, delay);
        EXPECT_GE(snr, row.minSegSnrDb) << "delay " << delay;
    }
}


uint16_t Extra16(const std::vector<uint8_t>& block, size_t at) { return uint16_t(block[18 + at] | block[19 + at] << 8); }

// The templates' formats and checks, and what Build then answers.
TEST(ACMAudioFilter, TemplatesWriteTheirFormatsAndBuildAnswersForTheStream) {
    constexpr int32_t kFmt = ZELMAR_E_FORMAT, kPlatform = ZELMAR_E_PLATFORM, kArg = ZELMAR_E_INVALIDARG;
    struct Row {
        const char* tmpl;
        int32_t rate, channels, bits;
        uint32_t presetAvg;  // written into both formats first (0: none)
        int32_t build, lastError;
        const char* side;    // the format checked: "InWaveFormat" or "OutWaveFormat"
        WAVEFORMATEX expected;
        int32_t extraWord;   // first extra word, -1: not checked
    };
    const Row rows[] = {
        {"PCM2GSM", 16000, 1, 16, 0, kOkay, 0, "OutWaveFormat", {49, 1, 16000, 3250, 65, 0, 2}, 320},
        {"PCM2GSM", 16000, 1, 16, 0, kOkay, 0, "InWaveFormat", {1, 1, 16000, 32000, 2, 16, 0}, -1},
        {"GSM2PCM", 8000, 0, 16, 0, kOkay, 0, "InWaveFormat", {49, 1, 8000, 1625, 65, 0, 2}, 320},
        {"PCM2G723", 16000, 1, 16, 0, kFmt, kArg, nullptr, {}, -1},
        {"PCM2G723", 8000, 1, 16, 0, kOkay, 0, "OutWaveFormat", {66, 1, 8000, 800, 24, 0, 10}, 2},
        {"G7232PCM", 8000, 1, 16, 666, kOkay, 0, "InWaveFormat", {66, 1, 8000, 666, 20, 0, 10}, 3},
        {"G7232PCM", 16000, 1, 16, 0, kPlatform, acm::kErrNotPossible, "OutWaveFormat", {1, 1, 16000, 32000, 2, 16, 0}, -1},
        {"G7232PCM", 8000, 1, 8, 0, kFmt, kArg, nullptr, {}, -1},
        {"PCM2LHCELP", 8000, 1, 16, 0, kFmt, 0, "OutWaveFormat", {112, 1, 8000, 600, 12, 16, 0}, -1},
        {"PCM2TS", 8000, 1, 16, 0, kFmt, 0, "OutWaveFormat", {34, 1, 8000, 1067, 32, 1, 32}, 1},
        {"TS2PCM", 8000, 1, 16, 0, kOkay, 0, "InWaveFormat", {34, 1, 8000, 1067, 32, 1, 32}, 1},
        {"PCM2ADPCM", 22050, 2, 16, 0, kFmt, 0, "OutWaveFormat", {2, 2, 22050, 11089, 1024, 4, 32}, 1012},
        {"PCM2ADPCM", 44100, 1, 16, 0, kOkay, 0, "OutWaveFormat", {2, 1, 44100, 22179, 1024, 4, 32}, 2036},
        {"PCM2ALAW", 8000, 1, 16, 0, kOkay, 0, "OutWaveFormat", {6, 1, 8000, 8000, 1, 8, 0}, -1},
        {"ALAW2PCM", 8000, 2, 16, 0, kFmt, kArg, nullptr, {}, -1},
        {"PCM2ADPCM", 16000, 3, 16, 0, kFmt, kArg, nullptr, {}, -1},
        {"PCM2ADPCM", 12345, 1, 16, 0, kFmt, kArg, nullptr, {}, -1},
        {"PCM2ADPCM", 16000, 1, 24, 0, kFmt, kArg, nullptr, {}, -1},
        {"pcm2gsm", 8000, 1, 16, 0, kFmt, kArg, nullptr, {}, -1},
        {"CHOOSE", 8000, 1, 16, 0, kFmt, acm::kErrCanceled, "OutWaveFormat", {1, 1, 8000, 16000, 2, 16, 0}, -1},
        // The suggestion keeps the input's 16 bits, which no GSM coder writes.
        {"SUGGEST", 8000, 1, 16, 0, kFmt, kFmt, nullptr, {}, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.tmpl << " " << row.rate << "/" << row.channels << "/" << row.bits);
        test::ComponentPtr io = Filter(row.tmpl, row.rate, row.channels, row.bits);
        if (row.presetAvg != 0) {
            SetFormat(io.get(), "InWaveFormat", Block({66, 1, 8000, row.presetAvg, 24, 0, 0}));
            SetFormat(io.get(), "OutWaveFormat", Block({66, 1, 8000, row.presetAvg, 24, 0, 0}));
            ASSERT_EQ(io->SetProperty("SamplesPerSec", row.rate, nullptr), kOkay);
            ASSERT_EQ(io->SetProperty("BitsPerSample", row.bits, nullptr), kOkay);
        }
        if (std::strcmp(row.tmpl, "SUGGEST") == 0) SetFormat(io.get(), "OutWaveFormat", Block({49, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(io->Build(), row.build);
        EXPECT_EQ(Read(io.get(), "LastError"), row.lastError);
        if (row.side != nullptr) {
            const std::vector<uint8_t> block = Format(io.get(), row.side);
            EXPECT_EQ(std::memcmp(block.data(), &row.expected, 18), 0)
                << "tag " << Header(block).wFormatTag << " avg " << Header(block).nAvgBytesPerSec << " align "
                << Header(block).nBlockAlign << " cb " << Header(block).cbSize;
            EXPECT_TRUE(row.extraWord < 0 || Extra16(block, 0) == row.extraWord) << Extra16(block, 0);
        }
        EXPECT_EQ(io->Start(), row.build == kOkay ? kOkay : ZELMAR_E_STATE);
    }
}

// The chooser a host installs sees what the stream can make of the input and picks the output.
TEST(ACMAudioFilter, TheHostsChooserPicksTheOutputFromWhatTheCodecsOffer) {
    struct Seen {
        std::vector<std::string> names;
        int32_t pick = -1;
    } seen;
    ZelmarSetFormatChooser(
        [](const WAVEFORMATEX* const* formats, const char* const* names, int32_t count, void* context) {
            auto* s = static_cast<Seen*>(context);
            for (int32_t i = 0; i < count; ++i) {
                s->names.emplace_back(names[i]);
                if (formats[i]->wFormatTag == 49) s->pick = i;
            }
            return s->pick;
        },
        &seen);
    // Room for 18 bytes holds plain PCM (and the G.711 laws), no format with extra bytes.
    WAVEFORMATEX small{1, 1, 8000, 16000, 2, 16, 0};
    acm::ChooseRequest request;
    request.format = &small, request.formatBytes = 18;
    EXPECT_EQ(acm::FormatChoose(&request), acm::kErrCanceled);  // no GSM among them
    EXPECT_TRUE(std::any_of(seen.names.begin(), seen.names.end(),
                            [](const std::string& name) { return name.find("PCM 16-bit mono") != std::string::npos; }));
    seen.names.clear();
    test::ComponentPtr io = Filter(nullptr, 8000);
    EXPECT_EQ(io->SetProperty("OutWaveFormat", 0, nullptr), kOkay);
    ZelmarSetFormatChooser(nullptr, nullptr);
    EXPECT_EQ(Header(Format(io.get(), "OutWaveFormat")).wFormatTag, 49);
    EXPECT_EQ(io->Build(), kOkay);
    // PCM at 8000 mono: PCM at both widths and channel counts, and every codec but TrueSpeech.
    std::string all;
    for (const std::string& name : seen.names) all += name + "; ";
    for (const char* name : {"PCM 16-bit mono", "PCM 8-bit stereo", "GSM 6.10", "Microsoft ADPCM", "IMA ADPCM",
                             "A-law", "mu-law", "G.723.1"}) {
        EXPECT_NE(all.find(name), std::string::npos) << name << " not in " << all;
    }
    EXPECT_EQ(all.find("TrueSpeech"), std::string::npos) << all;
    EXPECT_EQ(io->SetProperty("OutWaveFormat", 0, nullptr), acm::kErrCanceled);  // none installed
}


// Formats that lie about their blocks find no driver; whatever bytes a decoder gets, it makes
// its blocks of PCM; counts and pointers that are no buffers are refused.
TEST(ACMAudioFilter, BadFormatsBytesAndCountsGetResultCodes) {
    const std::vector<uint16_t> adpcm = {500, 7, 256, 0, 512, uint16_t(-256), 0, 0, 192, 64, 240, 0, 460, uint16_t(-208),
                                         392, uint16_t(-232)};
    std::vector<uint16_t> oddCoefficient = adpcm;
    oddCoefficient[5] = 1;
    struct Row {
        const char* what;
        std::vector<uint8_t> input;
        int32_t build;
        int32_t pcmPerBlock;  // decoded bytes per coded block when it builds
    };
    const Row rows[] = {
        {"GSM", Block({49, 1, 8000, 1625, 65, 0, 2}, {320}), kOkay, 640},
        {"GSM of 64-byte blocks", Block({49, 1, 8000, 1625, 64, 0, 2}, {320}), ZELMAR_E_FORMAT, 0},
        {"GSM of 319 samples", Block({49, 1, 8000, 1625, 65, 0, 2}, {319}), ZELMAR_E_FORMAT, 0},
        {"ADPCM", Block({2, 1, 8000, 4096, 256, 4, 32}, adpcm), kOkay, 1000},
        {"ADPCM, samples not the block's", Block({2, 1, 8000, 4096, 512, 4, 32}, adpcm), ZELMAR_E_FORMAT, 0},
        {"ADPCM, own coefficients", Block({2, 1, 8000, 4096, 256, 4, 32}, oddCoefficient), ZELMAR_E_FORMAT, 0},
        {"ADPCM, extra bytes past the block", Block({2, 1, 8000, 4096, 256, 4, 200}, adpcm), ZELMAR_E_FORMAT, 0},
        {"IMA", Block({17, 1, 8000, 4055, 256, 4, 2}, {505}), kOkay, 1010},
        {"IMA of 250-byte blocks", Block({17, 1, 8000, 4055, 250, 4, 2}, {505}), ZELMAR_E_FORMAT, 0},
        {"G.723.1 20-byte", Block({66, 1, 8000, 666, 20, 0, 10}, {3}), kOkay, 480},
        {"G.723.1 24-byte", Block({66, 1, 8000, 800, 24, 0, 10}, {2}), kOkay, 480},
        {"G.723.1 of 30-byte blocks", Block({66, 1, 8000, 800, 30, 0, 10}, {2}), ZELMAR_E_FORMAT, 0},
        {"TrueSpeech", Block({34, 1, 8000, 1067, 32, 1, 32}, {1, 240}), kOkay, 480},
        {"TrueSpeech at 16000", Block({34, 1, 16000, 1067, 32, 1, 32}, {1, 240}), ZELMAR_E_FORMAT, 0},
        {"A-law", Block({6, 1, 8000, 8000, 1, 8, 0}), kOkay, 2},
        {"A-law of 2-byte blocks", Block({6, 1, 8000, 8000, 2, 8, 0}), ZELMAR_E_FORMAT, 0},
        {"mu-law without channels", Block({7, 0, 8000, 8000, 1, 8, 0}), ZELMAR_E_FORMAT, 0},
        {"LHCELP", Block({112, 1, 8000, 600, 12, 16, 0}), ZELMAR_E_FORMAT, 0},
        {"unknown tag", Block({0x1234, 1, 8000, 8000, 1, 8, 0}), ZELMAR_E_FORMAT, 0},
        {"PCM of 12 bits", Block({1, 1, 8000, 24000, 3, 12, 0}), ZELMAR_E_FORMAT, 0},
        {"PCM with a wrong byte rate", Block({1, 1, 8000, 8000, 2, 16, 0}), ZELMAR_E_FORMAT, 0},
    };
    std::vector<uint8_t> garbage(6000), pcm(160000);
    uint32_t noise = 12345;
    for (uint8_t& b : garbage) b = uint8_t((noise = noise * 1664525u + 1013904223u) >> 24);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        test::ComponentPtr io = Filter(nullptr, 8000);
        SetFormat(io.get(), "InWaveFormat", row.input);
        SetFormat(io.get(), "OutWaveFormat", Block({1, 1, 8000, 16000, 2, 16, 0}));
        ASSERT_EQ(io->Build(), row.build);
        if (row.build != kOkay) continue;
        ASSERT_EQ(io->Start(), kOkay);
        const int32_t block = Header(row.input).nBlockAlign;
        int32_t inBytes = int32_t(garbage.size()), outBytes = int32_t(pcm.size());
        ASSERT_EQ(io->Process(garbage.data(), &inBytes, pcm.data(), &outBytes), kOkay);
        EXPECT_EQ(inBytes, int32_t(garbage.size()));
        EXPECT_EQ(outBytes, int32_t(garbage.size()) / block * row.pcmPerBlock);
    }

    // Counts and pointers, on a running GSM decoder.
    test::ComponentPtr io = Filter("GSM2PCM", 8000);
    EXPECT_EQ(Read(io.get(), "InBufferSize", 640), 0);  // never built
    ASSERT_EQ(io->Build(), kOkay);
    ASSERT_EQ(io->Start(), kOkay);
    struct Count {
        int32_t in, out, result, inAfter, outAfter;
    };
    for (const Count& c : {Count{0, 640, kOkay, 0, 0}, Count{65, 0, kOkay, 0, 0}, Count{64, 640, kOkay, 64, 0},
                           Count{195, 1300, kOkay, 130, 1280},  // as many blocks as the room holds
                           Count{-1, 640, ZELMAR_E_INVALIDARG, -1, 640}, Count{65, -640, ZELMAR_E_INVALIDARG, 65, -640}}) {
        SCOPED_TRACE(testing::Message() << c.in << " in, room " << c.out);
        ASSERT_EQ(io->Stop(), kOkay);
        ASSERT_EQ(io->Start(), kOkay);
        int32_t inBytes = c.in, outBytes = c.out;
        EXPECT_EQ(io->Process(garbage.data(), &inBytes, pcm.data(), &outBytes), c.result);
        EXPECT_EQ(inBytes, c.inAfter);
        EXPECT_EQ(outBytes, c.outAfter);
    }
    // Size queries: a count no conversion could make reads 0.
    for (const auto& [name, arg, expected] : {std::tuple{"OutBufferSize", 65, 640}, std::tuple{"OutBufferSize", 66, 1280},
                                              std::tuple{"InBufferSize", 1279, 65}, std::tuple{"InBufferSize", -5, 0},
                                              std::tuple{"OutBufferSize", INT32_MAX, 0},
                                              std::tuple{"InBufferSize", INT32_MAX, INT32_MAX / 640 * 65}}) {
        EXPECT_EQ(Read(io.get(), name, arg), expected) << name << " " << arg;
    }
    int32_t in = 130, out = 0;
    EXPECT_EQ(io->Process(garbage.data(), &in, nullptr, &out), kOkay);
    EXPECT_EQ(out, 1280);
    in = 0, out = 1300;
    EXPECT_EQ(io->Process(nullptr, &in, pcm.data(), &out), kOkay);
    EXPECT_EQ(in, 130);
    EXPECT_EQ(io->Process(nullptr, &in, nullptr, &out), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(io->SetProperty("InWaveFormat", -1, garbage.data()), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(io->GetProperty("OutWaveFormat", -1, pcm.data()), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(io->SetProperty("Template", 0, nullptr), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(io->SetProperty("Reset", 0, nullptr), kOkay);
}

constexpr int32_t kRate = 8000;
const std::vector<uint8_t> kPcm8000 = Block({1, 1, kRate, 2 * kRate, 2, 16, 0});

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
    const std::vector<uint8_t> coded = Suggested(codec.tag, kRate);
    const std::vector<uint8_t> encoded = Pass(Bridge(kPcm8000, coded).get(), pcm);
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
        const std::vector<int16_t> ours = test::Recast<int16_t>(Pass(Bridge(format, kPcm8000).get(), stream));
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
