// Conversions between 16-bit samples and the floats the filters work in, exactly as the
// filters define them: s / 32767.0 rounded to float on the way in; on the way out the
// scaled value truncated toward zero (some filters add 0.5 first) and clamped to 16 bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zelmar::dsp {

constexpr double kSampleScale = 32767.0;
// Multiplying by the reciprocal rounds to the same float as dividing, for every 16-bit
// value (checked exhaustively by the tests), and costs a fraction of a division.
constexpr double kInverseSampleScale = 1.0 / kSampleScale;

inline float SampleToFloat(int16_t s) { return static_cast<float>(s * kInverseSampleScale); }

inline int16_t LoadSample(const uint8_t* bytes) {
    int16_t s;
    std::memcpy(&s, bytes, sizeof s);
    return s;
}

inline void StoreSample(int16_t s, uint8_t* bytes) { std::memcpy(bytes, &s, sizeof s); }

// trunc(scaled) toward zero after clamping to the 16-bit range; min/max keep it branch-free.
// Not a number (a curve of degenerate settings can make one) gives silence.
inline int16_t TruncateToSample(double scaled) {
    scaled = scaled == scaled ? scaled : 0.0;
    return static_cast<int16_t>(static_cast<int32_t>(std::min(std::max(scaled, -32768.0), 32767.0)));
}

// trunc(scaled + 0.5), clamped as above: the filters that add half a step before truncating.
// Positive values round to nearest; negative ones move half a step toward zero (-1.7 gives -1).
inline int16_t AddHalfAndTruncateToSample(double scaled) { return TruncateToSample(scaled + 0.5); }

}  // namespace zelmar::dsp
