// Values at and past the edges of what the components take, through the public interface.
// Each is refused with its result code or carried through to a defined result: never an
// allocation the size of the value, an exception crossing the interface, or an undefined
// conversion (the sanitizer build checks the last).
#include <gtest/gtest.h>

#include <zelmar/zelmar_split.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <new>
#include <vector>

#include "framework/AudioComponent.h"
#include "framework/GuardedComponent.h"
#include "support/DspReference.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

using Samples = std::vector<int16_t>;

// trunc(v + 0.5) toward zero, clamped to 16 bits; not a number is silence.
int16_t AddHalfAndTruncate(double v) {
    v += 0.5;
    if (std::isnan(v)) return 0;
    return static_cast<int16_t>(v > 32767.0 ? 32767.0 : v < -32768.0 ? -32768.0 : std::trunc(v));
}

// One section's samples, written back as trunc(x 32767 + 0.5): the noise gate's high-pass at
// `hz` (kind 1) takes x = s / 32767, the tone control's 1 kHz peaking band at `gainDb` (kind 4)
// x = s * (1 / 32767).  At 12 000 Hz and 16 000 samples/s the high-pass is unstable: the
// output clips, then the section's state overflows to not-a-number.
Samples Section(const Samples& in, int kind, double hz, float gainDb = 0.0f) {
    test::RefBiquad section;
    section.Design(kind, hz, 16000, gainDb);
    const float scale = float(1.0 / 32767.0);
    Samples out;
    for (int16_t s : in) {
        const float x = kind == 1 ? float(s / 32767.0) : float(s) * scale;
        out.push_back(AddHalfAndTruncate(double(section.Step(x)) * 32767.0));
    }
    return out;
}

// The process's virtual size in bytes.
long VirtualBytes() {
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    return pages * 4096;
}

struct Setting {
    const char* name;
    int32_t value;
};

enum class Then {
    kStart,            // Build gives 0, Start gives `expected`
    kProcess,          // Build and Start give 0; Process of a sine gives `reference` (if any),
                       // then `readAfter` (if any) reads `expected`
    kNoLargeMapping,   // the setting mapped less than 64 MB
};

struct Case {
    const char* component;
    std::vector<Setting> setup;  // set first, each accepted
    Setting tried;  // accepted
    Then then;
    int32_t expected = 0;
    std::function<Samples(const Samples&)> reference = nullptr;
    const char* readAfter = nullptr;
};

constexpr int32_t kInvalid = ZELMAR_E_INVALIDARG;

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        // The look-ahead ("DelayTime", ms) is sized at Start: up to 10 000 ms at the highest rate.
        {"AmplifierAudioFilter", {{"SamplesPerSec", 384000}}, {"DelayTime", 10000}, Then::kStart, 0},
        {"AmplifierAudioFilter", {}, {"DelayTime", 1}, Then::kStart, 0},
        {"PreProcessAudioFilter", {{"SamplesPerSec", 384000}}, {"DelayTime", 10000}, Then::kStart, 0},
        {"PreProcessAudioFilter", {}, {"DelayTime", 0}, Then::kStart, 0},
        // The rates the dynamics can be set up for, 1 000..384 000 Hz, checked by Start.
        {"AmplifierAudioFilter", {}, {"SamplesPerSec", 999}, Then::kStart, kInvalid},
        {"AmplifierAudioFilter", {}, {"SamplesPerSec", 1000}, Then::kStart, 0},
        {"AmplifierAudioFilter", {}, {"SamplesPerSec", 384000}, Then::kStart, 0},
        {"AmplifierAudioFilter", {}, {"SamplesPerSec", 384001}, Then::kStart, kInvalid},
        {"PreProcessAudioFilter", {}, {"SamplesPerSec", 999}, Then::kStart, kInvalid},
        {"PreProcessAudioFilter", {}, {"SamplesPerSec", 384001}, Then::kStart, kInvalid},
        // A kept-only table of value / 10 bytes, the value taken as unsigned: 429 MB asked.
        {"PreProcessAudioFilter", {}, {"NGParam", -1}, Then::kNoLargeMapping},
        {"PreProcessAudioFilter", {}, {"NGParam", INT_MAX}, Then::kNoLargeMapping},
        // Designs no rate can carry still give defined samples.
        {"NoiseGateAudioFilter", {{"SamplesPerSec", 16000}}, {"CutOff", 12000}, Then::kProcess, 0,
         [](const Samples& in) { return Section(in, 1, 12000); }},
        {"NoiseGateAudioFilter", {{"SamplesPerSec", 16000}}, {"CutOff", 7999}, Then::kProcess, 0,
         [](const Samples& in) { return Section(in, 1, 7999); }},
        // The automatic threshold follows that overflow to infinity, and reads as full scale.
        {"NoiseGateAudioFilter", {{"SamplesPerSec", 16000}, {"Auto", 1}}, {"CutOff", 12000}, Then::kProcess, 255,
         nullptr, "Threshold"},
        // A fade as long as any setting makes it, 2^52 samples: each sample after the first
        // comes back one step nearer zero (a block shorter than a 10 ms frame always fades).
        {"NoiseGateAudioFilter", {{"SamplesPerSec", INT_MAX}}, {"FadeoutTime", INT_MAX}, Then::kProcess, 0,
         [](const Samples& in) {
             Samples out = in;
             for (size_t i = 1; i < out.size(); ++i) out[i] = int16_t(out[i] - (out[i] > 0) + (out[i] < 0));
             return out;
         }},
        {"ToneControlAudioFilter", {{"SamplesPerSec", 16000}}, {"MidGain", INT_MAX}, Then::kProcess, 0,
         [](const Samples& in) { return Section(in, 4, 1000, float(INT_MAX / 100.0)); }},
        {"ToneControlAudioFilter", {{"SamplesPerSec", 16000}}, {"MidGain", INT_MIN}, Then::kProcess, 0,
         [](const Samples& in) { return Section(in, 4, 1000, float(INT_MIN / 100.0)); }},
        {"ToneControlAudioFilter", {{"SamplesPerSec", 16000}}, {"MidGain", -9600}, Then::kProcess, 0,
         [](const Samples& in) { return Section(in, 4, 1000, -96.0f); }},
    };
    return cases;
}

TEST(ValueRanges, EachValueIsRefusedOrCarriedToADefinedResult) {
    test::VirtualPlatform platform;  // no companion library: the components' own arithmetic
    const Samples input = test::Tone(1600, 12000, 440, 16000);
    for (const Case& c : Cases()) {
        SCOPED_TRACE(std::string(c.component) + " " + c.tried.name + "=" + std::to_string(c.tried.value));
        test::ComponentPtr io = test::Make(c.component);
        ASSERT_NE(io, nullptr);
        int32_t scratch = 0;  // a setting may write its previous value through `data`
        for (const Setting& s : c.setup) ASSERT_EQ(io->SetProperty(s.name, s.value, &scratch), 0) << s.name;
        const long mappedBefore = VirtualBytes();
        ASSERT_EQ(io->SetProperty(c.tried.name, c.tried.value, &scratch), 0);
        switch (c.then) {
            case Then::kStart:
                ASSERT_EQ(io->Build(), 0);
                EXPECT_EQ(io->Start(), c.expected);
                break;
            case Then::kProcess: {
                ASSERT_EQ(io->Build(), 0);
                ASSERT_EQ(io->Start(), 0);
                Samples out(input.size());
                int32_t inBytes = int32_t(input.size() * 2), outBytes = inBytes;
                ASSERT_GE(io->Process(input.data(), &inBytes, out.data(), &outBytes), 0);
                if (c.reference) {
                    const Samples expected = c.reference(input);
                    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], expected[i]) << "sample " << i;
                }
                if (c.readAfter != nullptr) {
                    int32_t value = 0;
                    ASSERT_EQ(io->GetProperty(c.readAfter, 0, &value), 0);
                    EXPECT_EQ(value, c.expected) << c.readAfter;
                }
                break;
            }
            case Then::kNoLargeMapping:
                EXPECT_LT(VirtualBytes() - mappedBefore, 64L << 20);
                break;
        }
    }
}

// Whatever a component throws is a result code at the interface, for every operation; a
// component that cannot be made is a null, as an unknown name is.
class CThrowing : public CAudioComponent<IAudioIOSplitSource> {
public:
    int32_t Start() override { throw std::bad_alloc(); }
    int32_t Stop() override { throw std::bad_alloc(); }
    int32_t Build() override { throw std::bad_alloc(); }
    int32_t SetProperty(const char*, int32_t, void*) override { throw std::bad_alloc(); }
    int32_t GetProperty(const char*, int32_t, void*) override { throw std::bad_alloc(); }
    int32_t GetData(void*, int32_t) override { throw std::bad_alloc(); }
    int32_t PutData(const void*, int32_t) override { throw std::bad_alloc(); }
    int32_t Process(const void*, int32_t*, void*, int32_t*) override { throw 42; }
    int32_t GetDataSplit(void*, void*, int32_t) override { throw std::bad_alloc(); }
};

class CUnconstructible : public CThrowing {
public:
    CUnconstructible() { throw std::bad_alloc(); }
};

TEST(ValueRanges, NothingThrownCrossesTheInterface) {
    IAudioIO* io = CreateGuarded<CThrowing>();
    ASSERT_NE(io, nullptr);
    int32_t value = 0, inBytes = 2, outBytes = 2;
    int16_t sample = 0;
    EXPECT_EQ(io->Build(), ZELMAR_E_PLATFORM);
    EXPECT_EQ(io->Start(), ZELMAR_E_PLATFORM);
    EXPECT_EQ(io->Stop(), ZELMAR_E_PLATFORM);
    EXPECT_EQ(io->SetProperty("x", 1, nullptr), ZELMAR_E_PLATFORM);
    EXPECT_EQ(io->GetProperty("x", 0, &value), ZELMAR_E_PLATFORM);
    EXPECT_EQ(io->GetData(&sample, 2), ZELMAR_E_PLATFORM);
    EXPECT_EQ(io->PutData(&sample, 2), ZELMAR_E_PLATFORM);
    EXPECT_EQ(io->Process(&sample, &inBytes, &sample, &outBytes), ZELMAR_E_PLATFORM);
    EXPECT_EQ(static_cast<IAudioIOSplitSource*>(io)->GetDataSplit(&sample, &sample, 2), ZELMAR_E_PLATFORM);
    EXPECT_EQ(ZelmarDisposeComponent(io), 0);
    EXPECT_EQ(CreateGuarded<CUnconstructible>(), nullptr);
}

}  // namespace
}  // namespace zelmar
