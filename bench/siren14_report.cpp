// Prints the Siren14 interoperability table: for every reference vector, how our decoder
// matches the reference decode and how our encoder matches the reference bit stream.
//   siren14_report            (reads the vectors from ZELMAR_G7221_VECTORS_DIR)
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/siren14/Siren14Codec.h"
#include "support/Siren14Vectors.h"

using namespace zelmar;

namespace {

std::vector<int16_t> Decode(const test::Siren14Vector& v, const std::vector<uint8_t>& bits) {
    auto state = std::make_unique<Siren14DecoderState>();
    siren14_decoder_init(v.bitRate, v.Bandwidth(), state.get());
    std::vector<int16_t> pcm(bits.size() / v.FrameBytes() * v.FrameSamples());
    siren14_decode(bits.data(), static_cast<int32_t>(bits.size()), pcm.data(), static_cast<int32_t>(pcm.size() * 2),
                   state.get());
    return pcm;
}

}  // namespace

int main() {
    std::printf("| input | fs | bit/s | max abs diff (LSB) | samples differing | identical frames | invalid frames | "
                "SNR ours (dB) | SNR reference (dB) | decode segSNR vs reference (dB) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const test::Siren14Vector& v : test::Siren14Vectors()) {
        const std::vector<int16_t> input = test::ReadPcm(v.InputPath());
        const std::vector<uint8_t> reference = test::ReadBytes(v.BitsPath());
        const std::vector<int16_t> referenceDecode = test::ReadPcm(v.DecodePath());
        if (input.empty() || reference.empty() || referenceDecode.empty()) {
            std::fprintf(stderr, "missing vectors for %s\n", v.Name().c_str());
            return 1;
        }
        const std::vector<int16_t> decoded = Decode(v, reference);
        int worst = 0;
        size_t differing = 0;
        for (size_t n = 0; n < decoded.size() && n < referenceDecode.size(); ++n) {
            const int d = std::abs(decoded[n] - referenceDecode[n]);
            worst = std::max(worst, d);
            differing += d != 0;
        }
        auto encoder = std::make_unique<Siren14EncoderState>();
        siren14_encoder_init(v.bitRate, v.Bandwidth(), encoder.get());
        std::vector<uint8_t> ours(reference.size());
        siren14_encode(input.data(), static_cast<int32_t>(input.size() * 2), ours.data(), static_cast<int32_t>(ours.size()),
                       encoder.get());
        const size_t frames = ours.size() / v.FrameBytes();
        size_t identical = 0, invalid = 0;
        for (size_t f = 0; f < frames; ++f) {
            const uint8_t* frame = ours.data() + f * v.FrameBytes();
            identical += std::memcmp(frame, reference.data() + f * v.FrameBytes(), v.FrameBytes()) == 0;
            invalid += !siren14_frame_is_valid(frame, v.bitRate, v.Bandwidth());
        }
        const double ourSnr = test::DelayedSnrDb(input, Decode(v, ours), v.FrameSamples());
        const double referenceSnr = test::DelayedSnrDb(input, referenceDecode, v.FrameSamples());
        std::printf("| %s | %d | %d | %d | %.3f %% | %zu/%zu (%.1f %%) | %zu | %.2f | %.2f | %.1f |\n", v.signal,
                    v.sampleRate, v.bitRate, worst, 100.0 * differing / decoded.size(), identical, frames,
                    100.0 * identical / frames, invalid, ourSnr, referenceSnr,
                    test::SegmentalSnrDb(referenceDecode, decoded, v.FrameSamples()));
    }
    return 0;
}
