// The ring buffer's time-scaling beside libsonic, and the scale of the whole voice path: how
// many complete paths (pre-processor, resampler, Siren14 encode and decode, ring buffer) one
// core runs in real time.  All on espeak-ng speech, one thread, no pacing.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sonic.h>
#include <speex/speex_preprocess.h>
#include <speex/speex_resampler.h>

#include <zelmar/zelmar.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "MedianReporter.h"
#include "streams/RingBufferAudioInOut.h"

namespace {

using Ring = zelmar::CRingBufferAudioInOut::CRingBufferShort4;
constexpr int kBlockMs = 20;

struct Speech {
    std::vector<int16_t> at16k;
    std::vector<int16_t> at32k;
};

// The espeak-ng voice sample (16 kHz), and the same brought to 32 kHz by the engine's resampler.
const Speech& LoadSpeech() {
    static const Speech speech = [] {
        Speech s;
        std::ifstream file(ZELMAR_VOICE_SAMPLE, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (std::size_t at = 12; at + 8 <= bytes.size();) {
            uint32_t size;
            std::memcpy(&size, bytes.data() + at + 4, 4);
            if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
                const std::size_t count = std::min<std::size_t>(size, bytes.size() - at - 8) / 2;
                s.at16k.resize(count);
                std::memcpy(s.at16k.data(), bytes.data() + at + 8, count * 2);
                break;
            }
            at += 8 + size + (size & 1);
        }
        if (s.at16k.empty()) {
            std::fprintf(stderr, "voice_path_bench: no speech in %s\n", ZELMAR_VOICE_SAMPLE);
            std::exit(1);
        }
        s.at16k.resize(s.at16k.size() / 320 * 320);
        IAudioIO* resampler = ZelmarCreateComponent("ResampleAudioFilter");
        int32_t unused = 0;
        resampler->SetProperty("InSamplesPerSec", 16000, &unused);
        resampler->SetProperty("OutSamplesPerSec", 32000, &unused);
        resampler->Build();
        s.at32k.resize(s.at16k.size() * 2);
        int32_t inBytes = static_cast<int32_t>(s.at16k.size() * 2), outBytes = static_cast<int32_t>(s.at32k.size() * 2);
        resampler->Process(s.at16k.data(), &inBytes, s.at32k.data(), &outBytes);
        ZelmarDisposeComponent(resampler);
        return s;
    }();
    return speech;
}

void SetAudioRate(benchmark::State& state, double audioSecondsPerIteration) {
    state.counters["audio_s_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * audioSecondsPerIteration, benchmark::Counter::kIsRate);
}

// One second of speech (32 000 samples) through the ring with its rewrite at `ratio`: Put,
// Compress or Expand, Get everything out.
void RingTimeScale(benchmark::State& state, float ratio) {
    const Speech& speech = LoadSpeech();
    std::vector<int16_t> out(80000);
    std::size_t at = 0;
    Ring ring;
    ring.Init(0, 64000);
    int16_t none[1];
    ring.Get(none, 0);
    for (auto _ : state) {
        if (at + 32000 > speech.at32k.size()) at = 0;
        ring.Put(speech.at32k.data() + at, 64000);
        at += 32000;
        if (ratio < 1.0f) ring.Compress(ratio); else ring.Expand(ratio);
        const int32_t fill = ring.fill();
        ring.Get(out.data(), static_cast<uint32_t>(fill) * 2);
        benchmark::DoNotOptimize(out.data());
    }
    SetAudioRate(state, 1.0);
}

// The same second of speech through libsonic at `speed` (1.25 shortens to 0.8 of the time).
void SonicTimeScale(benchmark::State& state, float speed) {
    const Speech& speech = LoadSpeech();
    std::vector<int16_t> out(80000);
    sonicStream stream = sonicCreateStream(32000, 1);
    sonicSetSpeed(stream, speed);
    std::size_t at = 0;
    for (auto _ : state) {
        if (at + 32000 > speech.at32k.size()) at = 0;
        sonicWriteShortToStream(stream, const_cast<short*>(speech.at32k.data() + at), 32000);
        at += 32000;
        while (sonicReadShortFromStream(stream, out.data(), static_cast<int>(out.size())) > 0) {}
        benchmark::DoNotOptimize(out.data());
    }
    sonicDestroyStream(stream);
    SetAudioRate(state, 1.0);
}

// Put and Get of 20 ms blocks with the producer at 32 000 and the consumer at 31 900 samples
// per second: the ring compresses now and then to hold its 120 ms target.
void RingDriftingClocks(benchmark::State& state) {
    const Speech& speech = LoadSpeech();
    IAudioIO* ring = ZelmarCreateComponent("RingBufferAudioInOut");
    ring->SetProperty("AvgBytesPerSec", 64000, nullptr);
    ring->SetProperty("BufferTime", 120, nullptr);
    ring->Build();
    ring->Start();
    std::vector<int16_t> block(640);
    ring->GetData(block.data(), 0);
    std::size_t at = 0;
    double producerSec = 0, consumerSec = 0;
    for (auto _ : state) {
        if (at + 640 > speech.at32k.size()) at = 0;
        ring->PutData(speech.at32k.data() + at, 1280);
        at += 640;
        producerSec += 640.0 / 32000.0;
        while (consumerSec + 640.0 / 31900.0 <= producerSec) {
            ring->GetData(block.data(), 1280);
            consumerSec += 640.0 / 31900.0;
        }
    }
    uint32_t compressions = 0;
    ring->GetProperty("OverFlow", 0, &compressions);
    state.counters["compressions"] = compressions;
    ZelmarDisposeComponent(ring);
    SetAudioRate(state, kBlockMs / 1000.0);
}

// The capture side both engine benchmarks run: the pre-processor at 16 kHz with the high-pass
// filter and noise suppression on, then the resampler to 32 kHz.
void SetUpCaptureSide(IAudioIO* pre, IAudioIO* resampler) {
    int32_t unused = 0;
    pre->SetProperty("SamplesPerSec", 16000, &unused);
    pre->SetProperty("HiPassCutOff", 100, &unused);
    pre->SetProperty("EnableNS", 1, &unused);
    pre->Build();
    pre->Start();
    resampler->SetProperty("InSamplesPerSec", 16000, &unused);
    resampler->SetProperty("OutSamplesPerSec", 32000, &unused);
    resampler->Build();
}

// One 20 ms block of speech (from `*at`, wrapping at the end) through the capture side:
// 320 samples at 16 kHz cleaned, then 640 at 32 kHz in `wide`.
void RunCaptureSide(IAudioIO* pre, IAudioIO* resampler, const std::vector<int16_t>& speech, std::size_t* at,
                    int16_t* cleaned, int16_t* wide) {
    if (*at + 320 > speech.size()) *at = 0;
    int32_t inBytes = 640, outBytes = 640;
    pre->Process(speech.data() + *at, &inBytes, cleaned, &outBytes);
    *at += 320;
    inBytes = 640;
    outBytes = 1280;
    resampler->Process(cleaned, &inBytes, wide, &outBytes);
}

// One complete voice path, block by block: 20 ms at 16 kHz through the pre-processor and the
// resampler, Siren14 encode and decode at 32 kHz and 32 kbit/s, ring buffer in and out.
void EngineVoicePath(benchmark::State& state) {
    const Speech& speech = LoadSpeech();
    struct Stage { const char* name; IAudioIO* io; };
    IAudioIO* pre = ZelmarCreateComponent("PreProcessAudioFilter");
    IAudioIO* resampler = ZelmarCreateComponent("ResampleAudioFilter");
    IAudioIO* encoder = ZelmarCreateComponent("Siren14AudioFilter");
    IAudioIO* decoder = ZelmarCreateComponent("Siren14AudioFilter");
    IAudioIO* ring = ZelmarCreateComponent("RingBufferAudioInOut");
    if (!pre || !resampler || !encoder || !decoder || !ring) {
        state.SkipWithError("a component of the voice path is missing from this library");
        return;
    }
    SetUpCaptureSide(pre, resampler);
    encoder->SetProperty("Direction", 0, nullptr);
    decoder->SetProperty("Direction", 1, nullptr);
    for (IAudioIO* codec : {encoder, decoder}) {
        codec->Build();
        codec->Start();
    }
    ring->SetProperty("AvgBytesPerSec", 64000, nullptr);
    ring->SetProperty("BufferTime", 120, nullptr);
    ring->Build();
    ring->Start();

    std::vector<int16_t> cleaned(320), wide(640), decoded(640), played(640);
    uint8_t frame[80];
    ring->GetData(played.data(), 0);
    std::size_t at = 0;
    for (auto _ : state) {
        RunCaptureSide(pre, resampler, speech.at16k, &at, cleaned.data(), wide.data());
        int32_t inBytes = 1280, outBytes = 80;
        encoder->Process(wide.data(), &inBytes, frame, &outBytes);
        inBytes = 80;
        outBytes = 1280;
        decoder->Process(frame, &inBytes, decoded.data(), &outBytes);
        ring->PutData(decoded.data(), 1280);
        ring->GetData(played.data(), 1280);
        benchmark::DoNotOptimize(played.data());
    }
    for (IAudioIO* io : {pre, resampler, encoder, decoder, ring}) ZelmarDisposeComponent(io);
    SetAudioRate(state, kBlockMs / 1000.0);
}

// The same capture-side work with SpeexDSP: its pre-processor (denoise) at 16 kHz and its
// resampler to 32 kHz.  SpeexDSP has no wideband codec, so the codec is not in this anchor
// (siren14_bench times Siren14 beside libavcodec's G.722).
void SpeexCaptureSide(benchmark::State& state) {
    const Speech& speech = LoadSpeech();
    SpeexPreprocessState* pre = speex_preprocess_state_init(320, 16000);
    int on = 1;
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DENOISE, &on);
    int error = 0;
    SpeexResamplerState* resampler = speex_resampler_init(1, 16000, 32000, SPEEX_RESAMPLER_QUALITY_VOIP, &error);
    std::vector<int16_t> block(320), wide(640);
    std::size_t at = 0;
    for (auto _ : state) {
        if (at + 320 > speech.at16k.size()) at = 0;
        std::memcpy(block.data(), speech.at16k.data() + at, 640);
        at += 320;
        speex_preprocess_run(pre, block.data());
        spx_uint32_t inLength = 320, outLength = 640;
        speex_resampler_process_int(resampler, 0, block.data(), &inLength, wide.data(), &outLength);
        benchmark::DoNotOptimize(wide.data());
    }
    speex_resampler_destroy(resampler);
    speex_preprocess_state_destroy(pre);
    SetAudioRate(state, kBlockMs / 1000.0);
}

// The engine's pre-processor and resampler alone, the part the SpeexDSP anchor matches.
void EngineCaptureSide(benchmark::State& state) {
    const Speech& speech = LoadSpeech();
    IAudioIO* pre = ZelmarCreateComponent("PreProcessAudioFilter");
    IAudioIO* resampler = ZelmarCreateComponent("ResampleAudioFilter");
    if (!pre || !resampler) {
        state.SkipWithError("pre-processor or resampler missing from this library");
        return;
    }
    SetUpCaptureSide(pre, resampler);
    std::vector<int16_t> cleaned(320), wide(640);
    std::size_t at = 0;
    for (auto _ : state) {
        RunCaptureSide(pre, resampler, speech.at16k, &at, cleaned.data(), wide.data());
        benchmark::DoNotOptimize(wide.data());
    }
    ZelmarDisposeComponent(pre);
    ZelmarDisposeComponent(resampler);
    SetAudioRate(state, kBlockMs / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Without the companion library the pre-processor runs inert (no noise suppression, no
    // IIR filters) and the figures would flatter it: refuse to measure that.
    if (dlopen("libZelmarEC.so", RTLD_NOW) == nullptr) {
        std::fprintf(stderr, "voice_path_bench: libZelmarEC.so not found (%s)\n", dlerror());
        return 1;
    }
    benchmark::RegisterBenchmark("RingCompress/0.8", RingTimeScale, 0.8f);
    benchmark::RegisterBenchmark("SonicSpeed/1.25", SonicTimeScale, 1.25f);
    benchmark::RegisterBenchmark("RingExpand/1.25", RingTimeScale, 1.25f);
    benchmark::RegisterBenchmark("SonicSpeed/0.8", SonicTimeScale, 0.8f);
    benchmark::RegisterBenchmark("RingDriftingClocks/32000vs31900", RingDriftingClocks);
    benchmark::RegisterBenchmark("VoicePath/engine", EngineVoicePath);
    benchmark::RegisterBenchmark("CaptureSide/engine", EngineCaptureSide);
    benchmark::RegisterBenchmark("CaptureSide/speexdsp", SpeexCaptureSide);
    zelmar::bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto row = [&](const char* work, const char* engine, const char* anchor) {
        const double e = reporter.Get(engine, "audio_s_per_s"), a = reporter.Get(anchor, "audio_s_per_s");
        if (e == 0.0 && a == 0.0) return;
        std::printf("| %s | %.0f | %.0f | %.2f |\n", work, e, a, a > 0 ? e / a : 0.0);
    };
    std::printf("\nSeconds of audio per second of CPU (x real time), one thread, median; speech from espeak-ng.\n\n");
    std::printf("| work | engine | anchor | engine/anchor |\n|---|---|---|---|\n");
    row("shorten to 0.8: ring Compress(0.8) / libsonic speed 1.25", "RingCompress/0.8", "SonicSpeed/1.25");
    row("lengthen to 1.25: ring Expand(1.25) / libsonic speed 0.8", "RingExpand/1.25", "SonicSpeed/0.8");
    row("capture side: pre-processor + resampler / SpeexDSP preprocess + resampler", "CaptureSide/engine",
        "CaptureSide/speexdsp");
    const double drifting = reporter.Get("RingDriftingClocks/32000vs31900", "audio_s_per_s");
    if (drifting > 0) std::printf("\nring put/get, 20 ms blocks, 32 000 vs 31 900 samples/s: %.0f x real time\n", drifting);
    const double paths = reporter.Get("VoicePath/engine", "audio_s_per_s");
    if (paths > 0) {
        std::printf("complete voice paths one core runs in real time (pre-processor + resampler + Siren14 encode and\n"
                    "decode + ring buffer, 20 ms blocks, no pacing): %.0f\n", paths);
    }
    benchmark::Shutdown();
    return 0;
}
