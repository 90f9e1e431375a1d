#include "dsp/NoiseGateAudioFilter.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "framework/Properties.h"

namespace zelmar {
namespace {

constexpr NamedIndex kProperties[] = {
    {"Threshold", CNoiseGateAudioFilter::kThreshold},
    {"Threshold_db", CNoiseGateAudioFilter::kThresholdDb},
    {"GateTime", CNoiseGateAudioFilter::kGateTime},
    {"SamplesPerSec", CNoiseGateAudioFilter::kSamplesPerSec},
    {"CutOff", CNoiseGateAudioFilter::kCutOff},
    {"FadeoutTime", CNoiseGateAudioFilter::kFadeoutTime},
    {"ReadOnly", CNoiseGateAudioFilter::kReadOnly},
    {"Auto", CNoiseGateAudioFilter::kAuto},
    {"MaxLevel", CNoiseGateAudioFilter::kMaxLevel},
    {"TotalIn", CNoiseGateAudioFilter::kTotalIn},
    {"TotalOut", CNoiseGateAudioFilter::kTotalOut},
};

constexpr double kSampleScale = 32767.0;
constexpr int32_t kThresholdByteMax = 255;        // "Threshold" is a fraction in 1/255 steps
constexpr double kAttenuationPerDecade = -2000.0;  // "Threshold_db": hundredths of a dB
constexpr uint32_t kSilentAttenuation = 10000;     // 100 dB or more: threshold 0, never quiet
constexpr double kLevelFloorDb = 100.0;            // level 0 is -100 dBFS

int16_t LoadSample(const uint8_t* bytes) {
    int16_t s;
    std::memcpy(&s, bytes, sizeof s);
    return s;
}
void StoreSample(int16_t s, uint8_t* bytes) { std::memcpy(bytes, &s, sizeof s); }

// Double to int32 toward zero, saturating (an infinite attenuation reads as INT32_MAX).
int32_t TruncSaturated(double v) {
    if (!(v > static_cast<double>(std::numeric_limits<int32_t>::min()))) return std::numeric_limits<int32_t>::min();
    if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(v);
}

}  // namespace

int32_t CNoiseGateAudioFilter::CGateTracker::LevelOf(float v) {
    const double level = (kLevelFloorDb + 20.0 * std::log10(static_cast<double>(v))) * kFullScaleLevel / 100.0;
    return level > 0.0 ? TruncSaturated(level) : 0;  // also catches log10(0) = -inf
}

float CNoiseGateAudioFilter::CGateTracker::LinearOf(int32_t level) {
    return static_cast<float>(std::pow(10.0, (level * 100.0 / kFullScaleLevel - kLevelFloorDb) / 20.0));
}

bool CNoiseGateAudioFilter::CGateTracker::Update(float meanMagnitude) {
    const int32_t level = LevelOf(meanMagnitude);
    const bool loud = level > levelThreshold;
    if (open == loud) {
        runFrames = 0;
    } else {
        ++runFrames;
        if (runFrames >= (open ? closeFrames : openFrames)) {
            open = !open;
            minLoud = kFullScaleLevel;
            maxQuiet = 0;
            countLoud = countQuiet = 0;
        }
    }
    if (levelThreshold == 0) {
        // First sign of signal: start from half its level.
        if (level > 1) levelThreshold = level / 2;
        return true;
    }
    if (loud) {
        if (level < minLoud) minLoud = level;
        ++countLoud;
    } else {
        if (level > maxQuiet) maxQuiet = level;
        ++countQuiet;
    }
    if (countLoud + countQuiet > windowFrames) {
        if (countLoud >= windowFrames) {
            levelThreshold += (minLoud - levelThreshold) / 4;  // all loud: creep toward the quietest loud frame
        } else if (countQuiet >= windowFrames) {
            levelThreshold = (maxQuiet + levelThreshold) / 2 + 1;  // all quiet: settle above the noise
        } else if (countLoud > countQuiet) {
            levelThreshold += 1;
        }
        minLoud = kFullScaleLevel;
        maxQuiet = 0;
        countLoud = countQuiet = 0;
    }
    return !open;
}

CNoiseGateAudioFilter::CNoiseGateAudioFilter() = default;

CNoiseGateAudioFilter::~CNoiseGateAudioFilter() = default;

int32_t CNoiseGateAudioFilter::FindProperty(const char* name) {
    return FindPropertyIndex(kProperties, name, kUnknown);
}

int32_t CNoiseGateAudioFilter::ThresholdAsByte() const {
    const int32_t value = static_cast<int32_t>(threshold_ * 255.0 + 0.5);
    return value > kThresholdByteMax ? kThresholdByteMax : value;
}

int32_t CNoiseGateAudioFilter::ThresholdAsAttenuation() const {
    return TruncSaturated(std::log10(static_cast<double>(threshold_)) * kAttenuationPerDecade);
}

void CNoiseGateAudioFilter::TurnAutoOn(bool restartTracker) {
    if (!auto_ && restartTracker) tracker_.Restart();
    auto_ = true;
}

int32_t CNoiseGateAudioFilter::SetProperty(const char* name, int32_t value, void* data) {
    if (name == nullptr) return kErrState;
    switch (FindProperty(name)) {
        case kThreshold:
            if (value < 0) {
                TurnAutoOn(true);
                return kOk;
            }
            // The previous threshold goes back through `data`, in the property's own units.
            if (data != nullptr) WriteInt32(data, ThresholdAsByte());
            auto_ = false;
            threshold_ = static_cast<float>(value / 255.0);
            return kOk;
        case kThresholdDb:
            if (value < 0) {
                TurnAutoOn(false);
                return kOk;
            }
            if (data != nullptr) WriteInt32(data, ThresholdAsAttenuation());
            auto_ = false;
            threshold_ = static_cast<uint32_t>(value) < kSilentAttenuation
                             ? static_cast<float>(std::pow(10.0, -value / 2000.0))
                             : 0.0f;
            return kOk;
        case kGateTime:
            if (value < 0) return kErrInvalidArg;
            gateTimeMs_ = value;
            return kOk;
        case kSamplesPerSec: samplesPerSec_ = value; return kOk;
        case kCutOff: cutOffHz_ = value; return kOk;
        case kFadeoutTime:
            if (value < 0) return kErrInvalidArg;
            fadeoutTimeMs_ = value;
            return kOk;
        case kReadOnly: readOnly_ = value != 0; return kOk;
        case kAuto:
            if (value != 0) TurnAutoOn(true);
            else auto_ = false;
            return kOk;
        default: return kErrState;  // MaxLevel, TotalIn, TotalOut are read-only; unknown names
    }
}

int32_t CNoiseGateAudioFilter::GetProperty(const char* name, int32_t, void* out) {
    if (out == nullptr) return kErrInvalidArg;
    if (name == nullptr) return kErrState;
    switch (FindProperty(name)) {
        case kThreshold: WriteInt32(out, ThresholdAsByte()); return kOk;
        case kThresholdDb: WriteInt32(out, ThresholdAsAttenuation()); return kOk;
        case kGateTime: WriteInt32(out, gateTimeMs_); return kOk;
        case kSamplesPerSec: WriteInt32(out, samplesPerSec_); return kOk;
        case kCutOff: WriteInt32(out, cutOffHz_); return kOk;
        case kFadeoutTime: WriteInt32(out, fadeoutTimeMs_); return kOk;
        case kMaxLevel: WriteInt32(out, maxLevel_); return kOk;
        case kTotalIn: WriteUint32(out, totalIn_); return kOk;
        case kTotalOut: WriteUint32(out, totalOut_); return kOk;
        default: return kErrState;  // ReadOnly and Auto are write-only; unknown names
    }
}

int32_t CNoiseGateAudioFilter::Build() {
    // The frame length and the filter design divide by the rate; a rate that gives no
    // whole sample per frame leaves the component unusable.
    if (int64_t{frameMs_} * samplesPerSec_ / 1000 <= 0) return kErrInvalidArg;
    if (cutOffHz_ != 0) {
        std::unique_ptr<CBiquadFilter> section(new (std::nothrow) CBiquadFilter(samplesPerSec_));
        if (!section) return kErrInvalidArg;
        section->type = CBiquadFilter::kHighPass;
        section->frequency = cutOffHz_;
        section->ComputeCoefficients();
        highPass_ = std::move(section);
    }
    state_ = kStateBuilt;
    return kOk;
}

int32_t CNoiseGateAudioFilter::Start() {
    if (state_ != kStateBuilt) return kErrState;
    state_ = kStateRunning;
    silenceMs_ = 0;
    maxLevel_ = 0;
    return kOk;
}

int32_t CNoiseGateAudioFilter::Stop() {
    if (state_ != kStateRunning) return kErrState;
    state_ = kStateBuilt;
    return kOk;
}

bool CNoiseGateAudioFilter::IsSilentFrame(float framePeak, float frameMean) {
    if (auto_) {
        const bool silent = tracker_.Update(frameMean);
        threshold_ = CGateTracker::LinearOf(tracker_.levelThreshold);
        return silent;
    }
    if (gateTimeMs_ == 0) return false;
    if (threshold_ > framePeak) {
        // Saturate: a gate that has been quiet for weeks stays quiet.
        if (silenceMs_ <= std::numeric_limits<int32_t>::max() - frameMs_) silenceMs_ += frameMs_;
    } else {
        silenceMs_ = 0;
    }
    return silenceMs_ > gateTimeMs_;
}

int32_t CNoiseGateAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (state_ != kStateRunning) return kErrState;
    if (in == nullptr || inBytes == nullptr || out == nullptr || outBytes == nullptr) return kErrInvalidArg;
    if (*inBytes < 0) return kErrInvalidArg;
    // The gate writes as many bytes as it reads; a smaller output buffer is refused rather
    // than overrun.  In read-only mode the output is never touched.
    if (!readOnly_ && *outBytes < *inBytes) return kErrInvalidArg;
    const int64_t frameLength = int64_t{frameMs_} * samplesPerSec_ / 1000;
    if (frameLength <= 0) return kErrInvalidArg;  // the rate was changed after Build

    const auto* source = static_cast<const uint8_t*>(in);
    auto* target = static_cast<uint8_t*>(out);
    const int32_t count = *inBytes / 2;
    CBiquadFilter* highPass = cutOffHz_ != 0 ? highPass_.get() : nullptr;
    bool open = false;
    float blockPeak = 0.0f, framePeak = 0.0f, frameSum = 0.0f;
    int64_t frameCounter = 0;
    for (int32_t i = 0; i < count; ++i) {
        int16_t s = LoadSample(source + 2 * i);
        float x = static_cast<float>(s / kSampleScale);
        if (highPass != nullptr) {
            x = highPass->ProcessSample(x);
            double scaled = static_cast<double>(x) * kSampleScale + 0.5;
            if (scaled > 32767.0) scaled = 32767.0;
            if (scaled < -32768.0) scaled = -32768.0;
            s = static_cast<int16_t>(scaled);
        }
        if (!readOnly_) StoreSample(s, target + 2 * i);
        if (x > framePeak) framePeak = x;  // the signed peak: negative excursions do not count
        if (auto_) frameSum += std::fabs(x);
        if (++frameCounter == frameLength) {
            if (!IsSilentFrame(framePeak, frameSum / static_cast<float>(frameLength))) open = true;
            if (framePeak > blockPeak) blockPeak = framePeak;
            framePeak = frameSum = 0.0f;
            frameCounter = 0;
        }
    }
    if (framePeak > blockPeak) blockPeak = framePeak;
    if (blockPeak > 1.0f) blockPeak = 1.0f;
    maxLevel_ = static_cast<int32_t>(blockPeak * kSampleScale);

    bool passes = open;
    if (!readOnly_) {
        if (open) {
            fadeCount_ = 0;
        } else {
            const int64_t fadeLength = int64_t{fadeoutTimeMs_} * samplesPerSec_ / 1000;
            if (fadeCount_ < fadeLength) {
                for (int32_t i = 0; i < count; ++i) {
                    const int64_t sample = LoadSample(target + 2 * i);
                    StoreSample(static_cast<int16_t>((fadeLength - fadeCount_) * sample / fadeLength), target + 2 * i);
                    if (fadeCount_ < fadeLength) ++fadeCount_;
                }
                passes = true;  // still audible while it fades
            } else {
                std::memset(target, 0, static_cast<std::size_t>(count) * 2);
            }
        }
        totalOut_ += static_cast<uint32_t>(count) * 2u;
    }
    totalIn_ += static_cast<uint32_t>(*inBytes);
    return passes ? maxLevel_ : kOk;
}

}  // namespace zelmar
