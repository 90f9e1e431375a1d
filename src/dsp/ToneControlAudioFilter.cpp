#include "dsp/ToneControlAudioFilter.h"

#include <cstring>
#include <iterator>
#include <new>

#include "dsp/blocks/SampleConversion.h"

namespace zelmar {
namespace {

constexpr double kHundredths = 100.0;  // gains travel as integers scaled by 100

// Properties hold gains in single precision: value / 100 in double, then rounded.  Reading
// one back truncates, so "Gain" 70 reads 69 (0.7f is just below 0.7).
float FromHundredths(int32_t value) { return static_cast<float>(value / kHundredths); }
int32_t ToHundredths(float value) { return static_cast<int32_t>(static_cast<double>(value) * kHundredths); }

}  // namespace

int32_t CToneControlAudioFilter::SetGain(int32_t percent, void*) {
    settings_.gain = FromHundredths(percent);
    return kOk;
}

int32_t CToneControlAudioFilter::GetGain(int32_t, void* out) {
    WriteInt32(out, ToHundredths(settings_.gain));
    return kOk;
}

template <CToneControlAudioFilter::Section S>
int32_t CToneControlAudioFilter::SetBandGain(int32_t hundredthsDb, void*) {
    const float gainDb = FromHundredths(hundredthsDb);
    float& stored = settings_.bandGainDb[S];
    if (state_ == kStateBuilt && gainDb != stored) {  // the same gain again designs nothing
        sections_[S]->gainDb = gainDb;
        sections_[S]->ComputeCoefficients();
    }
    stored = gainDb;
    return kOk;
}

template <CToneControlAudioFilter::Section S>
int32_t CToneControlAudioFilter::GetBandGain(int32_t, void* out) {
    WriteInt32(out, ToHundredths(settings_.bandGainDb[S]));
    return kOk;
}

// The low-pass section's frequency is the cutoff it was last designed for (0 until a cutoff
// was set), so it differs from the setting exactly when the cutoff changed.  A cutoff of 0
// is designed too; Process then skips the section.
int32_t CToneControlAudioFilter::RedesignLowPass() {
    if (state_ != kStateBuilt) return kOk;
    CBiquadFilter& lowPass = *sections_[kLowPass];
    if (lowPass.frequency == settings_.lowPassCutOffHz) return kOk;
    lowPass.frequency = settings_.lowPassCutOffHz;
    lowPass.ComputeCoefficients();
    return kOk;
}

const PropertyTable<CToneControlAudioFilter>& CToneControlAudioFilter::Properties() {
    using C = CToneControlAudioFilter;
    static constexpr PropertyRow<C> kRows[] = {
        // The sections are designed for the rate: it cannot change once they exist.
        {"SamplesPerSec", kSamplesPerSec, Settable::kWhileCreated, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.samplesPerSec; }},
        {"Gain", kGain, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr, &C::SetGain,
         &C::GetGain},
        {"LowGain", kLowGain, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetBandGain<kLowShelf>, &C::GetBandGain<kLowShelf>},
        {"HighGain", kHighGain, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetBandGain<kHighShelf>, &C::GetBandGain<kHighShelf>},
        {"MidGain", kMidGain, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetBandGain<kMidPeak>, &C::GetBandGain<kMidPeak>},
        {"LowPassCutOff", kLowPassCutOff, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.lowPassCutOffHz; }, &C::RedesignLowPass},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.totalIn; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.totalOut; }},
    };
    static_assert(std::size(kRows) == kUnknown, "one row per property");
    static constexpr PropertyRules kRules{NameMatch::kExact, /*nullNameOnSet=*/kErrInvalidArg,
                                          /*nullNameOnGet=*/kErrState};
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

CToneControlAudioFilter::CToneControlAudioFilter() = default;

CToneControlAudioFilter::~CToneControlAudioFilter() = default;

int32_t CToneControlAudioFilter::Build() {
    // A negative rate designs nothing meaningful; it is refused like a zero rate.
    if (settings_.samplesPerSec <= 0) return kErrInvalidArg;
    struct Design {
        uint32_t kind;
        double frequencyHz;
        float gainDb;
    };
    const float* bandGainDb = settings_.bandGainDb;
    const Design designs[kSectionCount] = {
        {CBiquadFilter::kLowShelf, kLowShelfHz, bandGainDb[kLowShelf]},
        {CBiquadFilter::kPeaking, kMidPeakHz, bandGainDb[kMidPeak]},
        {CBiquadFilter::kHighShelf, kHighShelfHz, bandGainDb[kHighShelf]},
        {CBiquadFilter::kLowPass, static_cast<double>(settings_.lowPassCutOffHz), 0.0f},
    };
    std::unique_ptr<CBiquadFilter> fresh[kSectionCount];
    for (int i = 0; i < kSectionCount; ++i) {
        fresh[i].reset(new (std::nothrow) CBiquadFilter(settings_.samplesPerSec));
        if (!fresh[i]) return kErrInvalidArg;
        fresh[i]->type = designs[i].kind;
        fresh[i]->frequency = designs[i].frequencyHz;
        fresh[i]->gainDb = designs[i].gainDb;
        if (i != kLowPass || settings_.lowPassCutOffHz != 0) fresh[i]->ComputeCoefficients();
    }
    for (int i = 0; i < kSectionCount; ++i) sections_[i] = std::move(fresh[i]);
    state_ = kStateBuilt;  // no run states: only Build changes what may be set
    return kOk;
}

int32_t CToneControlAudioFilter::Start() { return kOk; }

int32_t CToneControlAudioFilter::Stop() { return kOk; }

void CToneControlAudioFilter::FilterSamples(const uint8_t* in, uint32_t count, uint8_t* out) {
    const float* bandGainDb = settings_.bandGainDb;
    const float scale = static_cast<float>(settings_.gain / dsp::kSampleScale);
    CBiquadFilter* low = bandGainDb[kLowShelf] != 0.0f ? sections_[kLowShelf].get() : nullptr;
    CBiquadFilter* mid = bandGainDb[kMidPeak] != 0.0f ? sections_[kMidPeak].get() : nullptr;
    CBiquadFilter* high = bandGainDb[kHighShelf] != 0.0f ? sections_[kHighShelf].get() : nullptr;
    CBiquadFilter* lowPass = settings_.lowPassCutOffHz != 0 ? sections_[kLowPass].get() : nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        float x = dsp::LoadSample(in + 2 * i) * scale;
        if (low) x = low->ProcessSample(x);
        if (mid) x = mid->ProcessSample(x);
        if (high) x = high->ProcessSample(x);
        if (lowPass) x = lowPass->ProcessSample(x);
        dsp::StoreSample(dsp::AddHalfAndTruncateToSample(x * dsp::kSampleScale), out + 2 * i);
    }
}

int32_t CToneControlAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (in == nullptr || inBytes == nullptr || out == nullptr || outBytes == nullptr) return kErrInvalidArg;
    if (*inBytes < 0 || *outBytes < *inBytes) return kErrInvalidArg;
    const float gain = settings_.gain;
    const float* bandGainDb = settings_.bandGainDb;
    const bool flat = bandGainDb[kLowShelf] == 0.0f && bandGainDb[kMidPeak] == 0.0f &&
                      bandGainDb[kHighShelf] == 0.0f && settings_.lowPassCutOffHz == 0;
    // Filtering needs the sections; before the first Build only the flat paths can run.
    if (!flat && gain != 0.0f && state_ != kStateBuilt) return kErrState;

    const auto* source = static_cast<const uint8_t*>(in);
    auto* target = static_cast<uint8_t*>(out);
    const uint32_t count = static_cast<uint32_t>(*inBytes) / 2;
    if (gain == 0.0f) {
        std::memset(target, 0, static_cast<std::size_t>(*inBytes));
    } else if (flat && gain == 1.0f) {
        if (source != target) std::memmove(target, source, static_cast<std::size_t>(*inBytes));
    } else if (flat) {
        for (uint32_t i = 0; i < count; ++i) {
            // s * gain is a float product; the division by 32767 is in double.
            const float v = static_cast<float>(dsp::LoadSample(source + 2 * i) * gain / dsp::kSampleScale);
            dsp::StoreSample(dsp::AddHalfAndTruncateToSample(v * dsp::kSampleScale), target + 2 * i);
        }
    } else {
        FilterSamples(source, count, target);
    }
    *outBytes = *inBytes;
    meters_.totalIn += static_cast<uint32_t>(*inBytes);
    meters_.totalOut += static_cast<uint32_t>(*inBytes);
    return kOk;
}

}  // namespace zelmar
