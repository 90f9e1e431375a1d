// Speed change throughput: AccelerateAudioFilter at 125 % beside libsonic at the same speed,
// on the same 10 s of 16 kHz speech-like audio in 20 ms blocks, one thread.  Figures are
// real-time factors (input audio seconds per CPU second), medians of the repetitions.
// libsonic searches for a pitch-period splice point (WSOLA-like); the engine's filter
// overlap-adds whole windows without a search, so it is expected to be cheaper, not better.
#include <benchmark/benchmark.h>
#include <sonic.h>

#include <cstdio>
#include <vector>

#include "DspBenchSupport.h"

namespace {

using namespace dspbench;

constexpr int kRate = 16000;
constexpr int kSpeedPercent = 125;

void Engine(benchmark::State& state) {
    const std::vector<int16_t> in = TestAudio(kRate);
    std::vector<int16_t> out(4096);
    ComponentPtr accelerate(ZelmarCreateComponent("AccelerateAudioFilter"));
    accelerate->SetProperty("SamplesPerSec", kRate, nullptr);
    accelerate->SetProperty("Speed", kSpeedPercent, nullptr);
    if (accelerate->Build() != 0) return state.SkipWithError("Build failed");
    const std::size_t block = kRate / 50;
    std::size_t produced = 0;
    for (auto _ : state) {
        state.PauseTiming();
        accelerate->Stop();
        if (accelerate->Start() != 0) return state.SkipWithError("Start failed");
        state.ResumeTiming();
        for (std::size_t at = 0; at + block <= in.size();) {
            int32_t inBytes = static_cast<int32_t>((in.size() - at < block ? in.size() - at : block) * 2);
            int32_t outBytes = static_cast<int32_t>(out.size() * 2);
            accelerate->Process(&in[at], &inBytes, out.data(), &outBytes);
            benchmark::DoNotOptimize(out.data());
            produced += static_cast<std::size_t>(outBytes / 2);
            at += static_cast<std::size_t>(inBytes / 2);
        }
    }
    SetRealTimeCounter(state, kSeconds);
    state.counters["out_per_in"] = static_cast<double>(produced) / (static_cast<double>(in.size()) * state.iterations());
}

void Sonic(benchmark::State& state) {
    const std::vector<int16_t> in = TestAudio(kRate);
    std::vector<int16_t> block(in.begin(), in.begin() + kRate / 50), out(4096);
    std::size_t produced = 0;
    for (auto _ : state) {
        state.PauseTiming();
        sonicStream sonic = sonicCreateStream(kRate, 1);
        if (sonic == nullptr) return state.SkipWithError("sonicCreateStream failed");
        sonicSetSpeed(sonic, kSpeedPercent / 100.0f);
        state.ResumeTiming();
        for (std::size_t at = 0; at + block.size() <= in.size(); at += block.size()) {
            std::copy(in.begin() + at, in.begin() + at + block.size(), block.begin());  // sonic takes a non-const pointer
            sonicWriteShortToStream(sonic, block.data(), static_cast<int>(block.size()));
            int got;
            while ((got = sonicReadShortFromStream(sonic, out.data(), static_cast<int>(out.size()))) > 0) {
                produced += static_cast<std::size_t>(got);
            }
            benchmark::DoNotOptimize(out.data());
        }
        state.PauseTiming();
        sonicDestroyStream(sonic);
        state.ResumeTiming();
    }
    SetRealTimeCounter(state, kSeconds);
    state.counters["out_per_in"] = static_cast<double>(produced) / (static_cast<double>(in.size()) * state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("Engine/125", Engine)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Sonic/125", Sonic)->Unit(benchmark::kMillisecond);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double engine = reporter.Get("Engine/125"), sonic = reporter.Get("Sonic/125");
    std::printf("\nSpeed change at 125 %%, 16 kHz mono, 20 ms blocks, x real time (median):\n\n");
    std::printf("| speed | engine | libsonic | engine / libsonic | output / input (engine, libsonic) |\n|---|---|---|---|---|\n");
    std::printf("| 125 %% | %.0f | %.0f | %.2f | %.3f, %.3f |\n", engine, sonic, sonic > 0 ? engine / sonic : 0.0,
                reporter.Get("Engine/125", "out_per_in"), reporter.Get("Sonic/125", "out_per_in"));
    benchmark::Shutdown();
    return 0;
}
