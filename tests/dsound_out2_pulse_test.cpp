// DSoundAudioOut2 on a real PulseAudio server: a tone played into a null sink comes back on
// the sink's monitor (captured by DSoundAudioIn2) at its frequency and level, with 10 and 20 ms
// blocks; a killed server fails PutData with the platform code and the lost-buffer result,
// and a Build after the server's return plays again.  `./run test` starts the server (see
// tests/sound_server.sh); without ZELMAR_TEST_SINK these tests skip and say why.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "framework/Result.h"
#include "platform/Platform.h"
#include "platform/audio/PulseAudio.h"
#include "support/PrivateSoundServer.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr int32_t kRate = 16000;

// Built on the device described `device` with blocks of `blockSamples` and 60 ms buffers.
test::ComponentPtr Open(const char* component, const std::string& device, int32_t blockSamples) {
    test::ComponentPtr io = test::Make(component);
    const std::string side = std::string(component).find("Out") != std::string::npos ? "Out" : "In";
    int32_t devices = 0, number = -1;
    EXPECT_EQ(io->GetProperty((side + "DeviceNum").c_str(), 0, &devices), kOk);
    for (int32_t i = 0; i < devices; ++i) {
        char text[512] = {};
        if (io->GetProperty((side + "DeviceName").c_str(), i, text) == kOk && device == text) number = i;
    }
    EXPECT_GE(number, 0) << device << " is not listed";
    EXPECT_EQ(io->SetProperty((side + "DeviceNo").c_str(), number, nullptr), kOk);
    EXPECT_EQ(io->SetProperty("SamplesPerSec", kRate, nullptr), kOk);
    EXPECT_EQ(io->SetProperty("BlockSamples", blockSamples, nullptr), kOk);
    EXPECT_EQ(io->SetProperty((side + "BufferTime").c_str(), 60, nullptr), kOk);
    EXPECT_EQ(io->Build(), kOk) << component;
    return io;
}

bool HaveServer() { return std::getenv("ZELMAR_TEST_SINK") != nullptr; }

// A null sink of the test's own on the suite's server, so parallel tests do not hear each other.
struct OwnSink {
    explicit OwnSink(int tag) : description("ZelmarOut2Sink" + std::to_string(tag) + "_" + std::to_string(getpid())) {
        FILE* pipe = popen(("pactl load-module module-null-sink sink_name=" + description +
                            " sink_properties=device.description=" + description).c_str(), "r");
        char line[64] = {};
        if (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) module = std::atoi(line);
        if (pipe != nullptr && pclose(pipe) != 0) module = -1;
    }
    ~OwnSink() { std::system(("pactl unload-module " + std::to_string(module)).c_str()); }
    std::string description;
    int module = -1;
};

// A 1000 Hz tone of amplitude 8000 (peak -12.3 dBFS) for 5 s, written by a thread of its own;
// the monitor's capture is measured over its steady part: frequency from the zero crossings
// (interpolated), level as RMS.
TEST(SoundServerOut2, AToneComesBackAtItsFrequencyAndLevel) {
    if (!HaveServer()) GTEST_SKIP() << "no sound server: ZELMAR_TEST_SINK is not set (./run test starts one)";
    for (const int32_t blockSamples : {160, 320}) {
        OwnSink sink(blockSamples);
        ASSERT_GE(sink.module, 0);
        test::ComponentPtr out = Open("DSoundAudioOut2", sink.description, blockSamples);
        test::ComponentPtr in = Open("DSoundAudioIn2", "Monitor of " + sink.description, blockSamples);
        ASSERT_EQ(out->Start(), kOk);
        ASSERT_EQ(in->Start(), kOk);
        const int blocks = 5 * kRate / blockSamples;
        std::atomic<bool> done{false};
        std::atomic<int> failures{0};
        std::thread player([&] {
            std::vector<int16_t> block(static_cast<size_t>(blockSamples));
            for (int b = 0; b < blocks; ++b) {
                for (int32_t i = 0; i < blockSamples; ++i) {
                    block[size_t(i)] = int16_t(std::lround(8000 * std::sin(2 * M_PI * 1000 * (b * blockSamples + i) / kRate)));
                }
                if (out->PutData(block.data(), blockSamples * 2) != blockSamples * 2) ++failures;
            }
            done = true;
        });
        std::vector<int16_t> captured;
        std::vector<int16_t> block(static_cast<size_t>(blockSamples));
        for (int b = 0; !done && b < 20 * blocks; ++b) {
            if (in->GetData(block.data(), blockSamples * 2) == blockSamples * 2) {
                captured.insert(captured.end(), block.begin(), block.end());
            }
        }
        player.join();
        EXPECT_EQ(failures.load(), 0) << blockSamples;

        // Medians over 100 ms windows of the loud part (a glitch of a loaded machine spoils one
        // window, not the measure): upward zero crossings, interpolated, and the RMS level.
        size_t first = captured.size(), last = 0;
        for (size_t i = 0; i < captured.size(); ++i) {
            if (std::abs(captured[i]) >= 4000) first = std::min(first, i), last = i;
        }
        ASSERT_GT(last, first + size_t(kRate)) << "the tone did not come back (" << blockSamples << " samples)";
        std::vector<double> frequencies, levels;
        for (size_t from = first + kRate / 10; from + kRate / 5 < last; from += kRate / 10) {
            double power = 0, firstCrossing = -1, lastCrossing = 0, crossings = -1;
            for (size_t i = from; i < from + kRate / 10; ++i) {
                power += double(captured[i]) * captured[i];
                if (captured[i - 1] >= 0 || captured[i] < 0) continue;
                lastCrossing = double(i - 1) + double(-captured[i - 1]) / (captured[i] - captured[i - 1]);
                if (firstCrossing < 0) firstCrossing = lastCrossing;
                ++crossings;
            }
            frequencies.push_back(crossings * kRate / (lastCrossing - firstCrossing));
            levels.push_back(10 * std::log10(power / (kRate / 10)) - 20 * std::log10(8000 / std::sqrt(2.0)));
        }
        std::sort(frequencies.begin(), frequencies.end());
        std::sort(levels.begin(), levels.end());
        const double frequency = frequencies[frequencies.size() / 2], levelDb = levels[levels.size() / 2];
        EXPECT_NEAR(frequency, 1000.0, 1.0) << blockSamples;
        EXPECT_NEAR(levelDb, 0.0, 0.5) << blockSamples;
    }
}

TEST(SoundServerOut2, AKilledServerFailsPutDataAndABuildAfterItsReturnPlays) {
    if (!HaveServer()) GTEST_SKIP() << "no sound server: ZELMAR_TEST_SINK is not set (./run test starts PulseAudio)";
    test::PrivateSoundServer server("out2_kill_sink", "Out2KillSink");
    ASSERT_EQ(server.Start(), "");
    const auto service = pa::CreatePulseAudioService(server.Address());
    platform::Services services{};
    services.audio = service.get();
    platform::ScopedPlatform scope(services);

    test::ComponentPtr out = Open("DSoundAudioOut2", "Out2KillSink", 160);
    ASSERT_EQ(out->Start(), kOk);
    std::vector<int16_t> block(160, 1000);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(out->PutData(block.data(), 320), 320);

    server.Kill();
    int32_t result = 320;
    for (int i = 0; i < 50 && result == 320; ++i) result = out->PutData(block.data(), 320);
    EXPECT_EQ(result, kErrPlatform);
    int32_t code = 0, step = 0;
    EXPECT_EQ(out->GetProperty("DXErrorCode", 0, &code), kOk);
    EXPECT_EQ(out->GetProperty("DXErrorCodeSub", 0, &step), kOk);
    EXPECT_EQ(code, pa::kDsErrBufferLost);
    EXPECT_EQ(step, 32);  // the cursors could not be read
    EXPECT_EQ(out->Stop(), kOk);
    EXPECT_EQ(out->Build(), kErrPlatform);  // nobody to connect to
    EXPECT_EQ(out->GetProperty("DXErrorCodeSub", 0, &step), kOk);
    EXPECT_EQ(step, 3);

    ASSERT_EQ(server.Start(), "") << "could not restart the private pulseaudio";
    ASSERT_EQ(out->Build(), kOk);
    ASSERT_EQ(out->Start(), kOk);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(out->PutData(block.data(), 320), 320) << i;
}

}  // namespace
}  // namespace zelmar
