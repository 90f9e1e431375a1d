#include "dsp/AmplifierAudioFilter.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "dsp/SampleConversion.h"
#include "framework/Properties.h"

namespace zelmar {
namespace {

struct Row {
    const char* name;
    int32_t index;
    bool settable;
};

using A = CAmplifierAudioFilter;
constexpr Row kProperties[] = {
    {"Gain", A::kGain, true},
    {"Threshold", A::kThreshold, true},
    {"Ratio", A::kRatio, true},
    {"ExRatio", A::kExRatio, true},
    {"Floor", A::kFloor, true},
    {"SamplesPerSec", A::kSamplesPerSec, true},
    {"AttackTime", A::kAttackTime, true},
    {"ReleaseTime", A::kReleaseTime, true},
    {"DelayTime", A::kDelayTime, true},
    {"MaxLevel", A::kMaxLevel, false},
    {"HiPassCutOff", A::kHiPassCutOff, true},
    {"LoPassCutOff", A::kLoPassCutOff, true},
    {"TotalIn", A::kTotalIn, false},
    {"TotalOut", A::kTotalOut, false},
};
static_assert(sizeof kProperties / sizeof kProperties[0] == A::kUnknown, "one row per property");

constexpr float kScale = 32767.0f;
// Rates the curve and sections can be set up for; others are refused at Start.
constexpr int32_t kMinRateHz = 1000;
constexpr int32_t kMaxRateHz = 384000;

}  // namespace

CAmplifierAudioFilter::CAmplifierAudioFilter() = default;
CAmplifierAudioFilter::~CAmplifierAudioFilter() = default;

int32_t CAmplifierAudioFilter::FindProperty(const char* name) {
    return FindPropertyIndex(kProperties, name, kUnknown);
}

int32_t CAmplifierAudioFilter::SetProperty(const char* name, int32_t value, void* data) {
    if (name == nullptr) return kErrState;
    const int32_t index = FindProperty(name);
    const auto row = std::find_if(std::begin(kProperties), std::end(kProperties),
                                  [index](const Row& r) { return r.index == index; });
    if (row == std::end(kProperties) || !row->settable) return kErrState;
    switch (index) {
        case kGain:
            if (value < 0) return kErrInvalidArg;
            gainPercent_ = value;
            break;
        case kThreshold:
        case kRatio:
        case kExRatio:
        case kFloor: {
            float f = 0.0f;
            if (!ReadFiniteFloat(data, &f)) return kErrInvalidArg;
            (index == kThreshold ? thresholdDb_ : index == kRatio ? ratio_ : index == kExRatio ? exRatio_ : floorDb_) = f;
            break;
        }
        case kSamplesPerSec: samplesPerSec_ = value; break;
        case kAttackTime:
        case kReleaseTime:
        case kDelayTime:
            if (value <= 0) return kErrInvalidArg;
            (index == kAttackTime ? attackMs_ : index == kReleaseTime ? releaseMs_ : delayMs_) = value;
            break;
        case kHiPassCutOff: hiPassCutOff_ = value; break;
        case kLoPassCutOff: loPassCutOff_ = value; break;
        default: return kErrState;  // MaxLevel, TotalIn, TotalOut are read-only
    }
    return kOk;
}

int32_t CAmplifierAudioFilter::GetProperty(const char* name, int32_t, void* out) {
    if (out == nullptr) return kErrInvalidArg;
    if (name == nullptr) return kErrState;
    switch (FindProperty(name)) {
        case kGain: WriteInt32(out, gainPercent_); break;
        case kThreshold: WriteFloat(out, thresholdDb_); break;
        case kRatio: WriteFloat(out, ratio_); break;
        case kExRatio: WriteFloat(out, exRatio_); break;
        case kFloor: WriteFloat(out, floorDb_); break;
        case kSamplesPerSec: WriteInt32(out, samplesPerSec_); break;
        case kAttackTime: WriteInt32(out, attackMs_); break;
        case kReleaseTime: WriteInt32(out, releaseMs_); break;
        case kDelayTime: WriteInt32(out, delayMs_); break;
        case kMaxLevel: WriteInt32(out, maxLevel_); break;
        case kHiPassCutOff: WriteInt32(out, hiPassCutOff_); break;
        case kLoPassCutOff: WriteInt32(out, loPassCutOff_); break;
        case kTotalIn: WriteUint32(out, totalIn_); break;
        case kTotalOut: WriteUint32(out, totalOut_); break;
        default: return kErrState;
    }
    return kOk;
}

int32_t CAmplifierAudioFilter::Build() {
    auto make = [this](std::unique_ptr<CBiquadFilter>(&pair)[2], uint32_t kind, int32_t cutoffHz) {
        for (auto& section : pair) {
            section = std::make_unique<CBiquadFilter>(samplesPerSec_);
            section->type = kind;
            section->frequency = static_cast<double>(static_cast<uint32_t>(cutoffHz));
            section->ComputeCoefficients();
        }
    };
    if (hiPassCutOff_ != 0) make(hiPass_, CBiquadFilter::kHighPass, hiPassCutOff_);
    if (loPassCutOff_ != 0) make(loPass_, CBiquadFilter::kLowPass, loPassCutOff_);
    state_ = kStateBuilt;
    return kOk;
}

int32_t CAmplifierAudioFilter::Start() {
    if (state_ != kStateBuilt) return kErrState;
    if (samplesPerSec_ < kMinRateHz || samplesPerSec_ > kMaxRateHz) return kErrInvalidArg;
    curve_.Setup(static_cast<uint32_t>(samplesPerSec_), static_cast<uint32_t>(attackMs_),
                 static_cast<uint32_t>(releaseMs_), static_cast<uint32_t>(delayMs_));
    state_ = kStateRunning;
    return kOk;
}

int32_t CAmplifierAudioFilter::Stop() {
    if (state_ != kStateRunning) return kErrState;
    state_ = kStateBuilt;
    curve_.ReleaseDelayLine();
    return kOk;
}

int32_t CAmplifierAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (state_ != kStateRunning) return kErrState;
    if (out == nullptr || outBytes == nullptr || in == nullptr || inBytes == nullptr) return kErrInvalidArg;
    if (*inBytes < 0 || *inBytes > *outBytes) return kErrInvalidArg;

    const float gain = static_cast<float>(gainPercent_) / 100.0f;
    curve_.Configure(thresholdDb_, ratio_, exRatio_, floorDb_, gain);
    const bool bypass = thresholdDb_ == 0.0f && ratio_ == 1.0f && gainPercent_ == 100;
    // A cutoff set after Build has no section yet: it takes effect at the next Build.
    CBiquadFilter* hiPass = hiPassCutOff_ != 0 ? hiPass_[0].get() : nullptr;
    CBiquadFilter* loPass = loPassCutOff_ != 0 ? loPass_[0].get() : nullptr;

    const auto count = static_cast<uint32_t>(*inBytes) / 2;
    const auto* src = static_cast<const uint8_t*>(in);
    auto* dst = static_cast<uint8_t*>(out);
    float peak = 0.0f;
    for (uint32_t i = 0; i < count; ++i) {
        int16_t s;
        std::memcpy(&s, src + 2 * i, sizeof s);
        float x = static_cast<float>(s) / kScale;
        peak = std::max(peak, x < 0.0f ? -x : x);
        if (hiPass != nullptr) x = hiPass->ProcessSample(x);
        if (loPass != nullptr) x = loPass->ProcessSample(x);
        if (!bypass) x = curve_.Process(x);
        // Truncation toward zero without rounding: about half of all values come back one
        // step nearer zero even when bypassed.
        const auto y = dsp::TruncateToSample(x * kScale);
        std::memcpy(dst + 2 * i, &y, sizeof y);
    }
    totalIn_ += static_cast<uint32_t>(*inBytes);
    totalOut_ += static_cast<uint32_t>(*inBytes);
    maxLevel_ = static_cast<int32_t>(kScale * peak);
    return kOk;
}

}  // namespace zelmar
