#include "streams/WaveGeneratorAudioIn.h"

#include <cmath>
#include <cstring>

#include "framework/Properties.h"
#include "platform/Platform.h"

namespace zelmar {
namespace {

constexpr NamedIndex kProperties[] = {
    {"SamplesPerSec", CWaveGeneratorAudioIn::kSamplesPerSec},
    {"BitsPerSample", CWaveGeneratorAudioIn::kBitsPerSample},
    {"BlockSamples", CWaveGeneratorAudioIn::kBlockSamples},
    {"Frequency", CWaveGeneratorAudioIn::kFrequency},
    {"Amplitude", CWaveGeneratorAudioIn::kAmplitude},
    {"TotalIn", CWaveGeneratorAudioIn::kTotalIn},
    {"TotalOut", CWaveGeneratorAudioIn::kTotalOut},
    {"NotifySize", CWaveGeneratorAudioIn::kNotifySize},
};

constexpr uint32_t kMaxAmplitudePercent = 100;
// The tone's phase step uses 6.28 rather than 2*pi, so the tone is 0.9995 of the nominal
// frequency; recordings made with the generator depend on this exact waveform.
constexpr double kTwoPiApprox = 6.28;
constexpr int64_t k100nsPerMs = 10000;

}  // namespace

CWaveGeneratorAudioIn::CWaveGeneratorAudioIn() : timer_(platform::Current().time->CreateTimer()) {}

CWaveGeneratorAudioIn::~CWaveGeneratorAudioIn() = default;

int32_t CWaveGeneratorAudioIn::FindProperty(const char* name) {
    return FindPropertyIndex(kProperties, name, kUnknown);
}

int32_t CWaveGeneratorAudioIn::SetProperty(const char* name, int32_t value, void*) {
    if (name == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case kSamplesPerSec: samplesPerSec_ = static_cast<uint32_t>(value); break;
        case kBitsPerSample: bitsPerSample_ = static_cast<uint16_t>(value); break;
        case kFrequency: frequencyHz_ = static_cast<uint32_t>(value); break;
        case kAmplitude:
            if (static_cast<uint32_t>(value) > kMaxAmplitudePercent) return kErrInvalidArg;
            amplitudePercent_ = static_cast<uint32_t>(value);
            break;
        case kBlockSamples: blockSamples_ = static_cast<uint32_t>(value); break;
        default: break;  // read-only and unknown names are accepted and ignored
    }
    return kOk;
}

int32_t CWaveGeneratorAudioIn::GetProperty(const char* name, int32_t, void* out) {
    if (name == nullptr || out == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case kNotifySize: WriteUint32(out, blockSamples_ * bitsPerSample_ / 8); return kOk;
        case kTotalIn: WriteUint32(out, deliveredBytes_); return kOk;
        default: return kErrInvalidArg;  // the settings are write-only
    }
}

int32_t CWaveGeneratorAudioIn::Build() {
    built_ = true;
    return kOk;
}

int32_t CWaveGeneratorAudioIn::Start() {
    if (blockSamples_ == 0 || samplesPerSec_ == 0 || timer_ == nullptr) return kErrPlatform;
    const uint32_t periodMs = blockSamples_ * 1000u / samplesPerSec_;
    if (!timer_->Set(-int64_t{periodMs} * k100nsPerMs, periodMs)) return kErrPlatform;
    deliveredBytes_ = 0;
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
    if (bitsPerSample_ != 16 || samplesPerSec_ == 0) return kErrInvalidArg;

    const uint32_t waitMs = blockSamples_ * 2000u / samplesPerSec_;
    switch (timer_->Wait(waitMs)) {
        case platform::WaitResult::kSignaled: break;
        case platform::WaitResult::kTimedOut: return kErrTimeout;
        default: return kErrPlatform;
    }

    const uint32_t count = static_cast<uint32_t>(bytes) / (bitsPerSample_ >> 3);
    const double step = static_cast<double>(frequencyHz_) * kTwoPiApprox / static_cast<double>(samplesPerSec_);
    const double scale = static_cast<double>(amplitudePercent_) * 32767.0 / 100.0;
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        const double value = std::sin(static_cast<double>(sampleCounter_) * step) * scale;
        const auto sample = static_cast<int16_t>(static_cast<int32_t>(value));
        std::memcpy(out + 2 * i, &sample, sizeof sample);
        ++sampleCounter_;
    }
    deliveredBytes_ += static_cast<uint32_t>(bytes);
    return bytes;
}

}  // namespace zelmar
