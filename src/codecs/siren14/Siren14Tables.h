// Constant tables of ITU-T G.722.1 and G.722.1 Annex C used by the Siren14 codec core.
// The data is generated into Siren14Tables.cpp by tools/siren14/gen_tables.py.
#pragma once

#include <cstdint>

namespace zelmar {
namespace siren14 {

constexpr int kCategories = 8;        // 0 = finest quantiser … 7 = not coded, noise only
constexpr int kCodedCategories = 7;   // categories that carry vector codes
constexpr int kMaxRegions = 28;
constexpr int kRegionSize = 20;       // coefficients per region (25 Hz bins, so 500 Hz)
constexpr int kPowerTableSize = 64;   // rows of the region power tables
constexpr int kPowerTableOffset = 24; // row = absolute power index + 24
constexpr int kDifferentialSymbols = 24;
constexpr int kDifferentialTreeNodes = 23;

// Per category 0..7.
extern const uint8_t kVectorDimension[8];
extern const uint8_t kNumberOfVectors[8];
extern const uint8_t kMaxBin[8];
extern const float kStepSize[8];
extern const float kDeadZone[8];
extern const int16_t kExpectedBitsPerCategory[8];
// [category 0..6][quantiser index 0..15], in units of the region's standard deviation.
extern const float kReconstructionCentroids[7][16];

// [region 1..27][symbol 0..23], symbol = power difference + 12.  Row 0 is unused.
extern const uint8_t kDifferentialRegionPowerBits[28][24];
extern const uint16_t kDifferentialRegionPowerCodes[28][24];
// [region][node][bit]: next node, or a leaf (value <= 0) holding -symbol.
extern const int16_t kDifferentialRegionPowerTree[28][23][2];

struct VectorCodeTable {
    const uint16_t* codes;  // code word per vector index, sent MSB first
    const uint8_t* bits;    // its length
    const int16_t* tree;    // decoder tree, [node * 2 + bit]; leaf value <= 0 is -index
    int treeNodes;
};
extern const VectorCodeTable kVectorCodes[7];

// Noise amplitude per category-5 and category-6 region, indexed by how much of the region
// was coded (see the decoder), and the fixed amplitude of a category-7 region.
extern const float kNoiseFillFactorCat5[20];
extern const float kNoiseFillFactorCat6[20];
extern const float kNoiseFillFactorCat7;

}  // namespace siren14
}  // namespace zelmar
