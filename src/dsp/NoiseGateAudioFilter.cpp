#include "dsp/NoiseGateAudioFilter.h"

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

#include "dsp/blocks/SampleConversion.h"

namespace zelmar {
namespace {

constexpr int32_t kThresholdByteMax = 255;        // "Threshold" is a fraction in 1/255 steps
constexpr double kAttenuationPerDecade = -2000.0;  // "Threshold_db": hundredths of a dB
constexpr uint32_t kSilentAttenuation = 10000;     // 100 dB or more: threshold 0, never quiet
constexpr double kLevelFloorDb = 100.0;            // level 0 is -100 dBFS

// Double to int32 toward zero, saturating (an infinite attenuation reads as INT32_MAX).
int32_t TruncSaturated(double v) {
    if (!(v > static_cast<double>(std::numeric_limits<int32_t>::min()))) return std::numeric_limits<int32_t>::min();
    if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(v);
}

}  // namespace

int32_t CNoiseGateAudioFilter::CGateTracker::LevelOf(float v) {
    const double level = (kLevelFloorDb + 20.0 * std::log10(static_cast<double>(v))) * kFullScaleLevel / 100.0;
    if (!(level > 0.0)) return 0;  // also catches log10(0) = -inf and not-a-number
    return level < kLevelCeiling ? static_cast<int32_t>(level) : kLevelCeiling;
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

const PropertyTable<CNoiseGateAudioFilter>& CNoiseGateAudioFilter::Properties() {
    using C = CNoiseGateAudioFilter;
    static constexpr PropertyRow<C> kRows[] = {
        {"Threshold", kThreshold, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetThreshold, &C::GetThreshold},
        {"Threshold_db", kThresholdDb, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetThresholdDb, &C::GetThresholdDb},
        {"GateTime", kGateTime, Settable::kAlways, Readable::kYes, Value::kInt32, kNonNegative,
         [](C& c) -> void* { return &c.settings_.gateTimeMs; }},
        {"SamplesPerSec", kSamplesPerSec, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.samplesPerSec; }},
        {"CutOff", kCutOff, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.cutOffHz; }},
        {"FadeoutTime", kFadeoutTime, Settable::kAlways, Readable::kYes, Value::kInt32, kNonNegative,
         [](C& c) -> void* { return &c.settings_.fadeoutTimeMs; }},
        {"ReadOnly", kReadOnly, Settable::kAlways, Readable::kNo, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.readOnly; }},
        {"Auto", kAuto, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr, &C::SetAuto},
        {"MaxLevel", kMaxLevel, Settable::kNo, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.run_.maxLevel; }},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.totalIn; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.totalOut; }},
    };
    static_assert(std::size(kRows) == kUnknown - 1, "one row per property; index 8 is unused");
    // A null name, an unknown name and a refused row all answer "wrong state or unknown name".
    static constexpr PropertyRules kRules{NameMatch::kExact, /*nullNameOnSet=*/kErrState,
                                          /*nullNameOnGet=*/kErrState};
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

CNoiseGateAudioFilter::CNoiseGateAudioFilter() = default;

CNoiseGateAudioFilter::~CNoiseGateAudioFilter() = default;

// trunc(threshold x 255 + 0.5), at most 255: limited before the conversion, since a tracked
// threshold can be far above full scale, even infinite.
int32_t CNoiseGateAudioFilter::ThresholdAsByte() const {
    const double value = detector_.threshold * 255.0 + 0.5;
    return value < kThresholdByteMax ? static_cast<int32_t>(value) : kThresholdByteMax;
}

int32_t CNoiseGateAudioFilter::ThresholdAsAttenuation() const {
    return TruncSaturated(std::log10(static_cast<double>(detector_.threshold)) * kAttenuationPerDecade);
}

void CNoiseGateAudioFilter::TurnAutoOn(bool restartTracker) {
    if (!settings_.automatic && restartTracker) detector_.tracker.Restart();
    settings_.automatic = true;
}

int32_t CNoiseGateAudioFilter::SetThreshold(int32_t value, void* data) {
    if (value < 0) {
        TurnAutoOn(true);
        return kOk;
    }
    // The previous threshold goes back through `data`, in the property's own units.
    if (data != nullptr) WriteInt32(data, ThresholdAsByte());
    settings_.automatic = false;
    detector_.threshold = static_cast<float>(value / 255.0);
    return kOk;
}

int32_t CNoiseGateAudioFilter::SetThresholdDb(int32_t value, void* data) {
    if (value < 0) {
        TurnAutoOn(false);  // unlike "Threshold", the tracker goes on from where it was
        return kOk;
    }
    if (data != nullptr) WriteInt32(data, ThresholdAsAttenuation());
    settings_.automatic = false;
    detector_.threshold = static_cast<uint32_t>(value) < kSilentAttenuation
                              ? static_cast<float>(std::pow(10.0, -value / 2000.0))
                              : 0.0f;
    return kOk;
}

int32_t CNoiseGateAudioFilter::GetThreshold(int32_t, void* out) {
    WriteInt32(out, ThresholdAsByte());
    return kOk;
}

int32_t CNoiseGateAudioFilter::GetThresholdDb(int32_t, void* out) {
    WriteInt32(out, ThresholdAsAttenuation());
    return kOk;
}

int32_t CNoiseGateAudioFilter::SetAuto(int32_t value, void*) {
    if (value != 0) TurnAutoOn(true);
    else settings_.automatic = false;
    return kOk;
}

int32_t CNoiseGateAudioFilter::Build() {
    // The frame length and the filter design divide by the rate; a rate that gives no
    // whole sample per frame leaves the component unusable.
    if (int64_t{kFrameMs} * settings_.samplesPerSec / 1000 <= 0) return kErrInvalidArg;
    if (settings_.cutOffHz != 0) {
        std::unique_ptr<CBiquadFilter> section(new (std::nothrow) CBiquadFilter(settings_.samplesPerSec));
        if (!section) return kErrInvalidArg;
        section->type = CBiquadFilter::kHighPass;
        section->frequency = settings_.cutOffHz;
        section->ComputeCoefficients();
        highPass_ = std::move(section);
    }
    state_ = kStateBuilt;
    return kOk;
}

int32_t CNoiseGateAudioFilter::Start() {
    if (state_ != kStateBuilt) return kErrState;
    state_ = kStateRunning;
    run_ = {};
    return kOk;
}

int32_t CNoiseGateAudioFilter::Stop() {
    if (state_ != kStateRunning) return kErrState;
    state_ = kStateBuilt;
    return kOk;
}

bool CNoiseGateAudioFilter::IsSilentFrame(float framePeak, float frameMean) {
    if (settings_.automatic) {
        const bool silent = detector_.tracker.Update(frameMean);
        detector_.threshold = CGateTracker::LinearOf(detector_.tracker.levelThreshold);
        return silent;
    }
    if (settings_.gateTimeMs == 0) return false;
    if (detector_.threshold > framePeak) {
        // Saturate: a gate that has been quiet for weeks stays quiet.
        if (run_.silenceMs <= std::numeric_limits<int32_t>::max() - kFrameMs) run_.silenceMs += kFrameMs;
    } else {
        run_.silenceMs = 0;
    }
    return run_.silenceMs > settings_.gateTimeMs;
}

int32_t CNoiseGateAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (state_ != kStateRunning) return kErrState;
    if (in == nullptr || inBytes == nullptr || out == nullptr || outBytes == nullptr) return kErrInvalidArg;
    // The gate writes as many bytes as it reads: `out` must hold *inBytes bytes.  *outBytes
    // is not compared with that (hosts may leave it unset), and neither count is written back.
    if (*inBytes < 0) return kErrInvalidArg;
    const int64_t frameLength = int64_t{kFrameMs} * settings_.samplesPerSec / 1000;
    if (frameLength <= 0) return kErrInvalidArg;  // the rate was changed after Build

    const auto* source = static_cast<const uint8_t*>(in);
    auto* target = static_cast<uint8_t*>(out);
    const int32_t count = *inBytes / 2;
    const bool readOnly = settings_.readOnly != 0;
    CBiquadFilter* highPass = settings_.cutOffHz != 0 ? highPass_.get() : nullptr;
    bool open = false;
    float blockPeak = 0.0f, framePeak = 0.0f, frameSum = 0.0f;
    int64_t frameCounter = 0;
    for (int32_t i = 0; i < count; ++i) {
        int16_t s = dsp::LoadSample(source + 2 * i);
        float x = dsp::SampleToFloat(s);
        if (highPass != nullptr) {
            x = highPass->ProcessSample(x);
            s = dsp::AddHalfAndTruncateToSample(x * dsp::kSampleScale);
        }
        if (!readOnly) dsp::StoreSample(s, target + 2 * i);
        if (x > framePeak) framePeak = x;  // the signed peak: negative excursions do not count
        if (settings_.automatic) frameSum += std::fabs(x);
        if (++frameCounter == frameLength) {
            if (!IsSilentFrame(framePeak, frameSum / static_cast<float>(frameLength))) open = true;
            if (framePeak > blockPeak) blockPeak = framePeak;
            framePeak = frameSum = 0.0f;
            frameCounter = 0;
        }
    }
    if (framePeak > blockPeak) blockPeak = framePeak;
    if (blockPeak > 1.0f) blockPeak = 1.0f;
    run_.maxLevel = static_cast<int32_t>(blockPeak * dsp::kSampleScale);

    bool passes = open;
    if (!readOnly) {
        int64_t& fadeCount = detector_.fadeCount;
        if (open) {
            fadeCount = 0;
        } else {
            const int64_t fadeLength = int64_t{settings_.fadeoutTimeMs} * settings_.samplesPerSec / 1000;
            if (fadeCount < fadeLength) {
                for (int32_t i = 0; i < count; ++i) {
                    const int64_t sample = dsp::LoadSample(target + 2 * i);
                    // In 128 bits: a fade of up to 2^31 ms at 2^31 samples/s is 2^52 samples long,
                    // and that times a sample leaves 64 bits.
                    const __int128 faded = static_cast<__int128>(fadeLength - fadeCount) * sample / fadeLength;
                    dsp::StoreSample(static_cast<int16_t>(faded), target + 2 * i);
                    if (fadeCount < fadeLength) ++fadeCount;
                }
                passes = true;  // still audible while it fades
            } else {
                std::memset(target, 0, static_cast<std::size_t>(count) * 2);
            }
        }
        meters_.totalOut += static_cast<uint32_t>(count) * 2u;
    }
    meters_.totalIn += static_cast<uint32_t>(*inBytes);
    return passes ? run_.maxLevel : kOk;
}

}  // namespace zelmar
