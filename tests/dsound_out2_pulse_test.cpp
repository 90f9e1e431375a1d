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

// The number of the device whose description is `description`, or -1.
int32_t FindDevice(IAudioIO* io, const char* count, const char* name, const std::string& description) {
    int32_t devices = 0;
    EXPECT_EQ(io->GetProperty(count, 0, &devices), kOk);
    for (int32_t i = 0; i < devices; ++i) {
        char text[512] = {};
        if (io->GetProperty(name, i, text) == kOk && description == text) return i;
    }
    return -1;
}

// Built for `description` (or its monitor) with blocks of `blockSamples`.
test::ComponentPtr Open(const char* component, const std::string& description, int32_t blockSamples) {
    test::ComponentPtr io = test::Make(component);
    const bool out = std::string(component).find("Out") != std::string::npos;
    const int32_t number = out ? FindDevice(io.get(), "OutDeviceNum", "OutDeviceName", description)
                               : FindDevice(io.get(), "InDeviceNum", "InDeviceName", "Monitor of " + description);
    EXPECT_GE(number, 0) << description << " is not listed";
    EXPECT_EQ(io->SetProperty(out ? "OutDeviceNo" : "InDeviceNo", number, nullptr), kOk);
    EXPECT_EQ(io->SetProperty("SamplesPerSec", kRate, nullptr), kOk);
    EXPECT_EQ(io->SetProperty("BlockSamples", blockSamples, nullptr), kOk);
    EXPECT_EQ(io->SetProperty(out ? "OutBufferTime" : "InBufferTime", 60, nullptr), kOk);
    EXPECT_EQ(io->Build(), kOk) << component;
    return io;
}

bool HaveServer() { return std::getenv("ZELMAR_TEST_SINK") != nullptr; }

// A null sink of the test's own on the suite's server, so parallel tests do not hear each other.
class OwnSink {
public:
    explicit OwnSink(const char* tag) {
        description = std::string("ZelmarOut2") + tag + std::to_string(getpid());
        const std::string command = "pactl load-module module-null-sink sink_name=zelmar_out2_" + std::string(tag) +
                                    std::to_string(getpid()) + " sink_properties=device.description=" + description;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char line[64] = {};
            if (std::fgets(line, sizeof line, pipe) != nullptr) module_ = std::atoi(line);
            if (pclose(pipe) != 0) module_ = -1;
        }
    }
    ~OwnSink() {
        if (module_ >= 0) std::system(("pactl unload-module " + std::to_string(module_)).c_str());
    }
    bool loaded() const { return module_ >= 0; }
    std::string description;

private:
    int module_ = -1;
};

// A 1000 Hz tone of amplitude 8000 (peak -12.3 dBFS) for 5 s, written by a thread of its own;
// the monitor's capture is measured over its steady part: frequency from the zero crossings
// (interpolated), level as RMS.
TEST(SoundServerOut2, AToneComesBackAtItsFrequencyAndLevel) {
    if (!HaveServer()) GTEST_SKIP() << "no sound server: ZELMAR_TEST_SINK is not set (./run test starts one)";
    for (const int32_t blockSamples : {160, 320}) {
        OwnSink sink(blockSamples == 160 ? "a" : "b");
        ASSERT_TRUE(sink.loaded());
        test::ComponentPtr out = Open("DSoundAudioOut2", sink.description, blockSamples);
        test::ComponentPtr in = Open("DSoundAudioIn2", sink.description, blockSamples);
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

        // The loud part: from the first to the last sample above half the amplitude.
        size_t first = captured.size(), last = 0;
        for (size_t i = 0; i < captured.size(); ++i) {
            if (std::abs(captured[i]) < 4000) continue;
            first = std::min(first, i);
            last = i;
        }
        ASSERT_GT(last, first + size_t(kRate)) << "the tone did not come back (" << blockSamples << " samples)";
        // Medians over 100 ms windows of the steady part: a glitch of a loaded machine spoils
        // one window, not the measure.
        std::vector<double> frequencies, levels;
        for (size_t from = first + kRate / 10; from + kRate / 10 < last - kRate / 10; from += kRate / 10) {
            double power = 0, firstCrossing = -1, lastCrossing = 0;
            int crossings = 0;
            for (size_t i = from; i < from + kRate / 10; ++i) {
                power += double(captured[i]) * captured[i];
                if (captured[i - 1] < 0 && captured[i] >= 0) {
                    const double at = double(i - 1) + double(-captured[i - 1]) / (captured[i] - captured[i - 1]);
                    if (firstCrossing < 0) firstCrossing = at;
                    lastCrossing = at;
                    ++crossings;
                }
            }
            frequencies.push_back((crossings - 1) * kRate / (lastCrossing - firstCrossing));
            levels.push_back(10 * std::log10(power / (kRate / 10)) - 20 * std::log10(8000 / std::sqrt(2.0)));
        }
        std::sort(frequencies.begin(), frequencies.end());
        std::sort(levels.begin(), levels.end());
        const double frequency = frequencies[frequencies.size() / 2];
        const double levelDb = levels[levels.size() / 2];
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
