// "DMOAECAudioIn" over the voice-capture object on the virtual device: the property-store
// writes Build and the first read make, effect switches, endpoint names, faults, odd read
// sizes, and the voice quality of its echo cancellation and noise suppression.  A PulseAudio
// monitor captured: tests/cli/echo_test_cli_test.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "dsp/PreProcessAudioFilter.h"
#include "support/Companion.h"
#include "support/Devices.h"
#include "support/SpeechMaterial.h"
#include "support/VirtualSound.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;

constexpr int32_t kBlockBytes = 640;  // 20 ms at 16 kHz mono

// The virtual device capturing a ramp, its loopback off, on auto-advancing time.
struct World : test::VirtualSound {
    World() {
        audio.SetLoopback(false);
        audio.SetScriptedInput([](uint64_t at, uint8_t* target, uint32_t bytes) {
            for (uint32_t i = 0; i < bytes; ++i) target[i] = static_cast<uint8_t>((at + i) * 37 / 5);
        });
    }
};

test::ComponentPtr Running(const test::Settings& settings = {}) { return test::Running("DMOAECAudioIn", settings); }

// Build writes the store in its order and traces only what it changes; the first read sets
// the effects (system mode 5 without "AESValue") and, finding nothing captured, returns silence.
TEST(DMOAECAudioIn, BuildAndTheFirstReadWriteThePropertyStoreInOrder) {
    const std::string feature = "SetPropertyBool(0): FEATURE_MODE is    -1 \n", ns = "SetPropertyInt(0): NS is     0(1) \n",
                      gain = "SetPropertyBool(0): MicGainBounder is     0 \n", frame = "GetPropertyInt(0): FrameSize is   160 \n",
                      mode = "SetPropertyInt(0): SYSTEM_MODE is     5(0) \n", aes0 = "GetPropertyInt(0): AES is     0 \n",
                      empty = "ProcessOutput(1) S_FALSE, 0\n", devices = "SetPropertyInt(0): DEVICE_INDEXES is ";
    struct Case {
        std::vector<std::pair<const char*, int32_t>> settings;
        std::vector<std::string> traces;
    } cases[] = {
        {{}, {devices + "65535(-1) \n", feature, ns, gain, frame, mode, aes0, empty}},
        // Render -1 and capture 0; an echo length equal to the object's own is not written.
        {{{"InDeviceNo", 0}, {"OutDeviceNo", -1}, {"AESValue", 2}, {"EchoLength", 256}},
         {devices + "-65536(-1) \n", feature, "SetPropertyInt(0): AES is     2(0) \n", ns, gain, frame,
          "GetPropertyInt(0): AES is     2 \n", empty}},
        {{{"InDeviceNo", 0}, {"EchoLength", 1024}},
         {devices + "    0(-1) \n", feature, ns, gain, "SetPropertyInt(0): EchoLength is  1024(256) \n", frame, mode, aes0, empty}},
    };
    for (const Case& c : cases) {
        World world;
        test::ComponentPtr io = test::Make("DMOAECAudioIn");
        for (const auto& [name, value] : c.settings) ASSERT_EQ(io->SetProperty(name, value, nullptr), 0) << name;
        ASSERT_EQ(io->Build(), 0);  // a second Build makes a fresh object: the same writes again
        test::CapturedTraces traces;
        ASSERT_EQ(io->Build(), 0);
        ASSERT_EQ(io->Start(), 0);
        std::vector<uint8_t> block(kBlockBytes, 0xA5);
        ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0);
        EXPECT_EQ(traces.texts(), c.traces) << c.settings.size() << " settings";
        EXPECT_EQ(std::count(block.begin(), block.end(), 0), kBlockBytes);
    }
}

// A switch changed while running reaches the object at the next read, which flushes it: the
// read then waits for new audio, so the stream loses what was held.
TEST(DMOAECAudioIn, AnEffectSwitchedWhileRunningIsWrittenAtTheNextRead) {
    World world;
    test::ComponentPtr io = Running();
    std::vector<uint8_t> block(kBlockBytes);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0);
    test::CapturedTraces traces;
    ASSERT_EQ(io->SetProperty("EnableEffect", 1, nullptr), 0);
    ASSERT_EQ(io->SetProperty("InDeviceNo", 0, nullptr), static_cast<int32_t>(0x80000001u));
    EXPECT_TRUE(traces.texts().empty());
    ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0);
    EXPECT_EQ(traces.texts(), (std::vector<std::string>{"GetPropertyInt(0): AES is     0 \n",
                                                         "SetPropertyInt(0): NS is     1(0) \n"}));
}

// A multimedia view that cannot place every endpoint leaves the endpoints in their own order
// and says so, per direction: found of listed.
TEST(DMOAECAudioIn, EndpointsTheMultimediaViewCannotPlaceAreTraced) {
    const std::string capture = pa::VirtualAudioService::CaptureDescription();
    const std::string playback = pa::VirtualAudioService::PlaybackDescription();
    struct Case {
        std::vector<std::string> in, out, traces;
    };
    const Case cases[] = {
        {{capture}, {playback}, {}},
        {{"Another microphone"}, {playback}, {"In Count MisMatch: 0:1\n"}},
        {{capture}, {}, {"Out Count MisMatch: 0:1\n"}},
        {{}, {"Speakers", "Headset"}, {"In Count MisMatch: 0:1\n", "Out Count MisMatch: 0:1\n"}},
    };
    for (const Case& c : cases) {
        World world;
        world.audio.SetWaveNames(c.in, c.out);
        test::CapturedTraces traces;
        test::ComponentPtr io = test::Make("DMOAECAudioIn");
        EXPECT_EQ(traces.texts(), c.traces) << c.in.size() << " capture, " << c.out.size() << " playback names";
        EXPECT_EQ(test::Read(io.get(), "InDeviceNum"), 1);
    }
}

// Faults and bad input end in a code (and a trace where the engine has one), never a hang.
TEST(DMOAECAudioIn, FaultsAndBadInputGiveACodeNotAHang) {
    using Op = pa::VirtualAudioService::Operation;
    struct Case {
        const char* what;
        std::function<void(World&)> before;  // before Build
        std::function<void(World&, IAudioIO*)> during;  // after ten good reads
        int32_t bytes;
        int32_t expected;
        const char* trace;
    } cases[] = {
        {"no capture device", [](World& w) { w.audio.FailNext(Op::kCreateDevice, pa::kDsErrNoDriver, 1); }, nullptr,
         kBlockBytes, static_cast<int32_t>(0x80000004u), "ProcessOutput Failed"},
        {"source gone", nullptr,
         [](World& w, IAudioIO*) { w.audio.FailNext(Op::kGetCurrentPosition, pa::kDsErrNoDriver, 100000); }, kBlockBytes,
         static_cast<int32_t>(0x80000004u), "ProcessOutput Failed"},
        {"capture stalled", nullptr, [](World& w, IAudioIO*) { w.audio.SetCursorsStalled(true); }, kBlockBytes,
         static_cast<int32_t>(0x80000005u), "ProcessOutput(2) S_FALSE"},
        {"more than the staging buffer", nullptr, nullptr, 1281, static_cast<int32_t>(0x80000003u),
         "more than the staging buffer holds"},
        {"effects switched every block", nullptr,
         [](World&, IAudioIO* io) {
             std::vector<uint8_t> block(kBlockBytes);
             for (int i = 0; i < 100; ++i) {
                 ASSERT_EQ(io->SetProperty(i % 2 ? "DisableEffect" : "EnableEffect", i % 5, nullptr), 0);
                 ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0);
             }
         },
         1280, 0, "SetPropertyInt"},
    };
    for (const Case& c : cases) {
        World world;
        if (c.before) c.before(world);
        test::CapturedTraces traces;
        test::ComponentPtr io = Running();
        std::vector<uint8_t> block(2000);
        if (c.during) {
            for (int i = 0; i < 10; ++i) ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0) << c.what;
            c.during(world, io.get());
        }
        EXPECT_EQ(io->GetData(block.data(), c.bytes), c.expected) << c.what;
        const bool traced = std::any_of(traces.texts().begin(), traces.texts().end(),
                                        [&](const std::string& t) { return t.find(c.trace) != std::string::npos; });
        EXPECT_TRUE(traced) << c.what;
    }
}

// Odd byte counts cut the stream anywhere: put together, the pieces are the stream a reader
// of whole blocks gets.
TEST(DMOAECAudioIn, OddByteCountsDeliverTheSameStream) {
    std::vector<uint8_t> whole, pieces;
    for (int32_t size : {640, 333}) {
        World world;
        test::ComponentPtr io = Running({{"AESValue", 1}});
        std::vector<uint8_t>& into = size == 640 ? whole : pieces;
        std::vector<uint8_t> block(size);
        ASSERT_EQ(io->GetData(block.data(), size), 0);  // the first read after construction: silence
        while (into.size() < 64000) {
            ASSERT_EQ(io->GetData(block.data(), size), 0);
            into.insert(into.end(), block.begin(), block.end());
        }
    }
    pieces.resize(whole.size() < pieces.size() ? whole.size() : pieces.size());
    whole.resize(pieces.size());
    // Both runs start at the same moment of the same input, but the odd reader starts its
    // stream later by what it waited for; the input is a ramp, so compare from where it matches.
    const auto at = std::search(whole.begin(), whole.end(), pieces.begin(), pieces.begin() + 64);
    ASSERT_NE(at, whole.end());
    EXPECT_TRUE(std::equal(pieces.begin(), pieces.begin() + (whole.end() - at), at));
}

// ---------------------------------------------------------------------------------------------
// Voice quality: far-end speech echoed through a simulated room (delay, decaying response,
// -10 dB) over a quiet near-end floor, and noise suppression without the canceller against the
// pre-processor's on the same noisy speech.  docs/echo.md records the figures these runs print.

constexpr int kRate = 16000;
constexpr int kFrame = kRate / 100;  // 10 ms

using Script = std::function<void(uint64_t, uint8_t*, uint32_t)>;

// `signal` as a device's little-endian byte stream, silence after its end.
Script Play(const std::vector<int16_t>& signal) {
    return [&signal](uint64_t at, uint8_t* target, uint32_t bytes) {
        for (uint32_t i = 0; i < bytes; ++i) {
            const uint64_t n = (at + i) / 2;
            const auto s = static_cast<uint16_t>(n < signal.size() ? signal[n] : 0);
            target[i] = static_cast<uint8_t>(s >> (8 * ((at + i) % 2)));
        }
    };
}

// Runs a component over the virtual device whose capture plays `mic` and whose playback
// monitor plays `far`, for the length of `mic`; `effects` are switched on after Build.
std::vector<int16_t> Capture(const std::vector<int16_t>& mic, const std::vector<int16_t>& far,
                             const std::vector<std::pair<const char*, int32_t>>& settings,
                             std::initializer_list<int32_t> effects = {}) {
    test::VirtualSound sound;
    sound.audio.SetLoopback(false);
    sound.audio.SetScriptedInput(Play(mic));
    sound.audio.SetMonitorInput(Play(far));
    test::ComponentPtr io = test::Make("DMOAECAudioIn");
    for (const auto& [name, value] : settings) EXPECT_EQ(io->SetProperty(name, value, nullptr), 0) << name;
    EXPECT_EQ(io->Build(), 0);
    for (int32_t effect : effects) EXPECT_EQ(io->SetProperty("EnableEffect", effect, nullptr), 0);
    EXPECT_EQ(io->Start(), 0);
    std::vector<int16_t> out(mic.size() / kFrame * kFrame);
    for (std::size_t at = 0; at + kBlockBytes / 2 <= out.size(); at += kBlockBytes / 2) {
        EXPECT_EQ(io->GetData(out.data() + at, kBlockBytes), 0);
    }
    return out;
}

double FramePower(const std::vector<int16_t>& s, std::size_t frame) {
    double sum = 0;
    for (std::size_t i = frame * kFrame; i < (frame + 1) * kFrame && i < s.size(); ++i) sum += double(s[i]) * s[i];
    return sum / kFrame;
}

// Far-end speech at its recorded level (peaks at -3 dBFS) reaches the capture through a room
// of `delayMs` (30 taps every 2 ms decaying by 60 dB in 60 ms, scaled to -10 dB), over
// Gaussian noise at -60 dBFS.  ERLE = capture power over output power, summed over the
// frames whose echo is within 20 dB of its loudest throughout +-100 ms (so the output's own
// latency does not matter); convergence = the end of the first 250 ms from which every
// later 250 ms of such frames stays at 20 dB or more.  The object finds the delay itself,
// whatever echo length (the tail the canceller models) the host asks for.  Without the
// canceller the same measure gives 0 dB.
TEST(DMOAECAudioInQuality, CancelsFarEndSpeechThroughARoom) {
    const std::vector<int16_t> speech = test::LoadSpeech(kRate);
    ASSERT_GE(speech.size(), std::size_t{12} * kRate) << "missing " << test::SpeechPath(kRate);
    const std::size_t samples = std::size_t{12} * kRate;
    const std::vector<int16_t> far(speech.begin(), speech.begin() + samples);
    const std::vector<float> noise = test::WhiteNoise(samples, 20261206);
    struct Case {
        int delayMs;
        int32_t echoLengthMs;  // 0: the object's own (256 ms)
        bool canceller;
        double minErleDb, maxErleDb;
    } cases[] = {
        {30, 0, false, -1, 1},  {0, 0, true, 30, 99},     {30, 0, true, 30, 99},     {120, 0, true, 30, 99},
        {250, 0, true, 30, 99}, {250, 128, true, 30, 99}, {120, 1024, true, 30, 99},
    };
    for (const Case& c : cases) {
        const auto first = std::size_t(c.delayMs) * kRate / 1000;
        std::vector<double> taps;
        double energy = 0;
        for (int k = 0; k < 30; ++k) {
            taps.push_back(std::pow(10.0, -3.0 * k / 30) * (k % 2 ? -1 : 1));
            energy += taps.back() * taps.back();
        }
        std::vector<int16_t> echo(samples), mic(samples);
        for (std::size_t n = 0; n < samples; ++n) {
            double v = 0;
            for (std::size_t k = 0; k < taps.size() && first + 32 * k <= n; ++k) v += taps[k] * far[n - first - 32 * k];
            echo[n] = static_cast<int16_t>(std::lround(v * std::sqrt(0.1 / energy)));
            mic[n] = static_cast<int16_t>(std::lround(echo[n] + noise[n] * 32768.0 * 1e-3));
        }
        std::vector<std::pair<const char*, int32_t>> settings = {{"AESValue", c.canceller ? 2 : 0}};
        if (c.echoLengthMs != 0) settings.push_back({"EchoLength", c.echoLengthMs});
        const std::vector<int16_t> out = Capture(mic, far, settings);
        const std::size_t frames = out.size() / kFrame;
        double loudest = 0;
        for (std::size_t f = 0; f < frames; ++f) loudest = std::max(loudest, FramePower(echo, f));
        std::vector<bool> active(frames, false);
        for (std::size_t f = 10; f + 10 < frames; ++f) {
            active[f] = true;
            for (std::size_t g = f - 10; g <= f + 10; ++g) active[f] = active[f] && FramePower(echo, g) > loudest / 100;
        }
        auto erleDb = [&](std::size_t from, std::size_t to) {  // over frames [from, to)
            double in = 0, left = 0;
            for (std::size_t f = from; f < to; ++f) {
                if (!active[f]) continue;
                in += FramePower(mic, f);
                left += FramePower(out, f);
            }
            return in == 0 ? 99.0 : 10 * std::log10(in / std::max(left, 1e-3));
        };
        const double finalDb = erleDb(frames - 400, frames);  // the last 4 s
        std::size_t converged = frames;
        while (converged >= 25 && erleDb(converged - 25, converged) >= 20) converged -= 25;
        std::printf("echo path %d ms, echo length %d ms%s: ERLE %.1f dB over the last 4 s, >= 20 dB from %.2f s\n",
                    c.delayMs, c.echoLengthMs, c.canceller ? "" : ", no canceller", finalDb, double(converged) / 100);
        EXPECT_GE(finalDb, c.minErleDb) << c.delayMs << " ms, " << c.echoLengthMs;
        EXPECT_LE(finalDb, c.maxErleDb) << c.delayMs << " ms, " << c.echoLengthMs;
        if (c.canceller) {
            EXPECT_LT(converged, std::size_t{200}) << c.delayMs << " ms, " << c.echoLengthMs;
        }
    }
}

// A render device's monitor captured both as the microphone and as the reference: the same
// noise bursts in both, the reference 5 ms behind (its stream was served after the
// microphone's), no room.  The object must find an echo that comes before its far end.
TEST(DMOAECAudioInQuality, CancelsAMonitorWhoseReferenceComesLate) {
    const std::size_t samples = std::size_t{6} * kRate, late = kRate / 200;
    const std::vector<float> noise = test::WhiteNoise(samples, 7);
    std::vector<int16_t> far(samples), mic(samples);
    for (std::size_t n = 0; n < samples; ++n) {
        const bool burst = n % (kRate * 3 / 4) < kRate / 2;  // 0.5 s on, 0.25 s off
        far[n] = burst ? static_cast<int16_t>(std::lround(noise[n] * 3277.0)) : int16_t{0};
    }
    for (std::size_t n = 0; n + late < samples; ++n) mic[n] = far[n + late];
    const std::vector<int16_t> out = Capture(mic, far, {{"AESValue", 2}});
    double in = 0, left = 0;
    for (std::size_t f = out.size() / kFrame / 2; f < out.size() / kFrame; ++f) {
        in += FramePower(mic, f);
        left += FramePower(out, f);
    }
    // 29 dB here; 5 dB when only echoes after their far end are looked for.
    EXPECT_GE(10 * std::log10(in / std::max(left, 1e-3)), 20.0);
}

// Without the canceller (system mode 5) the object's noise suppression gains, on speech at
// 5 dB SNR in white noise, within 1 dB of the segmental SNR the pre-processor's gains on the
// same input (both outputs aligned by their best-matching delay).
TEST(DMOAECAudioInQuality, NoiseSuppressionMatchesThePreProcessors) {
    const std::vector<int16_t> clean = test::LoadSpeech(kRate);
    ASSERT_FALSE(clean.empty()) << "missing " << test::SpeechPath(kRate);
    const std::vector<bool> labels = test::SpeechLabels(clean, kRate);
    const std::vector<int16_t> noisy = test::MixAtSnr(clean, labels, kRate, 5.0, 20261205);
    const std::vector<int16_t> silence;

    std::vector<int16_t> filtered(noisy.size());
    {
        test::VirtualPlatform platform;
        ASSERT_TRUE(test::RegisterRealCompanion(platform.libraries));
        CPreProcessAudioFilter filter;
        ASSERT_EQ(filter.SetProperty("SamplesPerSec", kRate, nullptr), kOk);
        ASSERT_EQ(filter.SetProperty("EnableNS", 1, nullptr), kOk);
        ASSERT_EQ(filter.Build(), kOk);
        ASSERT_EQ(filter.Start(), kOk);
        for (std::size_t at = 0; at + kFrame <= noisy.size(); at += kFrame) {
            int32_t inBytes = 2 * kFrame, outBytes = 2 * kFrame;
            ASSERT_GE(filter.Process(noisy.data() + at, &inBytes, filtered.data() + at, &outBytes), 0);
        }
    }
    const std::vector<int16_t> suppressed = Capture(noisy, silence, {}, {1});
    auto gainDb = [&](const std::vector<int16_t>& out) {
        const std::size_t delay = test::BestDelay(clean, out, kRate / 20);
        return test::SegmentalSnrDb(clean, out, labels, kRate, delay) - test::SegmentalSnrDb(clean, noisy, labels, kRate, 0);
    };
    const double object = gainDb(suppressed), reference = gainDb(filtered);
    std::printf("segmental SNR gain at 5 dB: voice-capture object %.2f dB, pre-processor %.2f dB\n", object, reference);
    EXPECT_GE(object, reference - 1.0);
}

}  // namespace
}  // namespace zelmar
