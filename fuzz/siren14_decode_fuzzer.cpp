// Feeds arbitrary coded frames to the Siren14 decoder.  The first input byte picks one of
// the five (bit rate, bandwidth) modes; the rest is cut into whole 60-, 80- or 120-byte
// frames and decoded in sequence by one decoder, so the concealment history is exercised
// too.  Besides memory errors (ASan/UBSan), the target stops on a decoder that conceals a
// frame its own frame check accepts, or the other way round, or on a coefficient that is
// not finite.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "codecs/siren14/Siren14Codec.h"

#include "FuzzInput.h"

namespace {

struct FuzzMode {
    int32_t bitRate;
    int32_t bandwidth;
    int32_t frameSamples;
};
constexpr FuzzMode kModes[] = {
    {24000, 7000, 320}, {32000, 7000, 320}, {24000, 14000, 640}, {32000, 14000, 640}, {48000, 14000, 640},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const FuzzMode& mode = kModes[data[0] % 5];
    const bool eraseSome = (data[0] / 5) % 2 == 1;  // also interleave frames lost by the caller
    ++data;
    --size;
    static zelmar::Siren14DecoderState decoder;
    fuzz::Check(zelmar::siren14_decoder_init(mode.bitRate, mode.bandwidth, &decoder) == 0);
    const size_t frameBytes = static_cast<size_t>(mode.bitRate / 400);
    int16_t pcm[640];
    for (size_t offset = 0, index = 0; offset + frameBytes <= size; offset += frameBytes, ++index) {
        const bool erased = eraseSome && index % 3 == 2;
        decoder.frameErrorFlag = erased ? 1 : 0;
        const bool valid = zelmar::siren14_frame_is_valid(data + offset, mode.bitRate, mode.bandwidth);
        const uint32_t before = decoder.concealedFrames;
        const int32_t used = zelmar::siren14_decode(data + offset, static_cast<int32_t>(frameBytes), pcm,
                                                    static_cast<int32_t>(sizeof pcm), &decoder);
        fuzz::Check(used == static_cast<int32_t>(frameBytes));
        fuzz::Check((decoder.concealedFrames != before) == (erased || !valid));
        for (int k = 0; k < mode.frameSamples; ++k) fuzz::Check(std::isfinite(decoder.coefficients[k]));
    }
    return 0;
}
