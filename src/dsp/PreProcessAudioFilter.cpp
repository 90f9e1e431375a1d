#include "dsp/PreProcessAudioFilter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <ZelmarEC/ZelmarEC.h>
#include "framework/Properties.h"

namespace zelmar {
namespace {

// Samples cross the block boundary as 16-bit PCM and are floats of about +-1.0 inside.
constexpr float kOwnScale = 32767.0f;
constexpr int32_t kFullScale = 32767;
constexpr int kCompanionToFloatScale = 15;
constexpr int kCompanionToInt16Scale = -15;
// The pitch detector's analysis window.
constexpr uint32_t kPitchWindowMs = 30;
// Pre-roll kept while muted: longer with pitch detection, which decides later.
constexpr uint32_t kPreRollMs = 40;
constexpr uint32_t kPitchPreRollMs = 80;
// The work buffers are made at Start for blocks up to this long: a voice host passes 10 to
// 60 ms, so Process allocates nothing for them.
constexpr uint32_t kPreparedBlockMs = 200;
// Floor used by the curve during a block; the "Floor" setting lasts until the next block.
constexpr float kBlockFloorDb = -35.0f;
// Peak reported for output taken from the ring, so a host can tell it from a fade's end (1).
constexpr int32_t kRingMinimumLevel = 2;
constexpr int32_t kFadeDoneLevel = 1;
constexpr float kGateThresholdSteps = 255.0f;
constexpr int32_t kMaxAgcPercent = 100;
constexpr int32_t kMinAgcUpSpeed = 1, kMaxAgcUpSpeed = 10000;
constexpr float kAgcUpSpeedScale = 10000.0f;
constexpr float kEnvelopeTimePerAttackMs = 10.0f;
// Rates outside this range cannot be analysed in 10 ms frames or would size the pre-roll ring
// absurdly.
constexpr int32_t kMinRateHz = 1000;
constexpr int32_t kMaxRateHz = 384000;
enum VadType : int32_t { kVadLevel = 0, kVadPitch = 1, kVadLevelOrPitch = 2, kVadLevelAfterNs = 3 };

// Never empty: an empty block still passes the buffers to memcpy and the companion, which
// must not get a null pointer.
template <typename T>
void GrowTo(std::vector<T>& buffer, size_t count) {
    if (buffer.size() < count || buffer.empty()) buffer.resize(count > 0 ? count : 1);
}

// trunc(fraction x 255 + 0.5), at most 255; the limit is applied before the conversion, so a
// threshold set far above full scale (up to INT32_MAX / 255) reads 255, not an undefined value.
int32_t GateThresholdSteps(float fraction) {
    return static_cast<int32_t>(std::min(fraction * kGateThresholdSteps + 0.5f, kGateThresholdSteps));
}

}  // namespace

void CPreProcessAudioFilter::CSampleRing::Allocate(uint32_t size) {
    storage_.assign(size, 0.0f);
    size_ = size;
    writeIndex_ = readIndex_ = count_ = 0;
}

CPreProcessAudioFilter::CPreProcessAudioFilter() {
    agc_.upSpeed = settings_.agcUpSpeed;
    agc_.SetLimits(settings_.agcGainLimit, settings_.agcGainLimit2);
}

CPreProcessAudioFilter::~CPreProcessAudioFilter() = default;

const PropertyTable<CPreProcessAudioFilter>& CPreProcessAudioFilter::Properties() {
    using C = CPreProcessAudioFilter;
    static constexpr PropertyRow<C> kOwnRows[] = {
        {"Gain", kGain, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.gainPercent; }},
        {"AutoGain", kAutoGain, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetAutoGain},
        {"SamplesPerSec", kSamplesPerSec, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.samplesPerSec; }, &C::ApplySampleRate},
        // 0 is allowed here: the pre-processor's curve may run without look-ahead.
        {"DelayTime", kDelayTime, Settable::kAlways, Readable::kYes, Value::kInt32, {0, kMaxDelayMs},
         [](C& c) -> void* { return &c.settings_.delayMs; }},
        {"MaxLevel", kMaxLevel, Settable::kNo, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.run_.maxLevel; }},
        {"HiPassCutOff", kHiPassCutOff, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.hiPassCutOff; }, nullptr, &C::SetHiPassCutOff},
        {"HiPassCutOff2", kHiPassCutOff2, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.hiPassCutOff2; }, nullptr, &C::SetHiPassCutOff2},
        {"LoPassCutOff", kLoPassCutOff, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.loPassCutOff; }, nullptr, &C::SetLoPassCutOff},
        {"LoPassCutOff2", kLoPassCutOff2, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.loPassCutOff2; }, nullptr, &C::SetLoPassCutOff2},
        {"GateThreshold", kGateThreshold, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr,
         nullptr, &C::SetGateThreshold, &C::GetGateThreshold},
        {"GateTime", kGateTime, Settable::kAlways, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.gateTimeMs; }, nullptr, &C::SetGateTime},
        {"Auto", kAuto, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr, &C::SetAuto},
        {"FadeoutTime", kFadeoutTime, Settable::kAlways, Readable::kYes, Value::kInt32, kNonNegative,
         [](C& c) -> void* { return &c.settings_.fadeoutMs; }},
        {"AGCPeak", kAGCPeak, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetAgcPeak},
        {"AGCGainLimit", kAGCGainLimit, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr,
         nullptr, &C::SetAgcGainLimit},
        {"AGCGainLimit2", kAGCGainLimit2, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr,
         nullptr, &C::SetAgcGainLimit2},
        {"AGCUpSpeed", kAGCUpSpeed, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetAgcUpSpeed},
        {"AntiClipping", kAntiClipping, Settable::kAlways, Readable::kNo, Value::kInt32, kNonNegative,
         [](C& c) -> void* { return &c.settings_.antiClipping; }},
        {"NSFactor", kNSFactor, Settable::kAlways, Readable::kNo, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.nsFactor; }, &C::ApplyNsFactor},
        {"EnableNS", kEnableNS, Settable::kAlways, Readable::kNo, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.enableNS; }},
        {"VADType", kVADType, Settable::kAlways, Readable::kNo, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.vadType; }},
        {"NGParam", kNGParam, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetNgParam},
        // Stored in tenths, as the noise gate parameters always were.
        {"NGParam2", kNGParam2, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetNgParam2},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.run_.totalIn; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.run_.totalOut; }},
    };
    static constexpr auto kRows = JoinRows(
        CompressorRows<C>::Make({&C::ApplyThreshold, &C::ApplyFloor, &C::ApplyAttackTime, &C::ApplyReleaseTime, &C::GetFloorInEffect}),
        kOwnRows);
    static_assert(kRows.size() == kUnknown, "one row per property");
    // SetProperty checks no state; a null name is an unknown one.
    static constexpr PropertyRules kRules{NameMatch::kExact, /*nullNameOnSet=*/kErrState,
                                          /*nullNameOnGet=*/kErrState};
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

int32_t CPreProcessAudioFilter::SetAutoGain(int32_t value, void*) {
    settings_.autoGain = value == 1;
    if (settings_.autoGain) {
        agc_.Restart(settings_.agcGainLimit, settings_.agcGainLimit2);
    } else {
        run_.currentGain = 1.0f;
    }
    return kOk;
}

int32_t CPreProcessAudioFilter::ApplyThreshold() {
    limiter_.SetThreshold(compressor_.thresholdDb);
    return kOk;
}

// "Floor" reads back the floor in effect: the setting until the next block, which uses -35 dB.
int32_t CPreProcessAudioFilter::ApplyFloor() {
    run_.floorDb = compressor_.floorDb;
    return kOk;
}

int32_t CPreProcessAudioFilter::GetFloorInEffect(int32_t, void* out) {
    WriteFloat(out, run_.floorDb);
    return kOk;
}

int32_t CPreProcessAudioFilter::ApplySampleRate() {
    limiter_.SetSampleRate(static_cast<uint32_t>(settings_.samplesPerSec));
    return kOk;
}

int32_t CPreProcessAudioFilter::ApplyAttackTime() {
    const bool hadLookahead = limiter_.lookahead != 0;
    limiter_.SetAttackTime(static_cast<float>(compressor_.attackMs));
    // A running limiter that just got a look-ahead needs its delay line now.
    if (state_ == kStateRunning && !hadLookahead) limiter_.Reset();
    return kOk;
}

int32_t CPreProcessAudioFilter::ApplyReleaseTime() {
    limiter_.SetReleaseTime(static_cast<float>(compressor_.releaseMs));
    return kOk;
}

int32_t CPreProcessAudioFilter::SetHiPassCutOff(int32_t value, void*) { return SetCutoff(kHiPassCutOff, value); }
int32_t CPreProcessAudioFilter::SetHiPassCutOff2(int32_t value, void*) { return SetCutoff(kHiPassCutOff2, value); }
int32_t CPreProcessAudioFilter::SetLoPassCutOff(int32_t value, void*) { return SetCutoff(kLoPassCutOff, value); }
int32_t CPreProcessAudioFilter::SetLoPassCutOff2(int32_t value, void*) { return SetCutoff(kLoPassCutOff2, value); }

// A negative threshold turns the automatic gate on; otherwise the previous threshold goes back
// through `data` in the property's own steps.
int32_t CPreProcessAudioFilter::SetGateThreshold(int32_t value, void* data) {
    if (value < 0) {
        if (!settings_.autoGate) levelGate_.Restart();
        settings_.autoGate = true;
        return kOk;
    }
    if (data != nullptr) WriteInt32(data, GateThresholdSteps(settings_.gateThreshold));
    settings_.autoGate = false;
    settings_.gateThreshold = static_cast<float>(value) / kGateThresholdSteps;
    return kOk;
}

// With the automatic gate: 0 while it is open, -1 while it is closed.
int32_t CPreProcessAudioFilter::GetGateThreshold(int32_t, void* out) {
    WriteInt32(out, settings_.autoGate ? (levelGate_.IsOpen() ? 0 : -1) : GateThresholdSteps(settings_.gateThreshold));
    return kOk;
}

int32_t CPreProcessAudioFilter::SetGateTime(int32_t value, void* data) {
    if (value <= 0) return kErrInvalidArg;
    if (data != nullptr) WriteInt32(data, settings_.gateTimeMs);
    settings_.gateTimeMs = value;
    levelGate_.SetCloseFrames(value / kFrameMs);
    pitchDetector_.SetHangMs(value);
    return kOk;
}

int32_t CPreProcessAudioFilter::SetAuto(int32_t value, void*) {
    if (value != 0 && !settings_.autoGate) levelGate_.Restart();
    settings_.autoGate = value != 0;
    return kOk;
}

int32_t CPreProcessAudioFilter::SetAgcPeak(int32_t value, void*) {
    settings_.agcPeak = static_cast<float>(std::clamp(value, 0, kMaxAgcPercent)) / 100.0f;
    return kOk;
}

int32_t CPreProcessAudioFilter::SetAgcGainLimit(int32_t value, void*) {
    settings_.agcGainLimit = static_cast<float>(static_cast<uint32_t>(value)) / 100.0f;
    agc_.SetLimits(settings_.agcGainLimit, settings_.agcGainLimit2);
    return kOk;
}

int32_t CPreProcessAudioFilter::SetAgcGainLimit2(int32_t value, void*) {
    settings_.agcGainLimit2 = static_cast<float>(static_cast<uint32_t>(value)) / 100.0f;
    agc_.SetLimits(settings_.agcGainLimit, settings_.agcGainLimit2);
    return kOk;
}

int32_t CPreProcessAudioFilter::SetAgcUpSpeed(int32_t value, void*) {
    settings_.agcUpSpeed = static_cast<float>(std::clamp(value, kMinAgcUpSpeed, kMaxAgcUpSpeed)) / kAgcUpSpeedScale;
    agc_.upSpeed = settings_.agcUpSpeed;
    return kOk;
}

int32_t CPreProcessAudioFilter::ApplyNsFactor() {
    if (suppressor_ != nullptr) suppressor_->Configure("Factor", settings_.nsFactor);
    return kOk;
}

// The noise-gate table is value / 10 zero bytes that nothing reads (and that "VADType" 3 would
// only zero again), so its length is all there is to keep: a value near 2^32 costs nothing
// instead of 429 MB.  Values below 10 leave it as it was.
int32_t CPreProcessAudioFilter::SetNgParam(int32_t value, void*) {
    const uint32_t count = static_cast<uint32_t>(value);
    if (count >= 10) settings_.ngParamBytes = count / 10;
    return kOk;
}

int32_t CPreProcessAudioFilter::SetNgParam2(int32_t value, void*) {
    settings_.ngParam2 = static_cast<uint32_t>(value) / 10;
    return kOk;
}

int32_t CPreProcessAudioFilter::SetCutoff(int32_t index, int32_t value) {
    CBiquadFilter* section = nullptr;
    CAudioIIR* iir = nullptr;
    int kind = companion::kIirKindHighPass;
    int order = 1;
    switch (index) {
        case kHiPassCutOff: settings_.hiPassCutOff = value; section = hiPass_.get(); iir = &hiPassIir_; break;
        case kHiPassCutOff2: settings_.hiPassCutOff2 = value; section = hiPass2_.get(); iir = &hiPass2Iir_; break;
        case kLoPassCutOff:
            settings_.loPassCutOff = value;
            section = loPass_.get();
            iir = &loPassIir_;
            kind = companion::kIirKindLowPass;
            break;
        default:
            settings_.loPassCutOff2 = value;
            section = loPass2_.get();
            iir = &loPass2Iir_;
            kind = companion::kIirKindLowPass;
            order = 3;
            break;
    }
    if (value != 0) {
        if (section != nullptr) {
            section->frequency = static_cast<double>(static_cast<uint32_t>(value));
            section->ComputeCoefficients();
        }
        // 0 keeps the previous state but turns the filter off: the chain runs a filter only
        // while its cutoff is non-zero.
        iir->Allocate(kind, order, value, settings_.samplesPerSec);
    }
    return kOk;
}

int32_t CPreProcessAudioFilter::Build() {
    const int rate = settings_.samplesPerSec;
    auto design = [](CBiquadFilter& section, uint32_t kind, int32_t cutoffHz) {
        section.type = kind;
        if (cutoffHz != 0) {
            section.frequency = static_cast<double>(static_cast<uint32_t>(cutoffHz));
            section.ComputeCoefficients();
        }
    };
    hiPass_ = std::make_unique<CBiquadFilter>(rate);
    design(*hiPass_, CBiquadFilter::kHighPass, settings_.hiPassCutOff);
    hiPass2_ = std::make_unique<CBiquadFilter2>(rate);
    design(*hiPass2_, CBiquadFilter::kHighPass, settings_.hiPassCutOff2);
    loPass_ = std::make_unique<CBiquadFilter>(rate);
    design(*loPass_, CBiquadFilter::kLowPass, settings_.loPassCutOff);
    loPass2_ = std::make_unique<CBiquadFilter2>(rate);
    design(*loPass2_, CBiquadFilter::kLowPass, settings_.loPassCutOff2);
    state_ = kStateBuilt;
    return kOk;
}

int32_t CPreProcessAudioFilter::Start() {
    if (state_ != kStateBuilt) return kErrState;
    const int32_t rate = settings_.samplesPerSec;
    if (rate < kMinRateHz || rate > kMaxRateHz) return kErrInvalidArg;
    const auto rateHz = static_cast<uint32_t>(rate);
    curve_.Setup(rateHz, static_cast<uint32_t>(compressor_.attackMs), static_cast<uint32_t>(compressor_.releaseMs),
                 static_cast<uint32_t>(settings_.delayMs));
    gainSmoother_ = std::make_unique<EnvelopeDetector<float>>(
        static_cast<float>(compressor_.attackMs) * kEnvelopeTimePerAttackMs, rateHz);
    run_.targetGain = 1.0f;
    // The limiter's delay line is the one allocation that may fail for a huge attack time.
    if (!limiter_.Reset()) return kErrPlatform;
    state_ = kStateRunning;
    suppressor_ = std::make_unique<CAudioNoiseSuppressor>();
    suppressor_->Configure("Factor", settings_.nsFactor);
    suppressor_->Configure("Frequency", rate);
    suppressor_->Start();
    pitchDetector_.Initialise(rateHz, kPitchWindowMs, kFrameMs);
    const bool pitch = settings_.vadType == kVadPitch || settings_.vadType == kVadLevelOrPitch;
    ring_.Allocate(rateHz * (pitch ? kPitchPreRollMs : kPreRollMs) / 1000);
    const uint32_t prepared = rateHz * kPreparedBlockMs / 1000;
    PrepareWorkBuffers(prepared, prepared, rateHz * kFrameMs / 1000);
    return kOk;
}

int32_t CPreProcessAudioFilter::Stop() {
    if (state_ != kStateRunning) return kErrState;
    state_ = kStateBuilt;
    curve_.ReleaseDelayLine();
    gainSmoother_.reset();
    return kOk;
}

void CPreProcessAudioFilter::ToFloat(const int16_t* src, float* dst, uint32_t count) const {
    if (vectors_.ToFloat(src, dst, static_cast<int>(count), kCompanionToFloatScale)) return;
    for (uint32_t i = 0; i < count; ++i) dst[i] = static_cast<float>(src[i]) / kOwnScale;
}

void CPreProcessAudioFilter::ToInt16(const float* src, int16_t* dst, uint32_t count) const {
    if (vectors_.ToInt16(src, dst, static_cast<int>(count), kCompanionToInt16Scale)) return;
    for (uint32_t i = 0; i < count; ++i) {
        // Rounds by adding 0.5 then truncating toward zero: negative samples come back one
        // step nearer zero.
        float v = src[i] * kOwnScale + 0.5f;
        v = v == v ? v : 0.0f;  // not a number becomes silence, not an undefined conversion
        v = std::clamp(v, -32768.0f, 32767.0f);
        dst[i] = static_cast<int16_t>(v);
    }
}

bool CPreProcessAudioFilter::FrameIsSilent(const int16_t* frame, uint32_t n, bool autoMode) {
    // The second filters work on a copy, so the frame itself stays as the chain has it; with
    // both off the frame is read where it is.
    const int16_t* copy = frame;
    if (settings_.loPassCutOff2 != 0 || settings_.hiPassCutOff2 != 0) {
        int16_t* filtered = frame16_.data();
        std::memcpy(filtered, frame, n * sizeof(int16_t));
        if (settings_.loPassCutOff2 != 0) loPass2Iir_.Filter(filtered, static_cast<int>(n));
        if (settings_.hiPassCutOff2 != 0) hiPass2Iir_.Filter(filtered, static_cast<int>(n));
        copy = filtered;
    }
    uint32_t sum = 0;
    int32_t peak = 0;
    for (uint32_t i = 0; i < n; ++i) {
        // |s| taken in 16 bits: -32768 stays -32768 there, so it counts as such.
        const auto magnitude = static_cast<int16_t>(copy[i] < 0 ? -copy[i] : copy[i]);
        sum += static_cast<uint32_t>(static_cast<int32_t>(magnitude));
        peak = std::max<int32_t>(peak, magnitude);
    }
    const float mean = static_cast<float>(static_cast<int32_t>(sum)) / static_cast<float>(n);
    const float meanNormalised = mean / kOwnScale;

    if (!autoMode) {
        if (settings_.gateThreshold == 0.0f || settings_.gateTimeMs == 0) return false;
        if (settings_.gateThreshold < static_cast<float>(peak) / kOwnScale) {
            run_.silenceMs = 0;
        } else {
            run_.silenceMs += kFrameMs;
        }
        return run_.silenceMs > settings_.gateTimeMs;
    }
    switch (settings_.vadType) {
        case kVadLevel:
        case kVadLevelAfterNs: return levelGate_.Update(meanNormalised);
        case kVadPitch: return !pitchDetector_.Update(frame, static_cast<int>(n));
        case kVadLevelOrPitch: {
            const bool quiet = levelGate_.Update(meanNormalised);
            const bool voiced = pitchDetector_.Update(frame, static_cast<int>(n));
            return quiet || !voiced;
        }
        default: return true;
    }
}

int32_t CPreProcessAudioFilter::PlayFromRing(void* out, uint32_t outSamples) {
    float* popped = ringOut_.data();
    for (uint32_t i = 0; i < outSamples; ++i) popped[i] = ring_.Pop();
    auto* out16 = static_cast<int16_t*>(out);
    ToInt16(popped, out16, outSamples);
    return std::max<int32_t>(Peak(out16, outSamples), kRingMinimumLevel);
}

// Without the companion the peak is measured here, to the same value: the level and the
// meter work either way.
int32_t CPreProcessAudioFilter::Peak(const int16_t* samples, uint32_t count) const {
    int16_t peak = 0;
    if (vectors_.MaxAbs(samples, static_cast<int>(count), &peak)) return peak;
    int32_t own = 0;
    for (uint32_t i = 0; i < count; ++i) own = std::max(own, std::abs(int32_t{samples[i]}));
    return std::min(own, kFullScale);  // |-32768| counts as 32767
}

// Sized at Start for blocks of kPreparedBlockMs; a longer block grows them once and they keep
// that size (blocks of any length are accepted).
void CPreProcessAudioFilter::PrepareWorkBuffers(uint32_t inSamples, uint32_t outSamples, uint32_t frameLen) {
    GrowTo(input16_, inSamples);
    GrowTo(work16_, inSamples);
    GrowTo(samples_, inSamples);
    GrowTo(envelopes_, inSamples);
    GrowTo(ringOut_, outSamples);
    GrowTo(frame16_, std::max(frameLen, inSamples));
}

int32_t CPreProcessAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (state_ != kStateRunning) return kErrState;
    if (out == nullptr || outBytes == nullptr || in == nullptr || inBytes == nullptr) return kErrInvalidArg;
    if (*inBytes < 0 || *outBytes < 0 || *inBytes > *outBytes) return kErrInvalidArg;
    const auto n = static_cast<uint32_t>(*inBytes) / 2;
    const auto m = static_cast<uint32_t>(*outBytes) / 2;
    const auto rate = static_cast<uint32_t>(settings_.samplesPerSec);
    const uint32_t frameLen = rate * kFrameMs / 1000;
    PrepareWorkBuffers(n, m, frameLen);

    // Draining the pre-roll: the caller repeats its block until the ring is empty.
    if (!run_.muted && ring_.Count() > 0) {
        const int32_t level = PlayFromRing(out, m);
        if (ring_.Count() == 0) *inBytes = 0;
        return level;
    }

    // The caller's block is read-only: the filters work on a copy.
    int16_t* x16 = input16_.data();
    std::memcpy(x16, in, n * sizeof(int16_t));
    if (settings_.loPassCutOff != 0) loPassIir_.Filter(x16, static_cast<int>(n));
    if (settings_.hiPassCutOff != 0) hiPassIir_.Filter(x16, static_cast<int>(n));
    run_.maxLevel = Peak(x16, n);

    // W16: what the silence detection sees, the suppressed signal or the filtered input itself.
    const int16_t* w16 = x16;
    if (settings_.nsFactor != 0 && (settings_.enableNS || settings_.vadType == kVadLevelAfterNs)) {
        suppressor_->Filter(x16, work16_.data(), static_cast<int>(n * 2));
        w16 = work16_.data();
    }
    // With EnableNS the suppressed signal replaces the input for the rest of the chain: it is
    // read from W16 rather than copied back.
    const int16_t* chainInput = settings_.enableNS ? w16 : x16;

    float* wf = samples_.data();
    ToFloat(chainInput, wf, n);

    const float gainFactor = static_cast<float>(settings_.gainPercent) / 100.0f;
    run_.floorDb = kBlockFloorDb;
    const bool gateActive = settings_.autoGate || (settings_.gateThreshold != 0.0f && settings_.gateTimeMs != 0);
    bool silent = true;
    uint32_t frameCounter = 0;
    // Analyses the frame that ends at sample i, once the frame counter says so.
    auto analyse = [&](uint32_t i) {
        if (++frameCounter != frameLen) return;
        frameCounter = 0;
        const int16_t* frame = w16 + (i + 1 - frameLen);
        silent = FrameIsSilent(frame, frameLen, settings_.autoGate);
        run_.lastFrameSilent = silent;
        if (settings_.autoGain) {
            const bool agcSilent = gateActive ? silent : FrameIsSilent(frame, frameLen, true);
            int32_t peak = 0;
            for (uint32_t j = 0; j < frameLen; ++j) peak = std::max<int32_t>(peak, std::abs(int32_t{frame[j]}));
            run_.targetGain = agc_.Update(static_cast<float>(peak) / kOwnScale, settings_.agcPeak, agcSilent);
        }
    };
    // With a threshold or a ratio set, every sample goes through the compressor whatever its
    // gain, and once the curve has the block's shape only the gain changes from sample to
    // sample.  Then the serial part (frames, gain smoothing, envelope, look-ahead) runs as one
    // loop and the curve, with its two divisions per sample, over the whole block.
    const bool compressEverySample =
        compressor_.ratio != 0.0f && !(compressor_.thresholdDb == 0.0f && compressor_.ratio == 1.0f);
    if (compressEverySample &&
        curve_.ShapeIsFor(compressor_.thresholdDb, compressor_.ratio, compressor_.exRatio, run_.floorDb)) {
        float current = run_.currentGain;
        const bool autoGain = settings_.autoGain;
        float* envelopes = envelopes_.data();
        curve_.TrackBlock(
            [&](uint32_t i) {
                analyse(i);
                if (autoGain) gainSmoother_->Smooth(run_.targetGain, current);
                return current * gainFactor;
            },
            wf, envelopes, n);
        run_.currentGain = current;
        curve_.ShapeBlock(envelopes, wf, n);
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            const float x = wf[i];
            analyse(i);
            if (settings_.autoGain) gainSmoother_->Smooth(run_.targetGain, run_.currentGain);
            const float g = run_.currentGain * gainFactor;
            float y = x;
            if (compressor_.thresholdDb == 0.0f && compressor_.ratio == 1.0f && g == 1.0f) {
                y = x;
            } else if (compressor_.ratio != 0.0f) {
                curve_.Configure(compressor_.thresholdDb, compressor_.ratio, compressor_.exRatio, run_.floorDb, g);
                y = curve_.Process(x);
            } else {
                y = g * x;
                if (compressor_.thresholdDb != 0.0f) y = limiter_.ProcessSample(y);
            }
            wf[i] = y;
        }
    }
    run_.totalIn += static_cast<uint32_t>(*inBytes);
    run_.totalOut += static_cast<uint32_t>(*inBytes);

    bool fadeDone = false;
    if (gateActive && silent) {
        if (settings_.fadeoutMs != 0) {
            const uint32_t fadeLen = rate * static_cast<uint32_t>(settings_.fadeoutMs) / 1000;
            if (run_.fadeCount >= fadeLen) {
                run_.muted = true;
                for (uint32_t i = 0; i < n; ++i) ring_.Push(wf[i]);
                *inBytes = 0;
                return 0;
            }
            const float step = 1.0f / static_cast<float>(fadeLen);
            for (uint32_t i = 0; i < n; ++i) {
                wf[i] = static_cast<float>(fadeLen - run_.fadeCount) * wf[i] * step;
                if (run_.fadeCount < fadeLen) ++run_.fadeCount;
            }
            fadeDone = run_.fadeCount == fadeLen;
        }
    } else if (gateActive) {
        run_.fadeCount = 0;
    }

    if (run_.muted && ring_.Count() > 0) {
        const int32_t level = PlayFromRing(out, m);
        for (uint32_t i = 0; i < n; ++i) ring_.Push(wf[i]);
        run_.muted = false;
        return level;
    }
    *inBytes = 0;
    run_.muted = false;
    ToInt16(wf, static_cast<int16_t*>(out), n);
    return fadeDone ? kFadeDoneLevel : run_.maxLevel;
}

}  // namespace zelmar
