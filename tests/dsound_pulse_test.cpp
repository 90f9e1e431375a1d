// The sound-device components on a real PulseAudio server: a tone played into a null sink comes
// back whole through the sink's monitor, for both playback and both capture components and both
// block sizes, the backend's playback puts a write into what the server already holds in its
// place, and a killed server fails the data calls of both generations (the second keeping
// the device's result and its text) while a Build after its return plays again.  `./run test` starts the server (see tests/sound_server.sh); without ZELMAR_TEST_SINK
// these tests skip and say why.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/Result.h"
#include "platform/Platform.h"
#include "platform/audio/PulseAudio.h"
#include "support/PrivateSoundServer.h"
#include "support/SoundServerSink.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr int32_t kRate = 16000;
constexpr double kToneHz = 1025.0, kAmplitude = 8000.0;

// A host's loop: the block is offered again while the device is not ready (a time-out takes
// three polls of one block).
int32_t Retried(IAudioIO* io, bool plays, int16_t* block, int32_t bytes) {
    int32_t r = kErrTimeout;
    for (int tries = 0; tries < 200 && r == kErrTimeout; ++tries) r = plays ? io->PutData(block, bytes) : io->GetData(block, bytes);
    return r;
}

// 1025 Hz puts a quarter cycle into 10 ms and half a cycle into 20 ms, so a block lost,
// repeated or out of place, or a lap of a ring played again, breaks the phase: one period
// between rising zero crossings is then off by a quarter cycle or more.  The server resamples
// (16 kHz to the sink's 44.1 kHz and back): crossings keep their spacing, not their samples.
// The tone (amplitude 8000, -15.26 dBFS RMS) is measured from 0.2 s after it arrives (a fresh
// null sink may hold the first audio back for up to 2 s), in 100 ms windows.
TEST(SoundServer, AToneComesBackWholeThroughANullSinksMonitor) {
    if (!test::HaveSoundServer()) GTEST_SKIP() << test::kNoSoundServer;
    struct Row { const char *out, *in; int32_t blockSamples; };
    for (const Row& row : {Row{"DSoundAudioOut", "DSoundAudioIn", 160}, Row{"DSoundAudioOut", "DSoundAudioIn2", 320},
                           Row{"DSoundAudioOut2", "DSoundAudioIn2", 160}, Row{"DSoundAudioOut2", "DSoundAudioIn", 320}}) {
        SCOPED_TRACE(testing::Message() << row.out << " -> " << row.in << ", " << row.blockSamples << " samples");
        const int32_t samples = row.blockSamples, bytes = 2 * samples;
        test::OwnNullSink sink("Tone" + std::to_string(samples));
        ASSERT_GE(sink.module, 0) << "pactl could not load a null sink";
        test::ComponentPtr out = test::OpenOnDevice(row.out, sink.description, samples, 100);
        test::ComponentPtr in = test::OpenOnDevice(row.in, "Monitor of " + sink.description, samples, 100);
        ASSERT_EQ(out->Start(), kOk);
        ASSERT_EQ(in->Start(), kOk);
        std::atomic<bool> done{false};
        std::atomic<int> failures{0};
        std::thread player([&] {
            std::vector<int16_t> block(static_cast<size_t>(samples));
            for (uint64_t n = 0; !done;) {
                for (int16_t& s : block) s = int16_t(std::lround(kAmplitude * std::sin(2 * M_PI * kToneHz * double(n++) / kRate)));
                failures += Retried(out.get(), true, block.data(), bytes) != bytes;
            }
        });
        std::vector<int16_t> x(size_t{5} * kRate);
        for (size_t at = 0; at < x.size(); at += size_t(samples)) failures += Retried(in.get(), false, &x[at], bytes) != bytes;
        done = true;
        player.join();
        EXPECT_EQ(failures.load(), 0);

        const size_t from = size_t(std::find_if(x.begin(), x.end(), [](int16_t s) { return std::abs(s) > 4000; }) - x.begin()) + kRate / 5;
        ASSERT_LT(from + 2 * kRate, x.size()) << "the tone did not come back";
        // Per 100 ms window: the level, the frequency from the rising zero crossings (placed
        // between samples), and whether every period is whole.
        const double period = kRate / kToneHz;
        std::vector<double> levels, frequencies;
        size_t whole = 0;
        for (size_t at = from; at + kRate / 10 <= x.size(); at += kRate / 10) {
            double sum = 0, first = -1, last = 0, periods = -1;
            bool broken = false;
            for (size_t i = at; i < at + kRate / 10; ++i) {
                sum += double(x[i]) * x[i];
                if (x[i - 1] >= 0 || x[i] < 0) continue;
                const double crossing = double(i - 1) + double(-x[i - 1]) / (x[i] - x[i - 1]);
                broken |= first >= 0 && std::abs(crossing - last - period) > period / 8;
                first = first < 0 ? crossing : first, last = crossing, ++periods;
            }
            levels.push_back(10 * std::log10(sum / (kRate / 10) + 1e-9));
            frequencies.push_back(periods * kRate / (last - first));
            whole += !broken;
        }
        for (auto* v : {&levels, &frequencies}) std::nth_element(v->begin(), v->begin() + v->size() / 2, v->end());
        EXPECT_NEAR(frequencies[frequencies.size() / 2], kToneHz, 1.0);
        EXPECT_NEAR(levels[levels.size() / 2], 20 * std::log10(kAmplitude / std::sqrt(2.0)), 0.5);
        // A loaded machine glitches now and then (a late writer leaves a gap or lets the ring
        // play a lap again); a component that loses or repeats blocks breaks every lap.
        EXPECT_GE(4 * whole, 3 * levels.size()) << whole << " of " << levels.size() << " windows whole";
    }
}

// The backend keeps the server's queue deep and puts a write into what the server already holds
// in its place: a click written at the write cursor (into that queue) and one 200 ms further on
// (past it) each come back once through the monitor, 200 ms apart.  A write into the queue that
// went nowhere, went twice or landed elsewhere breaks the count or the spacing.
TEST(SoundServer, AWriteIntoWhatTheServerHoldsReplacesIt) {
    if (!test::HaveSoundServer()) GTEST_SKIP() << test::kNoSoundServer;
    test::OwnNullSink sink("Rewrite");
    ASSERT_GE(sink.module, 0) << "pactl could not load a null sink";
    const auto service = pa::CreatePulseAudioService();
    const auto idOf = [&](bool capture, const std::string& name) {
        std::vector<pa::DeviceDescription> devices;
        EXPECT_EQ(capture ? service->EnumerateCapture(&devices) : service->EnumeratePlayback(&devices), pa::kDsOk);
        for (const auto& d : devices) {
            if (d.description == name) return d.guid;
        }
        ADD_FAILURE() << name << " is not listed";
        return pa::DeviceGuid{};
    };
    const pa::DeviceGuid sinkId = idOf(false, sink.description), monitorId = idOf(true, "Monitor of " + sink.description);
    const WAVEFORMATEX format{1, 1, kRate, 2 * kRate, 2, 16, 0};
    std::unique_ptr<pa::IPlaybackDevice> speaker;
    std::unique_ptr<pa::IPlaybackBuffer> played;
    ASSERT_EQ(service->CreatePlayback(&sinkId, &speaker), pa::kDsOk);
    ASSERT_EQ(speaker->SetCooperativeLevel(1, pa::kCooperativePriority), pa::kDsOk);
    ASSERT_EQ(speaker->CreateSoundBuffer({pa::kBufferGetCurrentPosition2, 2 * kRate, true, format}, &played), pa::kDsOk);
    std::unique_ptr<pa::ICaptureDevice> microphone;
    std::unique_ptr<pa::ICaptureBuffer> heard;
    ASSERT_EQ(service->CreateCapture(&monitorId, &microphone), pa::kDsOk);
    ASSERT_EQ(microphone->CreateCaptureBuffer({0, 24 * kRate, format}, &heard), pa::kDsOk);
    ASSERT_EQ(heard->Start(pa::kCaptureStartLooping), pa::kDsOk);
    ASSERT_EQ(played->Play(pa::kPlayLooping), pa::kDsOk);
    // A fresh null sink holds its first stream back for up to 2 s; until the stream's clock has
    // the truth again the cursors stand a frame apart and the server holds nothing past the
    // write cursor.  Writes start once they have stood more than 5 ms apart (the sink's buffer
    // and more) for half a second.
    uint32_t play = 0, write = 0;
    for (int i = 0, apart = 0; i < 1000 && apart < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(played->GetCurrentPosition(&play, &write), pa::kDsOk);
        apart = (write + 2 * kRate - play) % (2 * kRate) > 2 * kRate / 200 ? apart + 1 : 0;
    }
    ASSERT_EQ(played->GetCurrentPosition(&play, &write), pa::kDsOk);
    constexpr uint32_t kSpacingSamples = kRate / 5;
    for (uint32_t at : {write, (write + 2 * kSpacingSamples) % (2 * kRate)}) {
        void *part1, *part2;
        uint32_t bytes1, bytes2;
        ASSERT_EQ(played->Lock(at, 64, &part1, &bytes1, &part2, &bytes2, 0), pa::kDsOk);
        std::fill_n(static_cast<int16_t*>(part1), bytes1 / 2, int16_t{20000});
        if (part2 != nullptr) std::fill_n(static_cast<int16_t*>(part2), bytes2 / 2, int16_t{20000});
        ASSERT_EQ(played->Unlock(part1, bytes1, part2, bytes2), pa::kDsOk);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_EQ(played->Stop(), pa::kDsOk);
    ASSERT_EQ(heard->Stop(), pa::kDsOk);
    void *part1, *part2;
    uint32_t bytes1, bytes2;
    ASSERT_EQ(heard->Lock(0, 24 * kRate, &part1, &bytes1, &part2, &bytes2, 0), pa::kDsOk);
    const auto* x = static_cast<const int16_t*>(part1);
    std::vector<size_t> clicks;
    for (size_t i = 0; i < bytes1 / 2; ++i) {
        if (x[i] > 10000 && (clicks.empty() || i > clicks.back() + 100)) clicks.push_back(i);
    }
    ASSERT_EQ(heard->Unlock(part1, bytes1, part2, bytes2), pa::kDsOk);
    ASSERT_EQ(clicks.size(), 2u);
    EXPECT_NEAR(double(clicks[1] - clicks[0]), kSpacingSamples, 2.0);
}

// Both generations on a private server that is killed under them: each data call moves its
// block (the first generation may time out) until the kill turns into the platform code within
// a few calls; the second generation keeps the device's result (playback: buffer lost, capture:
// no driver) with its text.  A Build fails while the server is gone and works after its return.
TEST(SoundServerFaults, AKilledServerFailsTheDataCallsAndABuildAfterItsReturnWorks) {
    if (!test::HaveSoundServer()) GTEST_SKIP() << test::kNoSoundServer << "; this test starts and kills one of its own";
    test::PrivateSoundServer server("kill_sink", "KillSink");
    ASSERT_EQ(server.Start(), "");
    const auto service = pa::CreatePulseAudioService(server.Address());
    platform::Services services{};
    services.audio = service.get();
    platform::ScopedPlatform scope(services);

    struct Side { const char* name; bool plays, secondGeneration; int32_t lost; };
    const Side sides[] = {{"DSoundAudioOut", true, false, 0}, {"DSoundAudioOut2", true, true, pa::kDsErrBufferLost},
                          {"DSoundAudioIn", false, false, 0}, {"DSoundAudioIn2", false, true, pa::kDsErrNoDriver}};
    std::vector<test::ComponentPtr> io;
    for (const Side& s : sides) io.push_back(test::OpenOnDevice(s.name, s.plays ? "KillSink" : "Monitor of KillSink", 160, 100));
    std::vector<int16_t> block(160, 1000);
    auto move = [&](size_t i) { return sides[i].plays ? io[i]->PutData(block.data(), 320) : io[i]->GetData(block.data(), 320); };
    auto run = [&] {
        for (size_t i = 0; i < io.size(); ++i) {
            ASSERT_EQ(io[i]->Start(), kOk) << sides[i].name;
            int moved = 0;
            for (int call = 0; call < 30; ++call) {
                const int32_t r = move(i);
                ASSERT_TRUE(r == 320 || (r == kErrTimeout && !sides[i].secondGeneration)) << sides[i].name << " " << std::hex << r;
                moved += r == 320;
            }
            EXPECT_GT(moved, 0) << sides[i].name;
        }
    };
    ASSERT_NO_FATAL_FAILURE(run());

    server.Kill();
    for (size_t i = 0; i < io.size(); ++i) {
        int32_t r = 320;
        for (int call = 0; call < 50 && r != kErrPlatform; ++call) r = move(i);
        EXPECT_EQ(r, kErrPlatform) << sides[i].name;
        if (!sides[i].secondGeneration) continue;
        int32_t code = 0;
        char text[256] = {};
        EXPECT_EQ(io[i]->GetProperty("DXErrorCode", 0, &code), kOk);
        EXPECT_EQ(code, sides[i].lost) << sides[i].name;
        EXPECT_EQ(io[i]->GetProperty("DXErrorString", sizeof text, text), kOk);
        EXPECT_STRNE(text, "n/a") << sides[i].name;
    }
    int32_t step = 0;
    EXPECT_EQ(io[1]->GetProperty("DXErrorCodeSub", 0, &step), kOk);
    EXPECT_EQ(step, 32);  // the cursors could not be read
    for (size_t i = 0; i < io.size(); ++i) {
        EXPECT_EQ(io[i]->Stop(), kOk) << sides[i].name;
        EXPECT_EQ(io[i]->Build(), kErrPlatform) << sides[i].name;  // nobody to connect to
    }
    EXPECT_EQ(io[1]->GetProperty("DXErrorCodeSub", 0, &step), kOk);
    EXPECT_EQ(step, 3);

    ASSERT_EQ(server.Start(), "") << "could not restart the private pulseaudio";
    for (size_t i = 0; i < io.size(); ++i) ASSERT_EQ(io[i]->Build(), kOk) << sides[i].name;
    run();
}

}  // namespace
}  // namespace zelmar
