// The second-generation pair, "DSoundAudioOut2" -> null sink -> monitor -> "DSoundAudioIn2", on
// a PulseAudio server of the test's own that is killed while both stream: each side answers
// the platform code with its device's result kept (no hang), a Build while the server is gone
// fails, and after the server's return a new Build plays and captures the tone again at its
// frequency and level.  Runs only where `./run test` has set up sound (ZELMAR_TEST_SINK).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
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
constexpr double kToneHz = 1000.0, kAmplitude = 8000.0;

// Built on the device described `device`, 60 ms buffers.
test::ComponentPtr Open(const char* component, const char* side, const std::string& device, int32_t blockSamples) {
    test::ComponentPtr io = test::Make(component);
    int32_t count = 0, number = -1;
    EXPECT_EQ(io->GetProperty((std::string(side) + "DeviceNum").c_str(), 0, &count), kOk);
    for (int32_t i = 0; i < count; ++i) {
        char name[512] = {};
        if (io->GetProperty((std::string(side) + "DeviceName").c_str(), i, name) == kOk && device == name) number = i;
    }
    EXPECT_GE(number, 0) << device << " is not listed";
    EXPECT_EQ(io->SetProperty((std::string(side) + "DeviceNo").c_str(), number, nullptr), kOk);
    EXPECT_EQ(io->SetProperty("SamplesPerSec", kRate, nullptr), kOk);
    EXPECT_EQ(io->SetProperty("BlockSamples", blockSamples, nullptr), kOk);
    EXPECT_EQ(io->SetProperty((std::string(side) + "BufferTime").c_str(), 60, nullptr), kOk);
    return io;
}

// The pair streams a 1000 Hz tone (a writer thread of its own) while `blocks` blocks are
// captured; then `cut` runs (it may kill the server) and, when `untilFailure`, both sides go
// on until they fail (or `blocks` more blocks come).  Returns the capture; the last results of
// each side go to `put` / `got`.
std::vector<int16_t> Stream(IAudioIO* out, IAudioIO* in, int32_t blockSamples, int blocks, bool untilFailure,
                            const std::function<void()>& cut, int32_t* put, int32_t* got) {
    std::atomic<bool> stop{false};
    std::atomic<int32_t> lastPut{0};
    std::thread writer([&] {
        std::vector<int16_t> block(static_cast<size_t>(blockSamples));
        for (uint64_t n = 0; !stop;) {
            for (int16_t& s : block) s = int16_t(std::lround(kAmplitude * std::sin(2 * M_PI * kToneHz * double(n++) / kRate)));
            const int32_t r = out->PutData(block.data(), blockSamples * 2);
            if (r != kErrTimeout) lastPut = r;
            if (r != blockSamples * 2 && r != kErrTimeout) break;
        }
    });
    std::vector<int16_t> captured(size_t(blocks) * size_t(blockSamples));
    int32_t r = 0;
    for (int b = 0; b < blocks; ++b) r = in->GetData(captured.data() + size_t(b) * size_t(blockSamples), blockSamples * 2);
    cut();
    std::vector<int16_t> block(static_cast<size_t>(blockSamples));
    for (int b = 0; untilFailure && b < blocks && (r == blockSamples * 2 || r == kErrTimeout); ++b) {
        r = in->GetData(block.data(), blockSamples * 2);
    }
    *got = r;
    // A writer that is to fail is given 10 s to meet the failure (a bound, not a measure).
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (untilFailure && lastPut == blockSamples * 2 && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
    stop = true;
    writer.join();
    *put = lastPut;
    return captured;
}

// Median frequency (interpolated rising zero crossings) and RMS level in dB over 100 ms windows
// of the last second: a glitch of a loaded machine spoils a window, not the figure.
void Measure(const std::vector<int16_t>& captured, double* hz, double* db) {
    std::vector<double> frequencies, levels;
    for (size_t from = captured.size() - kRate; from + kRate / 10 <= captured.size(); from += kRate / 10) {
        double power = 0, first = -1, last = 0, crossings = -1;
        for (size_t i = from; i < from + kRate / 10; ++i) {
            power += double(captured[i]) * captured[i];
            if (captured[i - 1] >= 0 || captured[i] < 0) continue;
            last = double(i - 1) + double(-captured[i - 1]) / (captured[i] - captured[i - 1]);
            if (first < 0) first = last;
            ++crossings;
        }
        frequencies.push_back(crossings > 0 ? crossings * kRate / (last - first) : 0);
        levels.push_back(10 * std::log10(power / (kRate / 10) + 1e-9));
    }
    std::sort(frequencies.begin(), frequencies.end());
    std::sort(levels.begin(), levels.end());
    *hz = frequencies[frequencies.size() / 2];
    *db = levels[levels.size() / 2];
}

TEST(SoundServerGen2, AKilledServerFailsBothSidesAndANewBuildPlaysTheToneAgain) {
    if (std::getenv("ZELMAR_TEST_SINK") == nullptr) {
        GTEST_SKIP() << "no sound server: ZELMAR_TEST_SINK is not set (./run test starts PulseAudio; this test "
                        "starts and kills one of its own)";
    }
    const double expectedDb = 20 * std::log10(kAmplitude / std::sqrt(2.0));
    for (const int32_t blockSamples : {160, 320}) {
        SCOPED_TRACE(blockSamples);
        test::PrivateSoundServer server("gen2_kill_" + std::to_string(blockSamples), "Gen2KillSink");
        ASSERT_EQ(server.Start(), "");
        const auto service = pa::CreatePulseAudioService(server.Address());
        platform::Services services{};
        services.audio = service.get();
        platform::ScopedPlatform scope(services);
        test::ComponentPtr out = Open("DSoundAudioOut2", "Out", "Gen2KillSink", blockSamples);
        test::ComponentPtr in = Open("DSoundAudioIn2", "In", "Monitor of Gen2KillSink", blockSamples);
        // A fresh null sink may hold the first audio back for 2 s: 3.5 s captured, the last second measured.
        const int blocks = 7 * kRate / 2 / blockSamples;
        for (const bool kill : {true, false}) {
            SCOPED_TRACE(kill ? "first run, server killed" : "after the server's return");
            ASSERT_EQ(out->Build(), kOk);
            ASSERT_EQ(in->Build(), kOk);
            ASSERT_EQ(out->Start(), kOk);
            ASSERT_EQ(in->Start(), kOk);
            int32_t put = 0, got = 0;
            const std::vector<int16_t> captured =
                Stream(out.get(), in.get(), blockSamples, blocks, kill, [&] { if (kill) server.Kill(); }, &put, &got);
            double hz = 0, db = 0;
            Measure(captured, &hz, &db);
            EXPECT_NEAR(hz, kToneHz, 1.0);
            EXPECT_NEAR(db, expectedDb, 0.5);
            EXPECT_EQ(put, kill ? kErrPlatform : blockSamples * 2);
            EXPECT_EQ(got, kill ? kErrPlatform : blockSamples * 2);
            for (IAudioIO* io : {out.get(), in.get()}) {
                int32_t code = 0;
                char text[256] = {};
                EXPECT_EQ(io->GetProperty("DXErrorCode", 0, &code), kOk);
                EXPECT_EQ(io->GetProperty("DXErrorString", sizeof text, text), kOk);
                // The device's own result, with its text, from the side that met the loss.
                if (kill) {
                    EXPECT_EQ(code, io == out.get() ? pa::kDsErrBufferLost : pa::kDsErrNoDriver);
                    EXPECT_STRNE(text, "n/a");
                }
                EXPECT_EQ(io->Stop(), kOk);
            }
            if (kill) {
                EXPECT_EQ(out->Build(), kErrPlatform);  // nobody to connect to
                EXPECT_EQ(in->Build(), kErrPlatform);
                ASSERT_EQ(server.Start(), "") << "could not restart the private pulseaudio";
            }
        }
    }
}

}  // namespace
}  // namespace zelmar
