#include "platform/acm/G711.h"

namespace zelmar::platform::acm {
namespace {

// A-law transmits every other bit inverted.
constexpr uint8_t kALawEvenBits = 0x55;
// mu-law's magnitude is biased by 33 (in 14-bit units) so that every segment starts at a
// power of two, and the whole code is transmitted inverted.
constexpr int32_t kMuLawBias = 33;
constexpr int32_t kMuLawMaxBiased = 0x1FFF;

// Sign-magnitude split of a 16-bit sample: a negative sample's magnitude is its one's
// complement, so truncating it rounds toward zero as the recommendation's sign-magnitude
// arithmetic does (-1 .. -8 code as the smallest negative level).
int32_t Magnitude(int16_t sample) { return sample < 0 ? ~static_cast<int32_t>(sample) : sample; }

// Index of the highest set bit of a positive value.
int32_t TopBit(int32_t value) { return 31 - __builtin_clz(static_cast<uint32_t>(value)); }

uint8_t ALawCode(int16_t sample) {
    const int32_t magnitude = Magnitude(sample) >> 4;  // 12 bits: the 13-bit value's magnitude / 2
    int32_t code;
    if (magnitude < 16) {
        code = magnitude;  // segment 0
    } else {
        const int32_t segment = TopBit(magnitude) - 3;  // 1..7
        code = (segment << 4) | ((magnitude >> (segment - 1)) & 15);
    }
    if (sample >= 0) code |= 0x80;
    return static_cast<uint8_t>(code ^ kALawEvenBits);
}

uint8_t MuLawCode(int16_t sample) {
    int32_t biased = (Magnitude(sample) >> 2) + kMuLawBias;  // 14-bit magnitude + bias
    if (biased > kMuLawMaxBiased) biased = kMuLawMaxBiased;
    const int32_t segment = TopBit(biased) - 5;  // 0..7
    const int32_t code = (segment << 4) | ((biased >> (segment + 1)) & 15);
    return static_cast<uint8_t>(~(sample < 0 ? code | 0x80 : code) & 0xFF);
}

// The 256 levels of each law, and the code of every input the code can tell apart (A-law
// looks at the top 12 bits, mu-law at the top 14), built once: both ways are a lookup.
constexpr int kALawInputShift = 4, kMuLawInputShift = 2;
struct Levels {
    int16_t alaw[256];
    int16_t mulaw[256];
    uint8_t alawCode[1 << (16 - kALawInputShift)];
    uint8_t mulawCode[1 << (16 - kMuLawInputShift)];
    Levels() {
        for (int32_t i = 0; i < (1 << (16 - kALawInputShift)); ++i) {
            alawCode[i] = ALawCode(static_cast<int16_t>(static_cast<uint16_t>(i << kALawInputShift)));
        }
        for (int32_t i = 0; i < (1 << (16 - kMuLawInputShift)); ++i) {
            mulawCode[i] = MuLawCode(static_cast<int16_t>(static_cast<uint16_t>(i << kMuLawInputShift)));
        }
        for (int32_t code = 0; code < 256; ++code) {
            const int32_t a = code ^ kALawEvenBits;
            const int32_t aSegment = (a >> 4) & 7, aMantissa = a & 15;
            // 13-bit magnitude: segment 0 steps by 2 from 0, segment s by 2^s from 32 * 2^(s-1).
            const int32_t aLevel13 = aSegment == 0 ? 2 * aMantissa + 1 : (2 * aMantissa + 33) << (aSegment - 1);
            alaw[code] = static_cast<int16_t>((a & 0x80) != 0 ? aLevel13 << 3 : -(aLevel13 << 3));

            const int32_t u = ~code & 0xFF;
            const int32_t uSegment = (u >> 4) & 7, uMantissa = u & 15;
            const int32_t uLevel14 = ((2 * uMantissa + kMuLawBias) << uSegment) - kMuLawBias;
            mulaw[code] = static_cast<int16_t>((u & 0x80) != 0 ? -(uLevel14 << 2) : uLevel14 << 2);
        }
    }
};

const Levels& Tables() {
    static const Levels levels;
    return levels;
}

}  // namespace

uint8_t ALawEncode(int16_t sample) { return Tables().alawCode[static_cast<uint16_t>(sample) >> kALawInputShift]; }
uint8_t MuLawEncode(int16_t sample) {
    return Tables().mulawCode[static_cast<uint16_t>(sample) >> kMuLawInputShift];
}
int16_t ALawDecode(uint8_t code) { return Tables().alaw[code]; }
int16_t MuLawDecode(uint8_t code) { return Tables().mulaw[code]; }

namespace {

int16_t ReadSample(const uint8_t* pcm) {
    return static_cast<int16_t>(static_cast<uint16_t>(pcm[0] | (pcm[1] << 8)));
}
void WriteSample(uint8_t* pcm, int16_t sample) {
    const auto bits = static_cast<uint16_t>(sample);
    pcm[0] = static_cast<uint8_t>(bits & 0xFF);
    pcm[1] = static_cast<uint8_t>(bits >> 8);
}

}  // namespace

void ALawEncodeBlock(const uint8_t* pcm, uint8_t* codes, std::size_t count) {
    const uint8_t* table = Tables().alawCode;
    for (std::size_t i = 0; i < count; ++i) {
        codes[i] = table[static_cast<uint16_t>(ReadSample(pcm + 2 * i)) >> kALawInputShift];
    }
}
void MuLawEncodeBlock(const uint8_t* pcm, uint8_t* codes, std::size_t count) {
    const uint8_t* table = Tables().mulawCode;
    for (std::size_t i = 0; i < count; ++i) {
        codes[i] = table[static_cast<uint16_t>(ReadSample(pcm + 2 * i)) >> kMuLawInputShift];
    }
}
void ALawDecodeBlock(const uint8_t* codes, uint8_t* pcm, std::size_t count) {
    const int16_t* levels = Tables().alaw;
    for (std::size_t i = 0; i < count; ++i) WriteSample(pcm + 2 * i, levels[codes[i]]);
}
void MuLawDecodeBlock(const uint8_t* codes, uint8_t* pcm, std::size_t count) {
    const int16_t* levels = Tables().mulaw;
    for (std::size_t i = 0; i < count; ++i) WriteSample(pcm + 2 * i, levels[codes[i]]);
}

}  // namespace zelmar::platform::acm
