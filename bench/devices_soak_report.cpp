// A long real-time run of the second-generation pair on a private PulseAudio server:
// "DSoundAudioOut2" -> null sink -> its monitor -> "DSoundAudioIn2", then the same streaming
// through libpulse's simple API (pa_simple) with the same buffer sizes, in the same run.
//
//   devices_soak_report [SECONDS [ANCHOR_SECONDS]]      (default 600 and 600)
//
// The writer works as a voice host's does: one 20 ms block per 20 ms of its own clock
// (steady_clock), after a lead of silence the device takes as fast as it has room (the 50
// blocks the second-generation playback mutes after Start, then one buffer time).  A writer
// that finds itself more than a block behind its clock counts a late write and goes on from
// there.  Each block carries its sequence number: a click, then the 16-bit number and its
// complement, one bit per 8 samples at +-10000, so the number survives the server's
// resampling to the sink's rate and back and a torn block is told from a whole one.  The reader
// takes blocks as the device delivers them and notes when each call returned.  Afterwards the
// clicks are found in the captured stream and their numbers read:
//   - lost: numbers that never came back;
//   - repeated: a number that came back again;
//   - gaps: consecutive numbers whose clicks are not one block apart (the device played
//     something else between them: silence where the writer was late);
//   - torn: a click whose number does not check (a block cut short by a glitch);
//   - latency: for each block, the return of the capture call that held its click, less the
//     time the samples after the click were already in that block, less the return of the
//     write of the block.
// CPU: user + system time of the whole process (writer, reader and libpulse's threads; not
// the server's) per wall second of streaming, after the lead.
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
constexpr int kBlockSamples = 320;  // 20 ms
constexpr int kBlockBytes = kBlockSamples * 2;
constexpr int kBlockMs = 20;
constexpr int kBufferMs = 60;       // OutBufferTime / InBufferTime; the anchor's tlength
constexpr int kMutedBlocks = 50;    // what DSoundAudioOut2 mutes after Start
constexpr int kLeadBlocks = kMutedBlocks + kBufferMs / kBlockMs;
constexpr int kBits = 32;  // the number, then its complement
constexpr int kBitSamples = 8;
constexpr int kClickAt = 8;
constexpr int kBitsAt = 16;
constexpr int16_t kClick = 30000;
constexpr int16_t kBitLevel = 10000;
constexpr int kClickThreshold = 20000;
const char* const kSinkName = "soak_sink";
const char* const kSinkDescription = "SoakSink";

double CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// The block that carries `sequence`.
void Stamp(uint32_t sequence, int16_t* block) {
    std::fill(block, block + kBlockSamples, int16_t{0});
    block[kClickAt] = kClick;
    const uint32_t word = (sequence & 0xFFFFu) | ((~sequence & 0xFFFFu) << 16);
    for (int bit = 0; bit < kBits; ++bit) {
        const int16_t level = ((word >> bit) & 1u) != 0 ? kBitLevel : int16_t(-kBitLevel);
        std::fill(block + kBitsAt + bit * kBitSamples, block + kBitsAt + (bit + 1) * kBitSamples, level);
    }
}

// The second-generation pair, one 20 ms block a call: "DSoundAudioOut2" into the soak sink,
// "DSoundAudioIn2" on its monitor.
class ComponentPair final : public Pair {
public:
    std::string Open() {
        out_.reset(ZelmarCreateComponent("DSoundAudioOut2"));
        in_.reset(ZelmarCreateComponent("DSoundAudioIn2"));
        if (!out_ || !in_) return "components not created";
        const int32_t outNo = FindDevice(out_.get(), "OutDeviceNum", "OutDeviceName", kSinkDescription);
        const int32_t inNo = FindDevice(in_.get(), "InDeviceNum", "InDeviceName", std::string("Monitor of ") + kSinkDescription);
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
    bool Put(const int16_t* block) override { return Call([&] { return out_->PutData(const_cast<int16_t*>(block), kBlockBytes); }); }
    bool Get(int16_t* block) override { return Call([&] { return in_->GetData(block, kBlockBytes); }); }
    const char* Name() const override { return "DSoundAudioOut2/In2"; }
    // The playback's look-ahead limit N in blocks, which late writes widen.
    int32_t LookAheadBlocks() const {
        int32_t ms = 0;  // N blocks of their true length
        out_->GetProperty("InternalLimitSize", 0, &ms);
        return ms / kBlockMs;
    }

private:
    // A time-out is "not yet": asked again, for 5 s at most.
    template <typename F>
    static bool Call(F call) {
        const auto giveUp = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            const int32_t r = call();
            if (r == kBlockBytes) return true;
            if (r != zelmar::kErrTimeout || Clock::now() > giveUp) {
                std::fprintf(stderr, "devices_soak_report: a data call returned 0x%08x\n", static_cast<unsigned>(r));
                return false;
            }
        }
    }

    ComponentPtr out_;
    ComponentPtr in_;
};

struct RunResult {
    uint32_t written = 0;
    uint32_t found = 0;  // stamped blocks read back
    uint32_t lost = 0;
    uint32_t repeated = 0;
    uint32_t gaps = 0;
    uint32_t torn = 0;
    uint32_t lateWrites = 0;  // times the writer found itself more than a block behind its clock
    double longestPutMs = 0;
    // Waits between two reads' returns longer than the input buffer time: a reader that late
    // finds the capture skipped past blocks (or the device stood still).
    double longestGetGapMs = 0;
    std::string slowReads;  // the first few, at what time of the run
    std::vector<double> latencyMs;  // sorted
    std::string events;             // the first few losses, repeats, gaps and torn blocks, where they were
    double cpuMsPerSecond = 0;
    bool failed = false;
};

RunResult Stream(Pair& pair, double seconds) {
    RunResult result;
    const auto stamped = static_cast<uint32_t>(seconds * 1000 / kBlockMs);
    std::vector<Clock::time_point> putAt(stamped);
    std::atomic<bool> failed{false}, done{false};
    std::atomic<uint32_t> late{0};
    double longestPutMs = 0;
    double cpuAtStart = 0;
    Clock::time_point wallAtStart;
    std::atomic<bool> started{false};
    std::thread writer([&] {
        std::vector<int16_t> block(kBlockSamples, 0);
        for (int b = 0; b < kLeadBlocks && !failed; ++b) {
            if (!pair.Put(block.data())) failed = true;
        }
        cpuAtStart = CpuMs();
        wallAtStart = Clock::now();
        started = true;
        const auto period = std::chrono::milliseconds(kBlockMs);
        // The stamped blocks, then a buffer time of silence to carry the last one through.
        const uint32_t tail = kBufferMs / kBlockMs + 10;
        Clock::time_point base = wallAtStart;
        for (uint32_t n = 0; n < stamped + tail && !failed; ++n) {
            const auto due = base + n * period;
            std::this_thread::sleep_until(due);
            const auto now = Clock::now();
            if (now - due > period) {
                late.fetch_add(1);
                base = now - n * period;
            }
            if (n < stamped) {
                Stamp(n, block.data());
            } else {
                std::fill(block.begin(), block.end(), int16_t{0});
            }
            if (!pair.Put(block.data())) failed = true;
            const auto put = Clock::now();
            longestPutMs = std::max(longestPutMs, Ms(put - now));
            if (n < stamped) putAt[n] = put;
        }
        done = true;
    });
    std::vector<int16_t> captured;
    captured.reserve(static_cast<size_t>((seconds + 5) * kRate));
    std::vector<Clock::time_point> gotAt;
    std::vector<int16_t> block(kBlockSamples);
    while (!failed && !done) {
        if (!pair.Get(block.data())) {
            failed = true;
            break;
        }
        gotAt.push_back(Clock::now());
        captured.insert(captured.end(), block.begin(), block.end());
    }
    writer.join();
    const double cpuMs = CpuMs() - cpuAtStart;
    if (const char* dump = std::getenv("ZELMAR_SOAK_DUMP")) {
        // The captured stream as raw 16-bit mono, for a look at what a glitch left.
        if (FILE* file = std::fopen((std::string(dump) + "-" + pair.Name()[0] + ".raw").c_str(), "wb")) {
            std::fwrite(captured.data(), 2, captured.size(), file);
            std::fclose(file);
        }
    }
    const double wallS = Ms(Clock::now() - wallAtStart) / 1000.0;
    result.failed = failed || !started;
    if (result.failed) return result;
    result.written = stamped;
    result.lateWrites = late.load();
    result.longestPutMs = longestPutMs;
    for (size_t i = 1; i < gotAt.size(); ++i) {
        const double gapMs = Ms(gotAt[i] - gotAt[i - 1]);
        result.longestGetGapMs = std::max(result.longestGetGapMs, gapMs);
        if (gapMs > kBufferMs && gotAt[i] > wallAtStart && result.slowReads.size() < 200) {
            char text[64];
            std::snprintf(text, sizeof text, " %.0f ms at %.2f s;", gapMs, Ms(gotAt[i] - wallAtStart) / 1000);
            result.slowReads += text;
        }
    }
    result.cpuMsPerSecond = cpuMs / wallS;

    // Clicks: the highest sample of a run above the threshold; the bits follow at fixed offsets.
    std::vector<bool> seen(stamped, false);
    int64_t lastClick = -1;
    int64_t lastSequence = -1;
    for (size_t n = kClickAt; n + kBlockSamples < captured.size(); ++n) {
        if (captured[n] < kClickThreshold || captured[n] < captured[n - 1] || captured[n] < captured[n + 1]) continue;
        uint32_t word = 0;
        for (int bit = 0; bit < kBits; ++bit) {
            const size_t from = n - kClickAt + kBitsAt + size_t(bit) * kBitSamples + 2;
            long sum = 0;
            for (size_t i = from; i < from + kBitSamples - 4; ++i) sum += captured[i];
            if (sum > 0) word |= 1u << bit;
        }
        const auto click = static_cast<int64_t>(n);
        n += kBlockSamples / 2;  // one click per block
        const uint32_t sequence = word & 0xFFFFu;
        auto note = [&](const char* what, int64_t number) {
            if (std::count(result.events.begin(), result.events.end(), ';') >= 12) return;
            char text[96];
            std::snprintf(text, sizeof text, " %s %lld at %.2f s;", what, static_cast<long long>(number), double(click) / kRate);
            result.events += text;
        };
        if ((word >> 16) != (~sequence & 0xFFFFu) || sequence >= stamped) {
            ++result.torn;
            note("torn after", lastSequence);
            continue;
        }
        if (lastSequence >= 0 && sequence > lastSequence + 1) note("jump past", lastSequence);
        ++result.found;
        if (seen[sequence]) {
            ++result.repeated;
            note("repeat of", sequence);
        } else {
            seen[sequence] = true;
            const size_t index = static_cast<size_t>(click) / kBlockSamples;
            const double heldMs = 1000.0 * double((index + 1) * kBlockSamples - size_t(click)) / kRate;
            result.latencyMs.push_back(Ms(gotAt[index] - putAt[sequence]) - heldMs);
        }
        if (lastSequence >= 0 && sequence == lastSequence + 1 && std::llabs(click - lastClick - kBlockSamples) > 3) {
            ++result.gaps;
            note("gap before", sequence);
        }
        lastClick = click;
        lastSequence = sequence;
    }
    result.lost = static_cast<uint32_t>(std::count(seen.begin(), seen.end(), false));
    std::sort(result.latencyMs.begin(), result.latencyMs.end());
    return result;
}

double Quantile(const std::vector<double>& sorted, double q) {
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * double(sorted.size())))];
}

void Print(const char* name, double seconds, const RunResult& r) {
    if (r.failed) {
        std::printf("%-20s failed while streaming\n", name);
        return;
    }
    std::printf("%-20s %.0f s: %u blocks written, %u read back; lost %u, repeated %u, gaps %u, torn %u\n", name,
                seconds, r.written, r.found, r.lost, r.repeated, r.gaps, r.torn);
    std::printf("%-20s writer more than a block behind its clock %u times; longest write %.1f ms\n", "", r.lateWrites,
                r.longestPutMs);
    std::printf("%-20s longest wait between two reads %.1f ms; over the %d ms buffer time:%s\n", "", r.longestGetGapMs,
                kBufferMs, r.slowReads.empty() ? " none" : r.slowReads.c_str());
    std::printf("%-20s round trip: median %.1f ms, 99th percentile %.1f ms, best %.1f ms, worst %.1f ms\n", "",
                Quantile(r.latencyMs, 0.5), Quantile(r.latencyMs, 0.99), r.latencyMs.empty() ? 0 : r.latencyMs.front(),
                r.latencyMs.empty() ? 0 : r.latencyMs.back());
    std::printf("%-20s CPU per real-time second: %.2f ms\n", "", r.cpuMsPerSecond);
    if (!r.events.empty()) std::printf("%-20s first events (capture time):%s\n", "", r.events.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600;
    const double anchorSeconds = argc > 2 ? std::atof(argv[2]) : seconds;
    if (!(seconds >= 1 && seconds <= 3600 && anchorSeconds >= 1 && anchorSeconds <= 3600)) {
        std::fprintf(stderr, "usage: devices_soak_report [SECONDS [ANCHOR_SECONDS]], 1..3600 each\n");
        return 2;
    }
    zelmar::test::PrivateSoundServer server(kSinkName, kSinkDescription);
    const std::string why = server.Start();
    if (!why.empty()) {
        std::printf("devices_soak_report: no sound server (%s); nothing measured\n", why.c_str());
        return 0;
    }
    const auto service = pa::CreatePulseAudioService(server.Address());
    zelmar::platform::Services services{};
    services.audio = service.get();
    zelmar::platform::ScopedPlatform scope(services);

    std::printf("16 kHz mono 16-bit, 20 ms blocks written every 20 ms, %d ms buffers; PulseAudio null sink -> monitor\n",
                kBufferMs);
    std::fflush(stdout);
    RunResult runs[2];
    {
        ComponentPair components;
        const std::string error = components.Open();
        if (!error.empty()) {
            std::printf("devices_soak_report: components: %s\n", error.c_str());
            return 1;
        }
        runs[0] = Stream(components, seconds);
        Print(components.Name(), seconds, runs[0]);
        std::printf("%-20s playback look-ahead at the end: %d blocks (%d at Build)\n", "", components.LookAheadBlocks(),
                    kBufferMs / kBlockMs);
        std::fflush(stdout);
    }
    {
        SimplePair simple(kRate, kBlockBytes, kBufferMs, "zelmar-soak");
        const std::string error = simple.Open(server.Address(), kSinkName);
        if (!error.empty()) {
            std::printf("devices_soak_report: %s\n", error.c_str());
            return 1;
        }
        runs[1] = Stream(simple, anchorSeconds);
        Print(simple.Name(), anchorSeconds, runs[1]);
    }
    if (!runs[0].failed && !runs[1].failed && !runs[1].latencyMs.empty()) {
        std::printf("ratio DSoundAudioOut2/In2 to pa_simple: median round trip %.2f, 99th percentile %.2f, CPU %.2f\n",
                    Quantile(runs[0].latencyMs, 0.5) / Quantile(runs[1].latencyMs, 0.5),
                    Quantile(runs[0].latencyMs, 0.99) / Quantile(runs[1].latencyMs, 0.99),
                    runs[0].cpuMsPerSecond / runs[1].cpuMsPerSecond);
    }
    return runs[0].failed || runs[1].failed ? 1 : 0;
}
