// Siren14 codec speed: encoded and decoded 20 ms frames per second, single thread, for the
// five (mode, bit rate) pairs, on 60 s of the reference test signals (speech, sweep,
// silence + speech, concatenated and repeated: 3000 frames per rate).
//
// Anchors printed in the same run:
//  - the reference G.722.1 coder's own floating-point build, as measured on this machine
//    type (AMD EPYC, gcc 12.2 -O2, median of 15 runs) and stated with the reference
//    vectors: those figures are constants here, they are not re-measured;
//  - libavcodec's G.722 (sub-band ADPCM, 64 kbit/s, 16 kHz), timed here on the same 16 kHz
//    audio in 320-sample frames.  Debian's libavcodec has no G.722.1 coder (its "siren"
//    decoder does not decode standard G.722.1 frames), so G.722 is only the nearest
//    wideband voice codec the distribution offers, not a like-for-like comparison.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MedianReporter.h"
#include "Siren14BenchAudio.h"
#include "codecs/siren14/Siren14Codec.h"

namespace {

using namespace zelmar;

struct BenchMode {
    const char* name;
    int32_t bitRate;
    int32_t bandwidth;
    int32_t sampleRate;
    double referenceEncodeFps;  // reference float build, frames/s
    double referenceDecodeFps;
};

const BenchMode kModes[] = {
    {"7k_24k", 24000, 7000, 16000, 178762, 113645},
    {"7k_32k", 32000, 7000, 16000, 167047, 105020},
    {"14k_24k", 24000, 14000, 32000, 103977, 66784},
    {"14k_32k", 32000, 14000, 32000, 97903, 61890},
    {"14k_48k", 48000, 14000, 32000, 87752, 57735},
};

constexpr int kFrames = bench::kSiren14BenchFrames;

// 60 s of the test signals at `sampleRate`.
const std::vector<int16_t>& Audio(int sampleRate) {
    static std::map<int, std::vector<int16_t>> cache;
    std::vector<int16_t>& audio = cache[sampleRate];
    if (audio.empty()) {
        audio = bench::Siren14BenchAudio(ZELMAR_G7221_VECTORS_DIR, sampleRate);
        if (audio.empty()) {
            std::fprintf(stderr, "siren14_bench: no test signals in %s\n", ZELMAR_G7221_VECTORS_DIR);
            std::exit(1);
        }
    }
    return audio;
}

void Siren14Encode(benchmark::State& state, const BenchMode& mode) {
    const std::vector<int16_t>& audio = Audio(mode.sampleRate);
    auto encoder = std::make_unique<Siren14EncoderState>();
    siren14_encoder_init(mode.bitRate, mode.bandwidth, encoder.get());
    const int samples = mode.sampleRate / 50;
    uint8_t frame[120];
    int index = 0;
    for (auto _ : state) {
        siren14_encode(audio.data() + index * samples, samples * 2, frame, sizeof frame, encoder.get());
        benchmark::DoNotOptimize(frame);
        if (++index == kFrames) index = 0;
    }
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Siren14Decode(benchmark::State& state, const BenchMode& mode) {
    const std::vector<int16_t>& audio = Audio(mode.sampleRate);
    auto encoder = std::make_unique<Siren14EncoderState>();
    auto decoder = std::make_unique<Siren14DecoderState>();
    siren14_encoder_init(mode.bitRate, mode.bandwidth, encoder.get());
    siren14_decoder_init(mode.bitRate, mode.bandwidth, decoder.get());
    const int samples = mode.sampleRate / 50;
    const int frameBytes = mode.bitRate / 400;
    std::vector<uint8_t> coded(static_cast<size_t>(kFrames) * frameBytes);
    siren14_encode(audio.data(), static_cast<int32_t>(audio.size() * 2), coded.data(), static_cast<int32_t>(coded.size()),
                   encoder.get());
    std::vector<int16_t> pcm(samples);
    int index = 0;
    for (auto _ : state) {
        siren14_decode(coded.data() + index * frameBytes, frameBytes, pcm.data(), samples * 2, decoder.get());
        benchmark::DoNotOptimize(pcm.data());
        if (++index == kFrames) index = 0;
    }
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// libavcodec G.722 on the 16 kHz audio, 320 samples (20 ms) per frame.
struct AvG722 {
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~AvG722() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
    bool Open(bool encoder) {
        const AVCodec* codec = encoder ? avcodec_find_encoder(AV_CODEC_ID_ADPCM_G722) : avcodec_find_decoder(AV_CODEC_ID_ADPCM_G722);
        if (codec == nullptr || (context = avcodec_alloc_context3(codec)) == nullptr) return false;
        context->sample_rate = 16000;
        context->sample_fmt = AV_SAMPLE_FMT_S16;
        context->bit_rate = 64000;
        av_channel_layout_default(&context->ch_layout, 1);
        frame = av_frame_alloc();
        packet = av_packet_alloc();
        return avcodec_open2(context, codec, nullptr) == 0 && frame != nullptr && packet != nullptr;
    }
};

void AvcodecG722Encode(benchmark::State& state) {
    const std::vector<int16_t>& audio = Audio(16000);
    AvG722 g722;
    if (!g722.Open(true)) return state.SkipWithError("libavcodec G.722 encoder unavailable");
    g722.frame->nb_samples = 320;
    g722.frame->format = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&g722.frame->ch_layout, 1);
    if (av_frame_get_buffer(g722.frame, 0) < 0) return state.SkipWithError("frame buffer");
    int index = 0;
    for (auto _ : state) {
        av_frame_make_writable(g722.frame);
        std::memcpy(g722.frame->data[0], audio.data() + index * 320, 640);
        avcodec_send_frame(g722.context, g722.frame);
        while (avcodec_receive_packet(g722.context, g722.packet) == 0) av_packet_unref(g722.packet);
        if (++index == kFrames) index = 0;
    }
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void AvcodecG722Decode(benchmark::State& state) {
    const std::vector<int16_t>& audio = Audio(16000);
    // 64 kbit/s: 160 bytes per 20 ms; encoded once with the same library.
    std::vector<uint8_t> coded;
    {
        AvG722 encoder;
        if (!encoder.Open(true)) return state.SkipWithError("libavcodec G.722 encoder unavailable");
        encoder.frame->nb_samples = 320;
        encoder.frame->format = AV_SAMPLE_FMT_S16;
        av_channel_layout_default(&encoder.frame->ch_layout, 1);
        av_frame_get_buffer(encoder.frame, 0);
        for (int f = 0; f < kFrames; ++f) {
            av_frame_make_writable(encoder.frame);
            std::memcpy(encoder.frame->data[0], audio.data() + f * 320, 640);
            avcodec_send_frame(encoder.context, encoder.frame);
            while (avcodec_receive_packet(encoder.context, encoder.packet) == 0) {
                coded.insert(coded.end(), encoder.packet->data, encoder.packet->data + encoder.packet->size);
                av_packet_unref(encoder.packet);
            }
        }
    }
    AvG722 g722;
    if (!g722.Open(false) || coded.size() < 160u * kFrames) return state.SkipWithError("libavcodec G.722 decoder unavailable");
    int index = 0;
    for (auto _ : state) {
        g722.packet->data = coded.data() + index * 160;
        g722.packet->size = 160;
        avcodec_send_packet(g722.context, g722.packet);
        while (avcodec_receive_frame(g722.context, g722.frame) == 0) av_frame_unref(g722.frame);
        if (++index == kFrames) index = 0;
    }
    g722.packet->data = nullptr;
    g722.packet->size = 0;
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (const BenchMode& mode : kModes) {
        benchmark::RegisterBenchmark((std::string("Siren14Encode/") + mode.name).c_str(), Siren14Encode, mode);
        benchmark::RegisterBenchmark((std::string("Siren14Decode/") + mode.name).c_str(), Siren14Decode, mode);
    }
    benchmark::RegisterBenchmark("AvcodecG722Encode/16k_64k", AvcodecG722Encode);
    benchmark::RegisterBenchmark("AvcodecG722Decode/16k_64k", AvcodecG722Decode);
    bench::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto fps = [&](const std::string& name) { return reporter.Get(name, "frames_per_s"); };
    std::printf("\nSiren14 frames/s (20 ms frames, one thread, median); x real time = frames/s / 50.\n"
                "Reference = the G.722.1 reference coder's float build on this machine type (figures stated with\n"
                "the reference vectors, not re-measured here).  G.722 = libavcodec's G.722 ADPCM at 16 kHz,\n"
                "timed in this run: the nearest Debian wideband voice codec, not the same algorithm.\n\n");
    std::printf("| mode | encode fps | x RT | reference | ratio | decode fps | x RT | reference | ratio |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const BenchMode& mode : kModes) {
        const double encode = fps(std::string("Siren14Encode/") + mode.name);
        const double decode = fps(std::string("Siren14Decode/") + mode.name);
        if (encode == 0.0 && decode == 0.0) continue;
        std::printf("| %s | %.0f | %.0f | %.0f | %.2f | %.0f | %.0f | %.0f | %.2f |\n", mode.name, encode, encode / 50,
                    mode.referenceEncodeFps, encode / mode.referenceEncodeFps, decode, decode / 50,
                    mode.referenceDecodeFps, decode / mode.referenceDecodeFps);
    }
    const double g722Encode = fps("AvcodecG722Encode/16k_64k"), g722Decode = fps("AvcodecG722Decode/16k_64k");
    if (g722Encode > 0 && g722Decode > 0) {
        std::printf("\nlibavcodec G.722 (16 kHz, 64 kbit/s): encode %.0f fps, decode %.0f fps;\n"
                    "Siren14 7 kHz 24 kbit/s / G.722: encode %.2f, decode %.2f\n",
                    g722Encode, g722Decode, fps("Siren14Encode/7k_24k") / g722Encode,
                    fps("Siren14Decode/7k_24k") / g722Decode);
    }
    benchmark::Shutdown();
    return 0;
}
