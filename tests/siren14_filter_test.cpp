// "Siren14AudioFilter" through the factory: settings and their states, frame-aligned
// Process, size queries, concealment through a null input, Reset, counters, and agreement
// with the codec core it wraps.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "codecs/siren14/Siren14Codec.h"
#include "framework/Result.h"
#include "support/Siren14Vectors.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::ComponentPtr;
constexpr int32_t kEncode = 0, kDecode = 1;  // "Direction"

ComponentPtr MakeFilter(int32_t bitRate, int32_t samplesPerSec, int32_t direction) {
    return test::Running("Siren14AudioFilter", {{"Bitrate", bitRate}, {"SamplesPerSec", samplesPerSec}, {"Direction", direction}});
}

uint32_t Get(IAudioIO* io, const char* name, int32_t arg = 0) { return uint32_t(test::Read(io, name, arg)); }

TEST(Siren14AudioFilter, SettingsAreCheckedByBuildAndFixedOnceBuilt) {
    ComponentPtr io = test::Make("Siren14AudioFilter");
    // Before Build the frame sizes are unknown: the size properties answer 0, and "Reset"
    // has no codec to touch.
    EXPECT_EQ(Get(io.get(), "InBufferSize", 0), 0u);
    EXPECT_EQ(Get(io.get(), "InBufferSize", 500), 0u);
    EXPECT_EQ(Get(io.get(), "OutBufferSize", 2560), 0u);
    EXPECT_EQ(io->SetProperty("Reset", 0, nullptr), kErrState);

    // Five modes: 7 kHz at 16000 samples per second with 24 or 32 kbit/s, 14 kHz at 32000 with
    // 24, 32 or 48 kbit/s.  A refused Build leaves the filter unbuilt, to be set and built again.
    const struct { int32_t rate, bitRate, result; } modes[] = {
        {16000, 48000, kErrInvalidArg}, {32000, 16000, kErrInvalidArg}, {48000, 32000, kErrInvalidArg},
        {32000, 0, kErrInvalidArg},     {32000, 24000, kOk},            {32000, 32000, kOk},
        {32000, 48000, kOk},            {16000, 32000, kOk},            {16000, 24000, kOk}};
    for (const auto& mode : modes) {
        EXPECT_EQ(io->SetProperty("SamplesPerSec", mode.rate, nullptr), kOk);
        EXPECT_EQ(io->SetProperty("Bitrate", mode.bitRate, nullptr), kOk);
        EXPECT_EQ(io->Build(), mode.result) << mode.rate << " " << mode.bitRate;
        if (mode.result == kOk && &mode != &modes[8]) io = test::Make("Siren14AudioFilter");
    }
    EXPECT_EQ(io->SetProperty("Bitrate", 32000, nullptr), kErrState);
    EXPECT_EQ(Get(io.get(), "Bitrate"), 24000u);
    EXPECT_EQ(io->SetProperty("Direction", 1, nullptr), kErrState);
}

TEST(Siren14AudioFilter, EncodesWholeFramesAndReportsSizes) {
    ComponentPtr io = MakeFilter(32000, 32000, kEncode);
    EXPECT_EQ(Get(io.get(), "InBufferSize", 0), 1280u);
    EXPECT_EQ(Get(io.get(), "InBufferSize", 200), 2560u);
    EXPECT_EQ(Get(io.get(), "OutBufferSize", 2560), 160u);
    EXPECT_EQ(Get(io.get(), "OutBufferSize", 2559), 80u);

    std::vector<int16_t> pcm(3 * 640, 100);
    std::vector<uint8_t> coded(1000);
    int32_t in = 3000, out = 1000;
    EXPECT_EQ(io->Process(nullptr, &in, nullptr, &out), kErrInvalidArg);
    // Whole frames only, as many as both the input and the output room hold; a size query
    // (no output) answers the same and counts nothing.
    const struct { bool query; int32_t in, room, taken, made; } rows[] = {
        {true, 3000, 1000, 2560, 160}, {false, 3000, 1000, 2560, 160}, {false, 1279, 1000, 0, 0},
        {false, 1280, 79, 0, 0},       {false, 3 * 1280, 2 * 80 + 79, 2560, 160}};
    for (const auto& row : rows) {
        in = row.in, out = row.room;
        coded[160] = 0xAA;
        EXPECT_EQ(io->Process(pcm.data(), &in, row.query ? nullptr : coded.data(), &out), kOk);
        EXPECT_EQ(in, row.taken) << row.in << " into " << row.room;
        EXPECT_EQ(out, row.made) << row.in << " into " << row.room;
        EXPECT_EQ(coded[160], 0xAA) << "a frame written without room";
    }
    EXPECT_EQ(Get(io.get(), "TotalIn"), 2u * 2560);
    EXPECT_EQ(Get(io.get(), "TotalOut"), 2u * 160);
}

TEST(Siren14AudioFilter, EncodingInUnevenPiecesGivesTheCoreBitStreamAndResetReplaysIt) {
    const test::Siren14Vector v{"speech1", 32000, 48000};
    const std::vector<int16_t> input = test::ReadPcm(v.InputPath());
    ASSERT_FALSE(input.empty()) << v.InputPath();
    const int frames = 60;
    auto core = std::make_unique<Siren14EncoderState>();
    ASSERT_EQ(siren14_encoder_init(v.bitRate, v.Bandwidth(), core.get()), 0);
    std::vector<uint8_t> expected(frames * 120);
    siren14_encode(input.data(), frames * 1280, expected.data(), static_cast<int32_t>(expected.size()), core.get());

    ComponentPtr io = MakeFilter(v.bitRate, v.sampleRate, kEncode);
    for (int pass = 0; pass < 2; ++pass) {
        // The host offers odd amounts and keeps what the filter leaves.
        std::vector<uint8_t> got;
        const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
        size_t offered = 0, taken = 0;
        const size_t total = frames * 1280;
        for (size_t step = 777; taken < total; step = step * 5 % 3001 + 500) {
            offered = std::min(total, std::max(offered, taken + step));
            uint8_t out[400];
            int32_t in = static_cast<int32_t>(offered - taken), outBytes = sizeof out;
            ASSERT_EQ(io->Process(bytes + taken, &in, out, &outBytes), kOk);
            ASSERT_EQ(in % 1280, 0);
            ASSERT_EQ(outBytes, in / 1280 * 120);
            got.insert(got.end(), out, out + outBytes);
            taken += in;
        }
        EXPECT_EQ(got, expected) << "pass " << pass;
        // "Reset" restarts the stream although it answers "wrong state".
        EXPECT_EQ(io->SetProperty("Reset", 0, nullptr), kErrState);
    }
}

TEST(Siren14AudioFilter, DecodesReferenceFramesAndConcealsThroughNullInput) {
    const test::Siren14Vector v{"speech1", 16000, 24000};
    const std::vector<uint8_t> bits = test::ReadBytes(v.BitsPath());
    const std::vector<int16_t> reference = test::ReadPcm(v.DecodePath());
    ASSERT_FALSE(bits.empty()) << v.BitsPath();
    ComponentPtr io = MakeFilter(v.bitRate, v.sampleRate, kDecode);
    EXPECT_EQ(Get(io.get(), "InBufferSize", 0), 640u);
    EXPECT_EQ(Get(io.get(), "InBufferSize", 1280), 120u);
    EXPECT_EQ(Get(io.get(), "OutBufferSize", 150), 1280u);

    int32_t in = 150, out = 2000;
    std::vector<int16_t> pcm(1000);
    uint8_t scratch[150];
    // A decoding size query is driven by the output room alone: three frames fit in 2000.
    EXPECT_EQ(io->Process(scratch, &in, nullptr, &out), kOk);
    EXPECT_EQ(in, 180);
    EXPECT_EQ(out, 1920);

    in = 150, out = 2000;
    ASSERT_EQ(io->Process(bits.data(), &in, pcm.data(), &out), kOk);
    EXPECT_EQ(in, 120);
    EXPECT_EQ(out, 1280);
    for (int n = 0; n < 640; ++n) ASSERT_NEAR(pcm[n], reference[n], 1) << "sample " << n;

    // Two lost frames: a core decoder fed the same history with the error flag agrees.
    auto core = std::make_unique<Siren14DecoderState>();
    ASSERT_EQ(siren14_decoder_init(v.bitRate, v.Bandwidth(), core.get()), 0);
    std::vector<int16_t> expected(640);
    siren14_decode(bits.data(), 120, expected.data(), 1280, core.get());
    core->frameErrorFlag = 1;
    siren14_decode(nullptr, 120, expected.data(), 1280, core.get());
    in = 120, out = 1280;
    ASSERT_EQ(io->Process(nullptr, &in, pcm.data(), &out), kOk);
    EXPECT_EQ(in, 120);
    EXPECT_EQ(out, 1280);
    for (int n = 0; n < 640; ++n) ASSERT_EQ(pcm[n], expected[n]) << "sample " << n;
    EXPECT_EQ(Get(io.get(), "LastError"), 0u);
}

}  // namespace
}  // namespace zelmar
