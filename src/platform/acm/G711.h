// G.711 companding, A-law and mu-law, as the recommendation defines it: the linear sample is
// cut to 13 bits (A-law) or 14 bits (mu-law) by truncation of its magnitude, the segment is
// the position of the magnitude's leading bit, and the mantissa keeps the four bits below it
// (truncated, not rounded).  Decoding returns the middle of the coded interval.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelmar::platform::acm {

uint8_t ALawEncode(int16_t sample);
int16_t ALawDecode(uint8_t code);
uint8_t MuLawEncode(int16_t sample);
int16_t MuLawDecode(uint8_t code);

// Whole buffers: `count` little-endian 16-bit samples (at any alignment) to `count` codes
// and back.
void ALawEncodeBlock(const uint8_t* pcm, uint8_t* codes, std::size_t count);
void ALawDecodeBlock(const uint8_t* codes, uint8_t* pcm, std::size_t count);
void MuLawEncodeBlock(const uint8_t* pcm, uint8_t* codes, std::size_t count);
void MuLawDecodeBlock(const uint8_t* codes, uint8_t* pcm, std::size_t count);

}  // namespace zelmar::platform::acm
