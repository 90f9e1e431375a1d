#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/DebugOutput.h"
#include "framework/Factory.h"
#include "framework/Format.h"
#include "framework/Properties.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using test::Make;

TEST(Factory, MatchesWholeNamesIgnoringAsciiCaseOnly) {
    std::size_t count = 0;
    const FactoryEntry* table = FactoryTable(&count);
    for (std::size_t i = 0; i < count; ++i) {
        if (table[i].create == nullptr) continue;  // not part of this build yet
        std::string lower = table[i].name, upper = table[i].name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_NE(Make(lower.c_str()), nullptr) << lower;
        EXPECT_NE(Make(upper.c_str()), nullptr) << upper;
        EXPECT_EQ(Make((std::string(table[i].name) + "x").c_str()), nullptr) << table[i].name;
        // A shorter name matches only when it is a name of its own ("DSoundAudioOut" of "DSoundAudioOut2").
        const std::string shorter = std::string(table[i].name).substr(0, std::strlen(table[i].name) - 1);
        bool named = false;
        for (std::size_t j = 0; j < count; ++j) named = named || AsciiEqualIgnoreCase(table[j].name, shorter.c_str());
        EXPECT_TRUE(named || Make(shorter.c_str()) == nullptr) << shorter;
    }
    EXPECT_EQ(ZelmarCreateComponent(""), nullptr);
    EXPECT_EQ(ZelmarCreateComponent(nullptr), nullptr);
    EXPECT_EQ(ZelmarCreateComponent("RIFFAudioIn\xC4"), nullptr);
    // Non-ASCII bytes are not folded: a Latin-1 capital does not match its small letter.
    EXPECT_EQ(ZelmarCreateComponent("N\xDCLL"), nullptr);
    // Each call makes a new component; disposal accepts null.
    IAudioIO* a = ZelmarCreateComponent("RIFFAudioOut");
    IAudioIO* b = ZelmarCreateComponent("riffaudioout");
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(ZelmarDisposeComponent(a), 0);
    EXPECT_EQ(ZelmarDisposeComponent(b), 0);
    EXPECT_EQ(ZelmarDisposeComponent(nullptr), 0);
}

TEST(PcmFormatCheck, AcceptsExactlyConsistentPlainPcm) {
    for (uint32_t rate : {8000u, 11025u, 16000u, 22050u, 32000u, 44100u, 48000u, 96000u}) {
        for (uint16_t channels : {1, 2}) {
            for (uint16_t bits : {8, 16}) {
                EXPECT_TRUE(IsValidPcmFormat(MakePcmFormat(rate, channels, bits))) << rate << " " << channels << " " << bits;
            }
        }
    }
    const WAVEFORMATEX good = MakePcmFormat(16000, 1, 16);
    auto with = [&](auto change) { WAVEFORMATEX f = good; change(f); return IsValidPcmFormat(f); };
    EXPECT_FALSE(with([](WAVEFORMATEX& f) { f.wFormatTag = 2; }));
    EXPECT_FALSE(with([](WAVEFORMATEX& f) { f.nChannels = 3; }));
    EXPECT_FALSE(with([](WAVEFORMATEX& f) { f.nChannels = 0; }));
    EXPECT_FALSE(with([](WAVEFORMATEX& f) { f.wBitsPerSample = 24; }));
    EXPECT_FALSE(with([](WAVEFORMATEX& f) { f.nSamplesPerSec = 12345; f.nAvgBytesPerSec = 24690; }));
    EXPECT_FALSE(with([](WAVEFORMATEX& f) { f.nAvgBytesPerSec += 1; }));
    EXPECT_FALSE(with([](WAVEFORMATEX& f) { f.nBlockAlign = 4; }));
    // A non-zero cbSize does not matter to plain PCM.
    EXPECT_TRUE(with([](WAVEFORMATEX& f) { f.cbSize = 22; }));
}

// Each trace reaches the sink whole; a message longer than the buffer is cut to 255
// characters, never overrun; with no sink tracing is silent and harmless.
TEST(DebugOutput, SinkReceivesEachTraceWholeAndLongOnesCut) {
    {
        test::CapturedTraces traces;
        DebugPrintf("Setup [%d] %s\n", 3, "ok");
        OutputDebugText("plain text\n");
        DebugPrintf("%s", std::string(1000, 'x').c_str());
        EXPECT_EQ(traces.texts(), (std::vector<std::string>{"Setup [3] ok\n", "plain text\n", std::string(255, 'x')}));
    }
    DebugPrintf("nobody listens %d\n", 1);
}

}  // namespace
}  // namespace zelmar
