#include "streams/WaveGeneratorAudioIn.h"

#include <cmath>
#include <iterator>

#include "dsp/blocks/SampleConversion.h"
#include "platform/Platform.h"

namespace zelmar {
namespace {

constexpr IntRange kAmplitudePercent{0, 100};
// The tone's phase step uses 6.28 rather than 2*pi, so the tone is 0.9995 of the nominal
// frequency; recordings made with the generator depend on this exact waveform.
constexpr double kTwoPiApprox = 6.28;
constexpr int64_t k100nsPerMs = 10000;

}  // namespace

const PropertyTable<CWaveGeneratorAudioIn>& CWaveGeneratorAudioIn::Properties() {
    using C = CWaveGeneratorAudioIn;
    // The settings are write-only.
    static constexpr PropertyRow<C> kRows[] = {
        {"SamplesPerSec", kSamplesPerSec, Settable::kAlways, Readable::kNo, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.samplesPerSec; }},
        {"BitsPerSample", kBitsPerSample, Settable::kAlways, Readable::kNo, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.bitsPerSample; }, &C::KeepLow16Bits},
        {"BlockSamples", kBlockSamples, Settable::kAlways, Readable::kNo, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.blockSamples; }},
        {"Frequency", kFrequency, Settable::kAlways, Readable::kNo, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.frequencyHz; }},
        {"Amplitude", kAmplitude, Settable::kAlways, Readable::kNo, Value::kUint32, kAmplitudePercent,
         [](C& c) -> void* { return &c.settings_.amplitudePercent; }},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.state_.deliveredBytes; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kNo, Value::kUint32},
        {"NotifySize", kNotifySize, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr, nullptr,
         &C::GetNotifySize},
    };
    static_assert(std::size(kRows) == kUnknown, "one row per property");
    // Read-only and unknown names are accepted by SetProperty and ignored; GetProperty refuses
    // write-only and unknown names as bad arguments.
    static constexpr PropertyRules kRules{NameMatch::kExact, kErrInvalidArg, kErrInvalidArg,
                                          /*unknownOnSet=*/kOk, /*unknownOnGet=*/kErrInvalidArg};
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

CWaveGeneratorAudioIn::CWaveGeneratorAudioIn() : timer_(platform::Current().time->CreateTimer()) {}

CWaveGeneratorAudioIn::~CWaveGeneratorAudioIn() = default;

int32_t CWaveGeneratorAudioIn::KeepLow16Bits() {
    settings_.bitsPerSample &= 0xFFFFu;
    return kOk;
}

// Bytes per block, with no channel factor.
int32_t CWaveGeneratorAudioIn::GetNotifySize(int32_t, void* out) {
    WriteUint32(out, settings_.blockSamples * settings_.bitsPerSample / 8);
    return kOk;
}

int32_t CWaveGeneratorAudioIn::Build() {
    built_ = true;
    return kOk;
}

int32_t CWaveGeneratorAudioIn::Start() {
    const Settings& s = settings_;
    if (s.blockSamples == 0 || s.samplesPerSec == 0 || timer_ == nullptr) return kErrPlatform;
    const uint32_t periodMs = s.blockSamples * 1000u / s.samplesPerSec;
    if (!timer_->Set(-int64_t{periodMs} * k100nsPerMs, periodMs)) return kErrPlatform;
    state_ = {};
    return kOk;
}

int32_t CWaveGeneratorAudioIn::Stop() {
    if (timer_ != nullptr) timer_->Cancel();
    return kOk;
}

int32_t CWaveGeneratorAudioIn::GetData(void* buffer, int32_t bytes) {
    if (!built_) return kErrState;
    if (buffer == nullptr || bytes < 1) return kErrInvalidArg;
    // Samples are written 16 bits wide; another width would make the sample count disagree
    // with the buffer, and a zero rate would divide by zero: refuse both.
    const Settings& s = settings_;
    if (s.bitsPerSample != 16 || s.samplesPerSec == 0) return kErrInvalidArg;

    const uint32_t waitMs = s.blockSamples * 2000u / s.samplesPerSec;
    // No timer (the platform could not make one) is a failed wait, not a null dereference.
    switch (timer_ != nullptr ? timer_->Wait(waitMs) : platform::WaitResult::kFailed) {
        case platform::WaitResult::kSignaled: break;
        case platform::WaitResult::kTimedOut: return kErrTimeout;
        default: return kErrPlatform;
    }

    const uint32_t count = static_cast<uint32_t>(bytes) / (s.bitsPerSample >> 3);
    const double step = static_cast<double>(s.frequencyHz) * kTwoPiApprox / static_cast<double>(s.samplesPerSec);
    // At most 100 % of 32767, so the truncated value always fits 16 bits without clamping.
    const double scale = static_cast<double>(s.amplitudePercent) * dsp::kSampleScale / 100.0;
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        const double value = std::sin(static_cast<double>(sampleCounter_) * step) * scale;
        dsp::StoreSample(dsp::TruncateToSample(value), out + 2 * i);
        ++sampleCounter_;
    }
    state_.deliveredBytes += static_cast<uint32_t>(bytes);
    return bytes;
}

}  // namespace zelmar
