#include "codecs/siren14/Siren14Codec.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "codecs/siren14/Siren14Tables.h"
#include "codecs/siren14/Siren14Transform.h"

// Arithmetic note: the coder works in single precision in a fixed order (products rounded to
// float before they are summed), which is what keeps its bit stream identical to the
// reference coder's in all but rounding-sensitive frames.  The build must not contract
// a * b + c into fused multiply-adds here; x86-64 without -mfma never does.

namespace zelmar {
namespace siren14 {
namespace {

// The synthesis window loop gets an AVX2 copy picked at load time, as the transform does; the
// arithmetic is the same in both copies (no fused multiply-add), so are the results.
// Not under ThreadSanitizer: the load-time resolver would run before its runtime is up.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define ZELMAR_SIREN14_TARGET_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZELMAR_SIREN14_TARGET_CLONES
#endif

struct Mode {
    int32_t bandwidth;
    int32_t frameLength;
    int32_t regions;
    int32_t controlBits;           // width of the categorisation-control field
    int32_t categorizations;       // 2^controlBits
    int32_t highRateThreshold;     // bits above this count only 5/8 in categorisation
    float encoderScale;            // transform coefficients are multiplied by this
    float decoderScale;            // reconstructed values are multiplied by this
};

// The 1/22 and 1/33 scales line the float transform up with the power-index scale of the
// Recommendation's fixed-point bit stream, so frames interoperate with it.
constexpr Mode kMode7kHz = {7000, 320, 14, 4, 16, 320, static_cast<float>(1.0 / 22.0), 22.0f};
constexpr Mode kMode14kHz = {14000, 640, 28, 5, 32, 640, static_cast<float>(1.0 / 33.0), 33.0f};

const Mode* FindMode(int32_t bitRate, int32_t bandwidth) {
    if (bandwidth == 7000 && (bitRate == 24000 || bitRate == 32000)) return &kMode7kHz;
    if (bandwidth == 14000 && (bitRate == 24000 || bitRate == 32000 || bitRate == 48000)) return &kMode14kHz;
    return nullptr;
}

const Mode& ModeOf(int32_t bandwidth) { return bandwidth == 14000 ? kMode14kHz : kMode7kHz; }

constexpr int kFirstRegionBits = 5;
constexpr int kFirstRegionOffset = 7;     // region 0 is sent as power index + 7
constexpr int kMinPowerIndex = -15;       // valid absolute power indices after coding
constexpr int kMaxPowerIndex = 24;
constexpr int kMinFirstRegionIndex = -6;  // the encoder's floor for region 0
constexpr int kMaxPowerRise = 11;         // largest difference the codes can express
constexpr int kMaxPowerFall = -12;
constexpr int kOffsetSearchStart = -32;
constexpr int kExpectedBitsMargin = 32;
constexpr int kMaxCategory = 7;
constexpr int kMaxVectorsPerRegion = 10;
constexpr int kMaxCategorizations = 32;
constexpr int kNoiseBitsPerWord = 10;     // one noise word per half region
constexpr double kLog10Of2 = 0.3010299957;
constexpr int kLookupBits = 8;
// A decoded vector as one word: digit j (its quantiser magnitude, 0..13) in bits 4j..4j+3,
// the number of non-zero digits (= sign bits that follow the code) from bit 20, and in the
// lookup tables the code's length from bit 24 (0: the code is longer than the lookup).
constexpr int kDigitBits = 4;
constexpr uint32_t kDigitMask = (1u << kDigitBits) - 1u;
constexpr int kNonZeroShift = 20;
constexpr int kLookupLengthShift = 24;
// Envelope lookup entries: (code length << 8) | difference symbol, or below 256 a tree node.
constexpr int kPowerLengthShift = 8;
constexpr int kCentroidCenter = 16;       // signed centroid tables are indexed by bin + 16

// Tables derived from the constants once per process.
struct DerivedTables {
    float regionPower[kPowerTableSize];           // 2^(i-24)
    float standardDeviation[kPowerTableSize];     // sqrt of the above
    float standardDeviationInverse[kPowerTableSize];
    float powerBoundary[kPowerTableSize - 1];     // 2^(i-23.5): decision levels of the encoder
    float stepSizeInverse[kCategories];
    float regionSizeInverse;
    // Vector code lookup on the next kLookupBits bits: the decoded vector (see kDigitBits)
    // with its code length when the code ends within them, else the tree node reached after
    // all of them.  Most codes are short, so most vectors cost one lookup.
    uint32_t vectorLookup[kCodedCategories][1 << kLookupBits];
    // The same for the envelope's differential codes of regions 1..27 (row 0 unused).
    uint16_t powerLookup[kMaxRegions][1 << kLookupBits];
    // Reconstruction centroid with the coefficient's sign, [category][bin + 16], bin -15..15:
    // negating the centroid instead of the product gives the same float, without a branch.
    float signedCentroid[kCodedCategories][2 * kCentroidCenter];
};

// Splits a vector index into its digits (base max bin + 1, first coefficient most
// significant) and packs them with their non-zero count as described at kDigitBits.
uint32_t VectorDigits(int index, int category) {
    const int base = kMaxBin[category] + 1;
    uint32_t packed = 0;
    uint32_t nonZero = 0;
    for (int j = kVectorDimension[category] - 1; j >= 0; --j) {
        const uint32_t digit = static_cast<uint32_t>(index % base);
        index /= base;
        packed |= digit << (kDigitBits * j);
        nonZero += digit != 0 ? 1u : 0u;
    }
    return packed | (nonZero << kNonZeroShift);
}

DerivedTables BuildDerivedTables() {
    DerivedTables t{};
    for (int i = 0; i < kPowerTableSize; ++i) {
        const double power = std::pow(10.0, (i - kPowerTableOffset) * kLog10Of2);
        t.regionPower[i] = static_cast<float>(power);
        t.standardDeviation[i] = static_cast<float>(std::sqrt(static_cast<double>(t.regionPower[i])));
        t.standardDeviationInverse[i] = 1.0f / t.standardDeviation[i];
    }
    for (int i = 0; i < kPowerTableSize - 1; ++i) {
        t.powerBoundary[i] = static_cast<float>(std::pow(10.0, (i - kPowerTableOffset + 0.5) * kLog10Of2));
    }
    for (int c = 0; c < kCategories; ++c) t.stepSizeInverse[c] = 1.0f / kStepSize[c];
    t.regionSizeInverse = 1.0f / kRegionSize;
    for (int c = 0; c < kCodedCategories; ++c) {
        const int16_t* tree = kVectorCodes[c].tree;
        for (int pattern = 0; pattern < (1 << kLookupBits); ++pattern) {
            int node = 0;
            uint32_t entry = 0;
            for (int b = 0; b < kLookupBits; ++b) {
                node = tree[2 * node + ((pattern >> (kLookupBits - 1 - b)) & 1)];
                if (node <= 0) {
                    entry = (static_cast<uint32_t>(b + 1) << kLookupLengthShift) | VectorDigits(-node, c);
                    break;
                }
            }
            t.vectorLookup[c][pattern] = node > 0 ? static_cast<uint32_t>(node) : entry;
        }
        for (int bin = -kMaxBin[c]; bin <= kMaxBin[c]; ++bin) {
            const float centroid = kReconstructionCentroids[c][bin < 0 ? -bin : bin];
            t.signedCentroid[c][kCentroidCenter + bin] = bin < 0 ? -centroid : centroid;
        }
    }
    for (int r = 1; r < kMaxRegions; ++r) {
        for (int pattern = 0; pattern < (1 << kLookupBits); ++pattern) {
            int node = 0;
            uint16_t entry = 0;
            for (int b = 0; b < kLookupBits; ++b) {
                node = kDifferentialRegionPowerTree[r][node][(pattern >> (kLookupBits - 1 - b)) & 1];
                if (node <= 0) {
                    entry = static_cast<uint16_t>(((b + 1) << kPowerLengthShift) | -node);
                    break;
                }
            }
            t.powerLookup[r][pattern] = node > 0 ? static_cast<uint16_t>(node) : entry;
        }
    }
    return t;
}

const DerivedTables& Derived() {
    static const DerivedTables tables = BuildDerivedTables();  // once, thread-safe
    return tables;
}

void ComputeWindow(int frameLength, float* window) {
    for (int i = 0; i < frameLength; ++i) {
        window[i] = static_cast<float>(std::sin((i + 0.5) * 1.5707963267948966 / frameLength));
    }
}

// floor(value / 2).  Right shift of a negative int is arithmetic on every compiler the engine
// supports (and defined so from C++20).
int FloorHalf(int value) { return value >> 1; }

int ClampCategory(int value) { return std::min(std::max(value, 0), kMaxCategory); }

// Chooses the base categorisation and the order in which regions move between categories.
// Shared by encoder and decoder so both derive the same 16 or 32 categorisations from the
// envelope and the bits left for the vectors.  `order` receives categorizations - 1 regions:
// categorisation k is `categories` with the regions order[0..k-1] each one category coarser.
void Categorize(const int* powerIndex, int regions, int availableBits, const Mode& mode, int* categories,
                int* order) {
    int budget = availableBits;
    if (budget > mode.highRateThreshold) {
        budget = mode.highRateThreshold + (((budget - mode.highRateThreshold) * 5) >> 3);
    }

    // The expected bits at offset t are sum_r E[clamp(floor((t - p_r) / 2), 0, 7)].  E falls
    // by E[k-1] - E[k] where the category reaches k, i.e. where p_r <= t - 2k, so the sum is
    // regions * E[0] minus those steps weighted by how many regions lie at or below t - 2k:
    // a cumulative count of the power indices answers each trial in 7 look-ups instead of
    // one per region.  Integer sums, so the result is the same as region by region.
    // atMost[i + 1] = regions with power index + table offset <= i; atMost[0] = 0.  Both
    // callers pass indices inside the power tables (rows 0..63), so the count is exact.
    int atMost[kPowerTableSize + 1] = {};
    for (int r = 0; r < regions; ++r) {
        ++atMost[std::min(std::max(powerIndex[r] + kPowerTableOffset + 1, 0), kPowerTableSize)];
    }
    for (int i = 1; i <= kPowerTableSize; ++i) atMost[i] += atMost[i - 1];
    auto regionsAtMost = [&atMost](int index) {
        return atMost[std::min(std::max(index + kPowerTableOffset + 1, 0), kPowerTableSize)];
    };
    int offset = kOffsetSearchStart;
    for (int delta = 32; delta > 0; delta >>= 1) {
        const int trial = offset + delta;
        int expected = regions * kExpectedBitsPerCategory[0];
        for (int k = 1; k <= kMaxCategory; ++k) {
            expected -= (kExpectedBitsPerCategory[k - 1] - kExpectedBitsPerCategory[k]) * regionsAtMost(trial - 2 * k);
        }
        if (expected >= budget - kExpectedBitsMargin) offset = trial;
    }

    int finer[kMaxRegions], coarser[kMaxRegions];
    // Each region's rank for the next move, kept up to date instead of recomputed per step:
    // offset - power - 2 x category, or a sentinel that never wins once the region cannot move.
    // The rank is stored times kRankScale plus the region, so one minimum (maximum) finds the
    // smallest (largest) rank together with its lowest (highest) region, which breaks ties.
    constexpr int kRankScale = 32;  // > kMaxRegions; ranks stay far from the int limits
    constexpr int kRankStep = 2 * kRankScale;
    int finerRank[kMaxRegions], coarserRank[kMaxRegions];
    int expected = 0;
    for (int r = 0; r < regions; ++r) {
        finer[r] = coarser[r] = ClampCategory(FloorHalf(offset - powerIndex[r]));
        expected += kExpectedBitsPerCategory[finer[r]];
        const int rank = (offset - powerIndex[r] - 2 * finer[r]) * kRankScale + r;
        finerRank[r] = finer[r] > 0 ? rank : INT_MAX;
        coarserRank[r] = coarser[r] < kMaxCategory ? rank : INT_MIN;
    }
    int finerBits = expected, coarserBits = expected;

    // Regions made finer go to the front of the order, regions made coarser to the back.
    int buffer[2 * kMaxCategorizations];
    int front = mode.categorizations, back = mode.categorizations;
    for (int step = 0; step < mode.categorizations - 1; ++step) {
        if (finerBits + coarserBits <= 2 * budget) {
            // The smallest rank moves to a finer category; ties go to the lowest region.
            int best = INT_MAX;
            for (int r = 0; r < regions; ++r) best = std::min(best, finerRank[r]);
            if (best != INT_MAX) {
                const int chosen = best & (kRankScale - 1);
                finerBits += kExpectedBitsPerCategory[finer[chosen] - 1] - kExpectedBitsPerCategory[finer[chosen]];
                --finer[chosen];
                finerRank[chosen] = finer[chosen] > 0 ? finerRank[chosen] + kRankStep : INT_MAX;
                buffer[--front] = chosen;
                continue;
            }
        }
        // The largest rank moves to a coarser category; ties go to the highest region.
        int best = INT_MIN;
        for (int r = 0; r < regions; ++r) best = std::max(best, coarserRank[r]);
        // Only an envelope no encoder produces can leave no region to move; the order then
        // repeats the last region and the categories stay clamped when it is applied.
        const int chosen = best != INT_MIN ? best & (kRankScale - 1) : regions - 1;
        if (best != INT_MIN) {
            coarserBits += kExpectedBitsPerCategory[coarser[chosen] + 1] - kExpectedBitsPerCategory[coarser[chosen]];
            ++coarser[chosen];
            coarserRank[chosen] = coarser[chosen] < kMaxCategory ? coarserRank[chosen] - kRankStep : INT_MIN;
        }
        buffer[back++] = chosen;
    }
    std::copy(finer, finer + regions, categories);
    std::copy(buffer + front, buffer + back, order);
}

// ---------------------------------------------------------------------------------------
// Bits

class BitWriter {
public:
    // Writes the frame into `out` (totalBits / 16 words, least significant byte first);
    // totalBits is a multiple of 16 and at most 16 * kMaxWordsPerFrame.
    BitWriter(int totalBits, uint8_t* out) : totalBits_(totalBits), out_(out) {}

    int Position() const { return position_; }

    // Appends the low `count` (0..32) bits of `value`, most significant first; bits past the
    // end of the frame are dropped.  No branch depends on the data: the pending bits (fewer
    // than 8) and the new ones are stored as 8 bytes of the stream every time, and the whole
    // bytes among them are committed.
    void Put(uint32_t value, int count) {
        if (count <= 0) return;
        if (position_ + count > totalBits_) {
            const int keep = totalBits_ - position_;
            if (keep <= 0) return;
            value >>= (count - keep);
            count = keep;
        }
        const uint64_t bits = static_cast<uint64_t>(value) & ((uint64_t{1} << count) - 1u);
        pending_ = (pending_ << count) | bits;  // older bits above bit 39 fall away unused
        pendingBits_ += count;                  // 1..39
        position_ += count;
        const uint64_t aligned = pending_ << (64 - pendingBits_);
        for (int b = 0; b < 8; ++b) stream_[committedBytes_ + b] = static_cast<uint8_t>(aligned >> (56 - 8 * b));
        committedBytes_ += pendingBits_ >> 3;
        pendingBits_ &= 7;
    }

    // Pads the frame with 1 bits up to its end and stores it, each 16-bit word low byte first.
    void Finish() {
        while (position_ < totalBits_) Put(0xFFFFu, std::min(16, totalBits_ - position_));
        for (int i = 0; i < totalBits_ / 8; i += 2) {
            out_[i] = stream_[i + 1];
            out_[i + 1] = stream_[i];
        }
    }

private:
    int totalBits_;
    uint8_t* out_;
    int position_ = 0;
    int committedBytes_ = 0;
    uint64_t pending_ = 0;  // the last pendingBits_ bits put, not yet committed
    int pendingBits_ = 0;   // 0..7 between calls
    // The stream in bit order, with room for the 8-byte store at the last committed byte.
    uint8_t stream_[2 * kMaxWordsPerFrame + 8];
};

class BitReader {
public:
    BitReader(const uint8_t* bytes, int totalBits) : totalBits_(totalBits) {
        // Bytes in bit-stream order (each word's high byte first), zero-padded so a peek
        // near the end never reads outside the array.
        const int wordCount = totalBits / 16;
        for (int i = 0; i < wordCount; ++i) {
            stream_[2 * i] = bytes[2 * i + 1];
            stream_[2 * i + 1] = bytes[2 * i];
        }
        std::memset(stream_ + 2 * wordCount, 0, sizeof stream_ - 2 * wordCount);
    }

    int Left() const { return totalBits_ - position_; }

    // The next `count` (1..24) bits without consuming them; bits past the frame read as 0.
    uint32_t Peek(int count) const {
        const uint8_t* at = stream_ + (position_ >> 3);
        const uint32_t window = (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
                                (static_cast<uint32_t>(at[2]) << 8) | at[3];
        return (window << (position_ & 7)) >> (32 - count);
    }

    void Skip(int count) { position_ += count; }

    // Callers check Left() first; reading never goes past the frame.
    int Bit() {
        const int bit = (stream_[position_ >> 3] >> (7 - (position_ & 7))) & 1;
        ++position_;
        return bit;
    }

    uint32_t Bits(int count) {
        const uint32_t value = Peek(count);
        position_ += count;
        return value;
    }

    bool RestAreOnes() {
        while (position_ < totalBits_) {
            const int count = std::min(16, totalBits_ - position_);
            if (Bits(count) != (1u << count) - 1u) return false;
        }
        return true;
    }

private:
    uint8_t stream_[2 * kMaxWordsPerFrame + 4];
    int totalBits_;
    int position_ = 0;
};

// ---------------------------------------------------------------------------------------
// Encoder

// The code of one region in one category: per vector the Huffman code word with its sign
// bits appended (at most 16 + 5 bits).
struct RegionCode {
    int32_t bits = -1;  // -1: not computed yet
    uint32_t vectorCode[kMaxVectorsPerRegion];
    uint8_t vectorBits[kMaxVectorsPerRegion];
};

// Vector indices, code words and sign bits of one region from its quantiser indices
// (`bins`, 0..max bin) and signs (`positive`, 1 for a positive coefficient).  The vector
// dimension is a template argument so the loop over a vector's coefficients unrolls.
template <int Dimension>
int CodeVectors(const int32_t* bins, const int32_t* positive, int category, RegionCode* code) {
    const int base = kMaxBin[category] + 1;
    const VectorCodeTable& table = kVectorCodes[category];
    int total = 0;
    for (int v = 0; v < kNumberOfVectors[category]; ++v, bins += Dimension, positive += Dimension) {
        int index = 0;
        uint32_t signs = 0;
        int signCount = 0;
        for (int j = 0; j < Dimension; ++j) {
            // A sign bit for every non-zero index, first coefficient first; no branch.
            const int nonZero = bins[j] != 0;
            index = index * base + bins[j];
            signs = (signs << nonZero) | static_cast<uint32_t>(positive[j] & nonZero);
            signCount += nonZero;
        }
        const int length = table.bits[index] + signCount;
        code->vectorCode[v] = (static_cast<uint32_t>(table.codes[index]) << signCount) | signs;
        code->vectorBits[v] = static_cast<uint8_t>(length);
        total += length;
    }
    return total;
}

void QuantizeRegion(const DerivedTables& derived, const float* coefficients, int category, int powerIndex,
                    RegionCode* code) {
    const float gain = derived.stepSizeInverse[category] * derived.standardDeviationInverse[powerIndex + kPowerTableOffset];
    const float deadZone = kDeadZone[category];
    // Limiting before the truncation equals limiting after it: max bin is a whole number and
    // the scaled magnitude is never negative.  In this form the loop vectorises.
    const float maxBin = kMaxBin[category];
    int32_t bins[kRegionSize], positive[kRegionSize];
    for (int j = 0; j < kRegionSize; ++j) {
        const float x = coefficients[j];
        bins[j] = static_cast<int32_t>(std::min(std::fabs(x) * gain + deadZone, maxBin));
        positive[j] = x > 0.0f ? 1 : 0;
    }
    switch (kVectorDimension[category]) {
        case 2: code->bits = CodeVectors<2>(bins, positive, category, code); break;
        case 4: code->bits = CodeVectors<4>(bins, positive, category, code); break;
        default: code->bits = CodeVectors<5>(bins, positive, category, code); break;
    }
}

void Analyze(Siren14EncoderState* state, const int16_t* samples, float* coefficients) {
    const int n = state->frameLength;
    const int half = n / 2;
    const float* w = state->window;
    // Samples to float first: with the conversions out of the way the folding loops below,
    // which read half of their operands backwards, vectorise.
    float previous[kMaxFrameLength], current[kMaxFrameLength];
    for (int i = 0; i < n; ++i) {
        previous[i] = static_cast<float>(state->previousInput[i]);
        current[i] = static_cast<float>(samples[i]);
    }
    float folded[kMaxFrameLength];
    for (int i = 0; i < half; ++i) {
        const float a = w[half - 1 - i] * previous[half - 1 - i];
        const float b = w[half + i] * previous[half + i];
        folded[i] = a + b;
    }
    for (int i = 0; i < half; ++i) {
        const float c = w[n - 1 - i] * current[i];
        const float d = w[i] * current[n - 1 - i];
        folded[half + i] = c - d;
    }
    std::memcpy(state->previousInput, samples, sizeof(int16_t) * n);
    state->transform->Transform(folded, coefficients, state->coefficientScale);
}

// How many of the 63 power boundaries are not above `meanSquare` (what std::upper_bound
// counts).  Boundary i lies within rounding of sqrt(2) x 2^(i - 24), so for a mean square in
// the octave [2^e, 2^(e+1)) every boundary up to e + 23 is below it, every one from e + 25
// above it, and only boundary e + 24 needs comparing.  The octave is the float's exponent
// field (zero and subnormal mean squares land below boundary 0, as they should).
int PowerLevel(float meanSquare, const float* boundary) {
    uint32_t bits;
    std::memcpy(&bits, &meanSquare, sizeof bits);
    const int octave = static_cast<int>(bits >> 23) - 127;  // sums of squares are never negative
    const int last = kPowerTableSize - 2;                    // index of the highest boundary
    const int certain = std::min(std::max(octave + kPowerTableOffset, 0), last + 1);
    const int probe = std::min(certain, last);
    return certain + ((certain <= last && !(meanSquare < boundary[probe])) ? 1 : 0);
}

void EncodeFrame(Siren14EncoderState* state, const int16_t* samples, uint8_t* out) {
    const Mode& mode = ModeOf(state->bandwidth);
    const DerivedTables& derived = Derived();
    const int regions = state->regions;
    float* x = state->coefficients;
    Analyze(state, samples, x);

    // Envelope: the quantised log2 mean square of each region.  Each region's sum runs in
    // coefficient order, but all regions advance together, so the additions of different
    // regions overlap instead of waiting on one another.
    float sum[kMaxRegions];
    for (int r = 0; r < regions; ++r) sum[r] = 0.0f;
    for (int j = 0; j < kRegionSize; ++j) {
        for (int r = 0; r < regions; ++r) {
            const float c = x[r * kRegionSize + j];
            sum[r] += c * c;
        }
    }
    int power[kMaxRegions] = {};
    for (int r = 0; r < regions; ++r) {
        const float meanSquare = sum[r] * derived.regionSizeInverse;
        power[r] = PowerLevel(meanSquare, derived.powerBoundary) - kPowerTableOffset;
    }
    // Raise valleys so every rise fits the differential codes, then clamp to the coded range.
    for (int r = regions - 2; r >= 0; --r) power[r] = std::max(power[r], power[r + 1] - kMaxPowerRise);
    power[0] = std::min(std::max(power[0], kMinFirstRegionIndex), kMaxPowerIndex);
    for (int r = 1; r < regions; ++r) power[r] = std::min(std::max(power[r], kMinPowerIndex), kMaxPowerIndex);

    BitWriter writer(state->bitsPerFrame, out);
    writer.Put(static_cast<uint32_t>(power[0] + kFirstRegionOffset), kFirstRegionBits);
    for (int r = 1; r < regions; ++r) {
        const int difference = std::min(std::max(power[r] - power[r - 1], kMaxPowerFall), kMaxPowerRise);
        power[r] = power[r - 1] + difference;  // what the decoder will reconstruct
        const int symbol = difference - kMaxPowerFall;
        writer.Put(kDifferentialRegionPowerCodes[r][symbol], kDifferentialRegionPowerBits[r][symbol]);
    }
    const int vectorBits = state->bitsPerFrame - writer.Position() - mode.controlBits;

    int categories[kMaxRegions];
    int order[kMaxCategorizations];
    Categorize(power, regions, vectorBits, mode, categories, order);

    // Rate control: start in the middle categorisation, then walk towards finer ones while
    // bits are left and towards coarser ones while the frame overflows.  A region's code per
    // category is kept, so no region is quantised twice for the same category.
    RegionCode codes[kMaxRegions][kCodedCategories];
    auto regionBits = [&](int r) -> int {
        const int c = categories[r];
        if (c >= kCodedCategories) return 0;
        RegionCode& code = codes[r][c];
        if (code.bits < 0) QuantizeRegion(derived, x + r * kRegionSize, c, power[r], &code);
        return code.bits;
    };
    int control = mode.categorizations / 2 - 1;
    for (int i = 0; i < control; ++i) categories[order[i]] = std::min(categories[order[i]] + 1, kMaxCategory);
    int total = 0;
    for (int r = 0; r < regions; ++r) total += regionBits(r);
    while (total < vectorBits && control > 0) {
        const int r = order[--control];
        total -= regionBits(r);
        categories[r] = std::max(categories[r] - 1, 0);
        total += regionBits(r);
    }
    while (total > vectorBits && control < mode.categorizations - 1) {
        const int r = order[control++];
        total -= regionBits(r);
        categories[r] = std::min(categories[r] + 1, kMaxCategory);
        total += regionBits(r);
    }

    writer.Put(static_cast<uint32_t>(control), mode.controlBits);
    for (int r = 0; r < regions && writer.Position() < state->bitsPerFrame; ++r) {
        const int c = categories[r];
        if (c >= kCodedCategories) continue;
        const RegionCode& code = codes[r][c];
        for (int v = 0; v < kNumberOfVectors[c]; ++v) writer.Put(code.vectorCode[v], code.vectorBits[v]);
    }
    writer.Finish();
}

// ---------------------------------------------------------------------------------------
// Decoder

enum class ParseResult {
    kGood,
    kBadAfterVectors,   // fully read (noise is generated as for a good frame), then refused
    kBadEnvelope,       // refused before any vector was read
};

struct ParsedFrame {
    int power[kMaxRegions] = {};
    int categories[kMaxRegions];
    // Where the coded regions' coefficients go, de-quantised while the vectors are read
    // (region r at r * 20); the other regions are left to the noise fill.
    float* coefficients;
};

// Reads the vectors of one region of category `category` (vector dimension Dimension, a
// template argument so the loop over a vector's coefficients unrolls) and de-quantises them
// into `region`: (deviation x signed centroid) x scale per coefficient.  False when the frame
// runs out of bits anywhere in a code or its sign bits.
template <int Dimension>
bool ReadRegionVectors(BitReader& reader, const DerivedTables& derived, int category, float deviation, float scale,
                       float* region) {
    const int16_t* tree = kVectorCodes[category].tree;
    const uint32_t* lookup = derived.vectorLookup[category];
    const float* centroid = derived.signedCentroid[category] + kCentroidCenter;
    for (int v = 0; v < kNumberOfVectors[category]; ++v, region += Dimension) {
        // A code needs as many bits as it is long; running short of them anywhere in the
        // code means the frame ran out of bits.  Peeking past the frame reads zeros, which
        // can only make a code look longer than the bits left, never complete it.
        const int left = reader.Left();
        uint32_t entry = lookup[reader.Peek(kLookupBits)];
        const int length = static_cast<int>(entry >> kLookupLengthShift);
        if (length != 0) {
            if (length > left) return false;
            reader.Skip(length);
        } else {
            if (left <= kLookupBits) return false;
            reader.Skip(kLookupBits);
            int node = static_cast<int>(entry);
            do {
                if (reader.Left() <= 0) return false;
                node = tree[2 * node + reader.Bit()];
            } while (node > 0);
            entry = VectorDigits(-node, category);
        }
        const int nonZero = static_cast<int>((entry >> kNonZeroShift) & 7u);
        if (reader.Left() < nonZero) return false;
        // One sign bit per non-zero digit, the first digit's first; 1 means positive.
        const uint32_t signs = nonZero > 0 ? reader.Bits(nonZero) : 0u;
        int signBit = nonZero;
        for (int j = 0; j < Dimension; ++j) {
            const int digit = static_cast<int>((entry >> (kDigitBits * j)) & kDigitMask);
            signBit -= digit != 0 ? 1 : 0;
            const bool negative = digit != 0 && ((signs >> signBit) & 1u) == 0;
            region[j] = (deviation * centroid[negative ? -digit : digit]) * scale;
        }
    }
    return true;
}

ParseResult ParseFrame(const uint8_t* bytes, int bitsPerFrame, const Mode& mode, ParsedFrame* frame) {
    const DerivedTables& derived = Derived();
    BitReader reader(bytes, bitsPerFrame);
    const int regions = mode.regions;
    int* power = frame->power;
    power[0] = static_cast<int>(reader.Bits(kFirstRegionBits)) - kFirstRegionOffset;
    bool inRange = power[0] >= kMinPowerIndex && power[0] <= kMaxPowerIndex;
    for (int r = 1; r < regions; ++r) {
        // As for the vectors: one lookup for codes of up to kLookupBits bits, a tree walk for
        // longer ones, and a frame that ends inside a code is refused.
        const int left = reader.Left();
        const int entry = derived.powerLookup[r][reader.Peek(kLookupBits)];
        const int length = entry >> kPowerLengthShift;
        int symbol;
        if (length != 0) {
            if (length > left) return ParseResult::kBadEnvelope;
            reader.Skip(length);
            symbol = entry & ((1 << kPowerLengthShift) - 1);
        } else {
            if (left <= kLookupBits) return ParseResult::kBadEnvelope;
            reader.Skip(kLookupBits);
            int node = entry;
            do {
                if (reader.Left() <= 0) return ParseResult::kBadEnvelope;
                node = kDifferentialRegionPowerTree[r][node][reader.Bit()];
            } while (node > 0);
            symbol = -node;
        }
        power[r] = power[r - 1] + symbol + kMaxPowerFall;
        // An index outside the power tables cannot be reconstructed at all.
        if (power[r] + kPowerTableOffset < 0 || power[r] + kPowerTableOffset >= kPowerTableSize) {
            return ParseResult::kBadEnvelope;
        }
        inRange = inRange && power[r] >= kMinPowerIndex && power[r] <= kMaxPowerIndex;
    }
    if (reader.Left() < mode.controlBits) return ParseResult::kBadEnvelope;
    const int control = static_cast<int>(reader.Bits(mode.controlBits));

    int* categories = frame->categories;
    int order[kMaxCategorizations];
    Categorize(power, regions, reader.Left(), mode, categories, order);
    for (int i = 0; i < control; ++i) categories[order[i]] = std::min(categories[order[i]] + 1, kMaxCategory);

    bool ranOut = false;
    for (int r = 0; r < regions; ++r) {
        const int c = categories[r];
        if (c >= kCodedCategories) continue;
        float* region = frame->coefficients + r * kRegionSize;
        const float deviation = derived.standardDeviation[power[r] + kPowerTableOffset];
        const float scale = mode.decoderScale;
        bool complete;
        switch (kVectorDimension[c]) {
            case 2: complete = ReadRegionVectors<2>(reader, derived, c, deviation, scale, region); break;
            case 4: complete = ReadRegionVectors<4>(reader, derived, c, deviation, scale, region); break;
            default: complete = ReadRegionVectors<5>(reader, derived, c, deviation, scale, region); break;
        }
        if (!complete) {
            // The region that ran out and every later one become pure noise.
            for (int rest = r; rest < regions; ++rest) categories[rest] = kMaxCategory;
            ranOut = true;
            break;
        }
    }

    bool good = inRange;
    if (ranOut) {
        if (control < mode.categorizations - 1) good = false;
    } else if (reader.Left() > 0 && !reader.RestAreOnes()) {
        good = false;
    }
    return good ? ParseResult::kGood : ParseResult::kBadAfterVectors;
}

int16_t NextNoiseWord(int16_t* seeds) {
    int32_t sum = static_cast<int16_t>(static_cast<uint16_t>(seeds[0] + seeds[3]));
    if (sum < 0) ++sum;
    seeds[3] = seeds[2];
    seeds[2] = seeds[1];
    seeds[1] = seeds[0];
    seeds[0] = static_cast<int16_t>(sum);
    return seeds[0];
}

// Noise in the regions coded coarsely or not at all; the coded values are in place already.
ZELMAR_SIREN14_TARGET_CLONES void Reconstruct(const ParsedFrame& frame, const Mode& mode, int16_t* seeds, float* y) {
    const DerivedTables& derived = Derived();
    const float scale = mode.decoderScale;
    for (int r = 0; r < mode.regions; ++r) {
        const int c = frame.categories[r];
        const float deviation = derived.standardDeviation[frame.power[r] + kPowerTableOffset];
        float* region = y + r * kRegionSize;
        if (c < 5) continue;

        if (c == kMaxCategory) {
            // Every coefficient is noise: bit j of the half region's word gives its sign.  The
            // two words' low 10 bits side by side sign the whole region in one loop.
            const float noise = (deviation * kNoiseFillFactorCat7) * scale;
            const uint32_t first = static_cast<uint16_t>(NextNoiseWord(seeds));
            const uint32_t second = static_cast<uint16_t>(NextNoiseWord(seeds));
            constexpr uint32_t kWordMask = (1u << kNoiseBitsPerWord) - 1u;
            const uint32_t bits = (first & kWordMask) | ((second & kWordMask) << kNoiseBitsPerWord);
            for (int j = 0; j < kRegionSize; ++j) region[j] = ((bits >> j) & 1u) ? noise : -noise;
            continue;
        }
        int coded = 0;
        const float loud = (2.0f * scale) * deviation;
        for (int j = 0; j < kRegionSize; ++j) {
            if (region[j] != 0.0f) coded += (c == 5 && std::fabs(region[j]) > loud) ? 4 : 1;
        }
        // A category-6 region with every coefficient coded has nothing to fill; the factor
        // is then irrelevant but the noise words are still drawn.
        const float factor =
            c == 5 ? kNoiseFillFactorCat5[std::min(coded, 19)] : kNoiseFillFactorCat6[std::min(coded, 19)];
        const float noise = (deviation * factor) * scale;
        // The coded coefficients keep their values; the others take the word's bits in turn.
        // Selects instead of a branch on each coefficient, whose outcome the data decides.
        for (int halfRegion = 0; halfRegion < 2; ++halfRegion) {
            uint32_t bits = static_cast<uint16_t>(NextNoiseWord(seeds));
            for (int j = halfRegion * kNoiseBitsPerWord; j < (halfRegion + 1) * kNoiseBitsPerWord; ++j) {
                const bool uncoded = region[j] == 0.0f;
                const float filled = (bits & 1u) ? noise : -noise;
                region[j] = uncoded ? filled : region[j];
                bits >>= uncoded ? 1 : 0;
            }
        }
    }
}

ZELMAR_SIREN14_TARGET_CLONES void Synthesize(Siren14DecoderState* state, int16_t* out) {
    const int n = state->frameLength;
    const int half = n / 2;
    const float* w = state->window;
    float* overlap = state->overlap;
    float u[kMaxFrameLength];
    state->transform->Transform(state->coefficients, u);
    // Overlap-add in float first, then the conversion on its own: separated, both loops
    // vectorise (the reversed operands become lane permutations).
    float mixed[kMaxFrameLength];
    for (int i = 0; i < half; ++i) {
        const float a = w[i] * u[half - 1 - i];
        const float b = w[n - 1 - i] * overlap[i];
        mixed[i] = a + b;
    }
    for (int i = 0; i < half; ++i) {
        const float c = w[half + i] * u[i];
        const float d = w[half - 1 - i] * overlap[half - 1 - i];
        mixed[half + i] = c - d;
    }
    for (int i = 0; i < n; ++i) out[i] = RoundToPcm16(mixed[i]);
    std::memcpy(overlap, u + half, sizeof(float) * half);
}

void DecodeFrame(Siren14DecoderState* state, const uint8_t* in, int16_t* out) {
    const Mode& mode = ModeOf(state->bandwidth);
    const int coded = mode.regions * kRegionSize;
    float* y = state->coefficients;
    bool good = false;
    if (state->frameErrorFlag == 0 && in != nullptr) {
        ParsedFrame frame;
        frame.coefficients = y;  // a refused frame's values are replaced by concealment below
        const ParseResult result = ParseFrame(in, state->bitsPerFrame, mode, &frame);
        if (result != ParseResult::kBadEnvelope) Reconstruct(frame, mode, state->noiseSeeds, y);
        good = result == ParseResult::kGood;
    }
    if (good) {
        std::memcpy(state->previousCoefficients, y, sizeof(float) * coded);
    } else {
        // The first lost frame repeats the last good spectrum; later ones get silence.
        std::memcpy(y, state->previousCoefficients, sizeof(float) * coded);
        std::memset(state->previousCoefficients, 0, sizeof(float) * coded);
        ++state->concealedFrames;
    }
    std::fill(y + coded, y + state->frameLength, 0.0f);
    Synthesize(state, out);
}

template <typename State>
bool InitMode(int32_t bitRate, int32_t bandwidth, State* state) {
    const Mode* mode = FindMode(bitRate, bandwidth);
    if (mode == nullptr || state == nullptr) return false;
    state->bitRate = bitRate;
    state->bandwidth = bandwidth;
    state->bitsPerFrame = bitRate / 50;
    state->regions = mode->regions;
    state->frameLength = mode->frameLength;
    state->wordsPerFrame = state->bitsPerFrame / 16;
    std::memset(state->window, 0, sizeof state->window);
    ComputeWindow(mode->frameLength, state->window);
    Derived();
    state->transform = DctIv::ForLength(mode->frameLength);
    return true;
}

}  // namespace
}  // namespace siren14

using namespace siren14;

int32_t siren14_encoder_init(int32_t bitRate, int32_t bandwidth, Siren14EncoderState* state) {
    if (!InitMode(bitRate, bandwidth, state)) return -1;
    state->coefficientScale = FindMode(bitRate, bandwidth)->encoderScale;
    return siren14_encoder_reset(state);
}

int32_t siren14_encoder_reset(Siren14EncoderState* state) {
    std::memset(state->coefficients, 0, sizeof state->coefficients);
    std::memset(state->previousInput, 0, sizeof state->previousInput);
    return 0;
}

int32_t siren14_encode(const void* in, int32_t inBytes, void* out, int32_t outCapacity, Siren14EncoderState* state) {
    if (in == nullptr || out == nullptr || state == nullptr) return 0;
    const int32_t frameBytesOut = state->wordsPerFrame * 2;
    int32_t available = inBytes / 2;
    int32_t consumed = 0, produced = 0;  // samples, bytes
    const auto* pcm = static_cast<const uint8_t*>(in);
    auto* coded = static_cast<uint8_t*>(out);
    while (available >= state->frameLength && produced + frameBytesOut <= outCapacity) {
        // The caller's buffer may be unaligned; samples are taken through a local copy.
        int16_t samples[kMaxFrameLength];
        std::memcpy(samples, pcm + 2 * consumed, sizeof(int16_t) * state->frameLength);
        EncodeFrame(state, samples, coded + produced);
        consumed += state->frameLength;
        available -= state->frameLength;
        produced += frameBytesOut;
    }
    return consumed * 2;
}

int32_t siren14_decoder_init(int32_t bitRate, int32_t bandwidth, Siren14DecoderState* state) {
    if (!InitMode(bitRate, bandwidth, state)) return -1;
    state->frameErrorFlag = 0;
    state->concealedFrames = 0;
    for (int16_t& seed : state->noiseSeeds) seed = 1;
    std::memset(state->coefficients, 0, sizeof state->coefficients);
    return siren14_decoder_reset(state);
}

int32_t siren14_decoder_reset(Siren14DecoderState* state) {
    std::memset(state->previousCoefficients, 0, sizeof state->previousCoefficients);
    std::memset(state->overlap, 0, sizeof state->overlap);
    return 0;
}

int32_t siren14_decode(const void* in, int32_t inBytes, void* out, int32_t outCapacity, Siren14DecoderState* state) {
    if (out == nullptr || state == nullptr) return 0;
    if (in == nullptr && state->frameErrorFlag == 0) return 0;  // nothing to read, nothing asked to conceal
    const int32_t frameBytesIn = state->wordsPerFrame * 2;
    const int32_t frameBytesOut = state->frameLength * 2;
    int32_t available = inBytes / 2;  // words
    int32_t consumed = 0, produced = 0;  // bytes
    const auto* coded = static_cast<const uint8_t*>(in);
    auto* pcm = static_cast<uint8_t*>(out);
    while (available >= state->wordsPerFrame && produced + frameBytesOut <= outCapacity) {
        int16_t samples[kMaxFrameLength];
        DecodeFrame(state, coded != nullptr ? coded + consumed : nullptr, samples);
        std::memcpy(pcm + produced, samples, sizeof(int16_t) * state->frameLength);
        consumed += frameBytesIn;
        available -= state->wordsPerFrame;
        produced += frameBytesOut;
    }
    return consumed;
}

bool siren14_frame_is_valid(const void* frame, int32_t bitRate, int32_t bandwidth) {
    const Mode* mode = FindMode(bitRate, bandwidth);
    if (mode == nullptr || frame == nullptr) return false;
    ParsedFrame parsed;
    float coefficients[kMaxFrameLength];
    parsed.coefficients = coefficients;
    return ParseFrame(static_cast<const uint8_t*>(frame), bitRate / 50, *mode, &parsed) == ParseResult::kGood;
}

}  // namespace zelmar
