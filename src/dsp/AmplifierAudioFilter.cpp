#include "dsp/AmplifierAudioFilter.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "dsp/blocks/SampleConversion.h"
#include "framework/DebugOutput.h"
#include "framework/Properties.h"

namespace zelmar {
namespace {

// Rates the curve and sections can be set up for; others are refused at Start.
constexpr int32_t kMinRateHz = 1000;
constexpr int32_t kMaxRateHz = 384000;

// A breakpoint in 16-bit steps for the trace, truncated as the processor's conversion does;
// a value beyond the int range (a curve made of extreme settings) or not a number prints as
// that conversion's "indefinite" result, INT_MIN, rather than being undefined.
int TraceSteps(float level) {
    const float steps = 32767.0f * level;
    return steps > -2147483648.0f && steps < 2147483648.0f ? static_cast<int>(steps) : INT_MIN;
}

}  // namespace

const PropertyTable<CAmplifierAudioFilter>& CAmplifierAudioFilter::Properties() {
    using C = CAmplifierAudioFilter;
    static constexpr PropertyRow<C> kOwnRows[] = {
        {"Gain", kGain, Settable::kAlways, Readable::kYes, Value::kInt32, kNonNegative,
         [](C& c) -> void* { return &c.settings_.gainPercent; }},
        {"SamplesPerSec", kSamplesPerSec, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.samplesPerSec; }},
        // Positive, unlike the pre-processor's: the amplifier always looks ahead.
        {"DelayTime", kDelayTime, Settable::kAlways, Readable::kYes, Value::kInt32, {1, kMaxDelayMs},
         [](C& c) -> void* { return &c.settings_.delayMs; }},
        {"MaxLevel", kMaxLevel, Settable::kNo, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.maxLevel; }},
        {"HiPassCutOff", kHiPassCutOff, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.hiPassCutOff; }},
        {"LoPassCutOff", kLoPassCutOff, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.loPassCutOff; }},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.totalIn; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.totalOut; }},
    };
    static constexpr auto kRows = JoinRows(CompressorRows<C>::Make({}), kOwnRows);
    static_assert(kRows.size() == kUnknown, "one row per property");
    static constexpr PropertyRules kRules{NameMatch::kExact, /*nullNameOnSet=*/kErrState,
                                          /*nullNameOnGet=*/kErrState};
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

CAmplifierAudioFilter::CAmplifierAudioFilter() = default;
CAmplifierAudioFilter::~CAmplifierAudioFilter() = default;

int32_t CAmplifierAudioFilter::Build() {
    auto make = [this](std::unique_ptr<CBiquadFilter>(&pair)[2], uint32_t kind, int32_t cutoffHz) {
        for (auto& section : pair) {
            section = std::make_unique<CBiquadFilter>(settings_.samplesPerSec);
            section->type = kind;
            section->frequency = static_cast<double>(static_cast<uint32_t>(cutoffHz));
            section->ComputeCoefficients();
        }
    };
    if (settings_.hiPassCutOff != 0) make(hiPass_, CBiquadFilter::kHighPass, settings_.hiPassCutOff);
    if (settings_.loPassCutOff != 0) make(loPass_, CBiquadFilter::kLowPass, settings_.loPassCutOff);
    state_ = kStateBuilt;
    return kOk;
}

int32_t CAmplifierAudioFilter::Start() {
    if (state_ != kStateBuilt) return kErrState;
    if (settings_.samplesPerSec < kMinRateHz || settings_.samplesPerSec > kMaxRateHz) return kErrInvalidArg;
    curve_.Setup(static_cast<uint32_t>(settings_.samplesPerSec), static_cast<uint32_t>(compressor_.attackMs),
                 static_cast<uint32_t>(compressor_.releaseMs), static_cast<uint32_t>(settings_.delayMs));
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

    const float gain = static_cast<float>(settings_.gainPercent) / 100.0f;
    if (curve_.Configure(compressor_.thresholdDb, compressor_.ratio, compressor_.exRatio, compressor_.floorDb, gain)) {
        // Every new curve is traced, breakpoint by breakpoint.
        for (int i = 0; i < curve_.PointCount(); ++i) {
            const float x = curve_.PointX(i), y = curve_.PointY(i);
            DebugPrintf("Setup [%d] %f(%d),%f(%d)\n", i, static_cast<double>(x), TraceSteps(x),
                        static_cast<double>(y), TraceSteps(y));
        }
    }
    const bool bypass = compressor_.thresholdDb == 0.0f && compressor_.ratio == 1.0f && settings_.gainPercent == 100;
    // A cutoff set after Build has no section yet: it takes effect at the next Build.
    CBiquadFilter* hiPass = settings_.hiPassCutOff != 0 ? hiPass_[0].get() : nullptr;
    CBiquadFilter* loPass = settings_.loPassCutOff != 0 ? loPass_[0].get() : nullptr;

    const auto count = static_cast<uint32_t>(*inBytes) / 2;
    const auto* src = static_cast<const uint8_t*>(in);
    auto* dst = static_cast<uint8_t*>(out);
    float peak = 0.0f;
    for (uint32_t i = 0; i < count; ++i) {
        float x = dsp::SampleToFloat(dsp::LoadSample(src + 2 * i));
        peak = std::max(peak, x < 0.0f ? -x : x);
        if (hiPass != nullptr) x = hiPass->ProcessSample(x);
        if (loPass != nullptr) x = loPass->ProcessSample(x);
        if (!bypass) x = curve_.Process(x);
        // x * 32767.0 in double, truncated toward zero without rounding: about half of all
        // values come back one step nearer zero even when bypassed.
        dsp::StoreSample(dsp::TruncateToSample(x * dsp::kSampleScale), dst + 2 * i);
    }
    meters_.totalIn += static_cast<uint32_t>(*inBytes);
    meters_.totalOut += static_cast<uint32_t>(*inBytes);
    meters_.maxLevel = static_cast<int32_t>(dsp::kSampleScale * peak);
    return kOk;
}

}  // namespace zelmar
