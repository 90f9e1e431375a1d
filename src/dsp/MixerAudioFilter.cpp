#include "dsp/MixerAudioFilter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>

#include "dsp/MixerAudioFilterSse2.h"

namespace zelmar {
namespace {

constexpr int kGainShift = 10;          // gains are in 1/1024
constexpr int kStepShift = 10;          // input positions are in 1/1024 frames
constexpr uint32_t kUnitStep = 1u << kStepShift;
constexpr int32_t kSilence8 = 128;      // unsigned 8-bit PCM is centred on 128
constexpr int32_t kMaxAngle = 100;      // 0 = far right ... 50 = centre ... 100 = far left
constexpr double kHeadRadiusM = 0.09;   // spherical head model
constexpr double kSpeedOfSoundMps = 340.0;
constexpr double kLevelDifference = 0.15;  // near ear +15 %, far ear -15 % at 90 degrees
constexpr double kPi = 3.141592653589793;

// Products are taken in 64 bits: a gain set far above 100 % saturates instead of
// overflowing; within 32 bits the results are the same.
inline int64_t Scale(int64_t a, int32_t gain) { return (a * gain) >> kGainShift; }
inline int64_t Clamp(int64_t v, int64_t low, int64_t high) { return v > high ? high : v < low ? low : v; }
inline bool FitsIn16Bits(int32_t v) { return v >= INT16_MIN && v <= INT16_MAX; }

// The two sample formats.  Load reads sample n as a value centred on zero; Add puts a
// centred value, already in the format's scale, onto sample n with saturation.
struct Unsigned8 {
    static constexpr int kBits = 8;
    static int64_t Load(const uint8_t* p, int32_t n) { return p[n] - kSilence8; }
    static void Add(uint8_t* p, int32_t n, int64_t v) { p[n] = static_cast<uint8_t>(Clamp(v + p[n], 0, 255)); }
};
struct Signed16 {
    static constexpr int kBits = 16;
    static int64_t Load(const uint8_t* p, int32_t n) {
        int16_t s;
        std::memcpy(&s, p + 2 * n, sizeof s);
        return s;
    }
    static void Add(uint8_t* p, int32_t n, int64_t v) {
        const auto s = static_cast<int16_t>(Clamp(v + Load(p, n), -32768, 32767));
        std::memcpy(p + 2 * n, &s, sizeof s);
    }
};

// A centred value from In's scale into Out's: up to 16 bits times 256, down to 8 bits the
// top byte of the value offset by 32767.
template <typename In, typename Out>
int64_t Rescale(int64_t v) {
    if constexpr (In::kBits == Out::kBits) return v;
    else if constexpr (In::kBits == 8) return v * 256;
    else return ((v + 32767) >> 8) - kSilence8;
}
// The same for the mean of two channels, except that an 8-bit mean is widened from its low
// byte: a gain above 100 % wraps it around rather than saturating it.
template <typename In, typename Out>
int64_t RescaleMean(int64_t v) {
    if constexpr (In::kBits == 8 && Out::kBits == 16) return (((v + kSilence8) & 0xFF) - kSilence8) * 256;
    else return Rescale<In, Out>(v);
}

// One output frame: a centred value in the output's scale per output channel.
using Frame = std::array<int64_t, 2>;

// Output channel c from lane c of the input: mono to mono and stereo to stereo read the
// input's own channels (interleaved, `stride` 2 for stereo), mono to stereo reads the one
// channel into both, or into the quieter one from the delay line.
template <typename In, typename Out>
struct FromLanes {
    std::array<const uint8_t*, 2> lane;
    int32_t stride;
    std::array<int32_t, 2> gain;
    Frame operator()(int32_t i) const {
        return {Rescale<In, Out>(Scale(In::Load(lane[0], i * stride), gain[0])),
                Rescale<In, Out>(Scale(In::Load(lane[1], i * stride), gain[1]))};
    }
};

// Stereo to mono: the mean of the two channels, each with its own gain.
template <typename In, typename Out>
struct FromMeanOfChannels {
    const uint8_t* in;
    std::array<int32_t, 2> gain;
    Frame operator()(int32_t i) const {
        return {RescaleMean<In, Out>((Scale(In::Load(in, 2 * i), gain[0]) + Scale(In::Load(in, 2 * i + 1), gain[1])) / 2), 0};
    }
};

// 8-bit mono halving the rate: each output sample is the mean of the two input samples it
// covers, not the first of them.
struct FromPairsOf8 {
    const uint8_t* in;
    int32_t gain;
    Frame operator()(int32_t i) const { return {Scale((Unsigned8::Load(in, i) + Unsigned8::Load(in, i + 1)) >> 1, gain), 0}; }
};

// The one mixing loop: output frame k takes `read` of input frame (k step) >> 10.  Returns
// the input frames the stepping went through.
template <typename Out, int kOutChannels, typename Read>
uint32_t MixFrames(uint8_t* out, int32_t frames, uint32_t step, const Read& read) {
    uint64_t position = 0;
    for (int32_t k = 0; k < frames; ++k, position += step) {
        const Frame v = read(static_cast<int32_t>(position >> kStepShift));
        for (int c = 0; c < kOutChannels; ++c) Out::Add(out, k * kOutChannels + c, v[c]);
    }
    return static_cast<uint32_t>(position >> kStepShift);
}

}  // namespace

const PropertyTable<CMixerAudioFilter>& CMixerAudioFilter::Properties() {
    using C = CMixerAudioFilter;
    static constexpr PropertyRow<C> kRows[] = {
        {"InWaveFormat", kInWaveFormat, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetFormat<&Settings::inFormat>, &C::GetFormat<&Settings::inFormat>},
        {"OutWaveFormat", kOutWaveFormat, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetFormat<&Settings::outFormat>, &C::GetFormat<&Settings::outFormat>},
        {"InBufferSize", kInBufferSize, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr, nullptr,
         &C::GetInBufferSize},
        // A percentage in, 1/1024 kept: 33 % is stored as 337 and reads back as 32 %.
        {"Amplitude", kAmplitude, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetAmplitude<&Settings::gain1>, &C::GetAmplitude<&Settings::gain1>},
        {"Amplitude2", kAmplitude2, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetAmplitude<&Settings::gain2>, &C::GetAmplitude<&Settings::gain2>},
        {"Mode", kMode, Settable::kAlways, Readable::kYes, Value::kInt32, {0, 1},
         [](C& c) -> void* { return &c.settings_.mode; }},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.counters_.totalIn; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.counters_.totalOut; }},
        // Write-only: it replaces both gains and the delay.  Outside 0..100 the head model
        // means nothing; it is refused rather than guessed at.
        {"Angle", kAngle, Settable::kAlways, Readable::kNo, Value::kInt32, {0, kMaxAngle},
         [](C& c) -> void* { return &c.settings_.angle; }, &C::ApplyAngle},
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

CMixerAudioFilter::CMixerAudioFilter() = default;
CMixerAudioFilter::~CMixerAudioFilter() = default;

template <FormatBlock CMixerAudioFilter::Settings::*Block>
int32_t CMixerAudioFilter::SetFormat(int32_t value, void* data) {
    if (data == nullptr || value < 0) return kErrInvalidArg;
    WAVEFORMATEX wfx;
    std::memcpy(&wfx, data, sizeof wfx);
    if (!IsValidPcmFormat(wfx)) return kErrFormat;
    // A size of 0 means the whole format block, as everywhere formats are exchanged.
    const std::size_t bytes = value == 0 ? kFormatBlockBytes : std::min<std::size_t>(value, kFormatBlockBytes);
    std::memcpy((settings_.*Block).bytes, data, bytes);
    return kOk;
}

template <FormatBlock CMixerAudioFilter::Settings::*Block>
int32_t CMixerAudioFilter::GetFormat(int32_t arg, void* out) {
    if (arg < 0) return kErrInvalidArg;
    const std::size_t bytes = arg == 0 ? kFormatBlockBytes : std::min<std::size_t>(arg, kFormatBlockBytes);
    std::memcpy(out, (settings_.*Block).bytes, bytes);
    return kOk;
}

template <int32_t CMixerAudioFilter::Settings::*Gain>
int32_t CMixerAudioFilter::SetAmplitude(int32_t value, void*) {
    settings_.*Gain = static_cast<int32_t>(static_cast<uint32_t>(value) * 1024u / 100u);
    return kOk;
}

template <int32_t CMixerAudioFilter::Settings::*Gain>
int32_t CMixerAudioFilter::GetAmplitude(int32_t, void* out) {
    // In 64 bits: a gain from a huge percentage would overflow the product in 32.
    WriteInt32(out, static_cast<int32_t>(int64_t{settings_.*Gain} * 100 / 1024));
    return kOk;
}

// The input bytes matching `arg` bytes of output; 0 until both rates are known.
int32_t CMixerAudioFilter::GetInBufferSize(int32_t arg, void* out) {
    const WAVEFORMATEX in = settings_.inFormat.Format(), outFmt = settings_.outFormat.Format();
    uint32_t bytes = 0;
    if (in.nSamplesPerSec != 0 && outFmt.nSamplesPerSec != 0 && outFmt.nAvgBytesPerSec != 0) {
        bytes = in.nAvgBytesPerSec * static_cast<uint32_t>(arg) / outFmt.nAvgBytesPerSec;
    }
    WriteUint32(out, bytes);
    return kOk;
}

int32_t CMixerAudioFilter::ApplyAngle() {
    const int32_t angle = settings_.angle;
    // 0..100 maps to -90..+90 degrees; both sides are symmetric in the head model.
    const double theta = std::fabs((static_cast<double>(angle) - 50.0) / 50.0 * kPi * 0.5);
    const double s = std::sin(theta);
    // Path difference around a spherical head: r (theta + sin theta).
    settings_.delaySamples = static_cast<int32_t>((theta + s) * kHeadRadiusM / kSpeedOfSoundMps *
                                                  settings_.inFormat.Format().nSamplesPerSec);
    const auto nearGain = static_cast<int32_t>(kUnityGain * (1.0 + kLevelDifference * s));
    const auto farGain = static_cast<int32_t>(kUnityGain * (1.0 - kLevelDifference * s));
    settings_.gain1 = angle >= 50 ? nearGain : farGain;
    settings_.gain2 = angle >= 50 ? farGain : nearGain;
    return kOk;
}

const int16_t* CMixerAudioFilter::DelayLine::AppendAndDelay(const uint8_t* in, int32_t count, int32_t delay) {
    const int32_t blockStart = writePosition;
    for (int32_t done = 0; done < count;) {
        const int32_t run = std::min(count - done, length - writePosition);
        const auto bytes = static_cast<std::size_t>(run) * sizeof(int16_t);
        std::memcpy(samples.get() + writePosition, in + 2 * done, bytes);
        std::memcpy(samples.get() + length + writePosition, in + 2 * done, bytes);
        done += run;
        writePosition += run;
        if (writePosition == length) writePosition = 0;
    }
    const int32_t start = blockStart - delay;
    return samples.get() + (start < 0 ? start + length : start);
}

int32_t CMixerAudioFilter::Build() {
    const WAVEFORMATEX in = settings_.inFormat.Format(), out = settings_.outFormat.Format();
    const Shape shape{in.nChannels != 1 ? 2 : 1, out.nChannels != 1 ? 2 : 1, in.wBitsPerSample == 8 ? 8 : 16,
                      out.wBitsPerSample == 8 ? 8 : 16};
    if (shape.inChannels == 1 && shape.outChannels == 2) {
        // A fresh, silent line of 80 ms of input.
        const uint32_t length = in.nSamplesPerSec * kDelayLineMs / 1000u;
        DelayLine line;
        if (length > 0) {
            line.samples.reset(new (std::nothrow) int16_t[2 * std::size_t{length}]());
            if (!line.samples) return kErrInvalidArg;
            line.length = static_cast<int32_t>(length);
        }
        delayLine_ = std::move(line);
    }
    shape_ = shape;
    return kOk;
}

int32_t CMixerAudioFilter::Start() { return kOk; }

int32_t CMixerAudioFilter::Stop() { return kOk; }

template <typename In, typename Out>
uint32_t CMixerAudioFilter::Mix(const uint8_t* in, int32_t inFrames, uint8_t* out, int32_t outFrames, uint32_t step) {
    const std::array<int32_t, 2> gain{settings_.gain1, settings_.gain2};
    if (shape_.inChannels == 2 && shape_.outChannels == 1) {
        return MixFrames<Out, 1>(out, outFrames, step, FromMeanOfChannels<In, Out>{in, gain});
    }
    if constexpr (In::kBits == 8 && Out::kBits == 8) {
        if (shape_.inChannels == 1 && shape_.outChannels == 1 && step == 2 * kUnitStep) {
            return MixFrames<Out, 1>(out, outFrames, step, FromPairsOf8{in, gain[0]});
        }
    }
    FromLanes<In, Out> lanes{{in, in}, 1, gain};
    if (shape_.inChannels == 2) {
        lanes.lane[1] = in + In::kBits / 8;
        lanes.stride = 2;
    }
    if (shape_.outChannels == 1) return MixFrames<Out, 1>(out, outFrames, step, lanes);
    if constexpr (In::kBits == 16 && Out::kBits == 16) {
        if (shape_.inChannels == 1) {
            // The louder ear hears the source now, the quieter one `delay` samples later.
            const int16_t* later = delayLine_.AppendAndDelay(in, inFrames, settings_.delaySamples);
            if (gain[0] != gain[1]) lanes.lane[gain[0] < gain[1] ? 0 : 1] = reinterpret_cast<const uint8_t*>(later);
            // At equal rates with gains within 16 bits, whole groups of eight frames go through
            // the SSE2 kernel and the rest through the one loop.
            if (step == kUnitStep && FitsIn16Bits(gain[0]) && FitsIn16Bits(gain[1])) {
                const int32_t done = mixer::MixLanesIntoStereo16(lanes.lane[0], lanes.lane[1], out, outFrames,
                                                                 static_cast<int16_t>(gain[0]), static_cast<int16_t>(gain[1]));
                for (const uint8_t*& lane : lanes.lane) lane += 2 * done;
                return static_cast<uint32_t>(done) + MixFrames<Out, 2>(out + 4 * done, outFrames - done, step, lanes);
            }
        }
    }
    return MixFrames<Out, 2>(out, outFrames, step, lanes);
}

int32_t CMixerAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (out == nullptr || outBytes == nullptr) return kErrInvalidArg;
    const WAVEFORMATEX inFmt = settings_.inFormat.Format(), outFmt = settings_.outFormat.Format();
    if (inFmt.wBitsPerSample == 0 || outFmt.wBitsPerSample == 0) return kErrState;  // formats not set
    if (*outBytes < 0) return kErrInvalidArg;
    auto* target = static_cast<uint8_t*>(out);
    if (in == nullptr) {
        // Clear the bus to silence.
        std::memset(target, outFmt.wBitsPerSample == 8 ? kSilence8 : 0, static_cast<std::size_t>(*outBytes));
        return kOk;
    }
    if (inBytes == nullptr || *inBytes < 0) return kErrInvalidArg;
    const Shape& shape = shape_;
    if (shape.inChannels == 0) return kOk;  // not built yet: nothing to mix
    // Formats changed since Build would make the mixing disagree with the buffers, so a
    // rebuild is required.
    if (inFmt.nChannels != shape.inChannels || outFmt.nChannels != shape.outChannels ||
        inFmt.wBitsPerSample != shape.inBits || outFmt.wBitsPerSample != shape.outBits) {
        return kErrState;
    }
    if (outFmt.nSamplesPerSec == 0) return kErrInvalidArg;

    const int32_t inFrameBytes = shape.inChannels * shape.inBits / 8;
    const int32_t outFrameBytes = shape.outChannels * shape.outBits / 8;
    const int32_t inFrames = *inBytes / inFrameBytes;
    const int32_t outFrames = *outBytes / outFrameBytes;
    const uint32_t step = inFmt.nSamplesPerSec * kUnitStep / outFmt.nSamplesPerSec;
    const bool pairs = shape.inChannels == 1 && shape.outChannels == 1 && shape.inBits == 8 && shape.outBits == 8 &&
                       step == 2 * kUnitStep;
    // The input must hold every frame the stepping reaches (and the second of each pair);
    // a shorter input is refused rather than read past.
    const int64_t framesNeeded = outFrames == 0 ? 0
                                 : pairs       ? int64_t{2} * outFrames
                                               : static_cast<int64_t>((uint64_t(outFrames - 1) * step) >> kStepShift) + 1;
    if (framesNeeded > inFrames) return kErrInvalidArg;
    // The quieter ear reads up to `delay` samples before the block, which the block itself
    // must not have overwritten in the line.
    const bool delayed = shape.inChannels == 1 && shape.outChannels == 2 && shape.inBits == 16 && shape.outBits == 16;
    if (delayed && int64_t{inFrames} + settings_.delaySamples > delayLine_.length) return kErrInvalidArg;

    const auto* source = static_cast<const uint8_t*>(in);
    uint32_t consumed;
    if (shape.inBits == 8) {
        consumed = shape.outBits == 8 ? Mix<Unsigned8, Unsigned8>(source, inFrames, target, outFrames, step)
                                      : Mix<Unsigned8, Signed16>(source, inFrames, target, outFrames, step);
    } else {
        consumed = shape.outBits == 8 ? Mix<Signed16, Unsigned8>(source, inFrames, target, outFrames, step)
                                      : Mix<Signed16, Signed16>(source, inFrames, target, outFrames, step);
    }
    counters_.totalIn += consumed * static_cast<uint32_t>(inFrameBytes);
    counters_.totalOut += static_cast<uint32_t>(outFrames) * static_cast<uint32_t>(outFrameBytes);
    return kOk;
}

}  // namespace zelmar
