// DSoundAudioInOut: settings reaching the inner capture and playback, the fallback to separate
// devices and the traces of each failure, a Build after a failed one, the host starting the
// inner components itself, and the echo of what plays removed from what is captured: on the
// virtual device's loopback (virtual time) and through a PulseAudio null sink and its monitor,
// whose server is then killed under the running pair.  The pair's buffer sizes are checked
// with the capture's in dsound_gen2_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/Result.h"
#include "platform/audio/PulseAudio.h"
#include "support/Devices.h"
#include "support/PrivateSoundServer.h"
#include "support/SoundServerSink.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
using Op = pa::VirtualAudioService::Operation;
constexpr int32_t kRate = 16000, kBlockSamples = 160, kBlockBytes = 2 * kBlockSamples;  // 10 ms blocks

IAudioIO* Inner(IAudioIO* io, const char* side) {
    intptr_t address = 0;
    EXPECT_EQ(io->GetProperty(side, 0, &address), kOk) << side;
    return reinterpret_cast<IAudioIO*>(address);
}

void StartInner(IAudioIO* io) {
    for (const char* side : {"AudioIn", "AudioOut"}) ASSERT_EQ(Inner(io, side)->Start(), kOk) << side;
}

// The median level of 100 ms windows over seconds [from, to): a glitch of a loaded machine
// spoils a window, not the measure.
double LevelDb(const std::vector<int16_t>& x, size_t from, size_t to) {
    std::vector<double> windows;
    for (size_t at = from * kRate; at < to * kRate; at += kRate / 10) {
        double sum = 0;
        for (size_t i = at; i < at + kRate / 10; ++i) sum += double(x[i]) * x[i];
        windows.push_back(10 * std::log10(sum / (kRate / 10) + 1e-9));
    }
    std::nth_element(windows.begin(), windows.begin() + windows.size() / 2, windows.end());
    return windows[windows.size() / 2];
}

// White noise of 3300 RMS (70.4 dB), block after block from one seed.
void FarEnd(std::mt19937& random, std::vector<int16_t>* block) {
    std::normal_distribution<double> noise(0.0, 3300.0);
    for (int16_t& s : *block) s = static_cast<int16_t>(std::lround(std::clamp(noise(random), -32000.0, 32000.0)));
}

TEST(DSoundInOut, SettingsReachBothSidesAndTheHostStartsThem) {
    test::VirtualSound sound;
    const int owners = pa::LiveOwnerHandleCount();
    {
        test::ComponentPtr io = test::Running("DSoundAudioInOut", {{"SamplesPerSec", 8000}, {"Channels", 2}, {"BlockSamples", 80},
                                                                   {"InDeviceNo", 0}, {"OutDeviceNo", 0}}, false);
        IAudioIO* in = Inner(io.get(), "AudioIn");
        IAudioIO* out = Inner(io.get(), "AudioOut");
        EXPECT_EQ(test::Read(in, "InDeviceNo") + test::Read(out, "OutDeviceNo"), 0);
        EXPECT_EQ(test::Read(out, "DXErrorCodeSub"), 0);  // a DSoundAudioOut2
        EXPECT_EQ(test::Read(io.get(), "NotifySize"), 0);
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Build(), kOk);  // the same inner components, the same owner of its own
        EXPECT_EQ(Inner(io.get(), "AudioIn"), in);
        EXPECT_EQ(pa::LiveOwnerHandleCount(), owners + 1);
        const WAVEFORMATEX expected{1, 2, 8000, 32000, 4, 16, 0};
        for (IAudioIO* side : {io.get(), in, out}) {
            WAVEFORMATEX format{};
            ASSERT_EQ(side->GetProperty("WaveFormat", sizeof format, &format), kOk);
            EXPECT_EQ(std::memcmp(&format, &expected, sizeof format), 0);
            EXPECT_EQ(test::Read(side, "NotifySize"), 320);
        }
        // Its own Start starts nothing: the data calls answer the idle inner components.
        ASSERT_EQ(io->Start(), kOk);
        std::vector<uint8_t> block(320);
        EXPECT_EQ(io->GetData(block.data(), 320), kErrState);
        EXPECT_EQ(io->PutData(block.data(), 320), kErrState);
        EXPECT_EQ(io->SetProperty("SamplesPerSec", 16000, nullptr), kErrState);  // running
        EXPECT_EQ(io->SetProperty("EnableEffect", 0, nullptr), kOk);  // taken; no duplex flag: unforwarded
        StartInner(io.get());
        EXPECT_EQ(io->PutData(block.data(), 320), 320);
        EXPECT_EQ(io->GetData(block.data(), 320), 320);
        EXPECT_EQ(test::Read(io.get(), "TotalIn") + test::Read(io.get(), "TotalOut"), 640);
    }
    EXPECT_EQ(pa::LiveOwnerHandleCount(), owners);
}

// Without the flag, or when the pair cannot be opened, each side opens its own device without
// effects: the echo canceller's switch then answers "no interface".  A failing inner Build
// fails the Build (traced) and leaves the component Created; the next Build works.
TEST(DSoundInOut, FallbackAndFailuresAreTracedAndTheNextBuildWorks) {
    const struct {
        const char* label;
        bool duplex;
        Op fail;
        int32_t inBufferMs;
        const char* trace;
        int32_t echoSwitch;  // the answer to "EnableEffect" 0 while capturing
    } cases[] = {
        {"flag off", false, Op::kCount, 200, nullptr, kOk},
        {"pair", true, Op::kCount, 200, nullptr, kOk},
        {"pair refused", true, Op::kCreateDevice, 200, "DSoundAudioInOut DirectSoundFullDuplexCreate8 Error\n",
         pa::kDsErrNoInterface},
        {"capture refused", false, Op::kCount, 0, "DSoundAudioInOut - AudioIn Build Error: 80000004\n", kOk},
        {"playback refused", false, Op::kSetCooperativeLevel, 200, "DSoundAudioInOut - AudioOut Build Error: 80000004\n",
         kOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::VirtualSound sound;
        if (c.fail != Op::kCount) sound.audio.FailNext(c.fail, pa::kDsErrFail);
        test::ComponentPtr io = test::Running("DSoundAudioInOut", {{"BlockSamples", kBlockSamples}, {"InBufferTime", c.inBufferMs},
                                                                   {"UseDuplexBuffer", c.duplex ? 1 : 0}}, false);
        const bool fails = c.trace != nullptr && std::strstr(c.trace, "Build Error") != nullptr;
        {
            test::CapturedTraces traces;
            EXPECT_EQ(io->Build(), fails ? kErrPlatform : kOk);
            EXPECT_EQ(traces.texts(), c.trace ? std::vector<std::string>{c.trace} : std::vector<std::string>{});
        }
        if (fails) {
            EXPECT_EQ(io->Start(), kErrState);
            EXPECT_EQ(io->SetProperty("InBufferTime", 200, nullptr), kOk);
            ASSERT_EQ(io->Build(), kOk);
        }
        StartInner(io.get());
        std::vector<uint8_t> block(kBlockBytes);
        EXPECT_EQ(io->SetProperty("EnableEffect", 0, nullptr), c.echoSwitch);
        EXPECT_EQ(io->PutData(block.data(), kBlockBytes), kBlockBytes);
        EXPECT_EQ(io->GetData(block.data(), kBlockBytes), kBlockBytes);
    }
}

// Far-end noise played by a pair comes back 30 ms later through the virtual loopback, whole
// while the canceller is off.  Switched on after 3 s, it takes the echo down by its echo
// return loss enhancement (ERLE, over 7 to 10 s); switched off again, the echo is back at once.
TEST(DSoundInOut, ThePairsCancellerRemovesTheLoopbackEcho) {
    test::VirtualSound sound;
    sound.audio.SetLoopbackDelayMs(30);
    test::ComponentPtr io = test::Running("DSoundAudioInOut", {{"BlockSamples", kBlockSamples}, {"UseDuplexBuffer", 1}}, false);
    ASSERT_EQ(io->Build(), kOk);
    StartInner(io.get());
    std::mt19937 random(11);
    std::vector<int16_t> block(kBlockSamples), captured(size_t{12} * kRate);
    for (size_t at = 0; at < captured.size(); at += kBlockSamples) {
        if (at % kRate == 0 && (at == 0 || at == 3 * kRate || at == 10 * kRate)) {
            ASSERT_EQ(io->SetProperty(at == 3 * kRate ? "EnableEffect" : "DisableEffect", 0, nullptr), kOk);
        }
        FarEnd(random, &block);
        ASSERT_EQ(io->PutData(block.data(), kBlockBytes), kBlockBytes);
        ASSERT_EQ(io->GetData(captured.data() + at, kBlockBytes), kBlockBytes);
    }
    const double off = LevelDb(captured, 1, 3), on = LevelDb(captured, 7, 10);
    EXPECT_NEAR(off, 20 * std::log10(3300.0), 0.5);
    EXPECT_GT(off - on, 25.0);
    EXPECT_NEAR(LevelDb(captured, 11, 12), off, 0.5);
}

// On a PulseAudio server of the test's own: far-end noise played into its null sink comes back
// on the monitor; the canceller, switched on after 4 s, takes it down.  Then the server is
// killed: both sides answer the platform code within a few calls, a Build fails, and one after
// the server's return plays and captures.
TEST(SoundServerInOut, TheMonitorsEchoIsCancelledAndAKilledServerGivesResultCodes) {
    if (!test::HaveSoundServer()) GTEST_SKIP() << test::kNoSoundServer;
    test::PrivateSoundServer server("inout_sink", "InOutSink");
    ASSERT_EQ(server.Start(), "");
    const auto service = pa::CreatePulseAudioService(server.Address());
    platform::Services services{};
    services.audio = service.get();
    platform::ScopedPlatform scope(services);

    test::ComponentPtr io =
        test::Running("DSoundAudioInOut", {{"BlockSamples", kBlockSamples}, {"OutBufferTime", 60}, {"UseDuplexBuffer", 1}}, false);
    ASSERT_EQ(io->SetProperty("InDeviceNo", test::DeviceNumber(io.get(), "In", "Monitor of InOutSink"), nullptr), kOk);
    ASSERT_EQ(io->SetProperty("OutDeviceNo", test::DeviceNumber(io.get(), "Out", "InOutSink"), nullptr), kOk);
    ASSERT_EQ(io->Build(), kOk);
    StartInner(io.get());
    ASSERT_EQ(io->SetProperty("DisableEffect", 0, nullptr), kOk);
    std::atomic<bool> done{false};
    std::thread player([&] {  // the playback side on a thread of its own
        std::mt19937 random(5);
        std::vector<int16_t> block(kBlockSamples);
        while (!done) {
            FarEnd(random, &block);
            for (int tries = 0; tries < 200 && io->PutData(block.data(), kBlockBytes) == kErrTimeout; ++tries) {
            }
        }
    });
    std::vector<int16_t> captured(size_t{10} * kRate);
    int failures = 0;
    for (size_t at = 0; at < captured.size(); at += kBlockSamples) {
        failures += (at == 4 * kRate && io->SetProperty("EnableEffect", 0, nullptr) != kOk);
        failures += io->GetData(captured.data() + at, kBlockBytes) != kBlockBytes;
    }
    done = true;
    player.join();
    EXPECT_EQ(failures, 0);
    const double off = LevelDb(captured, 2, 4), on = LevelDb(captured, 7, 10);
    std::printf("monitor echo: %.1f dB with the canceller off, %.1f dB on: ERLE %.1f dB\n", off, on, off - on);
    EXPECT_NEAR(off, 20 * std::log10(3300.0), 2.0);  // within 2 dB of what played
    EXPECT_GT(off - on, 15.0);

    server.Kill();
    std::vector<int16_t> block(kBlockSamples);
    int32_t put = kBlockBytes, got = kBlockBytes;
    for (int i = 0; i < 50 && put == kBlockBytes; ++i) put = io->PutData(block.data(), kBlockBytes);
    for (int i = 0; i < 20 && got == kBlockBytes; ++i) got = io->GetData(block.data(), kBlockBytes);
    EXPECT_EQ(put, kErrPlatform);
    EXPECT_EQ(got, kErrPlatform);
    EXPECT_EQ(io->Build(), kErrPlatform);  // nobody to connect to
    ASSERT_EQ(server.Start(), "") << "could not restart the private pulseaudio";
    ASSERT_EQ(io->Build(), kOk);
    StartInner(io.get());
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(io->PutData(block.data(), kBlockBytes), kBlockBytes) << i;
        ASSERT_EQ(io->GetData(block.data(), kBlockBytes), kBlockBytes) << i;
    }
}

}  // namespace
}  // namespace zelmar
