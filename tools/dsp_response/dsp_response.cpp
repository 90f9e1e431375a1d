// dsp_response: measures the frequency responses of the engine's filters by running steady
// sines through the real code, and writes one table per filter for the figures in
// docs/dsp.md.  Each row: frequency in Hz, measured gain in dB, and where a closed form
// exists the cookbook design's gain in dB.
//   dsp_response OUT_DIR
#include <zelmar/zelmar.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <functional>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "dsp/blocks/BiquadFilter.h"

namespace {

using zelmar::CBiquadFilter;
constexpr double kPi = 3.141592653589793;

// Gain of a process that maps float samples to float samples, at `hz`, from a sine of
// `amplitude` after `settleSeconds`, by correlation over whole measurement seconds.
double MeasureDb(const std::function<float(float)>& step, double hz, double rate, double amplitude = 0.5) {
    const int settle = static_cast<int>(rate * 0.5), measure = static_cast<int>(rate);
    double s = 0, c = 0;
    for (int n = 0; n < settle + measure; ++n) {
        const double phase = 2 * kPi * hz * n / rate;
        const double y = step(static_cast<float>(amplitude * std::sin(phase)));
        if (n >= settle) s += y * std::sin(phase), c += y * std::cos(phase);
    }
    return 20 * std::log10(std::max(2 * std::hypot(s, c) / measure / amplitude, 1e-9));
}

double CookbookDb(const CBiquadFilter& f, double hz) {
    const std::complex<double> z1 = std::polar(1.0, -2 * kPi * hz / f.sampleRate), z2 = z1 * z1;
    const std::complex<double> h = (f.b0 + f.b1 * z1 + f.b2 * z2) / (1.0 + f.a1 * z1 + f.a2 * z2);
    return 20 * std::log10(std::max(std::abs(h), 1e-9));
}

std::vector<double> LogFrequencies(double rate) {
    std::vector<double> hz;
    for (double f = 20; f < rate * 0.49; f *= std::pow(2.0, 1.0 / 12)) hz.push_back(f);
    return hz;
}

struct Component {
    IAudioIO* io;
    explicit Component(const char* name) : io(ZelmarCreateComponent(name)) {}
    ~Component() { ZelmarDisposeComponent(io); }
};

// Gain in dB of a 16-bit mono filter component at `hz`: a sine of `amplitude` (full scale
// 1.0) through Process in 20 ms blocks, measured by correlation over the last second.
double MeasureComponentDb(IAudioIO* io, double hz, double rate, double amplitude = 0.5) {
    const int block = static_cast<int>(rate / 50), settle = static_cast<int>(rate * 0.5), measure = static_cast<int>(rate);
    std::vector<int16_t> in(static_cast<std::size_t>(settle + measure)), out(in.size());
    for (std::size_t n = 0; n < in.size(); ++n) in[n] = static_cast<int16_t>(std::lround(amplitude * 32767 * std::sin(2 * kPi * hz * n / rate)));
    for (std::size_t at = 0; at + block <= in.size(); at += block) {
        int32_t inBytes = block * 2, outBytes = block * 2;
        io->Process(&in[at], &inBytes, &out[at], &outBytes);
    }
    double s = 0, c = 0;
    for (int n = settle; n < settle + measure; ++n) {
        const double phase = 2 * kPi * hz * n / rate;
        s += out[n] / 32767.0 * std::sin(phase), c += out[n] / 32767.0 * std::cos(phase);
    }
    return 20 * std::log10(std::max(2 * std::hypot(s, c) / measure / amplitude, 1e-9));
}

bool Write(const std::string& path, const std::vector<std::vector<double>>& rows) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) std::fprintf(file, i ? " %.4f" : "%.3f", row[i]);
        std::fprintf(file, "\n");
    }
    return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dsp_response OUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const double rate = 16000;
    struct Kind {
        const char* name;
        uint32_t kind;
        double hz, gainDb;
    };
    const Kind kinds[] = {
        {"lowpass", CBiquadFilter::kLowPass, 3400, 0},      {"highpass", CBiquadFilter::kHighPass, 300, 0},
        {"bandpass", CBiquadFilter::kBandPass, 1000, 0},    {"notch", CBiquadFilter::kNotch, 1000, 0},
        {"peaking", CBiquadFilter::kPeaking, 1000, 6},      {"lowshelf", CBiquadFilter::kLowShelf, 200, 6},
        {"highshelf", CBiquadFilter::kHighShelf, 5000, -6},
    };
    int failures = 0;
    for (const Kind& kind : kinds) {
        std::vector<std::vector<double>> rows;
        for (double hz : LogFrequencies(rate)) {
            CBiquadFilter filter(static_cast<int>(rate));
            filter.type = kind.kind;
            filter.frequency = kind.hz;
            filter.gainDb = kind.gainDb;
            filter.ComputeCoefficients();
            const double cookbook = CookbookDb(filter, hz);
            rows.push_back({hz, MeasureDb([&](float x) { return filter.ProcessSample(x); }, hz, rate), cookbook});
        }
        failures += !Write(dir + "/biquad_" + kind.name + ".dat", rows);
    }

    // The resampler's cascade at equal rates (its anti-aliasing filter), 32 kHz.
    {
        std::vector<std::vector<double>> rows;
        for (double hz : LogFrequencies(32000)) {
            Component resampler("ResampleAudioFilter");
            int32_t data = 0;
            resampler.io->SetProperty("InSamplesPerSec", 32000, &data);
            resampler.io->SetProperty("OutSamplesPerSec", 32000, &data);
            resampler.io->Build();
            rows.push_back({hz, MeasureComponentDb(resampler.io, hz, 32000)});
        }
        failures += !Write(dir + "/resampler_cascade_32k.dat", rows);
    }
    // 32 kHz to 16 kHz: the gain of tones below 8 kHz, and the level at which tones above
    // 8 kHz come back folded to 16 kHz - f (aliasing), both relative to the input tone.
    {
        std::vector<std::vector<double>> rows;
        for (double hz : LogFrequencies(32000)) {
            Component resampler("ResampleAudioFilter");
            int32_t data = 0;
            resampler.io->SetProperty("InSamplesPerSec", 32000, &data);
            resampler.io->SetProperty("OutSamplesPerSec", 16000, &data);
            resampler.io->Build();
            const int block = 640, settle = 16000, measure = 32000;
            std::vector<int16_t> in(static_cast<std::size_t>(settle + measure)), out(in.size() / 2);
            for (std::size_t n = 0; n < in.size(); ++n) in[n] = static_cast<int16_t>(std::lround(16383 * std::sin(2 * kPi * hz * n / 32000)));
            for (std::size_t at = 0; at + block <= in.size(); at += block) {
                int32_t inBytes = block * 2, outBytes = block;
                resampler.io->Process(&in[at], &inBytes, &out[at / 2], &outBytes);
            }
            const double heard = hz < 8000 ? hz : 16000 - hz;
            double sum = 0, cosSum = 0;
            for (std::size_t n = settle / 2; n < out.size(); ++n) {
                const double phase = 2 * kPi * heard * n / 16000;
                sum += out[n] / 32767.0 * std::sin(phase), cosSum += out[n] / 32767.0 * std::cos(phase);
            }
            const double db = 20 * std::log10(std::max(2 * std::hypot(sum, cosSum) / (measure / 2) / 0.5, 1e-9));
            rows.push_back({hz, hz < 8000 ? db : NAN, hz >= 8000 ? db : NAN});
        }
        failures += !Write(dir + "/resampler_32k_16k.dat", rows);
    }
    // The tone control at 16 kHz: bass +6 dB, mid -6 dB, treble +6 dB, and a 3400 Hz low-pass.
    {
        std::vector<std::vector<double>> rows;
        for (double hz : LogFrequencies(rate)) {
            std::vector<double> row{hz};
            for (int setting = 0; setting < 2; ++setting) {
                Component tone("ToneControlAudioFilter");
                tone.io->SetProperty("SamplesPerSec", static_cast<int32_t>(rate), nullptr);
                tone.io->SetProperty("LowGain", 600, nullptr);
                tone.io->SetProperty("MidGain", -600, nullptr);
                tone.io->SetProperty("HighGain", 600, nullptr);
                if (setting == 1) tone.io->SetProperty("LowPassCutOff", 3400, nullptr);
                tone.io->Build();
                row.push_back(MeasureComponentDb(tone.io, hz, rate, 0.25));
            }
            rows.push_back(row);
        }
        failures += !Write(dir + "/tone_control_16k.dat", rows);
    }
    // The noise gate's high-pass (CutOff 150 Hz) with the gate open (GateTime 0), 16 kHz.
    {
        std::vector<std::vector<double>> rows;
        for (double hz : LogFrequencies(rate)) {
            Component gate("NoiseGateAudioFilter");
            gate.io->SetProperty("CutOff", 150, nullptr);
            gate.io->SetProperty("GateTime", 0, nullptr);
            gate.io->Build();
            gate.io->Start();
            rows.push_back({hz, MeasureComponentDb(gate.io, hz, rate)});
        }
        failures += !Write(dir + "/noise_gate_highpass_16k.dat", rows);
    }
    if (failures) std::fprintf(stderr, "dsp_response: could not write %d table(s) in %s\n", failures, dir.c_str());
    return failures ? 1 : 0;
}
