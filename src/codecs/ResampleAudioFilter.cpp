#include "codecs/ResampleAudioFilter.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

#include "dsp/blocks/SampleConversion.h"
#include "framework/Properties.h"

namespace zelmar {
namespace {

// The cutoff is 80 % of the lower rate's Nyquist frequency; 0.8 is taken in single precision,
// as the filter has always been designed.
constexpr double kCutoffOfNyquist = 0.800000011920929;

// Two direct-form-I sections in series, with coefficients and state held in locals for the
// length of a block.  The arithmetic is exactly CBiquadFilter::ProcessSample's: each step in
// double, the unrounded y kept as state, the value passed on rounded to float.
struct Cascade {
    explicit Cascade(CBiquadFilter& first, CBiquadFilter& second) : s1(first), s2(second) { Load(); }
    ~Cascade() { Store(); }

    struct Section {
        double b0, b1, b2, a1, a2, x1, x2, y1, y2;
        float Step(float x) {
            const double in = x;
            const double y = ((b0 * in + b1 * x1) + b2 * x2) - (a2 * y2 + a1 * y1);
            x2 = x1;
            x1 = in;
            y2 = y1;
            y1 = y;
            return static_cast<float>(y);
        }
    };

    float Step(float x) { return second.Step(first.Step(x)); }

    static void LoadSection(const CBiquadFilter& f, Section& s) {
        s = {f.b0, f.b1, f.b2, f.a1, f.a2, f.x1, f.x2, f.y1, f.y2};
    }
    static void StoreSection(const Section& s, CBiquadFilter& f) {
        f.x1 = s.x1;
        f.x2 = s.x2;
        f.y1 = s.y1;
        f.y2 = s.y2;
    }
    void Load() {
        LoadSection(s1, first);
        LoadSection(s2, second);
    }
    void Store() {
        StoreSection(first, s1);
        StoreSection(second, s2);
    }

    CBiquadFilter& s1;
    CBiquadFilter& s2;
    Section first{}, second{};
};

inline float ToFloat(const uint8_t* bytes) { return dsp::SampleToFloat(dsp::LoadSample(bytes)); }

// trunc(v * 32767) toward zero, clamped to the 16-bit range.
inline void StoreSample(float v, uint8_t* bytes) {
    dsp::StoreSample(dsp::TruncateToSample(static_cast<double>(v) * dsp::kSampleScale), bytes);
}

}  // namespace

const PropertyTable<CResampleAudioFilter>& CResampleAudioFilter::Properties() {
    using C = CResampleAudioFilter;
    // Rates are stored unchecked: Build refuses the ones it cannot design for.
    static constexpr PropertyRow<C> kRows[] = {
        {"InSamplesPerSec", kInSamplesPerSec, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.inRate; }},
        {"OutSamplesPerSec", kOutSamplesPerSec, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.outRate; }},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.counters_.totalIn; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.counters_.totalOut; }},
    };
    static_assert(std::size(kRows) == kUnknown, "one row per property");
    static constexpr PropertyRules kRules = [] {
        PropertyRules rules;
        rules.nullNameOnGet = kErrState;
        rules.dataRequired = true;
        return rules;
    }();
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

CResampleAudioFilter::CResampleAudioFilter() = default;
CResampleAudioFilter::~CResampleAudioFilter() = default;

int32_t CResampleAudioFilter::Build() {
    const int32_t inRate = settings_.inRate, outRate = settings_.outRate;
    // Negative rates have no meaning here; they are refused like a zero rate.
    if (inRate <= 0 || outRate <= 0) return kErrInvalidArg;
    double sectionRate;
    float cutoffHz;
    if (outRate < inRate) {
        if (inRate % outRate != 0) return kErrInvalidArg;
        sectionRate = inRate;
        cutoffHz = static_cast<float>(outRate * 0.5 * kCutoffOfNyquist);
    } else if (outRate > inRate) {
        if (outRate % inRate != 0) return kErrInvalidArg;
        sectionRate = outRate;
        cutoffHz = static_cast<float>(inRate * 0.5 * kCutoffOfNyquist);
    } else {
        sectionRate = inRate;
        cutoffHz = static_cast<float>(2.0 * inRate / 5.0);
    }

    // Make the new sections before dropping the old ones, so a failed allocation leaves the
    // earlier design in place.
    std::unique_ptr<CBiquadFilter> fresh[kSectionCount];
    for (auto& section : fresh) {
        section.reset(new (std::nothrow) CBiquadFilter(static_cast<int>(sectionRate)));
        if (!section) return kErrInvalidArg;
        section->type = CBiquadFilter::kLowPass;
        section->frequency = cutoffHz;
        section->ComputeCoefficients();
    }
    for (int i = 0; i < kSectionCount; ++i) sections_[i] = std::move(fresh[i]);
    decimationSkip_ = 0;
    return kOk;
}

int32_t CResampleAudioFilter::Start() { return kOk; }

int32_t CResampleAudioFilter::Stop() { return kOk; }

void CResampleAudioFilter::FilterEqual(const uint8_t* in, uint32_t count, uint8_t* out) {
    Cascade cascade(*sections_[0], *sections_[1]);
    // Unrolling lets the state's shift from step to step become register renaming.
#pragma GCC unroll 4
    for (uint32_t i = 0; i < count; ++i) StoreSample(cascade.Step(ToFloat(in + 2 * i)), out + 2 * i);
}

void CResampleAudioFilter::FilterUp(const uint8_t* in, uint32_t count, uint32_t factor, uint8_t* out) {
    Cascade cascade(*sections_[0], *sections_[1]);
#pragma GCC unroll 2
    for (uint32_t i = 0; i < count; ++i) {
        const float x = ToFloat(in + 2 * i);
        for (uint32_t r = 0; r < factor; ++r, out += 2) StoreSample(cascade.Step(x), out);
    }
}

uint32_t CResampleAudioFilter::FilterDown(const uint8_t* in, uint32_t count, uint32_t factor, uint8_t* out) {
    Cascade cascade(*sections_[0], *sections_[1]);
    uint32_t written = 0;
    uint32_t skip = decimationSkip_;
#pragma GCC unroll 4
    for (uint32_t i = 0; i < count; ++i) {
        const float y = cascade.Step(ToFloat(in + 2 * i));
        if (skip == 0) {
            StoreSample(y, out + 2 * written++);
            skip = factor - 1;
        } else {
            --skip;
        }
    }
    decimationSkip_ = skip;
    return written;
}

int32_t CResampleAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (in == nullptr || inBytes == nullptr || out == nullptr || outBytes == nullptr) return kErrInvalidArg;
    if (*inBytes < 0 || *outBytes < 0) return kErrInvalidArg;
    if (!sections_[0] || !sections_[1]) return kErrState;  // never built successfully
    // Rates may have changed since Build; the mode follows them, but they must stay usable.
    const int32_t inRate = settings_.inRate, outRate = settings_.outRate;
    if (inRate <= 0 || outRate <= 0) return kErrInvalidArg;

    const auto* source = static_cast<const uint8_t*>(in);
    auto* target = static_cast<uint8_t*>(out);
    const uint32_t count = static_cast<uint32_t>(*inBytes) / 2;
    int32_t produced;
    if (inRate == outRate) {
        if (*outBytes < *inBytes) return kErrInvalidArg;
        FilterEqual(source, count, target);
        produced = *inBytes;
    } else if (outRate > inRate) {
        const uint32_t factor = static_cast<uint32_t>(outRate / inRate);
        const int64_t needed = int64_t{*inBytes} * factor;
        if (needed > std::numeric_limits<int32_t>::max() || *outBytes < needed) return kErrInvalidArg;
        FilterUp(source, count, factor, target);
        produced = static_cast<int32_t>(needed);
    } else {
        const uint32_t factor = static_cast<uint32_t>(inRate / outRate);
        // Samples kept from this block, counting from the decimation phase.  For blocks of a
        // whole number of k samples this is exactly *inBytes / k bytes; for other blocks the
        // count reported is the count written, and the capacity must hold it.
        const uint32_t kept = count > decimationSkip_ ? (count - decimationSkip_ + factor - 1) / factor : 0;
        if (int64_t{*outBytes} < int64_t{2} * kept) return kErrInvalidArg;
        const uint32_t written = FilterDown(source, count, factor, target);
        produced = static_cast<int32_t>(2 * written);
    }
    *outBytes = produced;
    counters_.totalIn += static_cast<uint32_t>(*inBytes);
    counters_.totalOut += static_cast<uint32_t>(produced);
    return kOk;
}

}  // namespace zelmar
