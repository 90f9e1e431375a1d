// The second-generation pair, "DSoundAudioOut2" -> null sink -> monitor -> "DSoundAudioIn2", on
// a PulseAudio server of the test's own that is killed while both stream: each side answers
// the platform code with its device's result kept (no hang), a Build while the server is gone
// fails, and after the server's return a new Build carries the tone again at its frequency and
// level.  Runs only where `./run test` has set up sound (ZELMAR_TEST_SINK).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
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

// On the device described `device`, 60 ms buffers.
test::ComponentPtr Open(const char* component, const std::string& side, const std::string& device, int32_t blockSamples) {
    test::ComponentPtr io = test::Make(component);
    int32_t count = 0, number = -1;
    EXPECT_EQ(io->GetProperty((side + "DeviceNum").c_str(), 0, &count), kOk);
    for (int32_t i = 0; i < count; ++i) {
        char name[512] = {};
        if (io->GetProperty((side + "DeviceName").c_str(), i, name) == kOk && device == name) number = i;
    }
    for (const auto& [name, value] : {std::pair{side + "DeviceNo", number}, std::pair{std::string("SamplesPerSec"), kRate},
                                      std::pair{std::string("BlockSamples"), blockSamples}, std::pair{side + "BufferTime", 60}}) {
        EXPECT_EQ(io->SetProperty(name.c_str(), value, nullptr), kOk) << name << " " << device;
    }
    return io;
}

TEST(SoundServerGen2, AKilledServerFailsBothSidesAndANewBuildCarriesTheToneAgain) {
    if (std::getenv("ZELMAR_TEST_SINK") == nullptr) GTEST_SKIP() << "no sound server: ZELMAR_TEST_SINK is not set";
    for (const int32_t blockSamples : {160, 320}) {
        test::PrivateSoundServer server("gen2_kill_" + std::to_string(blockSamples), "Gen2KillSink");
        ASSERT_EQ(server.Start(), "");
        const auto service = pa::CreatePulseAudioService(server.Address());
        platform::Services services{};
        services.audio = service.get();
        platform::ScopedPlatform scope(services);
        test::ComponentPtr out = Open("DSoundAudioOut2", "Out", "Gen2KillSink", blockSamples);
        test::ComponentPtr in = Open("DSoundAudioIn2", "In", "Monitor of Gen2KillSink", blockSamples);
        const int32_t bytes = blockSamples * 2;
        for (const bool kill : {true, false}) {
            SCOPED_TRACE(std::to_string(blockSamples) + (kill ? " samples, server killed" : " samples, after its return"));
            for (IAudioIO* io : {out.get(), in.get()}) ASSERT_EQ(io->Build(), kOk);
            for (IAudioIO* io : {out.get(), in.get()}) ASSERT_EQ(io->Start(), kOk);
            std::atomic<bool> stop{false};
            std::atomic<int32_t> put{0};
            std::thread writer([&] {  // 1000 Hz at amplitude 8000 until told or failed
                std::vector<int16_t> block(static_cast<size_t>(blockSamples));
                for (int64_t n = 0; !stop && (put == 0 || put == bytes || put == kErrTimeout);) {
                    for (int16_t& s : block) s = int16_t(std::lround(8000 * std::sin(2 * M_PI * 1000 * double(n++) / kRate)));
                    put = out->PutData(block.data(), bytes);
                }
            });
            // A fresh null sink may hold audio back for 2 s: 3.5 s captured, the last second measured.
            std::vector<int16_t> got(size_t(kRate) * 7 / 2);
            for (size_t at = 0; at < got.size(); at += size_t(blockSamples)) EXPECT_EQ(in->GetData(&got[at], bytes), bytes);
            // Medians, so that a glitch of a loaded machine moves no figure: the level of 10 ms
            // pieces, and the period between rising zero crossings (placed between samples).
            std::vector<double> levels, periods;
            double power = 0, crossing = -1;
            for (size_t i = got.size() - kRate; i < got.size(); ++i) {
                power += double(got[i]) * got[i];
                if (i % 160 == 159) levels.push_back(10 * std::log10(power / 160 + 1e-9)), power = 0;
                if (got[i - 1] >= 0 || got[i] < 0) continue;
                const double at = double(i - 1) - double(got[i - 1]) / (got[i] - got[i - 1]);
                if (crossing >= 0) periods.push_back(at - crossing);
                crossing = at;
            }
            ASSERT_GT(periods.size(), 900u);
            std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
            std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
            EXPECT_NEAR(levels[levels.size() / 2], 20 * std::log10(8000 / std::sqrt(2.0)), 0.5);
            EXPECT_NEAR(kRate / periods[periods.size() / 2], 1000, 1);
            if (kill) {
                server.Kill();
                int32_t r = bytes;
                for (int b = 0; b < 500 && (r == bytes || r == kErrTimeout); ++b) r = in->GetData(got.data(), bytes);
                EXPECT_EQ(r, kErrPlatform);
                writer.join();
                EXPECT_EQ(put.load(), kErrPlatform);
                for (const auto& [io, result] : {std::pair{out.get(), pa::kDsErrBufferLost}, std::pair{in.get(), pa::kDsErrNoDriver}}) {
                    int32_t code = 0;
                    char text[256] = {};
                    EXPECT_EQ(io->GetProperty("DXErrorCode", 0, &code), kOk);
                    EXPECT_EQ(code, result);
                    EXPECT_EQ(io->GetProperty("DXErrorString", sizeof text, text), kOk);
                    EXPECT_STRNE(text, "n/a");
                    EXPECT_EQ(io->Stop(), kOk);
                    EXPECT_EQ(io->Build(), kErrPlatform);  // nobody to connect to
                }
                ASSERT_EQ(server.Start(), "") << "could not restart the private pulseaudio";
            } else {
                stop = true;
                writer.join();
                EXPECT_EQ(put.load(), bytes);
            }
        }
    }
}

}  // namespace
}  // namespace zelmar
