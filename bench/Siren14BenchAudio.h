// The audio the Siren14 benchmarks code: the reference test signals (speech, sweep, silence +
// speech) at one sample rate, repeated to 60 s.  Shared by the timed benchmark and the
// instruction-count driver so that both measure the same frames.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zelmar::bench {

constexpr int kSiren14BenchFrames = 3000;  // 20 ms frames: 60 s

inline std::vector<int16_t> ReadPcm16(const std::string& path) {
    std::vector<int16_t> samples;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        uint8_t pair[2];
        while (std::fread(pair, 1, 2, file) == 2) samples.push_back(static_cast<int16_t>(pair[0] | (pair[1] << 8)));
        std::fclose(file);
    }
    return samples;
}

// Empty when the signals are missing from `vectorsDir`.
inline std::vector<int16_t> Siren14BenchAudio(const std::string& vectorsDir, int sampleRate) {
    std::vector<int16_t> signals;
    for (const char* name : {"speech1", "sweep", "silspeech"}) {
        const std::vector<int16_t> part =
            ReadPcm16(vectorsDir + "/" + name + "_fs" + std::to_string(sampleRate / 1000) + "k.raw");
        signals.insert(signals.end(), part.begin(), part.end());
    }
    std::vector<int16_t> audio;
    if (signals.empty()) return audio;
    const size_t total = static_cast<size_t>(kSiren14BenchFrames) * static_cast<size_t>(sampleRate / 50);
    while (audio.size() < total) audio.insert(audio.end(), signals.begin(), signals.end());
    audio.resize(total);
    return audio;
}

}  // namespace zelmar::bench
