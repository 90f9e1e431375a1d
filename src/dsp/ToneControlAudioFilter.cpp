#include "dsp/ToneControlAudioFilter.h"

#include <cstring>
#include <new>

#include "framework/Properties.h"

namespace zelmar {
namespace {

constexpr NamedIndex kProperties[] = {
    {"SamplesPerSec", CToneControlAudioFilter::kSamplesPerSec},
    {"Gain", CToneControlAudioFilter::kGain},
    {"LowGain", CToneControlAudioFilter::kLowGain},
    {"HighGain", CToneControlAudioFilter::kHighGain},
    {"MidGain", CToneControlAudioFilter::kMidGain},
    {"LowPassCutOff", CToneControlAudioFilter::kLowPassCutOff},
    {"TotalIn", CToneControlAudioFilter::kTotalIn},
    {"TotalOut", CToneControlAudioFilter::kTotalOut},
};

constexpr double kSampleScale = 32767.0;
constexpr double kHundredths = 100.0;  // gains travel as integers scaled by 100

// Properties hold gains in single precision: value / 100 in double, then rounded.
float FromHundredths(int32_t value) { return static_cast<float>(value / kHundredths); }
int32_t ToHundredths(float value) { return static_cast<int32_t>(static_cast<double>(value) * kHundredths); }

inline int16_t LoadSample(const uint8_t* bytes) {
    int16_t s;
    std::memcpy(&s, bytes, sizeof s);
    return s;
}

// trunc(v * 32767 + 0.5), clamped: positive values round to nearest, negative ones move a
// half step toward zero.
inline void StoreScaled(float v, uint8_t* bytes) {
    double scaled = static_cast<double>(v) * kSampleScale + 0.5;
    if (scaled > 32767.0) scaled = 32767.0;
    if (scaled < -32768.0) scaled = -32768.0;
    const int16_t s = static_cast<int16_t>(scaled);
    std::memcpy(bytes, &s, sizeof s);
}

}  // namespace

CToneControlAudioFilter::CToneControlAudioFilter() = default;

CToneControlAudioFilter::~CToneControlAudioFilter() = default;

int32_t CToneControlAudioFilter::FindProperty(const char* name) {
    return FindPropertyIndex(kProperties, name, kUnknown);
}

void CToneControlAudioFilter::SetBandGain(float& stored, Section section, int32_t hundredthsDb) {
    const float gainDb = FromHundredths(hundredthsDb);
    if (!built_) {
        stored = gainDb;
        return;
    }
    if (gainDb == stored) return;  // same gain: no redesign
    stored = gainDb;
    sections_[section]->gainDb = gainDb;
    sections_[section]->ComputeCoefficients();
}

int32_t CToneControlAudioFilter::SetProperty(const char* name, int32_t value, void*) {
    if (name == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case kSamplesPerSec:
            if (built_) return kErrState;  // the sections are designed for the rate
            sampleRate_ = value;
            return kOk;
        case kGain: gain_ = FromHundredths(value); return kOk;
        case kLowGain: SetBandGain(lowGainDb_, kLowShelf, value); return kOk;
        case kHighGain: SetBandGain(highGainDb_, kHighShelf, value); return kOk;
        case kMidGain: SetBandGain(midGainDb_, kMidPeak, value); return kOk;
        case kLowPassCutOff:
            if (built_) {
                if (value == lowPassCutOffHz_) return kOk;
                // A cutoff of 0 is designed too; Process then skips the section.
                sections_[kLowPass]->frequency = value;
                sections_[kLowPass]->ComputeCoefficients();
            }
            lowPassCutOffHz_ = value;
            return kOk;
        default: return kErrState;  // counters are read-only; unknown names
    }
}

int32_t CToneControlAudioFilter::GetProperty(const char* name, int32_t, void* out) {
    if (out == nullptr) return kErrInvalidArg;
    if (name == nullptr) return kErrState;
    switch (FindProperty(name)) {
        case kSamplesPerSec: WriteInt32(out, sampleRate_); return kOk;
        case kGain: WriteInt32(out, ToHundredths(gain_)); return kOk;
        case kLowGain: WriteInt32(out, ToHundredths(lowGainDb_)); return kOk;
        case kHighGain: WriteInt32(out, ToHundredths(highGainDb_)); return kOk;
        case kMidGain: WriteInt32(out, ToHundredths(midGainDb_)); return kOk;
        case kLowPassCutOff: WriteInt32(out, lowPassCutOffHz_); return kOk;
        case kTotalIn: WriteUint32(out, totalIn_); return kOk;
        case kTotalOut: WriteUint32(out, totalOut_); return kOk;
        default: return kErrState;
    }
}

int32_t CToneControlAudioFilter::Build() {
    // A negative rate designs nothing meaningful; it is refused like a zero rate.
    if (sampleRate_ <= 0) return kErrInvalidArg;
    struct Design {
        uint32_t kind;
        double frequencyHz;
        float gainDb;
    };
    const Design designs[kSectionCount] = {
        {CBiquadFilter::kLowShelf, kLowShelfHz, lowGainDb_},
        {CBiquadFilter::kPeaking, kMidPeakHz, midGainDb_},
        {CBiquadFilter::kHighShelf, kHighShelfHz, highGainDb_},
        {CBiquadFilter::kLowPass, static_cast<double>(lowPassCutOffHz_), 0.0f},
    };
    std::unique_ptr<CBiquadFilter> fresh[kSectionCount];
    for (int i = 0; i < kSectionCount; ++i) {
        fresh[i].reset(new (std::nothrow) CBiquadFilter(sampleRate_));
        if (!fresh[i]) return kErrInvalidArg;
        fresh[i]->type = designs[i].kind;
        fresh[i]->frequency = designs[i].frequencyHz;
        fresh[i]->gainDb = designs[i].gainDb;
        if (i != kLowPass || lowPassCutOffHz_ != 0) fresh[i]->ComputeCoefficients();
    }
    for (int i = 0; i < kSectionCount; ++i) sections_[i] = std::move(fresh[i]);
    sectionCount_ = kSectionCount;
    built_ = true;
    return kOk;
}

int32_t CToneControlAudioFilter::Start() { return kOk; }

int32_t CToneControlAudioFilter::Stop() { return kOk; }

void CToneControlAudioFilter::FilterSamples(const uint8_t* in, uint32_t count, uint8_t* out) {
    const float scale = static_cast<float>(gain_ / kSampleScale);
    CBiquadFilter* low = lowGainDb_ != 0.0f ? sections_[kLowShelf].get() : nullptr;
    CBiquadFilter* mid = midGainDb_ != 0.0f ? sections_[kMidPeak].get() : nullptr;
    CBiquadFilter* high = highGainDb_ != 0.0f ? sections_[kHighShelf].get() : nullptr;
    CBiquadFilter* lowPass = lowPassCutOffHz_ != 0 ? sections_[kLowPass].get() : nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        float x = LoadSample(in + 2 * i) * scale;
        if (low) x = low->ProcessSample(x);
        if (mid) x = mid->ProcessSample(x);
        if (high) x = high->ProcessSample(x);
        if (lowPass) x = lowPass->ProcessSample(x);
        StoreScaled(x, out + 2 * i);
    }
}

int32_t CToneControlAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (in == nullptr || inBytes == nullptr || out == nullptr || outBytes == nullptr) return kErrInvalidArg;
    if (*inBytes < 0 || *outBytes < *inBytes) return kErrInvalidArg;
    const bool flat = lowGainDb_ == 0.0f && midGainDb_ == 0.0f && highGainDb_ == 0.0f && lowPassCutOffHz_ == 0;
    // Filtering needs the sections; before the first Build only the flat paths can run.
    if (!flat && gain_ != 0.0f && !built_) return kErrState;

    const auto* source = static_cast<const uint8_t*>(in);
    auto* target = static_cast<uint8_t*>(out);
    const uint32_t count = static_cast<uint32_t>(*inBytes) / 2;
    if (gain_ == 0.0f) {
        std::memset(target, 0, static_cast<std::size_t>(*inBytes));
    } else if (flat && gain_ == 1.0f) {
        if (source != target) std::memmove(target, source, static_cast<std::size_t>(*inBytes));
    } else if (flat) {
        for (uint32_t i = 0; i < count; ++i) {
            // s * gain is a float product; the division by 32767 is in double.
            const float v = static_cast<float>(LoadSample(source + 2 * i) * gain_ / kSampleScale);
            StoreScaled(v, target + 2 * i);
        }
    } else {
        FilterSamples(source, count, target);
    }
    *outBytes = *inBytes;
    totalIn_ += static_cast<uint32_t>(*inBytes);
    totalOut_ += static_cast<uint32_t>(*inBytes);
    return kOk;
}

}  // namespace zelmar
