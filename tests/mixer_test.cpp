#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "framework/Format.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::ComponentPtr;
using test::Make;

// Samples as plain ints (8-bit ones unsigned), one vector per buffer.
struct Pcm {
    int channels, bits, rate;
    std::vector<uint8_t> bytes;
    int Frames() const { return static_cast<int>(bytes.size()) / (channels * bits / 8); }
    int Get(int frame, int channel) const {
        const int index = frame * channels + channel;
        if (bits == 8) return bytes[index];
        int16_t s;
        std::memcpy(&s, &bytes[2 * index], 2);
        return s;
    }
    void Set(int frame, int channel, long v) {
        const int index = frame * channels + channel;
        if (bits == 8) {
            bytes[index] = static_cast<uint8_t>(v);
        } else {
            const int16_t s = static_cast<int16_t>(v);
            std::memcpy(&bytes[2 * index], &s, 2);
        }
    }
};

long C16(long v) { return v > 32767 ? 32767 : v < -32768 ? -32768 : v; }
long C8(long v) { return v > 255 ? 255 : v < 0 ? 0 : v; }

// Mixing written out from the operation table: `in` into `bus`, gains in 1/1024, the far
// ear's samples supplied by `delayed` (mono to stereo, 16 bits, unequal gains only).
void ReferenceMix(const Pcm& in, Pcm& bus, long g1, long g2, const std::vector<int>& delayed) {
    const unsigned step = static_cast<unsigned>(in.rate) * 1024u / static_cast<unsigned>(bus.rate);
    const bool average = in.channels == 1 && bus.channels == 1 && in.bits == 8 && bus.bits == 8 && step == 2048;
    auto op = [&](long a, long o, long g) -> long {
        if (in.bits == 8 && bus.bits == 8) return C8((((a - 128) * g) >> 10) + o);
        if (in.bits == 16 && bus.bits == 16) return C16(((a * g) >> 10) + o);
        if (in.bits == 8) return C16(((((a - 128) * g) >> 10) * 256) + o);
        return C8((((((a * g) >> 10) + 32767) >> 8) + o) - 128);
    };
    for (int k = 0; k < bus.Frames(); ++k) {
        const int i = static_cast<int>((static_cast<unsigned long>(k) * step) >> 10);
        if (average) {
            bus.Set(k, 0, C8((((((in.Get(2 * k, 0) + in.Get(2 * k + 1, 0)) >> 1) - 128) * g1) >> 10) + bus.Get(k, 0)));
        } else if (in.channels == bus.channels) {
            for (int c = 0; c < in.channels; ++c) bus.Set(k, c, op(in.Get(i, c), bus.Get(k, c), c == 0 ? g1 : g2));
        } else if (in.channels == 1) {
            const bool delay = in.bits == 16 && bus.bits == 16 && g1 != g2;
            const long first = delay && g1 < g2 ? delayed[i] : in.Get(i, 0);
            const long second = delay && g1 > g2 ? delayed[i] : in.Get(i, 0);
            bus.Set(k, 0, op(first, bus.Get(k, 0), g1));
            bus.Set(k, 1, op(second, bus.Get(k, 1), g2));
        } else if (in.bits == 8) {
            const long v = ((((in.Get(i, 0) - 128) * g1) >> 10) + (((in.Get(i, 1) - 128) * g2) >> 10)) / 2;
            if (bus.bits == 8) bus.Set(k, 0, C8(v + bus.Get(k, 0)));
            else bus.Set(k, 0, C16(((((v + 128) & 0xFF) - 128) * 256) + bus.Get(k, 0)));
        } else {
            const long v = (((in.Get(i, 0) * g1) >> 10) + ((in.Get(i, 1) * g2) >> 10)) / 2;
            if (bus.bits == 16) bus.Set(k, 0, C16(v + bus.Get(k, 0)));
            else bus.Set(k, 0, C8((((v + 32767) >> 8) + bus.Get(k, 0)) - 128));
        }
    }
}

Pcm RandomPcm(int channels, int bits, int rate, int frames, std::mt19937& random) {
    Pcm pcm{channels, bits, rate, std::vector<uint8_t>(static_cast<std::size_t>(frames * channels * bits / 8))};
    // Mostly loud values so that saturation happens often, some near silence.
    std::uniform_int_distribution<int> byte(0, 255), coin(0, 3);
    for (auto& b : pcm.bytes) b = static_cast<uint8_t>(coin(random) == 0 ? 128 : byte(random));
    return pcm;
}

void SetFormats(IAudioIO* mixer, const Pcm& in, const Pcm& out) {
    WAVEFORMATEX inFormat = MakePcmFormat(in.rate, in.channels, in.bits);
    WAVEFORMATEX outFormat = MakePcmFormat(out.rate, out.channels, out.bits);
    ASSERT_EQ(mixer->SetProperty("InWaveFormat", sizeof inFormat, &inFormat), 0);
    ASSERT_EQ(mixer->SetProperty("OutWaveFormat", sizeof outFormat, &outFormat), 0);
    ASSERT_EQ(mixer->Build(), 0);
}

TEST(Mixer, AllSixteenChannelAndWidthModesSaturateAndCountAsDefined) {
    std::mt19937 random(21);
    const std::pair<int, int> rateList[] = {{16000, 16000}, {16000, 8000}, {8000, 16000}, {44100, 16000}};
    const std::pair<int, int> gainList[] = {{1024, 1024}, {1843, 512}, {300, 2600}};  // in 1/1024
    for (int mode = 0; mode < 16 * 4 * 3; ++mode) {
        const int inChannels = 1 + (mode & 1), outChannels = 1 + (mode >> 1 & 1);
        const int inBits = mode & 4 ? 16 : 8, outBits = mode & 8 ? 16 : 8;
        const auto [inRate, outRate] = rateList[mode / 16 % 4];
        const auto [gain1, gain2] = gainList[mode / 64];
        SCOPED_TRACE(testing::Message() << inChannels << "x" << inBits << " -> " << outChannels << "x" << outBits << " rates "
                                        << inRate << "->" << outRate << " gains " << gain1 << "/" << gain2);
        ComponentPtr mixer = Make("MixerAudioFilter");
        const int outFrames = outRate / 50, inFrames = inRate / 50;  // 20 ms blocks
        Pcm in = RandomPcm(inChannels, inBits, inRate, inFrames, random);
        Pcm bus = RandomPcm(outChannels, outBits, outRate, outFrames, random);
        SetFormats(mixer.get(), in, bus);
        ASSERT_EQ(mixer->SetProperty("Amplitude", gain1 * 100 / 1024, &random), 0);
        ASSERT_EQ(mixer->SetProperty("Amplitude2", gain2 * 100 / 1024, &random), 0);
        const long g1 = static_cast<long>(static_cast<unsigned>(gain1 * 100 / 1024) * 1024u / 100u);
        const long g2 = static_cast<long>(static_cast<unsigned>(gain2 * 100 / 1024) * 1024u / 100u);
        Pcm expected = bus;
        std::vector<int> delayed(inFrames);
        // With no "Angle" the delay is 0, so the delayed samples are the input's own.
        for (int i = 0; i < inFrames; ++i) delayed[i] = in.Get(i, 0);
        ReferenceMix(in, expected, g1, g2, delayed);
        int32_t inBytes = static_cast<int32_t>(in.bytes.size()), outBytes = static_cast<int32_t>(bus.bytes.size());
        ASSERT_EQ(mixer->Process(in.bytes.data(), &inBytes, bus.bytes.data(), &outBytes), 0);
        EXPECT_EQ(inBytes, static_cast<int32_t>(in.bytes.size()));  // not written back
        ASSERT_EQ(bus.bytes, expected.bytes);
        const unsigned step = static_cast<unsigned>(inRate) * 1024u / static_cast<unsigned>(outRate);
        const bool average = inChannels == 1 && outChannels == 1 && inBits == 8 && outBits == 8 && step == 2048;
        const unsigned consumed = average ? 2u * outFrames : (static_cast<unsigned>(outFrames) * step) >> 10;
        EXPECT_EQ(uint32_t(test::Read(mixer.get(), "TotalIn")), consumed * inChannels * inBits / 8);
    }
}

TEST(Mixer, AnglePlacesAMonoSourceWithLevelAndTimeDifferenceAcrossBlocks) {
    const int rate = 16000;
    ComponentPtr mixer = Make("MixerAudioFilter");
    Pcm in{1, 16, rate, {}}, bus{2, 16, rate, {}};
    SetFormats(mixer.get(), in, bus);
    int32_t data = 0;
    ASSERT_EQ(mixer->SetProperty("Angle", 100, &data), 0);
    EXPECT_EQ(test::Read(mixer.get(), "Amplitude"), 1177 * 100 / 1024);
    EXPECT_EQ(test::Read(mixer.get(), "Amplitude2"), 870 * 100 / 1024);

    // Several seconds in blocks of varying length: the right ear hears the source 10 samples
    // late and quieter, continuously across blocks.
    std::mt19937 random(5);
    std::uniform_int_distribution<int> sample(-32768, 32767), length(1, 600);
    std::vector<int> source(rate * 4);
    for (int& s : source) s = sample(random);
    std::size_t at = 0;
    while (at < source.size()) {
        const int frames = static_cast<int>(std::min<std::size_t>(length(random), source.size() - at));
        Pcm block{1, 16, rate, std::vector<uint8_t>(static_cast<std::size_t>(frames) * 2)};
        for (int i = 0; i < frames; ++i) block.Set(i, 0, source[at + i]);
        Pcm mixed = RandomPcm(2, 16, rate, frames, random);
        Pcm expected = mixed;
        std::vector<int> delayed(frames);
        for (int i = 0; i < frames; ++i) delayed[i] = at + i >= 10 ? source[at + i - 10] : 0;
        ReferenceMix(block, expected, 1177, 870, delayed);
        int32_t inBytes = frames * 2, outBytes = frames * 4;
        ASSERT_EQ(mixer->Process(block.bytes.data(), &inBytes, mixed.bytes.data(), &outBytes), 0);
        ASSERT_EQ(mixed.bytes, expected.bytes) << "block at " << at;
        at += static_cast<std::size_t>(frames);
    }

    // Angle 0 mirrors it; 50 is the centre with no delay.
    ASSERT_EQ(mixer->SetProperty("Angle", 0, &data), 0);
    EXPECT_EQ(test::Read(mixer.get(), "Amplitude"), 870 * 100 / 1024);
    ASSERT_EQ(mixer->SetProperty("Angle", 50, nullptr), ZELMAR_E_INVALIDARG);  // stored nonetheless
    EXPECT_EQ(test::Read(mixer.get(), "Amplitude2"), 100);
}

TEST(Mixer, NullInputShortInputsFormatsAndWhatIsMixedBeforeAndAfterBuild) {
    ComponentPtr mixer = Make("MixerAudioFilter");
    Pcm in8{1, 8, 16000, {}}, bus8{1, 8, 8000, {}};
    SetFormats(mixer.get(), in8, bus8);
    int32_t outBytes = 2, inBytes = 4;
    std::vector<uint8_t> cleared = {1, 2, 3};
    ASSERT_EQ(mixer->Process(nullptr, nullptr, cleared.data(), &outBytes), 0);
    EXPECT_EQ(cleared, (std::vector<uint8_t>{128, 128, 3}));

    ComponentPtr up = Make("MixerAudioFilter");
    Pcm in16{1, 16, 8000, {}}, bus16{1, 16, 16000, {}};
    SetFormats(up.get(), in16, bus16);
    const int16_t source[] = {30000, -5};
    int16_t mixed[4] = {};
    int32_t size = 0;
    ASSERT_EQ(up->GetProperty("InBufferSize", 640, &size), 0);
    EXPECT_EQ(size, 320);
    // An input too short for the output asked for is refused, not read past.
    inBytes = 2, outBytes = 8;
    EXPECT_EQ(up->Process(source, &inBytes, mixed, &outBytes), ZELMAR_E_INVALIDARG);

    ASSERT_EQ(up->SetProperty("Amplitude", 50, nullptr), ZELMAR_E_INVALIDARG);
    EXPECT_EQ(test::Read(up.get(), "Amplitude"), 50);  // stored nonetheless

    // Formats and what is mixed before and after Build.
    mixer = Make("MixerAudioFilter");
    int16_t buffer[8] = {};
    inBytes = 8, outBytes = 8;
    EXPECT_EQ(mixer->Process(buffer, &inBytes, buffer, &outBytes), ZELMAR_E_STATE);  // no formats
    WAVEFORMATEX bad = MakePcmFormat(16000, 1, 16);
    bad.nBlockAlign = 4;
    EXPECT_EQ(mixer->SetProperty("InWaveFormat", 18, &bad), ZELMAR_E_FORMAT);
    EXPECT_EQ(mixer->SetProperty("InWaveFormat", 18, nullptr), ZELMAR_E_INVALIDARG);
    WAVEFORMATEX mono = MakePcmFormat(16000, 1, 16), stereo = MakePcmFormat(16000, 2, 16);
    ASSERT_EQ(mixer->SetProperty("InWaveFormat", 18, &mono), 0);
    ASSERT_EQ(mixer->SetProperty("OutWaveFormat", 18, &stereo), 0);
    // Formats set but not built: nothing is mixed.
    ASSERT_EQ(mixer->Process(buffer, &inBytes, buffer, &outBytes), 0);
    EXPECT_EQ(test::Read(mixer.get(), "TotalOut"), 0);
    ASSERT_EQ(mixer->Build(), 0);
    // Formats changed without a rebuild no longer match the mixing modes.
    ASSERT_EQ(mixer->SetProperty("OutWaveFormat", 18, &mono), 0);
    EXPECT_EQ(mixer->Process(buffer, &inBytes, buffer, &outBytes), ZELMAR_E_STATE);
    ASSERT_EQ(mixer->SetProperty("OutWaveFormat", 18, &stereo), 0);
    // A block longer than the 80 ms delay line is refused in mono-to-stereo 16-bit mode.
    std::vector<int16_t> longBlock(16000 * 81 / 1000), wide(2 * longBlock.size());
    inBytes = static_cast<int32_t>(longBlock.size() * 2);
    outBytes = static_cast<int32_t>(wide.size() * 2);
    EXPECT_EQ(mixer->Process(longBlock.data(), &inBytes, wide.data(), &outBytes), ZELMAR_E_INVALIDARG);

    uint8_t block[146];
    std::memset(block, 0xAB, sizeof block);
    ASSERT_EQ(mixer->GetProperty("InWaveFormat", 18, block), 0);
    EXPECT_EQ(std::memcmp(block, &mono, 18), 0);
    EXPECT_EQ(block[18], 0xAB);  // nothing past the size asked for
    ASSERT_EQ(mixer->GetProperty("InWaveFormat", 0, block), 0);  // whole block
    EXPECT_EQ(block[18], 0);
}

}  // namespace
}  // namespace zelmar
