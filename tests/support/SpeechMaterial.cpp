#include "support/SpeechMaterial.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

namespace zelmar::test {
namespace {

constexpr double kActiveRangeDb = 40.0;
constexpr int kFillPauseMs = 200;
constexpr double kMinFrameSnrDb = -10.0;
constexpr double kMaxFrameSnrDb = 35.0;

// Mean power of the clean speech over its active frames (the active speech level).
double ActiveSpeechPower(const std::vector<int16_t>& clean, const std::vector<bool>& labels, int rateHz) {
    const size_t frame = static_cast<size_t>(rateHz / 100);
    double sum = 0;
    size_t count = 0;
    for (size_t f = 0; f < labels.size(); ++f) {
        if (!labels[f]) continue;
        for (size_t i = 0; i < frame; ++i) sum += double(clean[f * frame + i]) * clean[f * frame + i];
        count += frame;
    }
    return count == 0 ? 0.0 : sum / double(count);
}

}  // namespace

std::string SpeechPath(int rateHz) {
    return std::string(ZELMAR_BINARY_DIR) + "/testdata/speech_" + std::to_string(rateHz) + ".wav";
}

std::vector<int16_t> LoadSpeech(int rateHz) {
    std::vector<int16_t> samples;
    FILE* file = std::fopen(SpeechPath(rateHz).c_str(), "rb");
    if (file == nullptr) return samples;
    // Walk the RIFF chunks to "data"; make_speech.sh writes plain 16-bit mono PCM.
    char header[12];
    if (std::fread(header, 1, 12, file) == 12 && std::memcmp(header, "RIFF", 4) == 0) {
        char chunk[8];
        while (std::fread(chunk, 1, 8, file) == 8) {
            uint32_t size;
            std::memcpy(&size, chunk + 4, 4);
            if (std::memcmp(chunk, "data", 4) == 0) {
                samples.resize(size / 2);
                samples.resize(std::fread(samples.data(), 2, samples.size(), file));
                break;
            }
            std::fseek(file, static_cast<long>(size + (size & 1)), SEEK_CUR);
        }
    }
    std::fclose(file);
    return samples;
}

std::vector<float> WhiteNoise(size_t count, uint32_t seed) {
    // Box-Muller on the raw Mersenne Twister output: std::normal_distribution's algorithm
    // differs between standard libraries.
    std::mt19937 random(seed);
    std::vector<float> noise(count);
    const double twoPi = 6.283185307179586;
    for (size_t i = 0; i < count; i += 2) {
        const double u1 = (random() + 1.0) / 4294967297.0;
        const double u2 = random() / 4294967296.0;
        const double r = std::sqrt(-2.0 * std::log(u1));
        noise[i] = static_cast<float>(r * std::cos(twoPi * u2));
        if (i + 1 < count) noise[i + 1] = static_cast<float>(r * std::sin(twoPi * u2));
    }
    return noise;
}

std::vector<bool> SpeechLabels(const std::vector<int16_t>& clean, int rateHz) {
    const size_t frame = static_cast<size_t>(rateHz / 100);
    const size_t frames = clean.size() / frame;
    std::vector<double> energy(frames);
    double loudest = 0;
    for (size_t f = 0; f < frames; ++f) {
        double sum = 0;
        for (size_t i = 0; i < frame; ++i) sum += double(clean[f * frame + i]) * clean[f * frame + i];
        energy[f] = sum;
        loudest = std::max(loudest, sum);
    }
    std::vector<bool> labels(frames);
    for (size_t f = 0; f < frames; ++f) labels[f] = energy[f] > loudest * std::pow(10.0, -kActiveRangeDb / 10.0);
    // Close short pauses between active frames.
    const size_t fill = static_cast<size_t>(kFillPauseMs / 10);
    size_t lastActive = SIZE_MAX;
    for (size_t f = 0; f < frames; ++f) {
        if (!labels[f]) continue;
        if (lastActive != SIZE_MAX && f - lastActive > 1 && f - lastActive <= fill) {
            for (size_t g = lastActive + 1; g < f; ++g) labels[g] = true;
        }
        lastActive = f;
    }
    return labels;
}

std::vector<int16_t> MixAtSnr(const std::vector<int16_t>& clean, const std::vector<bool>& labels, int rateHz,
                              double snrDb, uint32_t seed) {
    const double noiseRms = std::sqrt(ActiveSpeechPower(clean, labels, rateHz) / std::pow(10.0, snrDb / 10.0));
    const auto noise = WhiteNoise(clean.size(), seed);
    std::vector<int16_t> mixed(clean.size());
    for (size_t i = 0; i < clean.size(); ++i) {
        const double v = std::round(clean[i] + noiseRms * noise[i]);
        mixed[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
    return mixed;
}

double SegmentalSnrDb(const std::vector<int16_t>& clean, const std::vector<int16_t>& processed,
                      const std::vector<bool>& labels, int rateHz, size_t delay) {
    const size_t frame = static_cast<size_t>(rateHz / 100);
    double total = 0;
    size_t count = 0;
    for (size_t f = 0; f < labels.size(); ++f) {
        if (!labels[f] || (f + 1) * frame + delay > processed.size()) continue;
        double signal = 0, error = 0;
        for (size_t i = f * frame; i < (f + 1) * frame; ++i) {
            const double d = double(processed[i + delay]) - clean[i];
            signal += double(clean[i]) * clean[i];
            error += d * d;
        }
        const double snr = 10.0 * std::log10((signal + 1e-9) / (error + 1e-9));
        total += std::clamp(snr, kMinFrameSnrDb, kMaxFrameSnrDb);
        ++count;
    }
    return count == 0 ? 0.0 : total / double(count);
}

std::vector<double> WindowedErleDb(const std::vector<int16_t>& echo, const std::vector<int16_t>& residual, int rateHz,
                                   double noiseDbfs, size_t from, size_t to, size_t window) {
    const size_t frame = static_cast<size_t>(rateHz / 100);
    const double noise = std::pow(32768.0, 2) * std::pow(10.0, noiseDbfs / 10);
    std::vector<double> erle;
    to = std::min({to, echo.size(), residual.size()});
    for (size_t w = from; w + window <= to; w += window) {
        double in = 0, out = 0;
        for (size_t f = w; f + frame <= w + window; f += frame) {
            double e = 0, r = 0;
            for (size_t i = f; i < f + frame; ++i) {
                e += double(echo[i]) * echo[i];
                r += double(residual[i]) * residual[i];
            }
            if (e < 100 * noise * double(frame)) continue;
            in += e;
            out += r;
        }
        erle.push_back(in == 0 ? NAN : 10 * std::log10(in / std::max(out, 1.0)));
    }
    return erle;
}

size_t BestDelay(const std::vector<int16_t>& clean, const std::vector<int16_t>& processed, size_t maxDelay) {
    size_t best = 0;
    double bestScore = -1e300;
    const size_t length = std::min(clean.size(), processed.size());
    for (size_t delay = 0; delay <= maxDelay && delay < length; ++delay) {
        double score = 0;
        for (size_t i = 0; i + delay < length; i += 3) score += double(clean[i]) * processed[i + delay];
        if (score > bestScore) {
            bestScore = score;
            best = delay;
        }
    }
    return best;
}

}  // namespace zelmar::test
