// Sound devices on a private PulseAudio server with a null sink: round-trip latency and CPU
// cost of "DSoundAudioOut" → null sink → monitor source → "DSoundAudioIn" (and the same with
// the second-generation capture, "DSoundAudioIn2", and with both second-generation components),
// beside the same work done with libpulse's simple API (pa_simple) in the same run.
//
// Latency: after 3 s of silence (a fresh null sink needs up to 2 s before it honours a
// stream's latency request), 200 blocks of 10 ms are played, each starting with a click.  The
// capture side records every block and the moment its GetData (pa_simple_read) returned.
// The clicks are found in the captured stream; the k-th click belongs to the k-th block
// played (a gap in the click spacing shows a lost block and is counted, not matched).  One
// figure per block: moment the capture call returned − the time the samples after the click
// had already been held in that block − moment the PutData (pa_simple_write) of the block
// returned.
//
// CPU: user + system time of the whole process (the host's two threads and the client
// library's threads) per second of wall time while the pair streams, after a warm-up;
// median of five runs of 8 s, alternating with the anchor.
//
// The server is started here the way tests/sound_server.sh does; with no pulseaudio program
// or a server that will not start, the program says so and exits 0.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <sys/resource.h>
#include <zelmar/zelmar.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DevicePair.h"
#include "framework/Result.h"
#include "platform/Platform.h"
#include "platform/audio/PulseAudio.h"
#include "support/PrivateSoundServer.h"

namespace {

using namespace devicebench;
namespace pa = zelmar::platform::audio;

constexpr int kRate = 16000;
constexpr int kBlockSamples = 160;  // 10 ms
constexpr int kBlockBytes = kBlockSamples * 2;
constexpr int kBufferMs = 60;       // OutBufferTime / InBufferTime, and the anchor's tlength
constexpr int kMarkedBlocks = 200;
constexpr int kWarmUpBlocks = 300;  // 3 s
constexpr int kTailBlocks = 40;
constexpr int16_t kClick = 24000;
constexpr int kClickThreshold = 8000;
constexpr double kCpuSeconds = 8.0;
constexpr int kCpuRuns = 5;
const char* const kSinkDescription = "BenchSink";

// The engine's pair, one 10 ms block a call: a playback component into the bench sink and a
// capture component on its monitor.
class ComponentPair final : public Pair {
public:
    ComponentPair(const char* playback, const char* capture)
        : playback_(playback), capture_(capture),
          name_(std::string(playback) + "/" + (capture + std::strlen("DSoundAudio"))) {}

    // Empty on success.
    std::string Open() {
        out_.reset(ZelmarCreateComponent(playback_.c_str()));
        in_.reset(ZelmarCreateComponent(capture_.c_str()));
        if (!out_ || !in_) return "components not created";
        const int32_t outNo = FindDevice(out_.get(), "OutDeviceNum", "OutDeviceName", kSinkDescription);
        const int32_t inNo = FindDevice(in_.get(), "InDeviceNum", "InDeviceName",
                                        std::string("Monitor of ") + kSinkDescription);
        if (outNo < 0 || inNo < 0) return "the null sink or its monitor is not listed";
        for (IAudioIO* io : {out_.get(), in_.get()}) {
            io->SetProperty("SamplesPerSec", kRate, nullptr);
            io->SetProperty("BlockSamples", kBlockSamples, nullptr);
        }
        out_->SetProperty("OutDeviceNo", outNo, nullptr);
        out_->SetProperty("OutBufferTime", kBufferMs, nullptr);
        in_->SetProperty("InDeviceNo", inNo, nullptr);
        in_->SetProperty("InBufferTime", kBufferMs, nullptr);
        if (out_->Build() != 0 || in_->Build() != 0) return "Build failed";
        if (out_->Start() != 0 || in_->Start() != 0) return "Start failed";
        return {};
    }
    ~ComponentPair() override {
        if (in_) in_->Stop();
        if (out_) out_->Stop();
    }
    // A host's loops: a time-out means "not yet", the block is offered again, for up to 5 s
    // (a fresh null sink may hold the first audio for 2 s).
    bool Put(const int16_t* block) override {
        return Retry([&] { return out_->PutData(block, kBlockBytes); });
    }
    bool Get(int16_t* block) override {
        return Retry([&] { return in_->GetData(block, kBlockBytes); });
    }
    const char* Name() const override { return name_.c_str(); }

private:
    static bool Retry(const std::function<int32_t()>& call) {
        const auto giveUp = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            const int32_t r = call();
            if (r == kBlockBytes) return true;
            if (r != zelmar::kErrTimeout) {
                std::fprintf(stderr, "devices_bench: a data call returned 0x%08x\n", static_cast<unsigned>(r));
                return false;
            }
            if (Clock::now() > giveUp) return false;
        }
    }

    std::string playback_, capture_, name_;
    ComponentPtr out_;
    ComponentPtr in_;
};

struct LatencyResult {
    std::vector<double> ms;  // one per matched block, sorted
    int lostBlocks = 0;
    bool failed = false;
};

LatencyResult MeasureLatency(Pair& pair) {
    LatencyResult result;
    std::vector<Clock::time_point> putAt(kMarkedBlocks);
    std::atomic<bool> failed{false};
    std::atomic<bool> done{false};
    std::thread player([&] {
        std::vector<int16_t> silence(kBlockSamples, 0);
        std::vector<int16_t> click(kBlockSamples, 0);
        click[0] = kClick;
        for (int b = 0; b < kWarmUpBlocks + kMarkedBlocks + kTailBlocks && !failed; ++b) {
            const int marked = b - kWarmUpBlocks;
            const bool isMarked = marked >= 0 && marked < kMarkedBlocks;
            if (!pair.Put(isMarked ? click.data() : silence.data())) failed = true;
            if (isMarked) putAt[marked] = Clock::now();
        }
        done = true;
    });
    std::vector<int16_t> captured;
    std::vector<Clock::time_point> gotAt;
    std::vector<int16_t> block(kBlockSamples);
    const auto start = Clock::now();
    while (!failed && Clock::now() - start < std::chrono::seconds(30)) {
        if (!pair.Get(block.data())) {
            failed = true;
            break;
        }
        gotAt.push_back(Clock::now());
        captured.insert(captured.end(), block.begin(), block.end());
        if (done) break;
    }
    // The tail blocks give the capture side time to receive the last marked block.
    player.join();
    result.failed = failed;
    if (failed) return result;

    // Clicks: a sample above the threshold after at least 100 quiet samples.
    std::vector<size_t> clicks;
    size_t quiet = 100;
    for (size_t n = 0; n < captured.size(); ++n) {
        if (std::abs(captured[n]) >= kClickThreshold) {
            if (quiet >= 100) clicks.push_back(n);
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    int marked = 0;
    for (size_t i = 0; i < clicks.size() && marked < kMarkedBlocks; ++i) {
        if (i > 0) {
            // A spacing other than one block means blocks were lost (or repeated) on the way.
            const double blocks = static_cast<double>(clicks[i] - clicks[i - 1]) / kBlockSamples;
            const int step = static_cast<int>(std::lround(blocks));
            if (std::fabs(blocks - step) > 0.05 || step < 1) {
                ++result.lostBlocks;
                continue;
            }
            result.lostBlocks += step - 1;
            marked += step;
            if (marked >= kMarkedBlocks) break;
        }
        const size_t blockIndex = clicks[i] / kBlockSamples;
        const double heldMs = 1000.0 * static_cast<double>((blockIndex + 1) * kBlockSamples - clicks[i]) / kRate;
        result.ms.push_back(Ms(gotAt[blockIndex] - putAt[marked]) - heldMs);
    }
    std::sort(result.ms.begin(), result.ms.end());
    return result;
}

// Process CPU milliseconds per wall second while the pair streams a tone.
double MeasureCpu(Pair& pair, bool* ok) {
    std::vector<int16_t> tone(kBlockSamples);
    for (int i = 0; i < kBlockSamples; ++i) tone[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000 * i / kRate));
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::thread player([&] {
        while (!stop && !failed) {
            if (!pair.Put(tone.data())) failed = true;
        }
    });
    std::vector<int16_t> block(kBlockSamples);
    const auto cpuNowMs = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    };
    const auto warmUpEnd = Clock::now() + std::chrono::milliseconds(kWarmUpBlocks * 10);
    while (!failed && Clock::now() < warmUpEnd) {
        if (!pair.Get(block.data())) failed = true;
    }
    const double cpu0 = cpuNowMs();
    const auto wall0 = Clock::now();
    const auto end = wall0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kCpuSeconds));
    while (!failed && Clock::now() < end) {
        if (!pair.Get(block.data())) failed = true;
    }
    const double cpuMs = cpuNowMs() - cpu0;
    const double wallS = Ms(Clock::now() - wall0) / 1000.0;
    stop = true;
    player.join();
    *ok = !failed;
    return cpuMs / wallS;
}

void PrintLatency(const char* name, const LatencyResult& r) {
    if (r.failed || r.ms.empty()) {
        std::printf("%-20s latency: the pair failed while streaming\n", name);
        return;
    }
    std::printf("%-20s latency over %zu blocks: median %6.1f ms, best %6.1f ms, worst %6.1f ms (blocks lost: %d)\n",
                name, r.ms.size(), r.ms[r.ms.size() / 2], r.ms.front(), r.ms.back(), r.lostBlocks);
}

}  // namespace

int main() {
    zelmar::test::PrivateSoundServer server("bench_sink", kSinkDescription);
    const std::string why = server.Start();
    if (!why.empty()) {
        std::printf("devices_bench: no sound server (%s); nothing measured\n", why.c_str());
        return 0;
    }
    const auto service = pa::CreatePulseAudioService(server.Address());
    zelmar::platform::Services services{};
    services.audio = service.get();
    zelmar::platform::ScopedPlatform scope(services);

    std::printf("16 kHz mono 16-bit, 10 ms blocks, %d ms device buffers; PulseAudio null sink -> monitor\n",
                kBufferMs);
    // The pairs: the first generation, its playback with the second-generation capture, the
    // second generation, and the anchor (last).
    constexpr int kPairs = 4;
    const char* const pairNames[kPairs - 1][2] = {
        {"DSoundAudioOut", "DSoundAudioIn"}, {"DSoundAudioOut", "DSoundAudioIn2"}, {"DSoundAudioOut2", "DSoundAudioIn2"}};
    auto open = [&](int which, std::unique_ptr<Pair>* pair) {
        std::string error;
        if (which < kPairs - 1) {
            auto components = std::make_unique<ComponentPair>(pairNames[which][0], pairNames[which][1]);
            error = components->Open();
            *pair = std::move(components);
        } else {
            auto simple = std::make_unique<SimplePair>(kRate, kBlockBytes, kBufferMs, "zelmar-bench");
            error = simple->Open(server.Address(), "bench_sink");
            *pair = std::move(simple);
        }
        if (!error.empty()) std::printf("devices_bench: %s: %s\n", which < kPairs - 1 ? "components" : "pa_simple", error.c_str());
        return error.empty();
    };
    LatencyResult latency[kPairs];
    std::vector<double> cpu[kPairs];
    std::string names[kPairs];
    for (int which = 0; which < kPairs; ++which) {
        std::unique_ptr<Pair> pair;
        if (!open(which, &pair)) return 1;
        names[which] = pair->Name();
        latency[which] = MeasureLatency(*pair);
        PrintLatency(pair->Name(), latency[which]);
    }
    // CPU runs alternate between the pairs so a change in machine load touches all.
    for (int run = 0; run < kCpuRuns; ++run) {
        for (int which = 0; which < kPairs; ++which) {
            std::unique_ptr<Pair> pair;
            if (!open(which, &pair)) return 1;
            bool ok = false;
            const double ms = MeasureCpu(*pair, &ok);
            if (!ok) {
                std::printf("devices_bench: %s failed while streaming\n", pair->Name());
                return 1;
            }
            cpu[which].push_back(ms);
        }
    }
    for (auto& runs : cpu) std::sort(runs.begin(), runs.end());
    for (int which = 0; which < kPairs; ++which) {
        std::printf("%-20s CPU per real-time second: %6.2f ms (runs, sorted:", names[which].c_str(), cpu[which][kCpuRuns / 2]);
        for (double ms : cpu[which]) std::printf(" %.2f", ms);
        std::printf(")\n");
    }
    const int anchor = kPairs - 1;
    for (int which = 0; which < anchor; ++which) {
        std::printf("ratio %s/pa_simple: CPU %.2f", names[which].c_str(), cpu[which][kCpuRuns / 2] / cpu[anchor][kCpuRuns / 2]);
        if (!latency[which].ms.empty() && !latency[anchor].ms.empty()) {
            std::printf(", median latency %.2f, worst latency %.2f",
                        latency[which].ms[latency[which].ms.size() / 2] / latency[anchor].ms[latency[anchor].ms.size() / 2],
                        latency[which].ms.back() / latency[anchor].ms.back());
        }
        std::printf("\n");
    }
    return 0;
}
