// Shared pieces of the signal-processing benchmarks: test audio, running an engine filter
// over it in blocks, and a reporter that keeps the median real-time factor of each run.
#pragma once

#include <benchmark/benchmark.h>
#include <zelmar/zelmar.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "MedianReporter.h"

namespace dspbench {

constexpr double kSeconds = 10.0;  // audio per benchmark iteration
constexpr int kBlockMs = 20;

// Speech-like test audio: a voiced tone with moving pitch and formant-ish overtones, noise
// bursts and pauses, at about -12 dBFS.  Fixed seed.
inline std::vector<int16_t> TestAudio(int rate, double seconds = kSeconds) {
    std::mt19937 random(1234);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<int16_t> audio(static_cast<std::size_t>(rate * seconds));
    double phase = 0;
    for (std::size_t n = 0; n < audio.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const double syllable = std::fmod(t, 0.25) / 0.25;
        const bool pause = std::fmod(t, 2.0) > 1.6;
        phase += 2 * M_PI * (110 + 40 * std::sin(t * 3)) / rate;
        double v = 0.5 * std::sin(phase) + 0.25 * std::sin(3 * phase) + 0.12 * std::sin(7 * phase) + 0.05 * noise(random);
        v *= pause ? 0.01 : std::sin(M_PI * syllable);
        audio[n] = static_cast<int16_t>(std::lround(v * 8000));
    }
    return audio;
}

struct ComponentDeleter {
    void operator()(IAudioIO* io) const { ZelmarDisposeComponent(io); }
};
using ComponentPtr = std::unique_ptr<IAudioIO, ComponentDeleter>;

// Reports audio seconds per CPU second.
inline void SetRealTimeCounter(benchmark::State& state, double audioSecondsPerIteration) {
    state.counters["x_realtime"] =
        benchmark::Counter(audioSecondsPerIteration * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

using zelmar::bench::MedianReporter;

}  // namespace dspbench
