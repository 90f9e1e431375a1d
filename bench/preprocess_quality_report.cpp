// The capture pre-processor's measured voice quality on espeak-ng speech with white noise, as
// docs/preprocess.md tabulates it: noise suppression (both suppressors of the companion
// library beside the pre-processor), voice detection by level and by pitch, automatic gain
// alone and followed by the limiter path or the compressor, and the limiter path's overshoot.
// tests/preprocess_quality_test.cpp holds the targets; this program prints every figure.
//
//   build/bin/preprocess_quality_report     (the speech is made with the tests' build)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include <ZelmarEC/ZelmarEC.h>
#include "dsp/PreProcessAudioFilter.h"
#include "support/Companion.h"
#include "support/SpeechMaterial.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

constexpr uint32_t kNoiseSeed = 20261205;

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "preprocess_quality_report: %s failed\n", what);
    std::exit(1);
}

// A pre-processor bound to the real companion library, with settings applied, built and started.
struct Chain {
    explicit Chain(int rateHz, const std::vector<std::pair<const char*, int>>& settings = {}) {
        Check(test::RegisterRealCompanion(platform.libraries), "loading the companion library");
        filter = std::make_unique<CPreProcessAudioFilter>();
        Check(filter->SetProperty("SamplesPerSec", rateHz, nullptr) == kOk, "SamplesPerSec");
        for (const auto& [name, value] : settings) Check(filter->SetProperty(name, value, nullptr) == kOk, name);
    }
    void SetFloat(const char* name, float value) { Check(filter->SetProperty(name, 0, &value) == kOk, name); }
    void Begin() { Check(filter->Build() == kOk && filter->Start() == kOk, "Build and Start"); }
    // Runs `input` in blocks of `blockSamples`; calls `perBlock(blockIndex)` after each.
    template <typename PerBlock>
    std::vector<int16_t> Run(const std::vector<int16_t>& input, size_t blockSamples, PerBlock perBlock) {
        std::vector<int16_t> output;
        std::vector<int16_t> out(blockSamples);
        for (size_t start = 0, block = 0; start + blockSamples <= input.size(); start += blockSamples, ++block) {
            int32_t inBytes = static_cast<int32_t>(blockSamples * 2), outBytes = inBytes;
            Check(filter->Process(input.data() + start, &inBytes, out.data(), &outBytes) >= 0 && inBytes == 0, "Process");
            output.insert(output.end(), out.begin(), out.end());
            perBlock(block);
        }
        return output;
    }
    std::vector<int16_t> Run(const std::vector<int16_t>& input, size_t blockSamples) {
        return Run(input, blockSamples, [](size_t) {});
    }

    test::VirtualPlatform platform;
    std::unique_ptr<CPreProcessAudioFilter> filter;
};

struct Material {
    explicit Material(int rate) : rateHz(rate), clean(test::LoadSpeech(rate)) {
        Check(!clean.empty(), "loading the speech (build zelmar_speech_material)");
        labels = test::SpeechLabels(clean, rate);
    }
    int rateHz;
    std::vector<int16_t> clean;
    std::vector<bool> labels;
};

// The noise suppressor alone, through the companion's NR_ functions, in 10 ms blocks.
std::vector<int16_t> SuppressDirect(const std::vector<int16_t>& input, int rateHz, int method, int factor) {
    auto get = [](const char* name) { return test::RealCompanionSymbol(name); };
    void* handle = nullptr;
    reinterpret_cast<companion::NrInitializeFn>(get("NR_Initialize"))(&handle);
    auto configure = reinterpret_cast<companion::NrConfigureFn>(get("NR_Configure"));
    configure(handle, "Factor", factor);
    configure(handle, "Frequency", rateHz);
    configure(handle, "Method", method);
    reinterpret_cast<companion::NrStartFn>(get("NR_Start"))(handle);
    std::vector<int16_t> output(input.size());
    const size_t block = static_cast<size_t>(rateHz / 100);
    auto filter = reinterpret_cast<companion::NrFilterFn>(get("NR_Filter"));
    for (size_t start = 0; start + block <= input.size(); start += block) {
        filter(handle, int(block * 2), input.data() + start, output.data() + start);
    }
    reinterpret_cast<companion::NrDisposeFn>(get("NR_Dispose"))(handle);
    return output;
}

double ImprovementDb(const Material& m, const std::vector<int16_t>& noisy, const std::vector<int16_t>& processed) {
    const size_t delay = test::BestDelay(m.clean, processed, size_t(m.rateHz / 20));
    return test::SegmentalSnrDb(m.clean, processed, m.labels, m.rateHz, delay) -
           test::SegmentalSnrDb(m.clean, noisy, m.labels, m.rateHz, 0);
}

void NoiseSuppression() {
    std::printf("## Noise suppression: segmental SNR gain, Factor 10\n");
    for (int rate : {16000, 32000}) {
        Material m(rate);
        for (double snrDb : {5.0, 0.0}) {
            const auto noisy = test::MixAtSnr(m.clean, m.labels, rate, snrDb, kNoiseSeed);
            const double speex = ImprovementDb(m, noisy, SuppressDirect(noisy, rate, 0, 10));
            const double webrtc = ImprovementDb(m, noisy, SuppressDirect(noisy, rate, 1, 10));
            Chain chain(rate, {{"EnableNS", 1}});
            chain.Begin();
            const double chained = ImprovementDb(m, noisy, chain.Run(noisy, size_t(rate / 100)));
            std::printf("%d Hz, input SNR %4.1f dB: SpeexDSP %5.2f dB, WebRTC %5.2f dB, pre-processor (EnableNS) %5.2f dB\n",
                        rate, snrDb, speex, webrtc, chained);
        }
    }
}

// Share of frame decisions (after 2 s of settling) that agree with the clean labels.
void VoiceDetection() {
    std::printf("\n## Voice detection (Auto 1, GateTime 300, FadeoutTime 0), 32 kHz\n");
    Material m(32000);
    for (int vadType : {0, 1, 2}) {
        for (double speechGainDb : {0.0, -20.0}) {
            for (double snrDb : {10.0, 5.0}) {
                std::vector<int16_t> clean(m.clean.size());
                const double scale = std::pow(10.0, speechGainDb / 20.0);
                for (size_t i = 0; i < clean.size(); ++i) clean[i] = static_cast<int16_t>(std::lround(m.clean[i] * scale));
                const auto noisy = test::MixAtSnr(clean, m.labels, m.rateHz, snrDb, kNoiseSeed);
                Chain chain(m.rateHz, {{"Auto", 1}, {"VADType", vadType}, {"FadeoutTime", 0}, {"GateTime", 300}});
                chain.Begin();
                size_t counted = 0, correct = 0, speech = 0, speechRight = 0, silence = 0, silenceRight = 0;
                chain.Run(noisy, size_t(m.rateHz / 100), [&](size_t frame) {
                    if (frame < 200 || frame >= m.labels.size()) return;
                    const bool detected = !chain.filter->LastFrameSilent();
                    const bool truth = m.labels[frame];
                    ++counted;
                    correct += detected == truth;
                    (truth ? speech : silence) += 1;
                    (truth ? speechRight : silenceRight) += detected == truth;
                });
                const auto share = [](size_t part, size_t whole) { return 100.0 * double(part) / double(std::max<size_t>(whole, 1)); };
                std::printf("VADType %d, speech %+5.1f dB, SNR %4.1f dB: %5.1f %% correct (speech %5.1f %%, silence %5.1f %%)\n",
                            vadType, speechGainDb, snrDb, share(correct, counted), share(speechRight, speech),
                            share(silenceRight, silence));
            }
        }
    }
}

std::vector<int32_t> FramePeaks(const std::vector<int16_t>& samples, size_t frame) {
    std::vector<int32_t> peaks;
    for (size_t start = 0; start + frame <= samples.size(); start += frame) {
        int32_t p = 0;
        for (size_t i = start; i < start + frame; ++i) p = std::max(p, std::abs(int32_t{samples[i]}));
        peaks.push_back(p);
    }
    return peaks;
}

// How the automatic gain's output sits against its target: the best per-second peak in the
// first 5 s, the highest sample after 5 s, and for the loud frames after 5 s (input peak within
// 20 dB of the loudest) the shares above the target, above +1 dB and above +3 dB, and of those
// above +1 dB the share that are onsets (300 ms before held nothing within 6 dB).
void PrintAgc(const char* what, const std::vector<int16_t>& input, const std::vector<int16_t>& output, int rateHz,
              double target, size_t delaySamples) {
    const auto db = [target](int32_t peak) { return 20 * std::log10(std::max(peak, 1) / 32767.0 / target); };
    const auto perSecond = FramePeaks(output, size_t(rateHz));
    double bestWithin5s = -100;
    for (size_t s = 0; s < 5 && s < perSecond.size(); ++s) bestWithin5s = std::max(bestWithin5s, db(perSecond[s]));
    int32_t highest = 0;
    for (size_t i = 5 * size_t(rateHz); i < output.size(); ++i) highest = std::max(highest, std::abs(int32_t{output[i]}));
    // The output frame that carries an input frame: shifted by the look-ahead, if any.
    const size_t frame = size_t(rateHz / 100);
    const std::vector<int16_t> aligned(output.begin() + long(std::min(delaySamples, output.size())), output.end());
    const auto in = FramePeaks(input, frame), out = FramePeaks(aligned, frame);
    size_t loud = 0, above = 0, above1 = 0, above3 = 0, onsets = 0;
    const int32_t loudInput = *std::max_element(in.begin(), in.end()) / 10;
    for (size_t k = 500; k < std::min(in.size(), out.size()); ++k) {
        if (in[k] < loudInput) continue;
        ++loud;
        above += db(out[k]) > 0.0;
        above3 += db(out[k]) > 3.0;
        if (db(out[k]) > 1.0) {
            ++above1;
            int32_t before = 0;
            for (size_t j = k - 30; j < k; ++j) before = std::max(before, in[j]);
            onsets += before * 2 < in[k];
        }
    }
    const auto share = [](size_t part, size_t whole) { return 100.0 * double(part) / double(std::max<size_t>(whole, 1)); };
    std::printf("%s: best peak within 5 s %+.2f dB re AGCPeak, highest sample afterwards %+.2f dB; loud frames after "
                "5 s above the target %.1f %%, above +1 dB %.1f %% (onsets %.0f %% of those), above +3 dB %.1f %%\n",
                what, bestWithin5s, db(highest), share(above, loud), share(above1, loud), share(onsets, above1),
                share(above3, loud));
}

std::vector<int16_t> SpeechAtPeakDbfs(const std::vector<int16_t>& clean, double peakDbfs) {
    int32_t peak = 0;
    for (int16_t s : clean) peak = std::max(peak, std::abs(int32_t{s}));
    const double scale = 32767.0 * std::pow(10.0, peakDbfs / 20.0) / peak;
    std::vector<int16_t> scaled(clean.size());
    for (size_t i = 0; i < scaled.size(); ++i) scaled[i] = static_cast<int16_t>(std::lround(clean[i] * scale));
    return scaled;
}

void AutomaticGain() {
    std::printf("\n## Automatic gain, speech at -30 dBFS peak, AGCGainLimit 3000\n");
    std::vector<int16_t> quiet[2];  // 16 and 32 kHz
    for (int rate : {16000, 32000}) quiet[rate / 32000] = SpeechAtPeakDbfs(Material(rate).clean, -30.0);
    for (int attackMs : {10, 2}) {
        Chain chain(32000, {{"AutoGain", 1}, {"AGCPeak", 50}, {"AGCGainLimit", 3000}, {"AttackTime", attackMs}});
        chain.Begin();
        char what[64];
        std::snprintf(what, sizeof what, "AGC alone, AGCPeak 50 %%, AttackTime %d", attackMs);
        PrintAgc(what, quiet[1], chain.Run(quiet[1], 320), 32000, 0.5, 0);
    }
    // The limiter path with its threshold at the target; ReleaseTime 0 leaves the limiter's own
    // 10 ms release.
    struct Row { int rate, agcPeak, releaseMs; };
    for (Row r : {Row{32000, 50, 100}, Row{32000, 25, 100}, Row{16000, 50, 100}, Row{16000, 25, 100}, Row{32000, 50, 0}}) {
        Chain chain(r.rate, {{"AutoGain", 1}, {"AGCPeak", r.agcPeak}, {"AGCGainLimit", 3000}, {"AttackTime", 2}});
        if (r.releaseMs > 0) Check(chain.filter->SetProperty("ReleaseTime", r.releaseMs, nullptr) == kOk, "ReleaseTime");
        chain.SetFloat("Ratio", 0.0f);
        chain.SetFloat("Threshold", float(20 * std::log10(r.agcPeak / 100.0)));
        chain.Begin();
        char what[128];
        std::snprintf(what, sizeof what, "AGC + limiter path (%d Hz, AGCPeak %d %%, threshold there, ReleaseTime %s)",
                      r.rate, r.agcPeak, r.releaseMs == 0 ? "not set" : "100");
        const auto& in = quiet[r.rate / 32000];
        PrintAgc(what, in, chain.Run(in, size_t(r.rate / 100)), r.rate, r.agcPeak / 100.0, 64);
    }
    // The compressor with its knee at the target and a nearly flat curve above it.
    Chain chain(32000, {{"AutoGain", 1}, {"AGCPeak", 50}, {"AGCGainLimit", 3000}, {"AttackTime", 2}});
    chain.SetFloat("Threshold", float(20 * std::log10(0.5)));
    chain.SetFloat("Ratio", 0.1f);
    chain.Begin();
    PrintAgc("AGC + compressor (knee at AGCPeak, ratio 0.1)", quiet[1], chain.Run(quiet[1], 320), 32000, 0.5, 320);
}

void LimiterPath() {
    std::printf("\n## Limiter path (Ratio 0, Threshold -6 dB, AttackTime 2), clean speech at 32 kHz\n");
    Material m(32000);
    for (int releaseMs : {0, 100}) {
        for (int gainPercent : {100, 200}) {
            Chain chain(32000, {{"AttackTime", 2}, {"Gain", gainPercent}});
            if (releaseMs != 0) Check(chain.filter->SetProperty("ReleaseTime", releaseMs, nullptr) == kOk, "ReleaseTime");
            chain.SetFloat("Ratio", 0.0f);
            chain.SetFloat("Threshold", -6.0f);
            chain.Begin();
            const auto out = chain.Run(m.clean, 320);
            const double limit = 32767.0 * std::pow(10.0, -6.0 / 20.0);
            size_t over = 0;
            int32_t highest = 0;
            for (size_t i = 64; i < out.size(); ++i) {
                highest = std::max(highest, std::abs(int32_t{out[i]}));
                over += std::abs(int32_t{out[i]}) > limit + 1.0;
            }
            std::printf("Gain %d %%, release %s: highest output %+.2f dB re threshold, %zu of %zu samples above\n",
                        gainPercent, releaseMs == 0 ? "10 ms (own)" : "100 ms", 20 * std::log10(highest / limit), over,
                        out.size() - 64);
        }
    }
}

}  // namespace
}  // namespace zelmar

int main() {
    zelmar::NoiseSuppression();
    zelmar::VoiceDetection();
    zelmar::AutomaticGain();
    zelmar::LimiterPath();
    return 0;
}
