// Siren14 codec core: a floating-point ITU-T G.722.1 coder (7 kHz mode, 16 000 samples/s,
// 320-sample frames) with its Annex C extension (14 kHz mode, 32 000 samples/s, 640-sample
// frames), bit-stream compatible with the Recommendation's reference coder.
//
// Per 20 ms frame the encoder computes the modulated lapped transform, codes the region
// power envelope, chooses one of 16 (or 32) categorisations by rate control, quantises and
// Huffman-codes the coefficient vectors and packs the frame; the decoder reverses this,
// noise-fills the coarse regions and conceals bad or lost frames.
//
// Coded frame: bit rate / 800 16-bit words (30, 40 or 60), each stored least significant
// byte first; the bit stream runs from bit 15 of word 0 downwards.
//
// The core is plain computation: no allocation, no locks, no system calls.  Each instance
// keeps its own state; the only shared data are read-only tables built once per process.
#pragma once

#include <cstdint>

namespace zelmar {

namespace siren14 {
class DctIv;
constexpr int kMaxFrameLength = 640;
constexpr int kMaxWordsPerFrame = 60;

// The decoder's conversion of its float output to 16 bits: round half away from zero,
// saturating.  For every float (NaN included, which gives 32767) the result equals the
// double-precision form
//   v < -32768 ? -32768 : v < 0 ? trunc(v - 0.5) : v < 32767 ? trunc(v + 0.5) : 32767,
// but it stays in float and 32-bit lanes, so the loop over a frame vectorises eight samples
// wide.  With v = t + f, t = trunc(v) and f of the same sign, trunc(2v) = 2t + trunc(2f),
// and trunc(2f) is +-1 exactly when |f| >= 0.5: trunc(2v) - trunc(v) is v rounded half away
// from zero.  2v is exact in float; clamping to +-40000 (+-80000 for 2v) keeps the
// truncations in range.  The doubling comes before the selects: GCC does not if-convert
// arithmetic on a selected float, and the loop would stay scalar.
inline int16_t RoundToPcm16(float value) {
    float twice = value + value;
    twice = twice < 80000.0f ? twice : 80000.0f;  // NaN ends here, as 32767
    twice = twice > -80000.0f ? twice : -80000.0f;
    float once = value < 40000.0f ? value : 40000.0f;
    once = once > -40000.0f ? once : -40000.0f;
    int32_t rounded = static_cast<int32_t>(twice) - static_cast<int32_t>(once);
    rounded = rounded < 32767 ? rounded : 32767;
    rounded = rounded > -32768 ? rounded : -32768;
    return static_cast<int16_t>(rounded);
}
}  // namespace siren14

struct Siren14EncoderState {
    int32_t bitRate;
    int32_t bandwidth;        // 7000 or 14000 Hz
    float coefficientScale;   // brings the float transform to the bit stream's level
    int32_t bitsPerFrame;
    int32_t regions;          // 20-coefficient regions coded: 14 or 28
    int32_t frameLength;      // N samples: 320 or 640
    int32_t wordsPerFrame;
    float coefficients[siren14::kMaxFrameLength];
    int16_t previousInput[siren14::kMaxFrameLength];  // first half of the transform's 2N span
    float window[siren14::kMaxFrameLength];
    const siren14::DctIv* transform;
};

struct Siren14DecoderState {
    int32_t bitRate;
    int32_t bandwidth;
    int32_t bitsPerFrame;
    int32_t regions;
    int32_t frameLength;
    int32_t wordsPerFrame;
    // Non-zero: the next decode call conceals every frame instead of reading bits.
    int32_t frameErrorFlag;
    // Frames concealed (erased by the caller or failing the frame checks) since init; a
    // statistic only, it never changes the decoding.
    uint32_t concealedFrames;
    float coefficients[siren14::kMaxFrameLength];
    float previousCoefficients[siren14::kMaxFrameLength];  // last good spectrum
    float overlap[siren14::kMaxFrameLength / 2];            // second half of the last inverse transform
    float window[siren14::kMaxFrameLength];
    int16_t noiseSeeds[4];
    const siren14::DctIv* transform;
};

// Returns 0, or -1 when (bitRate, bandwidth) is not one of (24000|32000, 7000) or
// (24000|32000|48000, 14000); the state is then unusable.
int32_t siren14_encoder_init(int32_t bitRate, int32_t bandwidth, Siren14EncoderState* state);
// Back to the start of a stream; the mode stays.  Returns 0.
int32_t siren14_encoder_reset(Siren14EncoderState* state);
// Encodes as many whole frames as both buffers allow (16-bit PCM in, coded frames out);
// returns the PCM bytes consumed (0 when either buffer holds less than one frame).
int32_t siren14_encode(const void* in, int32_t inBytes, void* out, int32_t outCapacity,
                       Siren14EncoderState* state);

int32_t siren14_decoder_init(int32_t bitRate, int32_t bandwidth, Siren14DecoderState* state);
// Clears the spectrum and overlap history; the noise generator runs on.  Returns 0.
int32_t siren14_decoder_reset(Siren14DecoderState* state);
// Decodes as many whole frames as both buffers allow; returns the coded bytes consumed.
// `in` may be null when the frame error flag is set (every frame is then concealed).
int32_t siren14_decode(const void* in, int32_t inBytes, void* out, int32_t outCapacity,
                       Siren14DecoderState* state);

// Decodes the bits of one coded frame far enough to apply the decoder's frame checks, and
// says whether the frame would be accepted.  Touches no decoder state.
bool siren14_frame_is_valid(const void* frame, int32_t bitRate, int32_t bandwidth);

}  // namespace zelmar
