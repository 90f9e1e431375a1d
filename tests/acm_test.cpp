// The codec bridge and the compression manager under it: G.711 against levels libavcodec
// decodes, every codec's round trip on speech cut into blocks of many sizes, the templates'
// formats, and bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

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

std::vector<uint8_t> Format(const IAudioIO* constIo, const char* name) {
    auto* io = const_cast<IAudioIO*>(constIo);
    std::vector<uint8_t> block(ZELMAR_FORMAT_BLOCK_BYTES);
    EXPECT_EQ(io->GetProperty(name, 0, block.data()), kOkay);
    return block;
}

WAVEFORMATEX Header(const std::vector<uint8_t>& block) {
    WAVEFORMATEX f;
    std::memcpy(&f, block.data(), sizeof f);
    return f;
}

int32_t Read(IAudioIO* io, const char* name, int32_t arg = 0) {
    int32_t v = -1;
    EXPECT_EQ(io->GetProperty(name, arg, &v), kOkay) << name;
    return v;
}

// A filter made from a template, or from the two formats when `tmpl` is null.
test::ComponentPtr Filter(const char* tmpl, int32_t rate, int32_t channels = 1, int32_t bits = 16) {
    test::ComponentPtr io = test::Make("ACMAudioFilter");
    EXPECT_EQ(io->SetProperty("SamplesPerSec", rate, nullptr), kOkay);
    EXPECT_EQ(io->SetProperty("Channels", channels, nullptr), kOkay);
    EXPECT_EQ(io->SetProperty("BitsPerSample", bits, nullptr), kOkay);
    if (tmpl != nullptr) {
        EXPECT_EQ(io->SetProperty("Template", 0, const_cast<char*>(tmpl)), kOkay);
    }
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

std::vector<uint8_t> Bytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}
std::vector<int16_t> Samples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
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
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "tag " << row.tag << " at " << row.rate);
        const std::vector<int16_t> speech = test::LoadSpeech(row.rate);
        ASSERT_FALSE(speech.empty());
        const std::vector<uint8_t> pcm = Bytes(std::vector<int16_t>(speech.begin(), speech.begin() + row.rate * 4));
        test::ComponentPtr encoder = Filter(row.encode, row.rate), decoder = Filter(row.decode, row.rate);
        if (row.encode == nullptr) {
            const std::vector<uint8_t> coded = Suggested(row.tag, uint32_t(row.rate));
            ASSERT_EQ(encoder->SetProperty("InWaveFormat", 0, nullptr), kOkay);
            SetFormat(encoder.get(), "OutWaveFormat", coded);
            SetFormat(decoder.get(), "InWaveFormat", coded);
            std::vector<uint8_t> out(18);
            WAVEFORMATEX p{1, 1, uint32_t(row.rate), uint32_t(row.rate) * 2, 2, 16, 0};
            std::memcpy(out.data(), &p, 18);
            SetFormat(decoder.get(), "OutWaveFormat", out);
        }
        ASSERT_EQ(encoder->Build(), kOkay);
        ASSERT_EQ(decoder->Build(), kOkay);
        ASSERT_EQ(Header(Format(encoder.get(), "OutWaveFormat")).wFormatTag, row.tag);
        ASSERT_EQ(encoder->Start(), kOkay);
        ASSERT_EQ(decoder->Start(), kOkay);
        const std::vector<uint8_t> coded = Convert(encoder.get(), pcm, {int32_t(pcm.size())});
        const std::vector<uint8_t> decoded = Convert(decoder.get(), coded, {int32_t(coded.size())});
        EXPECT_EQ(Read(encoder.get(), "TotalOut"), int32_t(coded.size()));
        for (const std::vector<int32_t>& blocks : {std::vector<int32_t>{1}, {333, 7, 4096}, {641, 64, 2}}) {
            ASSERT_EQ(encoder->Stop(), kOkay);
            ASSERT_EQ(encoder->Start(), kOkay);
            ASSERT_EQ(decoder->Stop(), kOkay);
            ASSERT_EQ(decoder->Start(), kOkay);
            const size_t step = blocks[0] == 1 ? pcm.size() / 8 : pcm.size();  // byte by byte on a part
            const std::vector<uint8_t> part(pcm.begin(), pcm.begin() + step);
            const std::vector<uint8_t> codedAgain = Convert(encoder.get(), part, blocks);
            ASSERT_TRUE(std::equal(codedAgain.begin(), codedAgain.end(), coded.begin())) << "blocks of " << blocks[0];
            const std::vector<uint8_t> decodedAgain = Convert(decoder.get(), codedAgain, blocks);
            ASSERT_TRUE(std::equal(decodedAgain.begin(), decodedAgain.end(), decoded.begin())) << "blocks of " << blocks[0];
        }
        const std::vector<int16_t> clean = Samples(pcm), back = Samples(decoded);
        const size_t delay = test::BestDelay(clean, back, size_t(row.rate) / 50);
        const double snr = test::SegmentalSnrDb(clean, back, test::SpeechLabels(clean, row.rate), row.rate, delay);
        EXPECT_GE(snr, row.minSegSnrDb) << "delay " << delay;
    }
}

}  // namespace
}  // namespace zelmar
