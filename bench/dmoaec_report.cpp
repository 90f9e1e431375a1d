// CPU per second of audio of "DMOAECAudioIn" (the voice-capture object under it: delay finding,
// far-end alignment, WebRTC's processing, noise fill) against webrtc-audio-processing driven
// directly with the same settings on the same audio, already aligned: 12 s of far-end speech
// echoed through a 120 ms room at -10 dB over noise at -60 dBFS, as the quality test uses.
// The component runs on the virtual device in virtual time; its capture and monitor are fed
// from memory.  Each side runs kRuns times; the medians' ratio is printed.
#include <webrtc/common.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dsp/blocks/EchoDelayFinder.h"
#include "platform/Platform.h"
#include "platform/audio/VirtualAudio.h"
#include "support/SpeechMaterial.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr int kRate = 16000;
constexpr int kChunk = kRate / 100;
constexpr int kDelayMs = 120;
constexpr int kRuns = 41;
constexpr int32_t kBlockBytes = 640;

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Audio {
    std::vector<int16_t> far, mic;
};

Audio Material() {
    Audio a;
    const std::vector<int16_t> speech = test::LoadSpeech(kRate);
    const std::size_t samples = std::min<std::size_t>(speech.size(), std::size_t{12} * kRate) / kChunk * kChunk;
    a.far.assign(speech.begin(), speech.begin() + static_cast<long>(samples));
    const std::vector<float> noise = test::WhiteNoise(samples, 20261206);
    // 30 taps every 2 ms decaying by 60 dB in 60 ms, scaled to -10 dB.
    double energy = 0;
    for (int k = 0; k < 30; ++k) energy += std::pow(10.0, -6.0 * k / 30);
    a.mic.resize(samples);
    const std::size_t first = kDelayMs * kRate / 1000;
    for (std::size_t n = 0; n < samples; ++n) {
        double v = 0;
        for (std::size_t k = 0; k < 30 && first + 32 * k <= n; ++k) {
            v += std::pow(10.0, -3.0 * static_cast<double>(k) / 30) * (k % 2 ? -1 : 1) * a.far[n - first - 32 * k];
        }
        a.mic[n] = static_cast<int16_t>(std::lround(v * std::sqrt(0.1 / energy) + noise[n] * 32.768));
    }
    return a;
}

// A byte stream served from memory, silence after its end.
pa::VirtualAudioService::ScriptedInput Serve(const std::vector<int16_t>& signal) {
    return [&signal](uint64_t at, uint8_t* target, uint32_t bytes) {
        const uint64_t total = signal.size() * 2;
        const uint32_t n = at >= total ? 0 : static_cast<uint32_t>(std::min<uint64_t>(bytes, total - at));
        std::memcpy(target, reinterpret_cast<const uint8_t*>(signal.data()) + at, n);
        std::memset(target + n, 0, bytes - n);
    };
}

double ComponentSeconds(const Audio& a) {
    test::VirtualPlatform platform;
    pa::VirtualAudioService audio;
    audio.SetLoopback(false);
    audio.SetScriptedInput(Serve(a.mic));
    audio.SetMonitorInput(Serve(a.far));
    platform::Services services{};
    services.audio = &audio;
    platform::ScopedPlatform scope(services);
    IAudioIO* io = ZelmarCreateComponent("DMOAECAudioIn");
    io->SetProperty("AESValue", 2, nullptr);
    io->Build();
    io->Start();
    std::vector<uint8_t> block(kBlockBytes);
    const double start = ThreadCpuSeconds();
    for (std::size_t done = 0; done < a.mic.size() * 2; done += kBlockBytes) io->GetData(block.data(), kBlockBytes);
    const double used = ThreadCpuSeconds() - start;
    ZelmarDisposeComponent(io);
    return used;
}

// The processing the object makes for "AESValue" 2 and the default echo length (extended
// filter, high suppression, the delay told as 0 with the far end held back to its echo).
double DirectSeconds(const Audio& a) {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    webrtc::AudioProcessing* apm = webrtc::AudioProcessing::Create(config);
    const webrtc::StreamConfig mono(kRate, 1);
    apm->Initialize({{mono, mono, mono, mono}});
    apm->echo_cancellation()->enable_drift_compensation(false);
    apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
    apm->echo_cancellation()->Enable(true);
    std::vector<float> far(kChunk), near(kChunk);
    std::vector<int16_t> out(a.mic.size());
    const std::size_t held = (kDelayMs - 30) / 10;  // chunks the far end waits
    const double start = ThreadCpuSeconds();
    for (std::size_t c = 0; c * kChunk < a.mic.size(); ++c) {
        for (int i = 0; i < kChunk; ++i) {
            far[i] = c >= held ? a.far[(c - held) * kChunk + i] / 32768.0f : 0.0f;
            near[i] = a.mic[c * kChunk + i] / 32768.0f;
        }
        float* farChannels[1] = {far.data()};
        apm->ProcessReverseStream(farChannels, mono, mono, farChannels);
        float* nearChannels[1] = {near.data()};
        apm->set_stream_delay_ms(0);
        apm->ProcessStream(nearChannels, mono, mono, nearChannels);
        for (int i = 0; i < kChunk; ++i) {
            out[c * kChunk + i] = static_cast<int16_t>(std::clamp(near[i] * 32768.0f, -32768.0f, 32767.0f));
        }
    }
    const double used = ThreadCpuSeconds() - start;
    delete apm;
    return used;
}

// The object's delay finder alone over the same streams, searching as the object does.
double FinderSeconds(const Audio& a) {
    CEchoDelayFinder finder;
    finder.Reset(kRate, 500);
    const double start = ThreadCpuSeconds();
    for (std::size_t at = 0; at < a.mic.size(); at += kChunk) {
        finder.AddFar(a.far.data() + at, kChunk);
        finder.AddCaptured(a.mic.data() + at, kChunk);
    }
    const double used = ThreadCpuSeconds() - start;
    if (finder.DelayMs() < 0) std::fprintf(stderr, "the finder found no delay\n");
    return used;
}

}  // namespace
}  // namespace zelmar

int main() {
    using namespace zelmar;
    const Audio audio = Material();
    if (audio.far.empty()) {
        std::fprintf(stderr, "missing %s (build the zelmar_speech_material target)\n", test::SpeechPath(kRate).c_str());
        return 1;
    }
    const double seconds = static_cast<double>(audio.mic.size()) / kRate;
    std::vector<double> component, direct, finder, ratio;
    for (int run = 0; run < kRuns; ++run) {  // interleaved, so a busy moment hits both
        component.push_back(ComponentSeconds(audio) / seconds);
        direct.push_back(DirectSeconds(audio) / seconds);
        finder.push_back(FinderSeconds(audio) / seconds);
        ratio.push_back(component.back() / direct.back());
    }
    std::sort(ratio.begin(), ratio.end());
    const double c = Median(component), d = Median(direct);
    std::printf("CPU per second of audio, median of %d runs over %.1f s (16 kHz mono, echo path %d ms):\n", kRuns,
                seconds, kDelayMs);
    std::printf("  DMOAECAudioIn (voice-capture object, virtual device)  %7.3f ms\n", c * 1000);
    std::printf("  webrtc-audio-processing directly, far end aligned     %7.3f ms\n", d * 1000);
    std::printf("  ratio of the medians                                  %7.2fx\n", c / d);
    std::printf("  ratio run by run: median %.2fx, quartiles %.2fx-%.2fx\n", ratio[kRuns / 2], ratio[kRuns / 4],
                ratio[kRuns - 1 - kRuns / 4]);
    std::printf("  of the object's, the delay finder alone (0..500 ms)   %7.3f ms\n", Median(finder) * 1000);
    return 0;
}
