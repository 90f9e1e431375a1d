// The codec bridge against libavcodec called directly: conversion throughput per codec and
// direction on the same speech in the same run (x real time, medians of the repetitions),
// and the round trip's segmental SNR on that speech through the bridge and through
// libavcodec alone.  The speech is the tests' espeak-ng material (8 and 16 kHz).
#include <benchmark/benchmark.h>
#include <zelmar/zelmar.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "DspBenchSupport.h"
#include "platform/acm/Acm.h"
#include "support/SpeechMaterial.h"

namespace {

using namespace dspbench;

struct Codec {
    const char* name;
    const char* encodeTemplate;   // or null: the bridge's formats are the suggested ones
    const char* decodeTemplate;
    uint16_t tag;
    int rate;
    const char* avEncoder;
    const char* avDecoder;
    int blockSize;                // libavcodec's "block_size" for the ADPCM coders, else 0
};
const Codec kCodecs[] = {
    {"GSM", "PCM2GSM", "GSM2PCM", 49, 8000, "libgsm_ms", "libgsm_ms", 0},
    {"MsAdpcm", "PCM2ADPCM", "ADPCM2PCM", 2, 16000, "adpcm_ms", "adpcm_ms", 256},
    {"ImaAdpcm", nullptr, nullptr, 17, 16000, "adpcm_ima_wav", "adpcm_ima_wav", 512},
    {"ALaw", "PCM2ALAW", "ALAW2PCM", 6, 8000, "pcm_alaw", "pcm_alaw", 0},
    {"MuLaw", nullptr, nullptr, 7, 8000, "pcm_mulaw", "pcm_mulaw", 0},
    {"G723", "PCM2G723", "G7232PCM", 66, 8000, "g723_1", "g723_1", 0},
};

constexpr int kSpeechSeconds = 10;

std::vector<int16_t> Speech(int rate) {
    std::vector<int16_t> speech = zelmar::test::LoadSpeech(rate);
    speech.resize(std::min<std::size_t>(speech.size(), std::size_t(rate) * kSpeechSeconds));
    return speech;
}

// ---- the bridge ----

std::vector<uint8_t> Pcm(int rate) {
    std::vector<uint8_t> block(18);
    const WAVEFORMATEX f{1, 1, uint32_t(rate), uint32_t(rate) * 2, 2, 16, 0};
    std::memcpy(block.data(), &f, 18);
    return block;
}

// The coded format the compression manager suggests for the codec (mono).
std::vector<uint8_t> CodedFormat(const Codec& codec) {
    namespace acm = zelmar::platform::acm;
    std::vector<uint8_t> block(ZELMAR_FORMAT_BLOCK_BYTES);
    const WAVEFORMATEX pcm{1, 1, uint32_t(codec.rate), uint32_t(codec.rate) * 2, 2, 16, 0};
    const WAVEFORMATEX wanted{codec.tag, 1, uint32_t(codec.rate), 0, 0, 0, 0};
    std::memcpy(block.data(), &wanted, 18);
    acm::FormatSuggest(&pcm, reinterpret_cast<WAVEFORMATEX*>(block.data()), uint32_t(block.size()),
                       acm::kSuggestTag | acm::kSuggestRate | acm::kSuggestChannels);
    return block;
}

ComponentPtr Bridge(const Codec& codec, bool encode) {
    ComponentPtr io(ZelmarCreateComponent("ACMAudioFilter"));
    io->SetProperty("SamplesPerSec", codec.rate, nullptr);
    const char* tmpl = encode ? codec.encodeTemplate : codec.decodeTemplate;
    if (tmpl != nullptr) {
        io->SetProperty("Template", 0, const_cast<char*>(tmpl));
    } else {
        std::vector<uint8_t> pcm = Pcm(codec.rate), coded = CodedFormat(codec);
        const std::vector<uint8_t>& in = encode ? pcm : coded;
        const std::vector<uint8_t>& out = encode ? coded : pcm;
        io->SetProperty("InWaveFormat", int32_t(in.size()), const_cast<uint8_t*>(in.data()));
        io->SetProperty("OutWaveFormat", int32_t(out.size()), const_cast<uint8_t*>(out.data()));
    }
    if (io->Build() != 0 || io->Start() != 0) return nullptr;
    return io;
}

// One pass of `in` through the bridge in one-second buffers.
std::vector<uint8_t> BridgePass(IAudioIO* io, const std::vector<uint8_t>& in, std::size_t bufferBytes,
                                std::vector<uint8_t>& out) {
    std::vector<uint8_t> all;
    for (std::size_t at = 0; at < in.size();) {
        int32_t inBytes = int32_t(std::min(bufferBytes, in.size() - at)), outBytes = int32_t(out.size());
        if (io->Process(in.data() + at, &inBytes, out.data(), &outBytes) != 0 || inBytes == 0) break;
        at += std::size_t(inBytes);
        all.insert(all.end(), out.begin(), out.begin() + outBytes);
    }
    return all;
}

// ---- libavcodec alone ----

struct AvCoder {
    AVCodecContext* context = nullptr;
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    ~AvCoder() {
        avcodec_free_context(&context);
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
};

bool OpenAv(AvCoder& coder, const Codec& codec, bool encode, int blockAlign) {
    const AVCodec* found = encode ? avcodec_find_encoder_by_name(codec.avEncoder)
                                  : avcodec_find_decoder_by_name(codec.avDecoder);
    if (found == nullptr) return false;
    coder.context = avcodec_alloc_context3(found);
    coder.context->sample_rate = codec.rate;
    av_channel_layout_default(&coder.context->ch_layout, 1);
    coder.context->sample_fmt = AV_SAMPLE_FMT_S16;
    if (codec.tag == 66) coder.context->bit_rate = 6300;
    coder.context->bits_per_coded_sample = codec.tag == 2 || codec.tag == 17 ? 4 : 8;
    coder.context->block_align = blockAlign;
    AVDictionary* options = nullptr;
    if (encode && codec.blockSize != 0) av_dict_set_int(&options, "block_size", codec.blockSize, 0);
    const bool opened = avcodec_open2(coder.context, found, &options) >= 0;
    av_dict_free(&options);
    if (!opened || !encode) return opened;
    coder.frame->format = AV_SAMPLE_FMT_S16;
    // Codecs without a frame of their own (G.711) take one-second buffers, as the bridge does.
    coder.frame->nb_samples = coder.context->frame_size > 0 ? coder.context->frame_size : codec.rate;
    coder.frame->sample_rate = codec.rate;
    av_channel_layout_default(&coder.frame->ch_layout, 1);
    return av_frame_get_buffer(coder.frame, 0) >= 0;
}

std::vector<uint8_t> AvEncode(AvCoder& coder, const std::vector<int16_t>& pcm) {
    std::vector<uint8_t> coded;
    const std::size_t frame = std::size_t(coder.frame->nb_samples);
    for (std::size_t at = 0; at + frame <= pcm.size(); at += frame) {
        av_frame_make_writable(coder.frame);
        std::memcpy(coder.frame->data[0], &pcm[at], frame * 2);
        if (avcodec_send_frame(coder.context, coder.frame) < 0) break;
        while (avcodec_receive_packet(coder.context, coder.packet) >= 0) {
            coded.insert(coded.end(), coder.packet->data, coder.packet->data + coder.packet->size);
            av_packet_unref(coder.packet);
        }
    }
    return coded;
}

std::vector<int16_t> AvDecode(AvCoder& coder, const std::vector<uint8_t>& coded, int blockAlign) {
    std::vector<int16_t> pcm;
    std::vector<uint8_t> padded(std::size_t(blockAlign) + AV_INPUT_BUFFER_PADDING_SIZE);
    for (std::size_t at = 0; at + std::size_t(blockAlign) <= coded.size(); at += std::size_t(blockAlign)) {
        std::memcpy(padded.data(), &coded[at], std::size_t(blockAlign));
        coder.packet->data = padded.data(), coder.packet->size = blockAlign;
        if (avcodec_send_packet(coder.context, coder.packet) < 0) continue;
        while (avcodec_receive_frame(coder.context, coder.frame) >= 0) {
            const auto* samples = reinterpret_cast<const int16_t*>(coder.frame->data[0]);
            pcm.insert(pcm.end(), samples, samples + coder.frame->nb_samples);
            av_frame_unref(coder.frame);
        }
    }
    return pcm;
}

int BlockAlign(const Codec& codec) {
    WAVEFORMATEX f;
    const std::vector<uint8_t> block = CodedFormat(codec);
    std::memcpy(&f, block.data(), 18);
    return f.nBlockAlign;
}

// libavcodec's decoders take one block per packet; G.711's, one second.
int PacketBytes(const Codec& codec) { return codec.tag == 6 || codec.tag == 7 ? codec.rate : BlockAlign(codec); }

// ---- one conversion, two ways ----

// The same conversion by the bridge and by libavcodec alone, prepared as the throughput
// benchmarks prepare it.
struct Pair {
    const Codec* codec = nullptr;
    bool encode = true;
    std::vector<int16_t> speech;
    std::vector<uint8_t> pcm, coded, out;
    ComponentPtr bridge;
    AvCoder av;

    bool Prepare(const Codec& c, bool toCoded) {
        codec = &c, encode = toCoded, speech = Speech(c.rate);
        pcm.resize(speech.size() * 2), out.resize(std::size_t(c.rate) * 4);
        std::memcpy(pcm.data(), speech.data(), pcm.size());
        ComponentPtr encoder = Bridge(c, true);
        if (!encoder) return false;
        coded = BridgePass(encoder.get(), pcm, std::size_t(c.rate) * 2, out);
        bridge = Bridge(c, encode);
        return bridge && OpenAv(av, c, encode, BlockAlign(c));
    }
    std::size_t ViaBridge() {
        const std::vector<uint8_t>& in = encode ? pcm : coded;
        const std::size_t buffer = encode ? std::size_t(codec->rate) * 2 : coded.size() / kSpeechSeconds;
        return BridgePass(bridge.get(), in, buffer, out).size();
    }
    std::size_t ViaLibavcodec() {
        return encode ? AvEncode(av, speech).size() : AvDecode(av, coded, PacketBytes(*codec)).size() * 2;
    }
};

// ---- throughput ----

void BridgeBench(benchmark::State& state, Codec codec, bool encode) {
    Pair pair;
    if (!pair.Prepare(codec, encode)) return state.SkipWithError("Build failed or libavcodec refused");
    for (auto _ : state) benchmark::DoNotOptimize(pair.ViaBridge());
    SetRealTimeCounter(state, double(pair.speech.size()) / codec.rate);
}

void AvBench(benchmark::State& state, Codec codec, bool encode) {
    Pair pair;
    if (!pair.Prepare(codec, encode)) return state.SkipWithError("Build failed or libavcodec refused");
    for (auto _ : state) benchmark::DoNotOptimize(pair.ViaLibavcodec());
    SetRealTimeCounter(state, double(pair.speech.size()) / codec.rate);
}

// ---- paired timing ----

double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// `acm_bench --paired ROUNDS`: each round times one bridge pass and one libavcodec pass back to
// back in this thread's CPU time, so both see the same machine; the table gives the median of
// the rounds' ratios and its spread (quartiles), which a loaded machine moves far less than it
// moves separate timings.
int PairedTable(int rounds) {
    std::printf("Conversion of %d s of speech, thread CPU time, %d paired rounds:\n\n", kSpeechSeconds, rounds);
    std::printf("| codec | direction | bridge x real time | libavcodec x real time | bridge / libavcodec "
                "(median) | quartiles |\n|---|---|---|---|---|---|\n");
    for (const Codec& codec : kCodecs) {
        for (bool encode : {true, false}) {
            Pair pair;
            if (!pair.Prepare(codec, encode)) continue;
            std::vector<double> ratios, bridgeTimes, avTimes;
            for (int round = 0; round < rounds; ++round) {
                const double t0 = ThreadSeconds();
                benchmark::DoNotOptimize(pair.ViaBridge());
                const double t1 = ThreadSeconds();
                benchmark::DoNotOptimize(pair.ViaLibavcodec());
                const double t2 = ThreadSeconds();
                bridgeTimes.push_back(t1 - t0), avTimes.push_back(t2 - t1);
                ratios.push_back((t2 - t1) / (t1 - t0));
            }
            auto quantile = [](std::vector<double> v, double q) {
                std::sort(v.begin(), v.end());
                return v[std::size_t(q * double(v.size() - 1) + 0.5)];
            };
            std::printf("| %s | %s | %.0f | %.0f | %.2f | %.2f-%.2f |\n", codec.name, encode ? "encode" : "decode",
                        kSpeechSeconds / quantile(bridgeTimes, 0.5), kSpeechSeconds / quantile(avTimes, 0.5),
                        quantile(ratios, 0.5), quantile(ratios, 0.25), quantile(ratios, 0.75));
        }
    }
    return 0;
}

// ---- quality ----

double SegSnr(const std::vector<int16_t>& clean, const std::vector<int16_t>& back, int rate) {
    const std::size_t delay = zelmar::test::BestDelay(clean, back, std::size_t(rate) / 50);
    return zelmar::test::SegmentalSnrDb(clean, back, zelmar::test::SpeechLabels(clean, rate), rate, delay);
}

void QualityTable() {
    std::printf("\nRound trip on %d s of espeak-ng speech, segmental SNR (dB):\n\n", kSpeechSeconds);
    std::printf("| codec | rate | bridge | libavcodec alone | difference |\n|---|---|---|---|---|\n");
    for (const Codec& codec : kCodecs) {
        const std::vector<int16_t> speech = Speech(codec.rate);
        std::vector<uint8_t> pcm(speech.size() * 2), out(std::size_t(codec.rate) * 4);
        std::memcpy(pcm.data(), speech.data(), pcm.size());
        ComponentPtr encoder = Bridge(codec, true), decoder = Bridge(codec, false);
        if (!encoder || !decoder) continue;
        const std::vector<uint8_t> coded = BridgePass(encoder.get(), pcm, pcm.size(), out);
        out.resize(pcm.size() * 2 + 4096);
        const std::vector<uint8_t> decoded = BridgePass(decoder.get(), coded, coded.size(), out);
        std::vector<int16_t> bridge(decoded.size() / 2);
        std::memcpy(bridge.data(), decoded.data(), bridge.size() * 2);
        const int align = BlockAlign(codec);
        AvCoder avEncoder, avDecoder;
        if (!OpenAv(avEncoder, codec, true, align) || !OpenAv(avDecoder, codec, false, align)) continue;
        const std::vector<int16_t> alone = AvDecode(avDecoder, AvEncode(avEncoder, speech), PacketBytes(codec));
        const double a = SegSnr(speech, bridge, codec.rate), b = SegSnr(speech, alone, codec.rate);
        std::printf("| %s | %d | %.2f | %.2f | %+.2f |\n", codec.name, codec.rate, a, b, a - b);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--paired") return PairedTable(std::max(1, std::atoi(argv[2])));
    benchmark::Initialize(&argc, argv);
    for (const Codec& codec : kCodecs) {
        for (bool encode : {true, false}) {
            const std::string suffix = std::string(codec.name) + (encode ? "/encode" : "/decode");
            benchmark::RegisterBenchmark(("Bridge/" + suffix).c_str(), BridgeBench, codec, encode)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("Libavcodec/" + suffix).c_str(), AvBench, codec, encode)
                ->Unit(benchmark::kMillisecond);
        }
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nConversion throughput, x real time (median), one-second buffers:\n\n");
    std::printf("| codec | direction | bridge | libavcodec | bridge / libavcodec |\n|---|---|---|---|---|\n");
    for (const Codec& codec : kCodecs) {
        for (const char* direction : {"encode", "decode"}) {
            const std::string suffix = std::string(codec.name) + "/" + direction;
            const double bridge = reporter.Get("Bridge/" + suffix), av = reporter.Get("Libavcodec/" + suffix);
            std::printf("| %s | %s | %.0f | %.0f | %.2f |\n", codec.name, direction, bridge, av,
                        av > 0 ? bridge / av : 0.0);
        }
    }
    QualityTable();
    std::printf("\n");
    PairedTable(21);
    benchmark::Shutdown();
    return 0;
}
