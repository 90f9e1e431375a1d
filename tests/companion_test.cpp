// The companion library (IIR design, vector operations, noise reduction) and the engine's
// wrappers around it, with the library present, absent, missing names, or damaged; the
// pre-processor's levels and level gate without it.
#include <gtest/gtest.h>

#include <link.h>

#include <zelmar/zelmar.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <ZelmarEC/ZelmarEC.h>
#include "companion/AudioIIR.h"
#include "companion/AudioIppUtil.h"
#include "companion/AudioNoiseSuppressor.h"
#include "dsp/PreProcessAudioFilter.h"
#include "platform/DynamicLibrary.h"
#include "platform/Platform.h"
#include "support/Companion.h"
#include "support/SpeechMaterial.h"
#include "support/DspReference.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using namespace companion;

template <typename Function>
Function Real(const char* name) {
    return reinterpret_cast<Function>(test::RealCompanionSymbol(name));
}

// The filter as textbook difference equations (direct form I, double), sections cascaded, from
// the bilinear transform of the Butterworth prototype with the cutoff pre-warped.
class ReferenceButterworth {
public:
    ReferenceButterworth(bool highPass, int order, double cutoffHz, int rateHz) : thirdOrder_(order == 3) {
        const double k = std::tan(M_PI * cutoffHz / rateHz);
        // (s + 1): LP k(1 + z^-1) / ((1 + k) + (k - 1) z^-1); HP (1 - z^-1) / (same).
        first_.b = {highPass ? 1.0 : k, highPass ? -1.0 : k, 0.0};
        first_.a = {1.0 + k, k - 1.0, 0.0};
        // (s^2 + s + 1)
        const double kk = k * k;
        second_.b = highPass ? std::array<double, 3>{1.0, -2.0, 1.0} : std::array<double, 3>{kk, 2.0 * kk, kk};
        second_.a = {1.0 + k + kk, 2.0 * (kk - 1.0), 1.0 - k + kk};
    }
    double Step(double x) { return thirdOrder_ ? second_.Step(first_.Step(x)) : first_.Step(x); }

private:
    struct Section {
        std::array<double, 3> b{}, a{};
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        double Step(double x) {
            const double y = (b[0] * x + b[1] * x1 + b[2] * x2 - a[1] * y1 - a[2] * y2) / a[0];
            x2 = x1, x1 = x, y2 = y1, y1 = y;
            return y;
        }
    };
    bool thirdOrder_;
    Section first_, second_;
};

// Filtered in calls of every length, the output must equal the reference's, rounded and
// clamped, sample for sample.
TEST(CompanionIir, MatchesTheDifferenceEquationsSampleForSampleOnLongSignals) {
    auto alloc = Real<IppsIirAllocFn>("IPPS_IIRAlloc");
    auto release = Real<IppsIirFreeFn>("IPPS_IIRFree");
    auto iir = Real<IppsIirFn>("IPPS_IIR");
    ASSERT_NE(alloc, nullptr) << "libZelmarEC.so not built";
    // Unknown kinds and orders, a zero rate or cutoff, no state.
    EXPECT_EQ(alloc(2, 1, 100, 8000), nullptr);
    EXPECT_EQ(alloc(0, 2, 100, 8000), nullptr);
    EXPECT_EQ(alloc(0, 1, 100, 0), nullptr);
    EXPECT_EQ(alloc(0, 1, 0, 8000), nullptr);
    EXPECT_EQ(iir(nullptr, nullptr, 10, nullptr), kIppsBadArgument);
    struct Case { int kind, order, cutoffHz, rateHz; };
    const Case cases[] = {{kIirKindHighPass, 1, 100, 32000}, {kIirKindLowPass, 1, 14000, 32000},
                          {kIirKindLowPass, 3, 1000, 16000}, {kIirKindHighPass, 3, 50, 48000},
                          {kIirKindLowPass, 3, 3400, 8000},  {kIirKindHighPass, 1, 20, 8000}};
    std::mt19937 random(11);
    std::normal_distribution<double> noise(0.0, 6000.0);
    for (const Case& c : cases) {
        // 10 s: loud noise with a slow swing and stretches of saturation, so the filter's
        // rounding and clamping are exercised over a long run of blocks.
        const size_t total = size_t(c.rateHz) * 10;
        std::vector<short> input(total);
        for (size_t i = 0; i < total; ++i) {
            const double swing = 20000.0 * std::sin(2.0 * M_PI * 3.0 * double(i) / c.rateHz);
            input[i] = static_cast<short>(std::clamp(std::lround(noise(random) + swing), -32768L, 32767L));
        }
        void* state = alloc(c.kind, c.order, c.cutoffHz, c.rateHz);
        ASSERT_NE(state, nullptr);
        std::vector<short> output(total);
        // Calls of every length from 1 to 23 samples and whole 10 ms blocks, in turn.
        for (size_t done = 0, call = 0; done < total; ++call) {
            const size_t n = std::min(call % 3 == 0 ? size_t(c.rateHz / 100) : call % 23 + 1, total - done);
            ASSERT_EQ(iir(input.data() + done, output.data() + done, int(n), state), kIppsOk);
            done += n;
        }
        release(state);
        ReferenceButterworth reference(c.kind == kIirKindHighPass, c.order, c.cutoffHz, c.rateHz);
        size_t nearTies = 0;
        for (size_t i = 0; i < total; ++i) {
            const double y = reference.Step(input[i]);
            const double expected = std::clamp(std::round(y), -32768.0, 32767.0);
            // Only where the exact value sits within rounding distance of a half step may the
            // two computations round differently.
            if (std::abs(std::abs(y - std::trunc(y)) - 0.5) < 1e-7) {
                ++nearTies;
                ASSERT_NEAR(output[i], expected, 1.0) << i;
                continue;
            }
            ASSERT_EQ(output[i], expected) << "kind " << c.kind << " order " << c.order << " sample " << i;
        }
        EXPECT_LT(nearTies, total / 1000);
    }
}

// The peak and conversion functions are checked on every 16-bit value through the
// pre-processing filter, which uses them for its plain path.
TEST(CompanionVector, AutocorrelationMatchesTheDirectSumAtEveryLag) {
    auto autoCorrNorm = Real<IppsAutoCorrNorm32fFn>("IPPS_AutoCorrNorm32f");
    auto autoCorr = Real<IppsAutoCorrFn>("IPPS_AutoCorr");
    ASSERT_NE(autoCorr, nullptr);
    // Every lag against the direct sum in double, for short frames (direct sums) and long ones
    // (through the spectrum), with lag counts below, at and beyond the frame length.  The
    // spectrum's rounding error is spread over all lags, so it is bounded against lag 0.
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 1000.0f);
    struct Shape { int length, lags; };
    for (Shape shape : {Shape{1, 1}, Shape{7, 3}, Shape{50, 80}, Shape{160, 40}, Shape{240, 100}, Shape{480, 200}, Shape{481, 200},
                        Shape{512, 257}, Shape{512, 258}, Shape{480, 400},
                        Shape{960, 400}, Shape{960, 1500}, Shape{1323, 551}, Shape{2048, 2048}}) {
        std::vector<float> frame(size_t(shape.length));
        // A periodic part makes the correlation swing, as it does for voiced speech.
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = noise(random) + 3000.0f * std::sin(0.05f * float(i));
        std::vector<float> normalised(size_t(shape.lags), -1.0f), raw(size_t(shape.lags), -1.0f);
        ASSERT_EQ(autoCorrNorm(frame.data(), shape.length, normalised.data(), shape.lags), kIppsOk);
        ASSERT_EQ(autoCorr(frame.data(), shape.length, raw.data(), shape.lags), kIppsOk);
        double energy = 0;
        for (float v : frame) energy += double(v) * v;
        for (int lag = 0; lag < shape.lags; ++lag) {
            double sum = 0;
            for (int i = 0; i + lag < shape.length; ++i) sum += double(frame[size_t(i)]) * frame[size_t(i + lag)];
            if (lag >= shape.length) {
                ASSERT_EQ(raw[size_t(lag)], 0.0f) << shape.length << " lag " << lag;
                ASSERT_EQ(normalised[size_t(lag)], 0.0f) << shape.length << " lag " << lag;
                continue;
            }
            ASSERT_NEAR(raw[size_t(lag)], sum, 1e-6 * energy) << shape.length << " lag " << lag;
            ASSERT_NEAR(normalised[size_t(lag)], sum / shape.length, 1e-6 * energy / shape.length)
                << shape.length << " lag " << lag;
        }
        // Lag 0 alone is the very value the full call returns (the pitch detector relies on
        // it to skip frames below its energy floor), through the spectrum or not.
        float lagZero = -1.0f;
        ASSERT_EQ(autoCorrNorm(frame.data(), shape.length, &lagZero, 1), kIppsOk);
        EXPECT_EQ(lagZero, normalised[0]) << shape.length << " x " << shape.lags;
    }
    std::vector<float> normalised(4);
    std::vector<float> frame(8, 1.0f);
    EXPECT_EQ(autoCorrNorm(frame.data(), 0, normalised.data(), 4), kIppsBadArgument);
}

// NR_ through the raw functions.
struct RealReducer {
    RealReducer(int rateHz, int factor, int method = 0) {
        EXPECT_EQ(Real<NrInitializeFn>("NR_Initialize")(&handle), 0);
        configure = Real<NrConfigureFn>("NR_Configure");
        filter = Real<NrFilterFn>("NR_Filter");
        EXPECT_EQ(configure(handle, "Factor", factor), 0);
        EXPECT_EQ(configure(handle, "Frequency", rateHz), 0);
        EXPECT_EQ(configure(handle, "Method", method), 0);
        EXPECT_EQ(Real<NrStartFn>("NR_Start")(handle), 0);
    }
    ~RealReducer() { Real<NrDisposeFn>("NR_Dispose")(handle); }
    void* handle = nullptr;
    NrConfigureFn configure;
    NrFilterFn filter;
};

// Factor 0 is ten milliseconds of plain delay; at factor 10 both methods take steady noise
// down at every rate.  Split into calls of any size, the input gives the same output.  Bad
// settings and arguments are refused.
TEST(CompanionNoiseReduction, FactorZeroDelaysBothMethodsAttenuateAndBadArgumentsAreRefused) {
    ASSERT_NE(test::RealCompanionSymbol("NR_Filter"), nullptr);
    struct Case { int method, rate, factor; };
    std::vector<Case> cases = {{0, 44100, 0}};
    for (int method : {0, 1}) {
        for (int rate : {8000, 11025, 16000, 22050, 32000, 44100, 48000}) cases.push_back({method, rate, 10});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "method " << c.method << " rate " << c.rate << " factor " << c.factor);
        std::vector<short> input;  // white noise of 2000 RMS
        for (float v : test::WhiteNoise(size_t(c.rate) * 3, unsigned(c.rate + c.factor))) input.push_back(short(v * 2000));
        std::vector<short> whole(input.size()), split(input.size());
        RealReducer a(c.rate, c.factor, c.method), b(c.rate, c.factor, c.method);
        ASSERT_EQ(a.filter(a.handle, int(input.size() * 2), input.data(), whole.data()), 0);
        for (size_t done = 0, step = 3; done < input.size(); done += step, step = step * 5 % 1201 + 1) {
            const size_t n = std::min(step, input.size() - done);
            ASSERT_EQ(b.filter(b.handle, int(n * 2), input.data() + done, split.data() + done), 0);
        }
        ASSERT_EQ(whole, split);
        if (c.factor == 0) {
            EXPECT_EQ(Real<NrGetAttributeFn>("NR_GetAttribute")(a.handle, kNrAttributeFrameBytes), 160);
            const size_t delay = size_t(c.rate / 100);
            for (size_t i = 0; i < input.size(); ++i) ASSERT_EQ(whole[i], i < delay ? 0 : input[i - delay]) << i;
            continue;
        }
        double inEnergy = 0, outEnergy = 0;
        for (size_t i = input.size() / 2; i < input.size(); ++i) {
            inEnergy += double(input[i]) * input[i];
            outEnergy += double(whole[i]) * whole[i];
        }
        const double attenuationDb = 10 * std::log10(inEnergy / std::max(outEnergy, 1.0));
        // WebRTC cannot run at rates whose 10 ms is not whole at its internal rates; it
        // then passes the signal unchanged.
        if (c.method == 1 && c.rate % 100 != 0) continue;
        EXPECT_GT(attenuationDb, 6.0);
    }
    // Refused settings and arguments.
    RealReducer reducer(16000, 10);
    const std::pair<const char*, int> refused[] = {{"Frequency", 7999}, {"Frequency", 48001}, {"Factor", -1},
                                                   {"Method", 2},         {"Bogus", 1},          {nullptr, 1}};
    for (auto [name, value] : refused) EXPECT_EQ(reducer.configure(reducer.handle, name, value), -1) << value;
    short buffer[4] = {};
    EXPECT_EQ(reducer.filter(reducer.handle, 3, buffer, buffer), -1);
    EXPECT_EQ(reducer.filter(reducer.handle, -2, buffer, buffer), -1);
    EXPECT_EQ(reducer.filter(nullptr, 2, buffer, buffer), -1);
    EXPECT_EQ(reducer.filter(reducer.handle, 0, nullptr, nullptr), 0);
}

// ---- wrappers ----

TEST(CompanionWrappers, EachWrapperLoadsItsOwnHandleAndNeedsItsRequiredNames) {
    {
        test::VirtualPlatform platform;
        ASSERT_TRUE(test::RegisterRealCompanion(platform.libraries));
        CAudioNoiseSuppressor suppressor;
        CAudioIIR iir;
        EXPECT_TRUE(suppressor.IsLoaded() && iir.IsLoaded() && CAudioIppUtil().IsLoaded());
        EXPECT_EQ(suppressor.FrameBytes(), 160);
        EXPECT_EQ(platform.libraries.LoadCount(kLibraryFileName), 3);
        // The IIR wrapper filters in place once it has state; a second Allocate frees the first
        // (ASan checks the leak).  Without state a call fails and changes nothing.
        std::vector<int16_t> samples(8000, 10000);
        EXPECT_EQ(iir.Filter(samples.data(), 64), -1);
        ASSERT_TRUE(iir.Allocate(kIirKindHighPass, 1, 100, 8000) && iir.Allocate(kIirKindHighPass, 1, 100, 8000));
        EXPECT_EQ(iir.Filter(samples.data(), 8000), kIppsOk);
        EXPECT_EQ(samples[0], 9622);  // b0 = 1/(1 + tan(pi/80)) = 0.96220 of a step
        EXPECT_EQ(samples[7999], 0);  // a high-pass removes DC
    }
    // With any one name missing, exactly the wrappers that require it stay unloaded; without
    // the library ("") none loads.  An unloaded wrapper fails every call and changes nothing.
    const std::set<std::string> suppressorNeeds = {"NR_Initialize", "NR_Start",   "NR_Stop",
                                                   "NR_Filter",     "NR_Dispose", "NR_GetAttribute"};
    const std::set<std::string> iirNeeds = {"IPPS_IIRAlloc", "IPPS_IIR", "IPPS_IIRFree"};
    const std::set<std::string> utilNeeds = {"IPPS_MaxAbs16s", "IPPS_Max16s",         "IPPS_MulC16s",
                                             "IPPS_MulC16sI",  "IPPS_Add16s",         "IPPS_Add16sI",
                                             "IPPS_Convert_32f16s", "IPPS_Convert_16s32f", "IPPS_AutoCorr"};
    std::vector<std::string> missingNames = {""};
    missingNames.insert(missingNames.end(), test::CompanionNames().begin(), test::CompanionNames().end());
    for (const std::string& missing : missingNames) {
        test::VirtualPlatform platform;
        if (!missing.empty()) test::RegisterRealCompanion(platform.libraries, {missing});
        CAudioNoiseSuppressor suppressor;
        CAudioIIR iir;
        CAudioIppUtil util;
        EXPECT_EQ(suppressor.IsLoaded(), !missing.empty() && suppressorNeeds.count(missing) == 0) << missing;
        EXPECT_EQ(iir.IsLoaded(), !missing.empty() && iirNeeds.count(missing) == 0) << missing;
        EXPECT_EQ(util.IsLoaded(), !missing.empty() && utilNeeds.count(missing) == 0) << missing;
        // An optional function that is missing just fails.
        float f[4] = {1, 2, 3, 4};
        EXPECT_EQ(util.AutoCorrNorm(f, 4, f, 2), missing != "IPPS_AutoCorrNorm32f" && util.IsLoaded()) << missing;
        int16_t samples[5] = {1, -2, 3, -4, 5}, copy[5] = {}, peak = 7;
        EXPECT_TRUE(iir.IsLoaded() || (!iir.Allocate(kIirKindLowPass, 1, 100, 8000) && iir.Filter(samples, 5) == -1));
        if (!suppressor.IsLoaded()) {
            suppressor.Configure("Factor", 3);  // no effect, no crash
            suppressor.Start();
            EXPECT_EQ(suppressor.Filter(samples, copy, 10), -1);
            EXPECT_EQ(std::memcmp(samples, copy, sizeof samples), 0);
        }
        EXPECT_TRUE(util.IsLoaded() || (!util.MaxAbs(samples, 5, &peak) && peak == 0 && !util.ToFloat(samples, f, 4, 15) &&
                                        !util.ToInt16(f, samples, 4, -15)));
    }
}

// A scripted noise reducer: frame F = 6 bytes, output = input + 1, and a record of calls.
struct FakeReducer {
    static inline int frameBytes = 6;
    static inline int initializeResult = 0;
    static inline int largestCall = 0;
    static inline bool misaligned = false;
    static inline int disposed = 0;
    static int Initialize(void** handle) { *handle = &frameBytes; return initializeResult; }
    static int Start(void*) { return 0; }
    static int Stop(void*) { return 0; }
    static int Dispose(void*) { ++disposed; return 0; }
    static int GetAttribute(void*, int) { return frameBytes; }
    static int Filter(void*, int bytes, const short* in, short* out) {
        largestCall = std::max(largestCall, bytes);
        if (bytes % frameBytes != 0) misaligned = true;
        for (int i = 0; i < bytes / 2; ++i) out[i] = static_cast<short>(in[i] + 1);
        return 0;
    }
    static void Register(platform::VirtualLibraryLoader& loader) {
        largestCall = 0;
        misaligned = false;
        loader.Register(kLibraryFileName, {{"NR_Initialize", reinterpret_cast<void*>(&Initialize)},
                                           {"NR_Start", reinterpret_cast<void*>(&Start)},
                                           {"NR_Stop", reinterpret_cast<void*>(&Stop)},
                                           {"NR_Filter", reinterpret_cast<void*>(&Filter)},
                                           {"NR_Dispose", reinterpret_cast<void*>(&Dispose)},
                                           {"NR_GetAttribute", reinterpret_cast<void*>(&GetAttribute)}});
    }
};

TEST(CompanionWrappers, StagingQueuesOneFrameSplitsLargeBlocksAndAFailedStartLeavesItInert) {
    test::VirtualPlatform platform;
    FakeReducer::Register(platform.libraries);
    CAudioNoiseSuppressor suppressor;
    ASSERT_TRUE(suppressor.IsLoaded());
    // Blocks of odd sample counts (never a multiple of 3 samples), one far beyond 20 frames.
    const int blockSamples[] = {1, 2, 4, 5, 7, 100, 301, 5, 2, 1000, 1};
    std::vector<int16_t> input, output;
    int16_t next = 100;
    for (int count : blockSamples) {
        std::vector<int16_t> block(static_cast<size_t>(count)), out(static_cast<size_t>(count), -1);
        for (auto& s : block) s = next++;
        EXPECT_EQ(suppressor.Filter(block.data(), out.data(), count * 2), 0);
        input.insert(input.end(), block.begin(), block.end());
        output.insert(output.end(), out.begin(), out.end());
    }
    // One frame (3 samples) of silence ahead, then every input sample + 1, in order.
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(output[i], 0);
    for (size_t i = 3; i < output.size(); ++i) ASSERT_EQ(output[i], input[i - 3] + 1) << i;
    EXPECT_FALSE(FakeReducer::misaligned);
    EXPECT_LE(FakeReducer::largestCall, CAudioNoiseSuppressor::kStagingFrames * 6);

    // A whole number of frames goes straight through, without delay.
    int16_t frames[6] = {1, 2, 3, 4, 5, 6}, out[6];
    EXPECT_EQ(suppressor.Filter(frames, out, 12), 0);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[5], 7);

    // A failed initialisation or a bad frame length leaves the suppressor inert; a handle that
    // was made is disposed of, never leaked.
    for (const auto& [initResult, frameBytes] : {std::pair{7, 6}, {0, 0}, {0, -6}, {0, 5}}) {
        FakeReducer::initializeResult = initResult, FakeReducer::frameBytes = frameBytes;
        const int disposedBefore = FakeReducer::disposed;
        {
            CAudioNoiseSuppressor suppressor;
            EXPECT_FALSE(suppressor.IsLoaded()) << initResult << " " << frameBytes;
            EXPECT_TRUE(initResult == 0 || suppressor.LoadResult() == initResult) << suppressor.LoadResult();
        }
        EXPECT_EQ(FakeReducer::disposed, disposedBefore + (initResult == 0 ? 1 : 0)) << frameBytes;
    }
    FakeReducer::initializeResult = 0;
    FakeReducer::frameBytes = 6;
}

// ---------------------------------------------------------------------------------------------
// When the companion library is missing, incomplete or damaged: the loader refuses a damaged
// file before the dynamic loader can map it, the engine says what is missing, and the
// pre-processor still measures levels and gates on them.

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
    // Without directories the system's are searched; unknown or empty names find nothing.
    auto system = platform::CreateDlopenLibraryLoader();
    auto libm = system->Load("libm.so.6");
    ASSERT_NE(libm, nullptr);
    EXPECT_EQ(reinterpret_cast<double (*)(double)>(libm->Symbol("cos"))(0.0), 1.0);
    EXPECT_TRUE(libm->Symbol("no_such_symbol_here") == nullptr && libm->Symbol(nullptr) == nullptr);
    EXPECT_TRUE(system->Load("libZelmarNoSuchLibrary.so") == nullptr && system->Load("") == nullptr);
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
    std::vector<int16_t> input = test::Tone(rate, 12000, 300, rate);
    const auto quiet = test::Tone(rate * 3, 40, 300, rate);
    input.insert(input.end(), quiet.begin(), quiet.end());
    const auto loud = test::Tone(rate, 9000, 500, rate);
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
