// Capture pre-processor speed: real-time factor (seconds of audio per second of CPU) with every
// stage on — high-pass and low-pass filters, noise suppression, automatic gate by level and
// pitch (VADType 2), automatic gain and the compressor — at 16 and 32 kHz in 10 ms blocks, on
// espeak-ng speech with white noise at 10 dB SNR.
//
// Anchors timed in the same run on the same input and blocks:
//  - SpeexDSP's preprocessor with denoise, AGC and VAD on;
//  - WebRTC's noise suppressor alone (AudioProcessing with only NS enabled).
// And the companion library's IIR filter and vector functions against plain scalar loops.
// A summary with the ratios is printed after the benchmark table (medians of repetitions).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <speex/speex_preprocess.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ZelmarEC/ZelmarEC.h>
#include "dsp/PreProcessAudioFilter.h"
#include "platform/Platform.h"

namespace {

using namespace zelmar;

constexpr double kSeconds = 10.0;

// 10 s of speech (made by tests/make_speech.sh at build time) plus white noise 10 dB down.
const std::vector<int16_t>& Input(int rateHz) {
    static std::map<int, std::vector<int16_t>> cache;
    std::vector<int16_t>& audio = cache[rateHz];
    if (!audio.empty()) return audio;
    const std::string path = std::string(ZELMAR_BINARY_DIR) + "/testdata/speech_" + std::to_string(rateHz) + ".wav";
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "preprocess_bench: missing %s (build the tests first)\n", path.c_str());
        std::exit(1);
    }
    std::fseek(file, 44, SEEK_SET);  // make_speech.sh writes a plain 44-byte header
    audio.resize(static_cast<size_t>(kSeconds * rateHz));
    audio.resize(std::fread(audio.data(), 2, audio.size(), file));
    std::fclose(file);
    uint32_t seed = 12345;
    for (auto& s : audio) {
        seed = seed * 1664525u + 1013904223u;
        const int noise = static_cast<int>((seed >> 16) % 2001) - 1000;  // uniform, RMS about 577
        s = static_cast<int16_t>(std::clamp(s + noise, -32768, 32767));
    }
    return audio;
}

std::map<std::string, std::vector<double>>& Factors() {
    static std::map<std::string, std::vector<double>> factors;
    return factors;
}

void Report(benchmark::State& state, const std::string& key, double audioSecondsPerIteration) {
    state.counters["x_realtime"] =
        benchmark::Counter(audioSecondsPerIteration * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Google Benchmark times wall clock by default; the factor is recomputed from CPU time here.
struct CpuTimer {
    timespec start{};
    CpuTimer() { clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start); }
    double Seconds() const {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return double(now.tv_sec - start.tv_sec) + 1e-9 * double(now.tv_nsec - start.tv_nsec);
    }
};

void Record(const std::string& key, double audioSeconds, double cpuSeconds) {
    if (cpuSeconds > 0) Factors()[key].push_back(audioSeconds / cpuSeconds);
}

void* Companion() {
    static void* handle = ::dlopen(ZELMAR_COMPANION_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "preprocess_bench: cannot open %s\n", ZELMAR_COMPANION_PATH);
        std::exit(1);
    }
    return handle;
}

// The pre-processor with every stage on, fed from the companion library in the build tree.
class AllStagesPreProcessor {
public:
    explicit AllStagesPreProcessor(int rate) {
        // The engine loads the companion from beside itself; here it comes from the build tree.
        platform::VirtualLibraryLoader::SymbolTable table;
        for (const char* name : {"NR_Initialize", "NR_Start", "NR_Stop", "NR_Filter", "NR_Dispose",
                                 "NR_GetAttribute", "NR_Configure", "IPPS_IIRAlloc", "IPPS_IIRFree", "IPPS_IIR",
                                 "IPPS_MaxAbs16s", "IPPS_Max16s", "IPPS_MulC16s", "IPPS_MulC16sI", "IPPS_Add16s",
                                 "IPPS_Add16sI", "IPPS_Convert_32f16s", "IPPS_Convert_16s32f", "IPPS_AutoCorr",
                                 "IPPS_AutoCorrNorm32f"}) {
            table[name] = ::dlsym(Companion(), name);
        }
        loader_.Register(companion::kLibraryFileName, table);
        platform::Services services;
        services.libraries = &loader_;
        // Kept for the filter's lifetime: its wrappers free their libraries through it.
        scope_.emplace(services);
        filter_ = std::make_unique<CPreProcessAudioFilter>();
        filter_->SetProperty("SamplesPerSec", rate, nullptr);
        for (auto [name, value] : std::initializer_list<std::pair<const char*, int>>{
                 {"HiPassCutOff", 100}, {"LoPassCutOff", rate * 7 / 16}, {"EnableNS", 1}, {"Auto", 1},
                 {"VADType", 2}, {"AutoGain", 1}, {"FadeoutTime", 0}}) {
            filter_->SetProperty(name, value, nullptr);
        }
        float threshold = -10.0f, ratio = 0.5f;
        filter_->SetProperty("Threshold", 0, &threshold);
        filter_->SetProperty("Ratio", 0, &ratio);
        filter_->Build();
        filter_->Start();
        out_.resize(static_cast<size_t>(rate / 100));
    }
    // The whole input in 10 ms blocks.
    void Run(const std::vector<int16_t>& input) {
        const size_t block = out_.size();
        for (size_t s = 0; s + block <= input.size(); s += block) {
            int32_t inBytes = int32_t(block * 2), outBytes = inBytes;
            benchmark::DoNotOptimize(filter_->Process(input.data() + s, &inBytes, out_.data(), &outBytes));
        }
    }

private:
    platform::VirtualLibraryLoader loader_;
    std::optional<platform::ScopedPlatform> scope_;
    std::unique_ptr<CPreProcessAudioFilter> filter_;
    std::vector<int16_t> out_;
};

// SpeexDSP's preprocessor with denoise, AGC and VAD on, in the same 10 ms frames.
class SpeexAnchor {
public:
    explicit SpeexAnchor(int rate) : block_(static_cast<size_t>(rate / 100)), frame_(block_) {
        state_ = speex_preprocess_state_init(int(block_), rate);
        int on = 1;
        speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC, &on);
        speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_VAD, &on);
    }
    ~SpeexAnchor() { speex_preprocess_state_destroy(state_); }
    void Run(const std::vector<int16_t>& input) {
        for (size_t s = 0; s + block_ <= input.size(); s += block_) {
            // The preprocessor works in place; the pre-processor reads its input and writes
            // elsewhere, so both do one copy's worth of memory traffic.
            std::memcpy(frame_.data(), input.data() + s, block_ * 2);
            benchmark::DoNotOptimize(speex_preprocess_run(state_, frame_.data()));
        }
    }

private:
    size_t block_;
    std::vector<int16_t> frame_;
    SpeexPreprocessState* state_ = nullptr;
};

void BM_PreProcessAllStages(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const auto& input = Input(rate);
    AllStagesPreProcessor filter(rate);
    const double audioSeconds = double(input.size()) / rate;
    for (auto _ : state) {
        CpuTimer timer;
        filter.Run(input);
        Record("preprocess_" + std::to_string(rate), audioSeconds, timer.Seconds());
    }
    Report(state, "preprocess", audioSeconds);
}

// Both in turn within every iteration, so that a busy machine slows both alike: the ratio of
// each iteration is recorded and its median reported.
void BM_PreProcessAndSpeexInTurn(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const auto& input = Input(rate);
    AllStagesPreProcessor filter(rate);
    SpeexAnchor anchor(rate);
    const double audioSeconds = double(input.size()) / rate;
    for (auto _ : state) {
        CpuTimer ours;
        filter.Run(input);
        const double oursSeconds = ours.Seconds();
        CpuTimer theirs;
        anchor.Run(input);
        const double theirsSeconds = theirs.Seconds();
        Record("turn_preprocess_" + std::to_string(rate), audioSeconds, oursSeconds);
        Record("turn_speex_" + std::to_string(rate), audioSeconds, theirsSeconds);
        if (oursSeconds > 0) Factors()["turn_ratio_" + std::to_string(rate)].push_back(theirsSeconds / oursSeconds);
    }
    Report(state, "turn", 2 * audioSeconds);
}

void BM_SpeexPreprocess(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const auto& input = Input(rate);
    SpeexAnchor anchor(rate);
    const double audioSeconds = double(input.size()) / rate;
    for (auto _ : state) {
        CpuTimer timer;
        anchor.Run(input);
        Record("speex_" + std::to_string(rate), audioSeconds, timer.Seconds());
    }
    Report(state, "speex", audioSeconds);
}

void BM_WebRtcNoiseSuppressor(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const auto& input = Input(rate);
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create());
    apm->noise_suppression()->Enable(true);
    apm->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh);
    const webrtc::StreamConfig config(rate, 1);
    const size_t block = static_cast<size_t>(rate / 100);
    std::vector<float> frame(block);
    const double audioSeconds = double(input.size()) / rate;
    for (auto _ : state) {
        CpuTimer timer;
        for (size_t s = 0; s + block <= input.size(); s += block) {
            for (size_t i = 0; i < block; ++i) frame[i] = input[s + i] / 32768.0f;
            float* channel = frame.data();
            benchmark::DoNotOptimize(apm->ProcessStream(&channel, config, config, &channel));
        }
        Record("webrtc_" + std::to_string(rate), audioSeconds, timer.Seconds());
    }
    Report(state, "webrtc", audioSeconds);
}

// --- companion functions against plain scalar loops (10 s at 32 kHz) ---

void BM_CompanionIir(benchmark::State& state) {
    const auto& input = Input(32000);
    auto alloc = reinterpret_cast<companion::IppsIirAllocFn>(::dlsym(Companion(), "IPPS_IIRAlloc"));
    auto iir = reinterpret_cast<companion::IppsIirFn>(::dlsym(Companion(), "IPPS_IIR"));
    void* filter = alloc(0, 3, 3400, 32000);
    std::vector<int16_t> work(input);
    for (auto _ : state) {
        CpuTimer timer;
        for (size_t s = 0; s + 320 <= work.size(); s += 320) iir(work.data() + s, work.data() + s, 320, filter);
        Record("iir_companion", kSeconds, timer.Seconds());
    }
    reinterpret_cast<companion::IppsIirFreeFn>(::dlsym(Companion(), "IPPS_IIRFree"))(filter);
}

void BM_ScalarIir(benchmark::State& state) {
    // The same third-order Butterworth as one direct-form biquad cascade in float, by hand.
    const auto& input = Input(32000);
    std::vector<int16_t> work(input);
    const double k = std::tan(M_PI * 3400 / 32000), n1 = 1 / (1 + k), n2 = 1 / (1 + k + k * k);
    const float b0 = float(k * n1), a1 = float((k - 1) * n1);
    const float c0 = float(k * k * n2), c1 = 2 * c0, d1 = float(2 * (k * k - 1) * n2), d2 = float((1 - k + k * k) * n2);
    float z = 0, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (auto _ : state) {
        CpuTimer timer;
        for (auto& s : work) {
            const float x = s;
            const float u = b0 * x + z;
            z = b0 * x - a1 * u;
            const float y = c0 * u + c1 * x1 + c0 * x2 - d1 * y1 - d2 * y2;
            x2 = x1, x1 = u, y2 = y1, y1 = y;
            s = static_cast<int16_t>(std::clamp(std::nearbyint(y), -32768.0f, 32767.0f));
        }
        Record("iir_scalar", kSeconds, timer.Seconds());
    }
    benchmark::DoNotOptimize(work.data());
}

void BM_CompanionAutoCorr(benchmark::State& state) {
    // The pitch detector's work per second at 32 kHz: 100 frames of 960 samples x 400 lags.
    auto toFloat = reinterpret_cast<companion::IppsConvert16s32fFn>(::dlsym(Companion(), "IPPS_Convert_16s32f"));
    auto autoCorr = reinterpret_cast<companion::IppsAutoCorrNorm32fFn>(::dlsym(Companion(), "IPPS_AutoCorrNorm32f"));
    const auto& input = Input(32000);
    std::vector<float> window(960), lags(400);
    for (auto _ : state) {
        CpuTimer timer;
        for (size_t f = 0; f < 100; ++f) {
            toFloat(input.data() + f * 320, window.data(), 960, 0);
            autoCorr(window.data(), 960, lags.data(), 400);
        }
        benchmark::DoNotOptimize(lags.data());
        Record("autocorr_companion", 1.0, timer.Seconds());
    }
}

void BM_ScalarAutoCorr(benchmark::State& state) {
    const auto& input = Input(32000);
    std::vector<float> window(960), lags(400);
    for (auto _ : state) {
        CpuTimer timer;
        for (size_t f = 0; f < 100; ++f) {
            for (size_t i = 0; i < 960; ++i) window[i] = input[f * 320 + i];
            for (size_t lag = 0; lag < 400; ++lag) {
                float sum = 0;
                for (size_t i = 0; i + lag < 960; ++i) sum += window[i] * window[i + lag];
                lags[lag] = sum / 960.0f;
            }
        }
        benchmark::DoNotOptimize(lags.data());
        Record("autocorr_scalar", 1.0, timer.Seconds());
    }
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

BENCHMARK(BM_PreProcessAllStages)->Arg(16000)->Arg(32000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpeexPreprocess)->Arg(16000)->Arg(32000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreProcessAndSpeexInTurn)->Arg(16000)->Arg(32000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WebRtcNoiseSuppressor)->Arg(16000)->Arg(32000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompanionIir)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScalarIir)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompanionAutoCorr)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScalarAutoCorr)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto factor = [](const char* key) { return Median(Factors()[key]); };
    std::printf("\nReal-time factor (CPU), median of runs:\n");
    for (int rate : {16000, 32000}) {
        const std::string r = std::to_string(rate);
        const double ours = factor(("preprocess_" + r).c_str());
        const double speex = factor(("speex_" + r).c_str());
        const double webrtc = factor(("webrtc_" + r).c_str());
        std::printf("  %5d Hz: pre-processor, all stages %7.0fx | SpeexDSP preprocess %7.0fx (ratio %.2f) | "
                    "WebRTC NS %7.0fx (ratio %.2f)\n",
                    rate, ours, speex, speex > 0 ? ours / speex : 0, webrtc, webrtc > 0 ? ours / webrtc : 0);
    }
    for (int rate : {16000, 32000}) {
        const std::string r = std::to_string(rate);
        std::printf("  %5d Hz, in turn within each iteration: pre-processor %7.0fx | SpeexDSP preprocess %7.0fx | "
                    "median ratio %.2f\n",
                    rate, factor(("turn_preprocess_" + r).c_str()), factor(("turn_speex_" + r).c_str()),
                    factor(("turn_ratio_" + r).c_str()));
    }
    std::printf("  IIR order 3: companion %.0fx, scalar float loop %.0fx (ratio %.2f)\n", factor("iir_companion"),
                factor("iir_scalar"), factor("iir_companion") / std::max(factor("iir_scalar"), 1e-9));
    std::printf("  autocorrelation 960 x 400 lags: companion %.0fx, scalar loop %.0fx (ratio %.2f)\n",
                factor("autocorr_companion"), factor("autocorr_scalar"),
                factor("autocorr_companion") / std::max(factor("autocorr_scalar"), 1e-9));
    return 0;
}
