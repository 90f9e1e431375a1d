// Mixer throughput: MixerAudioFilter mixing 16 kHz 16-bit mono into a 16-bit stereo bus
// placed with "Angle" (level and time difference), beside memcpy writing the same number
// of output bytes over the same buffers, 20 ms blocks, one thread.  The ratio says what
// fraction of a plain copy's speed the mix reaches.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "DspBenchSupport.h"

namespace {

using namespace dspbench;

constexpr int kRate = 16000;
constexpr int kFrames = kRate / 50;

WAVEFORMATEX Pcm(int channels) {
    return WAVEFORMATEX{1, static_cast<uint16_t>(channels), kRate, static_cast<uint32_t>(kRate * 2 * channels),
                        static_cast<uint16_t>(2 * channels), 16, 0};
}

void EngineAngle(benchmark::State& state) {
    const std::vector<int16_t> in = TestAudio(kRate);
    std::vector<int16_t> bus(2 * kFrames);
    ComponentPtr mixer(ZelmarCreateComponent("MixerAudioFilter"));
    WAVEFORMATEX mono = Pcm(1), stereo = Pcm(2);
    mixer->SetProperty("InWaveFormat", sizeof mono, &mono);
    mixer->SetProperty("OutWaveFormat", sizeof stereo, &stereo);
    if (mixer->Build() != 0) return state.SkipWithError("Build failed");
    int32_t data = 0;
    mixer->SetProperty("Angle", static_cast<int32_t>(state.range(0)), &data);
    for (auto _ : state) {
        for (std::size_t at = 0; at + kFrames <= in.size(); at += kFrames) {
            int32_t inBytes = kFrames * 2, outBytes = kFrames * 4;
            mixer->Process(&in[at], &inBytes, bus.data(), &outBytes);
            benchmark::ClobberMemory();
        }
    }
    SetRealTimeCounter(state, kSeconds);
}

void Memcpy(benchmark::State& state) {
    const std::vector<int16_t> in = TestAudio(kRate * 2);  // as many bytes as the stereo output
    std::vector<int16_t> bus(2 * kFrames);
    for (auto _ : state) {
        for (std::size_t at = 0; at + 2 * kFrames <= in.size(); at += 2 * kFrames) {
            std::memcpy(bus.data(), &in[at], bus.size() * sizeof(int16_t));
            benchmark::ClobberMemory();
        }
    }
    SetRealTimeCounter(state, kSeconds);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("EngineAngle", EngineAngle)->Arg(75)->Arg(50);
    benchmark::RegisterBenchmark("Memcpy", Memcpy);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double memcpyRate = reporter.Get("Memcpy");
    std::printf("\nMono to stereo, 16-bit, 16 kHz, 20 ms blocks, x real time (median):\n\n");
    std::printf("| mix | engine | memcpy of the output bytes | engine / memcpy |\n|---|---|---|---|\n");
    for (const char* angle : {"75", "50"}) {
        const double engine = reporter.Get(std::string("EngineAngle/") + angle);
        std::printf("| Angle %s | %.0f | %.0f | %.2f |\n", angle, engine, memcpyRate, memcpyRate > 0 ? engine / memcpyRate : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
