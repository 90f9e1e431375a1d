// DSoundAudioOut and DSoundAudioIn on a real PulseAudio server: every block played into a null
// sink comes back through the sink's monitor source once and in order, a full-duplex pair
// cancels the monitor's echo at the level it was played, and a killed server fails the data
// calls.  `./run test` starts the server (see
// tests/sound_server.sh); without ZELMAR_TEST_SINK these tests skip and say why.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "framework/Result.h"
#include "platform/audio/PulseAudio.h"
#include "platform/Platform.h"
#include "support/FullDuplexPair.h"
#include "support/PrivateSoundServer.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr int32_t kRate = 16000;
constexpr int32_t kBlockSamples = 160;  // 10 ms
constexpr int32_t kBlockBytes = kBlockSamples * 2;

// Output to the sink described `sink` and input from its monitor, 16 kHz mono 16-bit, built.
// The server was started with this sink: not finding it is a failure, not a skip.
void OpenPair(const std::string& sink, int32_t bufferMs, test::ComponentPtr* out, test::ComponentPtr* in) {
    *out = test::Make("DSoundAudioOut");
    *in = test::Make("DSoundAudioIn");
    struct Side { IAudioIO* io; const char* count; const char* name; const char* number; const char* buffer; std::string device; };
    for (const Side& side : {Side{out->get(), "OutDeviceNum", "OutDeviceName", "OutDeviceNo", "OutBufferTime", sink},
                             Side{in->get(), "InDeviceNum", "InDeviceName", "InDeviceNo", "InBufferTime", "Monitor of " + sink}}) {
        int32_t count = 0;
        int32_t number = -1;
        ASSERT_EQ(side.io->GetProperty(side.count, 0, &count), kOk);
        for (int32_t i = 0; i < count; ++i) {
            char name[512] = {};
            if (side.io->GetProperty(side.name, i, name) == kOk && side.device == name) number = i;
        }
        ASSERT_GE(number, 0) << "'" << side.device << "' is not listed";
        ASSERT_EQ(side.io->SetProperty(side.number, number, nullptr), kOk);
        ASSERT_EQ(side.io->SetProperty("SamplesPerSec", kRate, nullptr), kOk);
        ASSERT_EQ(side.io->SetProperty("BlockSamples", kBlockSamples, nullptr), kOk);
        ASSERT_EQ(side.io->SetProperty(side.buffer, bufferMs, nullptr), kOk);
        ASSERT_EQ(side.io->Build(), kOk);
    }
}

class SoundServer : public ::testing::Test {
protected:
    void SetUp() override {
        const char* sink = std::getenv("ZELMAR_TEST_SINK");
        const char* description = std::getenv("ZELMAR_TEST_SINK_DESCRIPTION");
        if (sink == nullptr || description == nullptr) {
            GTEST_SKIP() << "no sound server: ZELMAR_TEST_SINK is not set (./run test starts a private "
                            "PulseAudio with a null sink; tests/sound_server.sh says why it could not)";
        }
        // A sink of this test's own, so tests running in parallel do not hear each other.
        const std::string name = std::string(sink) + "_" + std::to_string(getpid());
        sinkDescription_ = std::string(description) + std::to_string(getpid());
        const std::string command = "pactl load-module module-null-sink sink_name=" + name +
                                    " sink_properties=device.description=" + sinkDescription_;
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char line[64] = {};
        const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
        ASSERT_EQ(pclose(pipe), 0) << command;
        ASSERT_TRUE(read);
        module_ = std::atoi(line);
    }

    void TearDown() override {
        out_.reset();
        in_.reset();
        if (module_ >= 0) {
            const std::string command = "pactl unload-module " + std::to_string(module_);
            EXPECT_EQ(std::system(command.c_str()), 0);
        }
    }

    void Open(int32_t bufferMs) { OpenPair(sinkDescription_, bufferMs, &out_, &in_); }

    int module_ = -1;
    std::string sinkDescription_;
    test::ComponentPtr out_;
    test::ComponentPtr in_;
};

// A host's loops: the block is offered again while the device is not ready, for some
// seconds (a time-out takes three polls of one block).
int32_t Retry(const std::function<int32_t()>& call) {
    int32_t r = kErrTimeout;
    for (int attempt = 0; attempt < 200 && r == kErrTimeout; ++attempt) r = call();
    return r;
}

struct Player {
    std::atomic<int> failures{0};
    void Put(IAudioIO* out, const int16_t* block) {
        if (Retry([&] { return out->PutData(block, kBlockBytes); }) != kBlockBytes) ++failures;
    }
};

int32_t Get(IAudioIO* in, int16_t* block) {
    return Retry([&] { return in->GetData(block, kBlockBytes); });
}

// A null sink nobody used renders in periods of its longest latency (2 s) until a new
// stream's low-latency request takes effect at its next period, so the first audio needs up
// to 2 s to arrive.  Hosts see the same; the tests wait for the flow before measuring.
bool WaitForFlow(IAudioIO* in) {
    std::vector<int16_t> block(kBlockSamples);
    const auto start = std::chrono::steady_clock::now();
    int inARow = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(8)) {
        const int32_t r = in->GetData(block.data(), kBlockBytes);
        inARow = r == kBlockBytes ? inARow + 1 : 0;
        if (inARow == 20) return true;
    }
    return false;
}

// Every block played comes back once, in order: block k starts with a negative click and
// carries a positive one 40 + 10 (k mod 8) samples later, so the captured stream tells each
// block's number modulo 8, and the spacing shows a block lost, repeated or out of place.
// The server resamples (16 kHz to the sink's 44.1 kHz and back): clicks keep their place and
// sign, not their exact samples.
TEST_F(SoundServer, PlayedBlocksComeBackOnceAndInOrder) {
    constexpr int kMarked = 200;
    constexpr int16_t kClick = 16000;
    ASSERT_NO_FATAL_FAILURE(Open(/*bufferMs=*/100));
    ASSERT_EQ(out_->Start(), kOk);
    ASSERT_EQ(in_->Start(), kOk);
    Player player;
    std::atomic<int> flow{0};  // 1 flowing, -1 never came
    std::atomic<bool> played{false};
    std::thread playback([&] {
        std::vector<int16_t> block(kBlockSamples, 0);
        while (flow == 0) player.Put(out_.get(), block.data());
        // The marked blocks, then silence long enough to carry the last of them through both
        // rings (a looping ring nobody writes plays its last lap again).
        for (int k = 0; k < kMarked + 30; ++k) {
            std::fill(block.begin(), block.end(), 0);
            if (k < kMarked) {
                block[0] = -kClick;
                block[40 + 10 * (k % 8)] = kClick;
            }
            player.Put(out_.get(), block.data());
        }
        played = true;
    });
    flow = WaitForFlow(in_.get()) ? 1 : -1;
    std::vector<int16_t> captured;
    std::vector<int16_t> block(kBlockSamples);
    int captureFailures = 0;
    // Until 30 blocks after the last one was played; bounded should the playback thread stall.
    for (int b = 0, after = 0; flow == 1 && after < 30 && b < 2000; ++b) {
        if (played) ++after;
        if (Get(in_.get(), block.data()) == kBlockBytes) {
            captured.insert(captured.end(), block.begin(), block.end());
        } else {
            ++captureFailures;
        }
    }
    playback.join();
    ASSERT_EQ(flow.load(), 1) << "the monitor source delivered no steady audio within 8 s";
    EXPECT_EQ(captureFailures, 0);
    EXPECT_EQ(player.failures.load(), 0);

    // Clicks: the first sample beyond half a click's height, then nothing for 20 samples.
    std::vector<std::pair<size_t, bool>> clicks;  // where, positive
    for (size_t n = 0; n < captured.size(); ++n) {
        if (std::abs(captured[n]) < kClick / 2) continue;
        clicks.emplace_back(n, captured[n] > 0);
        n += 20;
    }
    // Blocks: a negative click followed by the positive one that numbers it.
    std::vector<std::pair<size_t, int>> blocks;  // where, number mod 8
    for (size_t i = 0; i + 1 < clicks.size(); ++i) {
        if (clicks[i].second || !clicks[i + 1].second) continue;
        const double tenths = (static_cast<double>(clicks[i + 1].first - clicks[i].first) - 40) / 10;
        const long number = std::lround(tenths);
        if (number >= 0 && number < 8 && std::fabs(tenths - number) <= 0.2) blocks.emplace_back(clicks[i].first, number);
    }
    int inOrder = 0;
    for (size_t i = 1; i < blocks.size(); ++i) {
        const size_t spacing = blocks[i].first - blocks[i - 1].first;
        inOrder += spacing + 2 >= kBlockSamples && spacing <= kBlockSamples + 2 &&
                   blocks[i].second == (blocks[i - 1].second + 1) % 8;
    }
    ASSERT_FALSE(blocks.empty()) << "no marked block came back";
    EXPECT_EQ(blocks.front().second, 0);
    // A loaded machine may glitch now and then (a late writer lets the looping ring play a lap
    // again: two broken steps each; seen: 3 blocks lost at a load of 6.5 on two cores); a fault
    // of the stream breaks far more.  A single block skipped by the components themselves is
    // caught exactly on the virtual device (DSoundDevices.EveryBlockOnceInOrder*).
    EXPECT_GE(blocks.size(), static_cast<size_t>(kMarked * 95 / 100));
    EXPECT_GE(inOrder, (kMarked - 1) * 90 / 100) << blocks.size() << " numbered blocks came back";
}

// The echo canceller of a full-duplex pair on the server: noise played into the null sink
// comes back on its monitor at full level; with the canceller switched on it is mostly gone.
TEST_F(SoundServer, EchoCancellationOfAFullDuplexPairRemovesTheSinkMonitorsEcho) {
    pa::IAudioService* audio = platform::Current().audio;
    std::vector<pa::DeviceDescription> sources;
    std::vector<pa::DeviceDescription> sinks;
    ASSERT_EQ(audio->EnumerateCapture(&sources), pa::kDsOk);
    ASSERT_EQ(audio->EnumeratePlayback(&sinks), pa::kDsOk);
    const auto find = [](const std::vector<pa::DeviceDescription>& list, const std::string& name) {
        for (const auto& d : list) {
            if (d.description == name) return d.guid;
        }
        return pa::DeviceGuid{};
    };
    const pa::DeviceGuid monitor = find(sources, "Monitor of " + sinkDescription_);
    const pa::DeviceGuid sink = find(sinks, sinkDescription_);
    ASSERT_NE(monitor, pa::DeviceGuid{});
    ASSERT_NE(sink, pa::DeviceGuid{});
    test::FullDuplexPair pair(*audio, &monitor, &sink, kRate, /*echoCancellation=*/true, false);
    ASSERT_EQ(pair.result, pa::kDsOk);
    std::unique_ptr<pa::ICaptureEffect> aec;
    ASSERT_EQ(pair.in->GetObjectInPath(pa::CaptureEffect::kEchoCancellation, &aec), pa::kDsOk);
    ASSERT_EQ(aec->SetEnable(false), pa::kDsOk);
    // Far end: white noise of 3300 RMS.
    std::mt19937 random(11);
    std::normal_distribution<double> normal(0.0, 3300.0);
    pair.far = [&](uint64_t) { return static_cast<int16_t>(std::lround(std::clamp(normal(random), -32000.0, 32000.0))); };

    // Paced by four notifications around the capture ring: each one wakes a Step.
    platform::ITimeService& time = *platform::Current().time;
    std::unique_ptr<platform::IEvent> events[4];
    pa::PositionNotify table[4];
    platform::IEvent* waits[4];
    for (uint32_t i = 0; i < 4; ++i) {
        events[i] = time.CreateEvent(/*manualReset=*/false, false);
        waits[i] = events[i].get();
        table[i] = {(i + 1) * kRate / 2 - 2, waits[i]};
    }
    ASSERT_EQ(pair.in->SetNotificationPositions(4, table), pa::kDsOk);
    ASSERT_EQ(pair.Step(), pa::kDsOk);
    const auto capture = [&](size_t seconds) {
        const size_t until = pair.captured.size() + seconds * kRate;
        while (pair.captured.size() < until) {
            size_t which = 0;
            ASSERT_EQ(time.WaitAny(waits, 4, 5000, &which), platform::WaitResult::kSignaled) << "the monitor is silent";
            ASSERT_EQ(pair.Step(), pa::kDsOk);
        }
    };
    const auto lastSecondsDb = [&](size_t seconds) {
        double sum = 0;
        const size_t n = seconds * kRate;
        for (size_t i = pair.captured.size() - n; i < pair.captured.size(); ++i) sum += double(pair.captured[i]) * pair.captured[i];
        return 10 * std::log10(sum / static_cast<double>(n) + 1e-9);
    };
    // A fresh null sink may hold the first audio back for up to 2 s.
    capture(4);
    const double echoDb = lastSecondsDb(1);
    ASSERT_EQ(aec->SetEnable(true), pa::kDsOk);
    capture(7);
    const double cancelledDb = lastSecondsDb(3);
    pair.in->Stop();
    pair.out->Stop();
    // The monitor returns the noise as played, less the top of the band the server's
    // resampling (16 kHz to the sink's 44.1 kHz and back) trims.
    EXPECT_NEAR(echoDb, 20 * std::log10(3300.0), 2.0);
    EXPECT_GT(echoDb - cancelledDb, 15.0);
}

TEST(SoundServerFaults, AKilledServerFailsTheDataCallsAndABuildAfterItsReturnWorks) {
    if (std::getenv("ZELMAR_TEST_SINK") == nullptr) {
        GTEST_SKIP() << "no sound server: ZELMAR_TEST_SINK is not set (./run test starts PulseAudio; this "
                        "test starts and kills one of its own)";
    }
    // A server of this test's own, so it can be killed without disturbing others.
    test::PrivateSoundServer server("kill_sink", "KillSink");
    ASSERT_EQ(server.Start(), "");
    const auto service = pa::CreatePulseAudioService(server.Address());
    platform::Services services{};
    services.audio = service.get();
    platform::ScopedPlatform scope(services);

    test::ComponentPtr out;
    test::ComponentPtr in;
    ASSERT_NO_FATAL_FAILURE(OpenPair("KillSink", 200, &out, &in));
    ASSERT_EQ(out->Start(), kOk);
    ASSERT_EQ(in->Start(), kOk);
    std::vector<int16_t> block(kBlockSamples, 1000);
    for (int i = 0; i < 20; ++i) {
        const int32_t r = out->PutData(block.data(), kBlockBytes);
        ASSERT_TRUE(r == kBlockBytes || r == kErrTimeout) << std::hex << r;
    }

    server.Kill();
    // The connection's loss turns into the platform failure within a few calls.
    int32_t putResult = 0;
    int32_t getResult = 0;
    for (int i = 0; i < 50 && (putResult != kErrPlatform || getResult != kErrPlatform); ++i) {
        if (putResult != kErrPlatform) putResult = out->PutData(block.data(), kBlockBytes);
        if (getResult != kErrPlatform) getResult = in->GetData(block.data(), kBlockBytes);
    }
    EXPECT_EQ(putResult, kErrPlatform);
    EXPECT_EQ(getResult, kErrPlatform);
    EXPECT_EQ(out->Stop(), kOk);
    EXPECT_EQ(in->Stop(), kOk);
    EXPECT_EQ(out->Build(), kErrPlatform);  // nobody to connect to

    ASSERT_EQ(server.Start(), "") << "could not restart the private pulseaudio";
    ASSERT_EQ(out->Build(), kOk);
    ASSERT_EQ(in->Build(), kOk);
    ASSERT_EQ(out->Start(), kOk);
    ASSERT_EQ(in->Start(), kOk);
    int written = 0;
    for (int i = 0; i < 40; ++i) {
        const int32_t r = out->PutData(block.data(), kBlockBytes);
        ASSERT_TRUE(r == kBlockBytes || r == kErrTimeout) << std::hex << r;
        written += r == kBlockBytes;
    }
    EXPECT_GT(written, 0);
}

TEST(PulseAudioBackend, AServerThatIsNotThereFailsQuicklyAndCleanly) {
    auto service = pa::CreatePulseAudioService("unix:/nonexistent/zelmar/native");
    std::vector<pa::DeviceDescription> devices;
    EXPECT_EQ(service->EnumerateCapture(&devices), pa::kDsErrNoDriver);
    std::unique_ptr<pa::IPlaybackDevice> device;
    EXPECT_EQ(service->CreatePlayback(nullptr, &device), pa::kDsErrNoDriver);
    EXPECT_EQ(device, nullptr);
}

}  // namespace
}  // namespace zelmar
