// The G.722.1 / Siren14 reference vectors (inputs, reference bit streams and reference
// decodes), read at test time from the directory the build names in
// ZELMAR_G7221_VECTORS_DIR, and the quality measures the tests apply to them.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

namespace zelmar::test {

struct Siren14Vector {
    const char* signal;  // speech1, sweep, silspeech
    int sampleRate;      // 16000 (7 kHz mode) or 32000 (14 kHz mode)
    int bitRate;

    int Bandwidth() const { return sampleRate == 32000 ? 14000 : 7000; }
    int FrameSamples() const { return sampleRate / 50; }
    int FrameBytes() const { return bitRate / 400; }
    std::string Base() const {
        return std::string(ZELMAR_G7221_VECTORS_DIR) + "/" + signal + "_fs" + std::to_string(sampleRate / 1000) + "k";
    }
    std::string InputPath() const { return Base() + ".raw"; }
    std::string BitsPath() const { return Base() + "_b" + std::to_string(bitRate / 1000) + "k.bit"; }
    std::string DecodePath() const { return Base() + "_b" + std::to_string(bitRate / 1000) + "k.dec.raw"; }
    std::string Name() const {
        return std::string(signal) + "_" + std::to_string(sampleRate / 1000) + "k_" + std::to_string(bitRate / 1000) + "k";
    }
};

// GoogleTest prints parameters through this.
inline void PrintTo(const Siren14Vector& v, std::ostream* out) { *out << v.Name(); }

inline const std::vector<Siren14Vector>& Siren14Vectors() {
    static const std::vector<Siren14Vector> vectors = [] {
        std::vector<Siren14Vector> all;
        for (const char* signal : {"speech1", "sweep", "silspeech"}) {
            for (int rate : {24000, 32000}) all.push_back({signal, 16000, rate});
            for (int rate : {24000, 32000, 48000}) all.push_back({signal, 32000, rate});
        }
        return all;
    }();
    return vectors;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline std::vector<int16_t> ReadPcm(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    std::vector<int16_t> samples(bytes.size() / 2);  // little-endian, as the engine's hosts
    if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// SNR in dB of `decoded` against `input`, compensating the codec's one-frame delay:
// input[0 .. L-N) against decoded[N .. L).
inline double DelayedSnrDb(const std::vector<int16_t>& input, const std::vector<int16_t>& decoded, int delay) {
    double signal = 0, noise = 0;
    for (size_t n = 0; n + delay < input.size() && n + delay < decoded.size(); ++n) {
        const double x = input[n], e = input[n] - decoded[n + delay];
        signal += x * x;
        noise += e * e;
    }
    return 10.0 * std::log10(signal / std::max(noise, 1e-9));
}

// Segmental SNR of `test` against `reference` (same alignment), over frames of `frame`
// samples whose reference RMS is at least -60 dBFS, without clamping.
inline double SegmentalSnrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& test, int frame) {
    double total = 0;
    int counted = 0;
    for (size_t start = 0; start + frame <= reference.size() && start + frame <= test.size(); start += frame) {
        double signal = 0, noise = 0;
        for (int i = 0; i < frame; ++i) {
            const double x = reference[start + i], e = x - test[start + i];
            signal += x * x;
            noise += e * e;
        }
        if (std::sqrt(signal / frame) < 32.768) continue;
        total += 10.0 * std::log10(signal / std::max(noise, 1e-3));
        ++counted;
    }
    return counted > 0 ? total / counted : 0.0;
}

}  // namespace zelmar::test
