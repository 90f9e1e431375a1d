// Every signal-processing filter at 32 kHz: real-time factor (audio seconds per CPU second,
// median) of each filter in a demanding setting, 20 ms blocks, one thread, against the
// floor of 300x real time.  The anchor in the same run is a plain copy of the same blocks
// through ToneControlAudioFilter at unity gain, the cheapest path through the engine's
// Process interface.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "DspBenchSupport.h"

namespace {

using namespace dspbench;

constexpr int kRate = 32000;
constexpr double kFloorRealTime = 300.0;

struct FilterCase {
    const char* name;
    const char* factoryName;
    std::function<bool(IAudioIO*)> configure;  // sets properties, builds and starts
    double outPerIn;  // output bytes per input byte (exact for the mixer, which fills what it is given)
};

WAVEFORMATEX Pcm(int rate, int channels, int bits) {
    const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    return WAVEFORMATEX{1, static_cast<uint16_t>(channels), static_cast<uint32_t>(rate), static_cast<uint32_t>(rate) * align,
                        align, static_cast<uint16_t>(bits), 0};
}

bool SetMixer(IAudioIO* mixer, WAVEFORMATEX in, WAVEFORMATEX out) {
    return mixer->SetProperty("InWaveFormat", sizeof in, &in) == 0 && mixer->SetProperty("OutWaveFormat", sizeof out, &out) == 0 &&
           mixer->Build() == 0;
}

const std::vector<FilterCase>& Cases() {
    static const std::vector<FilterCase> cases = {
        {"Copy", "ToneControlAudioFilter", [](IAudioIO* f) { return f->SetProperty("SamplesPerSec", kRate, nullptr) == 0; }, 1.0},
        {"Resample_32k_16k", "ResampleAudioFilter",
         [](IAudioIO* f) {
             int32_t d = 0;
             f->SetProperty("InSamplesPerSec", kRate, &d);
             f->SetProperty("OutSamplesPerSec", 16000, &d);
             return f->Build() == 0;
         }, 1.0},
        {"Resample_32k_32k", "ResampleAudioFilter",
         [](IAudioIO* f) {
             int32_t d = 0;
             f->SetProperty("InSamplesPerSec", kRate, &d);
             f->SetProperty("OutSamplesPerSec", kRate, &d);
             return f->Build() == 0;
         }, 1.0},
        {"Resample_32k_96k", "ResampleAudioFilter",
         [](IAudioIO* f) {
             int32_t d = 0;
             f->SetProperty("InSamplesPerSec", kRate, &d);
             f->SetProperty("OutSamplesPerSec", 96000, &d);
             return f->Build() == 0;
         }, 3.0},
        {"ToneControl_3bands_lowpass", "ToneControlAudioFilter",
         [](IAudioIO* f) {
             f->SetProperty("SamplesPerSec", kRate, nullptr);
             f->SetProperty("Gain", 90, nullptr);
             f->SetProperty("LowGain", 600, nullptr);
             f->SetProperty("MidGain", -300, nullptr);
             f->SetProperty("HighGain", 450, nullptr);
             f->SetProperty("LowPassCutOff", 12000, nullptr);
             return f->Build() == 0;
         }, 1.0},
        {"NoiseGate_auto_highpass", "NoiseGateAudioFilter",
         [](IAudioIO* f) {
             f->SetProperty("SamplesPerSec", kRate, nullptr);
             f->SetProperty("Threshold", -1, nullptr);
             f->SetProperty("CutOff", 100, nullptr);
             return f->Build() == 0 && f->Start() == 0;
         }, 1.0},
        {"NoiseGate_manual", "NoiseGateAudioFilter",
         [](IAudioIO* f) {
             f->SetProperty("SamplesPerSec", kRate, nullptr);
             f->SetProperty("Threshold_db", 4000, nullptr);
             f->SetProperty("GateTime", 200, nullptr);
             return f->Build() == 0 && f->Start() == 0;
         }, 1.0},
        {"Accelerate_150", "AccelerateAudioFilter",
         [](IAudioIO* f) {
             f->SetProperty("SamplesPerSec", kRate, nullptr);
             f->SetProperty("Speed", 150, nullptr);
             return f->Build() == 0 && f->Start() == 0;
         }, 2.0},
        {"Mixer_mono_stereo16_angle", "MixerAudioFilter",
         [](IAudioIO* f) {
             int32_t d = 0;
             const bool ok = SetMixer(f, Pcm(kRate, 1, 16), Pcm(kRate, 2, 16));
             return ok && f->SetProperty("Angle", 70, &d) == 0;
         }, 2.0},
        {"Mixer_mono_mono16_gain", "MixerAudioFilter",
         [](IAudioIO* f) {
             int32_t d = 0;
             return SetMixer(f, Pcm(kRate, 1, 16), Pcm(kRate, 1, 16)) && f->SetProperty("Amplitude", 70, &d) == 0;
         }, 1.0},
        {"Mixer_mono16_stereo8_16k", "MixerAudioFilter",
         [](IAudioIO* f) { return SetMixer(f, Pcm(kRate, 1, 16), Pcm(16000, 2, 8)); }, 0.5},
    };
    return cases;
}

void RunFilter(benchmark::State& state, const FilterCase* filterCase) {
    const std::vector<int16_t> in = TestAudio(kRate);
    ComponentPtr filter(ZelmarCreateComponent(filterCase->factoryName));
    if (!filter || !filterCase->configure(filter.get())) return state.SkipWithError("set-up failed");
    const int32_t blockBytes = kRate / 50 * 2;
    const int32_t mixedBytes = static_cast<int32_t>(blockBytes * filterCase->outPerIn);
    std::vector<uint8_t> out(static_cast<std::size_t>(mixedBytes) + 64);
    const bool mixer = std::string(filterCase->factoryName) == "MixerAudioFilter";
    for (auto _ : state) {
        for (std::size_t at = 0; at + blockBytes / 2 <= in.size(); at += blockBytes / 2) {
            int32_t inBytes = blockBytes;
            int32_t outBytes = static_cast<int32_t>(out.size());
            if (mixer) outBytes = mixedBytes;
            filter->Process(&in[at], &inBytes, out.data(), &outBytes);
            benchmark::ClobberMemory();
        }
    }
    SetRealTimeCounter(state, kSeconds);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (const FilterCase& filterCase : Cases()) {
        benchmark::RegisterBenchmark(filterCase.name, RunFilter, &filterCase)->Unit(benchmark::kMillisecond);
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double copy = reporter.Get("Copy");
    std::printf("\nFilters at 32 kHz, 16-bit mono in, 20 ms blocks, x real time (median); floor %.0fx:\n\n", kFloorRealTime);
    std::printf("| filter | x real time | / copy through Process | >= %.0fx |\n|---|---|---|---|\n", kFloorRealTime);
    for (const FilterCase& filterCase : Cases()) {
        const double rate = reporter.Get(filterCase.name);
        std::printf("| %s | %.0f | %.3f | %s |\n", filterCase.name, rate, copy > 0 ? rate / copy : 0.0,
                    rate >= kFloorRealTime ? "yes" : "NO");
    }
    benchmark::Shutdown();
    return 0;
}
