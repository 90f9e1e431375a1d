// Runs the Siren14 encoder or decoder over the benchmark's 60 s of test signals exactly once,
// for instruction counts under callgrind (bench/siren14_instructions.sh), which stay
// comparable from run to run where wall-clock timings on a shared machine do not.
//   siren14_instructions encode|decode MODE      MODE: 7k_24k 7k_32k 14k_24k 14k_32k 14k_48k
// The decoder's input is encoded before the measured part; callgrind's --toggle-collect
// restricts the count to siren14_encode or siren14_decode.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Siren14BenchAudio.h"
#include "codecs/siren14/Siren14Codec.h"

namespace {

using namespace zelmar;

struct ModeName {
    const char* name;
    int32_t bitRate;
    int32_t bandwidth;
};

constexpr ModeName kModes[] = {
    {"7k_24k", 24000, 7000}, {"7k_32k", 32000, 7000}, {"14k_24k", 24000, 14000},
    {"14k_32k", 32000, 14000}, {"14k_48k", 48000, 14000},
};
constexpr int kFrames = bench::kSiren14BenchFrames;

}  // namespace

int main(int argc, char** argv) {
    const ModeName* mode = nullptr;
    for (const ModeName& candidate : kModes) {
        if (argc == 3 && std::strcmp(argv[2], candidate.name) == 0) mode = &candidate;
    }
    const bool encode = argc == 3 && std::strcmp(argv[1], "encode") == 0;
    const bool decode = argc == 3 && std::strcmp(argv[1], "decode") == 0;
    if (mode == nullptr || (!encode && !decode)) {
        std::fprintf(stderr, "usage: siren14_instructions encode|decode 7k_24k|7k_32k|14k_24k|14k_32k|14k_48k\n");
        return 2;
    }
    const int sampleRate = mode->bandwidth == 14000 ? 32000 : 16000;
    const std::vector<int16_t> audio = bench::Siren14BenchAudio(ZELMAR_G7221_VECTORS_DIR, sampleRate);
    if (audio.empty()) {
        std::fprintf(stderr, "siren14_instructions: no test signals in %s\n", ZELMAR_G7221_VECTORS_DIR);
        return 1;
    }
    const int samples = sampleRate / 50;
    const int frameBytes = mode->bitRate / 400;
    auto encoder = std::make_unique<Siren14EncoderState>();
    siren14_encoder_init(mode->bitRate, mode->bandwidth, encoder.get());
    std::vector<uint8_t> coded(static_cast<size_t>(kFrames) * frameBytes);
    // A checksum of the output keeps the work observable and lets two builds be compared.
    uint32_t checksum = 0;
    if (encode) {
        // Frame by frame, as a caller streaming audio would.
        for (int f = 0; f < kFrames; ++f) {
            siren14_encode(audio.data() + static_cast<size_t>(f) * samples, samples * 2,
                           coded.data() + static_cast<size_t>(f) * frameBytes, frameBytes, encoder.get());
        }
    } else {
        siren14_encode(audio.data(), static_cast<int32_t>(audio.size() * 2), coded.data(),
                       static_cast<int32_t>(coded.size()), encoder.get());
        auto decoder = std::make_unique<Siren14DecoderState>();
        siren14_decoder_init(mode->bitRate, mode->bandwidth, decoder.get());
        std::vector<int16_t> pcm(samples);
        for (int f = 0; f < kFrames; ++f) {
            siren14_decode(coded.data() + static_cast<size_t>(f) * frameBytes, frameBytes, pcm.data(), samples * 2,
                           decoder.get());
            for (int16_t sample : pcm) checksum = checksum * 31u + static_cast<uint16_t>(sample);
        }
    }
    if (encode) {
        for (uint8_t byte : coded) checksum = checksum * 31u + byte;
    }
    std::printf("%s %s: %d frames, output checksum %08x\n", argv[1], mode->name, kFrames, checksum);
    return 0;
}
