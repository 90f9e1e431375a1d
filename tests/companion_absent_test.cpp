// When the companion library is missing, incomplete or damaged: the loader refuses a damaged
// file before the dynamic loader can map it, the engine says what is missing, and the
// pre-processor still measures levels and gates on them.
#include <gtest/gtest.h>

#include <link.h>
#include <unistd.h>

#include <zelmar/zelmar.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <ZelmarEC/ZelmarEC.h>
#include "dsp/PreProcessAudioFilter.h"
#include "platform/DynamicLibrary.h"
#include "platform/Platform.h"
#include "support/Companion.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

void WriteAll(const std::string& path, const char* bytes, std::size_t count) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes, static_cast<std::streamsize>(count));
}

// Where the last byte of any segment the program headers place lies, read here from the
// header fields directly.
std::size_t EndOfSegments(const std::vector<uint8_t>& image) {
    ElfW(Ehdr) header;
    std::memcpy(&header, image.data(), sizeof header);
    std::size_t end = 0;
    for (int i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) segment;
        std::memcpy(&segment, image.data() + header.e_phoff + std::size_t(i) * sizeof segment, sizeof segment);
        end = std::max<std::size_t>(end, segment.p_offset + segment.p_filesz);
    }
    return end;
}

// A copy of the real companion cut at various points, and files that are no library at all:
// each is refused with its reason, never handed to the dynamic loader (which dies of SIGBUS
// on a file cut inside a segment).  A copy that lacks only what no segment holds (the section
// headers at the end) still loads.
TEST(CompanionLoading, DamagedFilesAreRefusedBeforeTheyAreMapped) {
    const auto image = test::ReadFile(ZELMAR_COMPANION_PATH);
    ASSERT_GT(image.size(), 4096u) << "libZelmarEC.so not built";
    const std::size_t segmentsEnd = EndOfSegments(image);
    ASSERT_LT(segmentsEnd, image.size());

    struct Case {
        const char* what;
        std::size_t keep;       // bytes of the real library kept
        const char* replaced;   // or this text instead
        const char* reason;     // part of the refusal, null: it loads
    };
    const Case cases[] = {
        {"whole", image.size(), nullptr, nullptr},
        {"without its section headers", segmentsEnd, nullptr, nullptr},
        {"one byte short of its last segment", segmentsEnd - 1, nullptr, "is cut short"},
        {"cut in half", image.size() / 2 < segmentsEnd ? image.size() / 2 : segmentsEnd / 2, nullptr, "is cut short"},
        {"cut inside its program headers", 100, nullptr, "program headers pass the end"},
        {"cut inside its ELF header", 40, nullptr, "too short for an ELF header"},
        {"empty", 0, nullptr, "too short for an ELF header"},
        {"a text file", 0, "this is not a library, although it is long enough to hold an ELF header\n",
         "not an ELF file"},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        const std::string path = dir.path + "/" + companion::kLibraryFileName;
        WriteAll(path, c.replaced ? c.replaced : reinterpret_cast<const char*>(image.data()),
                 c.replaced ? std::strlen(c.replaced) : c.keep);
        auto loader = platform::CreateDlopenLibraryLoader({dir.path});
        std::string why;
        auto library = loader->Load(companion::kLibraryFileName, &why);
        if (c.reason == nullptr) {
            ASSERT_NE(library, nullptr) << c.what << ": " << why;
            EXPECT_NE(library->Symbol("NR_Filter"), nullptr) << c.what;
            EXPECT_EQ(platform::CheckSharedObject(path), "") << c.what;
        } else {
            EXPECT_EQ(library, nullptr) << c.what;
            EXPECT_NE(why.find(path), std::string::npos) << c.what << ": " << why;
            EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
        }
    }
    // Nothing there: the directories looked in are named.
    test::TempDir empty;
    std::string why;
    EXPECT_EQ(platform::CreateDlopenLibraryLoader({empty.path})->Load(companion::kLibraryFileName, &why), nullptr);
    EXPECT_NE(why.find("was not found"), std::string::npos) << why;
    EXPECT_NE(why.find(empty.path), std::string::npos) << why;
}

// ZelmarCompanionStatus names the functions the engine would run without, and says nothing
// when all it requires is there; the text is cut to the caller's buffer.  (A damaged file is
// named too: the command line's recordings test reads that from zelmar chain.)
TEST(CompanionLoading, StatusNamesWhatIsMissing) {
    struct Case {
        std::set<std::string> omitted;  // from the real library, through a virtual loader
        const char* expected;           // part of the text; "" when all is there
    };
    for (const Case& c : {Case{{}, ""}, Case{{"NR_Filter", "IPPS_IIR"}, "lacks NR_Filter, IPPS_IIR"},
                          Case{{"NR_Configure", "IPPS_AutoCorrNorm32f"}, ""}}) {
        test::VirtualPlatform platform;
        ASSERT_TRUE(test::RegisterRealCompanion(platform.libraries, c.omitted));
        char text[512];
        std::memset(text, 'z', sizeof text);
        EXPECT_EQ(ZelmarCompanionStatus(text, sizeof text), *c.expected == 0 ? ZELMAR_OK : ZELMAR_E_PLATFORM) << text;
        EXPECT_TRUE(*c.expected == 0 ? *text == 0 : std::string(text).find(c.expected) != std::string::npos) << text;
        if (*c.expected == 0) continue;
        char small[8];
        std::memset(small, 'z', sizeof small);
        EXPECT_EQ(ZelmarCompanionStatus(small, 6), ZELMAR_E_PLATFORM);
        EXPECT_EQ(std::strlen(small), 5u);
        EXPECT_EQ(small[6], 'z') << "wrote past the size given";
        EXPECT_EQ(ZelmarCompanionStatus(nullptr, 100), ZELMAR_E_PLATFORM);
    }
}

std::vector<int16_t> Tone(std::size_t count, double amplitude, double hz, int rate) {
    std::vector<int16_t> s(count);
    for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * double(i) / rate)));
    return s;
}

int32_t PeakOf(const int16_t* samples, std::size_t count) {
    int32_t peak = 0;
    for (std::size_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(int32_t{samples[i]}));
    return std::min(peak, 32767);
}

// The automatic level gate over tone, near-silence and tone, with and without the companion:
// the silence decisions are the same (they read the 16-bit input), so the calls line up one
// for one; every open block returns its input's peak, computed here, and the pre-roll its
// output's peak raised to 2.  Without the companion the levels used to be 0, which a host
// reads as "muted" while the audio passes.
TEST(PreProcessWithoutCompanion, LevelsAndTheLevelGateWorkAsWithIt) {
    const int rate = 16000;
    const std::size_t block = 160;
    std::vector<int16_t> input = Tone(rate, 12000, 300, rate);
    const auto quiet = Tone(rate * 3, 40, 300, rate);
    input.insert(input.end(), quiet.begin(), quiet.end());
    const auto loud = Tone(rate, 9000, 500, rate);
    input.insert(input.end(), loud.begin(), loud.end());

    struct Call { int32_t level; bool consumed; int32_t outputPeak; };
    auto run = [&](bool withCompanion) {
        test::VirtualPlatform platform;
        if (withCompanion) {
            EXPECT_TRUE(test::RegisterRealCompanion(platform.libraries));
        }
        CPreProcessAudioFilter filter;
        filter.SetProperty("SamplesPerSec", rate, nullptr);
        filter.SetProperty("Auto", 1, nullptr);
        filter.SetProperty("GateTime", 200, nullptr);
        filter.SetProperty("FadeoutTime", 100, nullptr);
        EXPECT_EQ(filter.CompanionLoaded(), withCompanion);
        EXPECT_EQ(filter.Build(), 0);
        EXPECT_EQ(filter.Start(), 0);
        std::vector<Call> calls;
        std::vector<int16_t> out(block);
        for (std::size_t at = 0; at + block <= input.size(); at += block) {
            for (int repeat = 0; repeat < 20; ++repeat) {
                int32_t inBytes = block * 2, outBytes = block * 2;
                std::fill(out.begin(), out.end(), int16_t{0});
                const int32_t level = filter.Process(input.data() + at, &inBytes, out.data(), &outBytes);
                EXPECT_GE(level, 0);
                int32_t maxLevel = -1;
                EXPECT_EQ(filter.GetProperty("MaxLevel", 0, &maxLevel), 0);
                calls.push_back({level, inBytes == 0, PeakOf(out.data(), block)});
                const bool fromRing = level >= 2 && inBytes != 0;
                if (!fromRing && level > 1) {
                    EXPECT_EQ(level, PeakOf(input.data() + at, block)) << withCompanion << " at " << at;
                    EXPECT_EQ(maxLevel, level);
                }
                if (inBytes == 0) break;
            }
        }
        return calls;
    };
    const auto with = run(true);
    const auto without = run(false);
    ASSERT_EQ(without.size(), with.size());
    int muted = 0, open = 0, preRoll = 0;
    for (std::size_t i = 0; i < with.size(); ++i) {
        EXPECT_EQ(without[i].consumed, with[i].consumed) << i;
        if (with[i].level >= 2 && !with[i].consumed) {
            // From the pre-roll ring: the output's own peak (the two conversions may differ by
            // one step), at least 2.
            ++preRoll;
            EXPECT_NEAR(without[i].level, with[i].level, 1) << i;
            EXPECT_EQ(without[i].level, std::max(without[i].outputPeak, 2)) << i;
        } else {
            EXPECT_EQ(without[i].level, with[i].level) << i;
            with[i].level == 0 ? ++muted : ++open;
        }
    }
    EXPECT_GT(muted, 100);  // the quiet part was held back ...
    EXPECT_GT(open, 150);   // ... and the tones went through
    EXPECT_GT(preRoll, 0);  // the second tone began with the pre-roll
}

}  // namespace
}  // namespace zelmar
