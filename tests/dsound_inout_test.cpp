// DSoundAudioInOut: settings reaching the inner capture and playback, the pair's buffer sizes,
// the fallback to separate devices and the traces of each failure, a Build after a failed one,
// the host starting the inner components itself, and the echo of what plays removed from
// what is captured: on the virtual device's loopback (in virtual time) and through a
// PulseAudio null sink and its monitor, whose server is also killed under a running pair.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/Result.h"
#include "platform/audio/PulseAudio.h"
#include "support/PrivateSoundServer.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
using Op = pa::VirtualAudioService::Operation;
constexpr int32_t kRate = 16000;
constexpr int32_t kBlockSamples = 160;  // 10 ms
constexpr int32_t kBlockBytes = 2 * kBlockSamples;

int32_t Get(IAudioIO* io, const char* name, int32_t arg = 0) {
    int32_t value = -12345;
    EXPECT_EQ(io->GetProperty(name, arg, &value), kOk) << name;
    return value;
}

IAudioIO* Inner(IAudioIO* io, const char* side) {
    intptr_t address = 0;
    EXPECT_EQ(io->GetProperty(side, 0, &address), kOk) << side;
    return reinterpret_cast<IAudioIO*>(address);
}

void StartInner(IAudioIO* io) {
    for (const char* side : {"AudioIn", "AudioOut"}) ASSERT_EQ(Inner(io, side)->Start(), kOk) << side;
}

test::ComponentPtr MakeInOut(std::initializer_list<std::pair<const char*, int32_t>> settings) {
    test::ComponentPtr io = test::Make("DSoundAudioInOut");
    for (const auto& [name, value] : settings) EXPECT_EQ(io->SetProperty(name, value, nullptr), kOk) << name;
    return io;
}

double EnergyDb(const std::vector<int16_t>& x, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(x[i]) * x[i];
    return 10 * std::log10(sum / double(to - from) + 1e-9);
}

// White noise of 3300 RMS (70.4 dB), block after block from one seed.
void FarEnd(std::mt19937& random, std::vector<int16_t>* block) {
    std::normal_distribution<double> noise(0.0, 3300.0);
    for (int16_t& s : *block) s = static_cast<int16_t>(std::lround(std::max(-32000.0, std::min(32000.0, noise(random)))));
}

// The virtual device, except that a pair's capture buffer comes without its effects.
class PairWithoutEffects final : public pa::IAudioService {
public:
    explicit PairWithoutEffects(pa::IAudioService& device) : device_(device) {}
    pa::DsResult EnumerateCapture(std::vector<pa::DeviceDescription>* d) override { return device_.EnumerateCapture(d); }
    pa::DsResult EnumeratePlayback(std::vector<pa::DeviceDescription>* d) override { return device_.EnumeratePlayback(d); }
    pa::DsResult CreateCapture(const pa::DeviceGuid* id, std::unique_ptr<pa::ICaptureDevice>* d) override {
        return device_.CreateCapture(id, d);
    }
    pa::DsResult CreatePlayback(const pa::DeviceGuid* id, std::unique_ptr<pa::IPlaybackDevice>* d) override {
        return device_.CreatePlayback(id, d);
    }
    pa::DsResult CreateFullDuplex(const pa::DeviceGuid* in, const pa::DeviceGuid* out, const pa::CaptureBufferDesc& c,
                                  const pa::PlaybackBufferDesc& p, pa::OwnerHandle owner, uint32_t level,
                                  std::unique_ptr<pa::IFullDuplex>* duplex, std::unique_ptr<pa::ICaptureBuffer>* cb,
                                  std::unique_ptr<pa::IPlaybackBuffer>* pb) override {
        pa::CaptureBufferDesc plain = c;
        plain.flags = 0;
        return pa::CreateFullDuplexFromDevices(*this, in, out, plain, p, owner, level, duplex, cb, pb);
    }

private:
    pa::IAudioService& device_;
};

TEST(DSoundInOut, SettingsReachBothSidesAndTheHostStartsThem) {
    test::VirtualSound sound;
    const int owners = pa::LiveOwnerHandleCount();
    {
        test::ComponentPtr io = test::Make("DSoundAudioInOut");
        IAudioIO* in = Inner(io.get(), "AudioIn");
        IAudioIO* out = Inner(io.get(), "AudioOut");
        int32_t value = 0;
        EXPECT_EQ(in->GetProperty("CapturePos", 0, &value), kOk);  // a DSoundAudioIn2
        EXPECT_EQ(out->GetProperty("DXErrorCodeSub", 0, &value), kOk);  // a DSoundAudioOut2
        EXPECT_EQ(Get(io.get(), "NotifySize"), 0);
        const struct {
            const char* name;
            int32_t value, answer;
        } settings[] = {
            {"SamplesPerSec", 8000, kOk}, {"Channels", 2, kOk},      {"BlockSamples", 80, kOk},
            {"InDeviceNo", 0, kOk},       {"OutDeviceNo", 0, kOk},   {"InDeviceNo", 1, kErrInvalidArg},
            {"OutDeviceNo", -2, kErrInvalidArg}, {"PrimaryBuffer", 0, kOk}, {"NoSuchName", 1, kOk},
        };
        for (const auto& s : settings) EXPECT_EQ(io->SetProperty(s.name, s.value, nullptr), s.answer) << s.name;
        EXPECT_EQ(Get(in, "InDeviceNo"), 0);
        EXPECT_EQ(Get(out, "OutDeviceNo"), 0);
        EXPECT_EQ(Get(io.get(), "InDeviceNum"), 1);
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Build(), kOk);  // again: the same inner components, the same owner
        EXPECT_EQ(Inner(io.get(), "AudioIn"), in);
        EXPECT_EQ(pa::LiveOwnerHandleCount(), owners + 1);
        const WAVEFORMATEX expected{1, 2, 8000, 32000, 4, 16, 0};
        for (IAudioIO* side : {io.get(), in, out}) {
            WAVEFORMATEX format{};
            ASSERT_EQ(side->GetProperty("WaveFormat", sizeof format, &format), kOk);
            EXPECT_EQ(std::memcmp(&format, &expected, sizeof format), 0);
            EXPECT_EQ(Get(side, "NotifySize"), 320);
        }
        // Its own Start starts nothing: the data calls answer the idle inner components.
        ASSERT_EQ(io->Start(), kOk);
        std::vector<uint8_t> block(320);
        EXPECT_EQ(io->GetData(block.data(), 320), kErrState);
        EXPECT_EQ(io->PutData(block.data(), 320), kErrState);
        // Running: only the effect switches are taken, unforwarded without the duplex flag.
        EXPECT_EQ(io->SetProperty("SamplesPerSec", 16000, nullptr), kErrState);
        EXPECT_EQ(io->SetProperty("NoSuchName", 0, nullptr), kErrState);
        EXPECT_EQ(io->SetProperty("EnableEffect", 0, nullptr), kOk);
        StartInner(io.get());
        EXPECT_EQ(io->PutData(block.data(), 320), 320);
        EXPECT_EQ(io->GetData(block.data(), 320), 320);
        EXPECT_EQ(Get(io.get(), "TotalIn"), 320);
        EXPECT_EQ(Get(io.get(), "TotalOut"), 320);
    }
    EXPECT_EQ(pa::LiveOwnerHandleCount(), owners);
}

// The pair's two buffers: ten output buffer times (raised to whole blocks of D ms), then
// more of them until at least 1000 ms.  A block under 1 ms or no buffer time is refused.
TEST(DSoundInOut, PairBuffersHoldTenOutputBufferTimesAndAtLeastASecond) {
    const struct {
        int32_t blockSamples, outBufferMs;
        uint32_t bytes;  // 0: Build refused
    } cases[] = {
        {40, 200, 64000},   // D 2 ms: 2000 ms
        {320, 60, 32640},   // D 20 ms: 600, 660 ... 1020 ms
        {160, 35, 32000},   // 35 ms raised to 40: 400, 440 ... 1000 ms
        {160, 150, 48000},  // 1500 ms
        {10, 200, 0},       // a block of 0.625 ms
        {160, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.blockSamples << " samples, " << c.outBufferMs << " ms");
        test::VirtualSound sound;
        test::ComponentPtr io = MakeInOut(
            {{"BlockSamples", c.blockSamples}, {"OutBufferTime", c.outBufferMs}, {"UseDuplexBuffer", 1}});
        EXPECT_EQ(io->Build(), c.bytes == 0 ? kErrPlatform : kOk);
        if (c.bytes != 0) {
            EXPECT_EQ(sound.audio.LastBufferBytes(), c.bytes);
        }
    }
}

// Without the flag, or when the pair cannot be opened, each side opens its own device without
// effects: the echo canceller's switch then answers the capture buffer's "no interface".  A
// failing inner Build fails the Build (traced), which leaves the component Created, and the
// next Build works.
TEST(DSoundInOut, FallbackEffectsAndFailuresAreTracedAndTheNextBuildWorks) {
    constexpr char kCreate[] = "DSoundAudioInOut DirectSoundFullDuplexCreate8 Error\n";
    const struct {
        const char* label;
        bool duplex, withoutEffects;
        Op fail;
        int32_t inBufferMs;
        std::vector<std::string> traces;
        int32_t echoSwitch;  // "EnableEffect" 0 while capturing
    } cases[] = {
        {"flag off", false, false, Op::kCount, 200, {}, kOk},
        {"pair", true, false, Op::kCount, 200, {}, kOk},
        {"pair refused", true, false, Op::kCreateDevice, 200, {kCreate}, pa::kDsErrNoInterface},
        {"pair without effects", true, true, Op::kCount, 200,
         {"DSoundAudioInOut - GetObjectInPath(NS) Error: 80004002\n",
          "DSoundAudioInOut - GetObjectInPath(AES) Error: 80004002\n"}, pa::kDsErrNoInterface},
        {"capture refused", false, false, Op::kCount, 0, {"DSoundAudioInOut - AudioIn Build Error: 80000004\n"}, kOk},
        {"playback refused", false, false, Op::kSetCooperativeLevel, 200,
         {"DSoundAudioInOut - AudioOut Build Error: 80000004\n"}, kOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::VirtualSound sound;
        PairWithoutEffects plain(sound.audio);
        platform::Services services{};
        services.audio = c.withoutEffects ? static_cast<pa::IAudioService*>(&plain) : &sound.audio;
        platform::ScopedPlatform scope(services);
        if (c.fail != Op::kCount) sound.audio.FailNext(c.fail, pa::kDsErrFail);
        test::ComponentPtr io = MakeInOut({{"BlockSamples", kBlockSamples}, {"InBufferTime", c.inBufferMs},
                                           {"UseDuplexBuffer", c.duplex ? 1 : 0}});
        const bool fails = c.traces.size() != 0 && c.traces.back().find("Build Error") != std::string::npos;
        {
            test::CapturedTraces traces;
            EXPECT_EQ(io->Build(), fails ? kErrPlatform : kOk);
            EXPECT_EQ(traces.texts(), c.traces);
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
// while the capture side's canceller is off.  Switched on after 3 s, the canceller takes the
// echo down by its echo return loss enhancement (ERLE, over 7 to 10 s); switched off again, the
// echo is back at once: the stream stayed alive.
TEST(DSoundInOut, ThePairsCancellerRemovesTheLoopbackEcho) {
    test::VirtualSound sound;
    sound.audio.SetLoopbackDelayMs(30);
    test::ComponentPtr io = MakeInOut({{"BlockSamples", kBlockSamples}, {"UseDuplexBuffer", 1}});
    ASSERT_EQ(io->Build(), kOk);
    StartInner(io.get());
    std::mt19937 random(11);
    std::vector<int16_t> block(kBlockSamples), captured(size_t{12} * kRate);
    for (size_t at = 0; at < captured.size(); at += kBlockSamples) {
        const size_t second = at / kRate;
        if (at % kRate == 0 && (second == 0 || second == 3 || second == 10)) {
            ASSERT_EQ(io->SetProperty(second == 3 ? "EnableEffect" : "DisableEffect", 0, nullptr), kOk);
        }
        FarEnd(random, &block);
        ASSERT_EQ(io->PutData(block.data(), kBlockBytes), kBlockBytes);
        ASSERT_EQ(io->GetData(captured.data() + at, kBlockBytes), kBlockBytes);
    }
    const double off = EnergyDb(captured, size_t{1} * kRate, size_t{3} * kRate);
    const double on = EnergyDb(captured, size_t{7} * kRate, size_t{10} * kRate);
    RecordProperty("EchoOff_dB", std::to_string(off));
    RecordProperty("EchoOn_dB", std::to_string(on));
    EXPECT_NEAR(off, 20 * std::log10(3300.0), 0.5);  // the whole far end comes back
    EXPECT_GT(off - on, 25.0);
    EXPECT_NEAR(EnergyDb(captured, size_t{11} * kRate, size_t{12} * kRate), off, 0.5);
}

// The number of `side`'s device named `name`, read through the container, or -1.
int32_t FindDevice(IAudioIO* io, bool capture, const std::string& name) {
    const int32_t count = Get(io, capture ? "InDeviceNum" : "OutDeviceNum");
    for (int32_t i = 0; i < count; ++i) {
        char text[512] = {};
        if (io->GetProperty(capture ? "InDeviceName" : "OutDeviceName", i, text) == kOk && name == text) return i;
    }
    return -1;
}

// A pair of a sink and its monitor.
test::ComponentPtr SinkPair(const std::string& description) {
    test::ComponentPtr io = MakeInOut({{"BlockSamples", kBlockSamples}, {"OutBufferTime", 60}, {"UseDuplexBuffer", 1}});
    const int32_t in = FindDevice(io.get(), true, "Monitor of " + description);
    const int32_t out = FindDevice(io.get(), false, description);
    EXPECT_GE(in, 0);
    EXPECT_GE(out, 0);
    EXPECT_EQ(io->SetProperty("InDeviceNo", in, nullptr), kOk);
    EXPECT_EQ(io->SetProperty("OutDeviceNo", out, nullptr), kOk);
    return io;
}

// On the suite's PulseAudio server: far-end noise played into a null sink of this test's own
// comes back whole on its monitor; the echo canceller, switched on after 4 s, takes it down.
TEST(SoundServerInOut, TheEchoThroughANullSinksMonitorIsCancelled) {
    if (std::getenv("ZELMAR_TEST_SINK") == nullptr) {
        GTEST_SKIP() << "no sound server: ZELMAR_TEST_SINK is not set (./run test starts a private PulseAudio)";
    }
    const std::string description = "ZelmarInOut" + std::to_string(getpid());
    FILE* pipe = popen(("pactl load-module module-null-sink sink_name=zelmar_inout_" + std::to_string(getpid()) +
                        " sink_properties=device.description=" + description).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[64] = {};
    const bool loaded = std::fgets(line, sizeof line, pipe) != nullptr;
    ASSERT_EQ(pclose(pipe), 0);
    ASSERT_TRUE(loaded);
    const std::string unload = "pactl unload-module " + std::to_string(std::atoi(line));
    {
        test::ComponentPtr io = SinkPair(description);
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
            if (at == size_t{4} * kRate) {
                EXPECT_EQ(io->SetProperty("EnableEffect", 0, nullptr), kOk);
            }
            failures += io->GetData(captured.data() + at, kBlockBytes) != kBlockBytes;
        }
        done = true;
        player.join();
        EXPECT_EQ(failures, 0);
        const double off = EnergyDb(captured, size_t{2} * kRate, size_t{4} * kRate);
        const double on = EnergyDb(captured, size_t{8} * kRate, size_t{10} * kRate);
        RecordProperty("ERLE_dB", std::to_string(off - on));
        EXPECT_NEAR(off, 20 * std::log10(3300.0), 2.0);  // within 2 dB of what played
        EXPECT_GT(off - on, 20.0);
    }
    EXPECT_EQ(std::system(unload.c_str()), 0);
}

// A server killed under a running pair: both sides answer the platform code within a few
// calls, a Build without the server fails, and one after its return plays and captures.
TEST(SoundServerInOut, AKilledServerGivesResultCodesAndABuildAfterItsReturnWorks) {
    if (std::getenv("ZELMAR_TEST_SINK") == nullptr) {
        GTEST_SKIP() << "no sound server: ZELMAR_TEST_SINK is not set (./run test starts PulseAudio)";
    }
    test::PrivateSoundServer server("inout_kill_sink", "InOutKillSink");
    ASSERT_EQ(server.Start(), "");
    const auto service = pa::CreatePulseAudioService(server.Address());
    platform::Services services{};
    services.audio = service.get();
    platform::ScopedPlatform scope(services);

    test::ComponentPtr io = SinkPair("InOutKillSink");
    ASSERT_EQ(io->Build(), kOk);
    StartInner(io.get());
    std::vector<int16_t> block(kBlockSamples, 1000);
    auto exchange = [&](int blocks) {
        for (int i = 0; i < blocks; ++i) {
            ASSERT_EQ(io->PutData(block.data(), kBlockBytes), kBlockBytes) << i;
            ASSERT_EQ(io->GetData(block.data(), kBlockBytes), kBlockBytes) << i;
        }
    };
    exchange(10);

    server.Kill();
    int32_t put = kBlockBytes, got = kBlockBytes;
    for (int i = 0; i < 50 && put == kBlockBytes; ++i) put = io->PutData(block.data(), kBlockBytes);
    for (int i = 0; i < 20 && got == kBlockBytes; ++i) got = io->GetData(block.data(), kBlockBytes);
    EXPECT_EQ(put, kErrPlatform);
    EXPECT_EQ(got, kErrPlatform);
    for (const char* side : {"AudioIn", "AudioOut"}) EXPECT_EQ(Inner(io.get(), side)->Stop(), kOk) << side;
    EXPECT_EQ(io->Build(), kErrPlatform);  // nobody to connect to

    ASSERT_EQ(server.Start(), "") << "could not restart the private pulseaudio";
    ASSERT_EQ(io->Build(), kOk);
    StartInner(io.get());
    exchange(10);
}

}  // namespace
}  // namespace zelmar
