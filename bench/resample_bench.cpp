// Resampler throughput: ResampleAudioFilter beside SpeexDSP's resampler (quality 3 and 10)
// and soxr (SOXR_LQ), on the same 10 s of audio in 20 ms blocks, 16-bit mono in and out,
// one thread.  Figures are real-time factors (audio seconds per CPU second), medians of the
// repetitions.
//
// The engine's filter is a fixed cascade of two direct-form-I biquads in double precision
// whose arithmetic order is part of its output definition, so each step waits for the
// previous step's output: the recursion's latency (multiply, add, subtract) bounds it.  The
// "CascadeFloor" benchmark measures that latency chain alone in the same run, in time-stamp
// counter cycles, so the table can say how close the filter gets to it.
#include <benchmark/benchmark.h>
#include <soxr.h>
#include <speex/speex_resampler.h>
#include <x86intrin.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DspBenchSupport.h"

namespace {

using namespace dspbench;

struct Ratio {
    const char* name;
    int inRate, outRate;
};
const Ratio kRatios[] = {{"32000_16000", 32000, 16000}, {"48000_16000", 48000, 16000}, {"16000_32000", 16000, 32000}};

void Engine(benchmark::State& state, Ratio ratio) {
    const std::vector<int16_t> in = TestAudio(ratio.inRate);
    std::vector<int16_t> out(static_cast<std::size_t>(ratio.outRate / 50) + 16);
    ComponentPtr resampler(ZelmarCreateComponent("ResampleAudioFilter"));
    int32_t data = 0;
    resampler->SetProperty("InSamplesPerSec", ratio.inRate, &data);
    resampler->SetProperty("OutSamplesPerSec", ratio.outRate, &data);
    if (resampler->Build() != 0) return state.SkipWithError("Build failed");
    const int32_t blockBytes = ratio.inRate / 50 * 2;
    uint64_t cycles = 0;
    for (auto _ : state) {
        const uint64_t start = __rdtsc();
        for (std::size_t at = 0; at + blockBytes / 2 <= in.size(); at += blockBytes / 2) {
            int32_t inBytes = blockBytes, outBytes = static_cast<int32_t>(out.size() * 2);
            resampler->Process(&in[at], &inBytes, out.data(), &outBytes);
            benchmark::DoNotOptimize(out.data());
        }
        cycles += __rdtsc() - start;
    }
    SetRealTimeCounter(state, kSeconds);
    // One cascade step per input sample going down or across, per output sample going up.
    const double stepsPerIteration = kSeconds * std::max(ratio.inRate, ratio.outRate);
    state.counters["tsc_per_step"] = static_cast<double>(cycles) / (stepsPerIteration * state.iterations());
}

void Speex(benchmark::State& state, Ratio ratio, int quality) {
    const std::vector<int16_t> in = TestAudio(ratio.inRate);
    std::vector<int16_t> out(static_cast<std::size_t>(ratio.outRate / 50) + 16);
    int error = 0;
    SpeexResamplerState* speex = speex_resampler_init(1, ratio.inRate, ratio.outRate, quality, &error);
    if (speex == nullptr) return state.SkipWithError("speex_resampler_init failed");
    const spx_uint32_t block = ratio.inRate / 50;
    for (auto _ : state) {
        for (std::size_t at = 0; at + block <= in.size(); at += block) {
            spx_uint32_t inLength = block, outLength = static_cast<spx_uint32_t>(out.size());
            speex_resampler_process_int(speex, 0, &in[at], &inLength, out.data(), &outLength);
            benchmark::DoNotOptimize(out.data());
        }
    }
    speex_resampler_destroy(speex);
    SetRealTimeCounter(state, kSeconds);
}

void Soxr(benchmark::State& state, Ratio ratio) {
    const std::vector<int16_t> in = TestAudio(ratio.inRate);
    std::vector<int16_t> out(static_cast<std::size_t>(ratio.outRate / 50) + 64);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(ratio.inRate, ratio.outRate, 1, &error, &io, &quality, nullptr);
    if (error != nullptr) return state.SkipWithError("soxr_create failed");
    const std::size_t block = static_cast<std::size_t>(ratio.inRate / 50);
    for (auto _ : state) {
        for (std::size_t at = 0; at + block <= in.size(); at += block) {
            std::size_t used = 0, made = 0;
            soxr_process(soxr, &in[at], block, &used, out.data(), out.size(), &made);
            benchmark::DoNotOptimize(out.data());
        }
    }
    soxr_delete(soxr);
    SetRealTimeCounter(state, kSeconds);
}

// The dependency chain of one direct-form-I step, y = (b0 x) - (a2 y2 + a1 y1), alone: its
// time-stamp-counter cycles per step are the floor for any filter that must keep this
// arithmetic.
void CascadeFloor(benchmark::State& state) {
    volatile double seed = 0.25;
    const double a1 = -0.5, a2 = 0.125, b0 = 0.3;
    constexpr int kSteps = 1 << 20;
    uint64_t cycles = 0;
    for (auto _ : state) {
        double y1 = seed, y2 = 0.0;
        const uint64_t start = __rdtsc();
        for (int i = 0; i < kSteps; ++i) {
            const double y = b0 * 0.5 - (a2 * y2 + a1 * y1);
            y2 = y1;
            y1 = y;
        }
        cycles += __rdtsc() - start;
        benchmark::DoNotOptimize(y1);
    }
    state.counters["tsc_per_step"] = static_cast<double>(cycles) / (static_cast<double>(kSteps) * state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (const Ratio& ratio : kRatios) {
        benchmark::RegisterBenchmark((std::string("Engine/") + ratio.name).c_str(), Engine, ratio);
        benchmark::RegisterBenchmark((std::string("SpeexQ3/") + ratio.name).c_str(), Speex, ratio, 3);
        benchmark::RegisterBenchmark((std::string("SpeexQ10/") + ratio.name).c_str(), Speex, ratio, 10);
        benchmark::RegisterBenchmark((std::string("SoxrLQ/") + ratio.name).c_str(), Soxr, ratio);
    }
    benchmark::RegisterBenchmark("CascadeFloor", CascadeFloor);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const double floor = reporter.Get("CascadeFloor", "tsc_per_step");
    std::printf("\nResampler, x real time (audio s per CPU s, median), 16-bit mono, 20 ms blocks:\n\n");
    std::printf("| ratio | engine | SpeexDSP q3 | SpeexDSP q10 | soxr LQ | engine / SpeexDSP q3 | TSC cycles per cascade step |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Ratio& ratio : kRatios) {
        const double engine = reporter.Get(std::string("Engine/") + ratio.name);
        const double q3 = reporter.Get(std::string("SpeexQ3/") + ratio.name);
        std::printf("| %d -> %d | %.0f | %.0f | %.0f | %.0f | %.2f | %.2f |\n", ratio.inRate, ratio.outRate, engine, q3,
                    reporter.Get(std::string("SpeexQ10/") + ratio.name), reporter.Get(std::string("SoxrLQ/") + ratio.name),
                    q3 > 0 ? engine / q3 : 0.0, reporter.Get(std::string("Engine/") + ratio.name, "tsc_per_step"));
    }
    std::printf("\nLatency floor of one biquad step (multiply, add, subtract in a chain), measured alone: %.2f TSC cycles.\n",
                floor);
    benchmark::Shutdown();
    return 0;
}
