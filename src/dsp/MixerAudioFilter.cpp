#include "dsp/MixerAudioFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "framework/Properties.h"

namespace zelmar {
namespace {

constexpr NamedIndex kProperties[] = {
    {"InWaveFormat", CMixerAudioFilter::kInWaveFormat},
    {"OutWaveFormat", CMixerAudioFilter::kOutWaveFormat},
    {"InBufferSize", CMixerAudioFilter::kInBufferSize},
    {"Amplitude", CMixerAudioFilter::kAmplitude},
    {"Amplitude2", CMixerAudioFilter::kAmplitude2},
    {"Mode", CMixerAudioFilter::kMode},
    {"TotalIn", CMixerAudioFilter::kTotalIn},
    {"TotalOut", CMixerAudioFilter::kTotalOut},
    {"Angle", CMixerAudioFilter::kAngle},
};

constexpr int kGainShift = 10;          // gains are 1/1024
constexpr int16_t kUnityGainValue = 1024;
constexpr int32_t kSilence8 = 128;      // unsigned 8-bit PCM is centred on 128
constexpr uint32_t kMaxAngle = 100;     // 0 = far right ... 50 = centre ... 100 = far left
constexpr double kHeadRadiusM = 0.09;   // spherical head model
constexpr double kSpeedOfSoundMps = 340.0;
constexpr double kLevelDifference = 0.15;  // near ear +15 %, far ear -15 % at 90 degrees
constexpr double kPi = 3.141592653589793;

// Products are taken in 64 bits: a gain set far above 100 % saturates instead of
// overflowing; within 32 bits the results are the same.
inline int64_t Scale(int32_t a, int32_t gain) { return (int64_t{a} * gain) >> kGainShift; }
inline int32_t Clamp16(int64_t v) { return static_cast<int32_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v); }
inline int32_t Clamp8(int64_t v) { return static_cast<int32_t>(v > 255 ? 255 : v < 0 ? 0 : v); }

// The per-sample mixing operations (o is the sample already in the output).
inline int32_t Gain16(int32_t a, int32_t o, int32_t g) { return Clamp16(Scale(a, g) + o); }
inline int32_t Gain8(int32_t a, int32_t o, int32_t g) { return Clamp8(Scale(a - kSilence8, g) + o); }
inline int32_t Average8(int32_t a, int32_t b, int32_t o, int32_t g) { return Clamp8(Scale(((a + b) >> 1) - kSilence8, g) + o); }
inline int32_t Gain8To16(int32_t a, int32_t o, int32_t g) { return Clamp16(Scale(a - kSilence8, g) * 256 + o); }
inline int32_t Gain16To8(int32_t a, int32_t o, int32_t g) { return Clamp8(((Scale(a, g) + 32767) >> 8) + o - kSilence8); }
// Already scaled values: an 8-bit one (taken modulo 256) onto a 16-bit bus, and back.
inline int32_t To16(int64_t a, int32_t o) { return Clamp16(((a & 0xFF) - kSilence8) * 256 + o); }
inline int32_t To8(int64_t a, int32_t o) { return Clamp8(((a + 32767) >> 8) + o - kSilence8); }

inline int32_t Load8(const uint8_t* p, int32_t index) { return p[index]; }
inline int32_t Load16(const uint8_t* p, int32_t index) {
    int16_t s;
    std::memcpy(&s, p + 2 * index, sizeof s);
    return s;
}
inline void Store8(uint8_t* p, int32_t index, int32_t v) { p[index] = static_cast<uint8_t>(v); }
inline void Store16(uint8_t* p, int32_t index, int32_t v) {
    const int16_t s = static_cast<int16_t>(v);
    std::memcpy(p + 2 * index, &s, sizeof s);
}

}  // namespace

void CMixerAudioFilter::DelayLine::Append(const uint8_t* in, int32_t count) {
    blockStart = writePosition;
    for (int32_t done = 0; done < count;) {
        const int32_t run = std::min(count - done, length - writePosition);
        std::memcpy(samples.get() + writePosition, in + 2 * done, static_cast<std::size_t>(run) * 2);
        done += run;
        writePosition += run;
        if (writePosition == length) writePosition = 0;
    }
}

int16_t CMixerAudioFilter::DelayLine::Delayed(int32_t i) const {
    int64_t position = (int64_t{blockStart} - delay + i) % length;
    if (position < 0) position += length;
    return samples[position];
}

CMixerAudioFilter::CMixerAudioFilter() = default;

CMixerAudioFilter::~CMixerAudioFilter() = default;

int32_t CMixerAudioFilter::FindProperty(const char* name) { return FindPropertyIndex(kProperties, name, kUnknown); }

int32_t CMixerAudioFilter::SetFormat(FormatBlock& block, int32_t value, const void* data) {
    if (data == nullptr || value < 0) return kErrInvalidArg;
    WAVEFORMATEX wfx;
    std::memcpy(&wfx, data, sizeof wfx);
    if (!IsValidPcmFormat(wfx)) return kErrFormat;
    // A size of 0 means the whole format block, as everywhere formats are exchanged.
    const std::size_t bytes = value == 0 ? kFormatBlockBytes : std::min<std::size_t>(value, kFormatBlockBytes);
    std::memcpy(block.bytes, data, bytes);
    return kOk;
}

int32_t CMixerAudioFilter::GetFormat(const FormatBlock& block, int32_t arg, void* out) const {
    if (arg < 0) return kErrInvalidArg;
    const std::size_t bytes = arg == 0 ? kFormatBlockBytes : std::min<std::size_t>(arg, kFormatBlockBytes);
    std::memcpy(out, block.bytes, bytes);
    return kOk;
}

void CMixerAudioFilter::SetAngle(uint32_t angle) {
    // 0..100 maps to -90..+90 degrees; both sides are symmetric in the head model.
    double theta = (static_cast<double>(angle) - 50.0) / 50.0 * kPi * 0.5;
    theta = std::fabs(theta);
    const double s = std::sin(theta);
    // Path difference around a spherical head: r (theta + sin theta).
    delayLine_.delay = static_cast<int32_t>((theta + s) * kHeadRadiusM / kSpeedOfSoundMps * inFormat_.Format().nSamplesPerSec);
    const int32_t nearGain = static_cast<int32_t>(kUnityGain * (1.0 + kLevelDifference * s));
    const int32_t farGain = static_cast<int32_t>(kUnityGain * (1.0 - kLevelDifference * s));
    gain1_ = angle >= 50 ? nearGain : farGain;
    gain2_ = angle >= 50 ? farGain : nearGain;
}

int32_t CMixerAudioFilter::SetProperty(const char* name, int32_t value, void* data) {
    if (name == nullptr) return kErrInvalidArg;
    switch (FindProperty(name)) {
        case kInWaveFormat: return SetFormat(inFormat_, value, data);
        case kOutWaveFormat: return SetFormat(outFormat_, value, data);
        case kAmplitude: gain1_ = static_cast<int32_t>(static_cast<uint32_t>(value) * 1024u / 100u); break;
        case kAmplitude2: gain2_ = static_cast<int32_t>(static_cast<uint32_t>(value) * 1024u / 100u); break;
        case kAngle:
            // Outside 0..100 the head model means nothing; refuse rather than guess.
            if (static_cast<uint32_t>(value) > kMaxAngle) return kErrInvalidArg;
            SetAngle(static_cast<uint32_t>(value));
            break;
        case kMode:
            if (static_cast<uint32_t>(value) > 1u) return kErrInvalidArg;
            modeFlag_ = value;
            break;
        default: return kErrState;  // InBufferSize and the counters are read-only; unknown names
    }
    // The value is kept either way; hosts have always had to pass a non-null `data`.
    return data != nullptr ? kOk : kErrInvalidArg;
}

int32_t CMixerAudioFilter::GetProperty(const char* name, int32_t arg, void* out) {
    if (out == nullptr) return kErrInvalidArg;
    if (name == nullptr) return kErrState;
    switch (FindProperty(name)) {
        case kInWaveFormat: return GetFormat(inFormat_, arg, out);
        case kOutWaveFormat: return GetFormat(outFormat_, arg, out);
        case kInBufferSize: {
            const WAVEFORMATEX in = inFormat_.Format(), outFmt = outFormat_.Format();
            uint32_t bytes = 0;
            if (in.nSamplesPerSec != 0 && outFmt.nSamplesPerSec != 0 && outFmt.nAvgBytesPerSec != 0) {
                bytes = in.nAvgBytesPerSec * static_cast<uint32_t>(arg) / outFmt.nAvgBytesPerSec;
            }
            WriteUint32(out, bytes);
            return kOk;
        }
        case kAmplitude: WriteInt32(out, gain1_ * 100 / 1024); return kOk;
        case kAmplitude2: WriteInt32(out, gain2_ * 100 / 1024); return kOk;
        case kMode: WriteInt32(out, modeFlag_); return kOk;
        case kTotalIn: WriteUint32(out, totalIn_); return kOk;
        case kTotalOut: WriteUint32(out, totalOut_); return kOk;
        default: return kErrState;  // "Angle" is write-only; unknown names
    }
}

int32_t CMixerAudioFilter::Build() {
    const WAVEFORMATEX in = inFormat_.Format(), out = outFormat_.Format();
    channelMode_ = in.nChannels != 1 ? (out.nChannels == 1 ? kStereoToMono : kStereoToStereo)
                                     : (out.nChannels != 1 ? kMonoToStereo : kMonoToMono);
    widthMode_ = in.wBitsPerSample == 8 ? (out.wBitsPerSample == 8 ? k8To8 : k8To16)
                                        : (out.wBitsPerSample == 8 ? k16To8 : k16To16);
    if (channelMode_ == kMonoToStereo) {
        const uint32_t length = in.nSamplesPerSec * kDelayLineMs / 1000u;
        delayLine_.samples.reset();
        delayLine_.length = 0;
        if (length > 0) {
            delayLine_.samples.reset(new (std::nothrow) int16_t[length]());
            if (!delayLine_.samples) return kErrInvalidArg;
            delayLine_.length = static_cast<int32_t>(length);
        }
        delayLine_.writePosition = delayLine_.blockStart = 0;
    }
    return kOk;
}

int32_t CMixerAudioFilter::Start() { return kOk; }

int32_t CMixerAudioFilter::Stop() { return kOk; }

// Runs `mix(inputFrame, outputFrame)` for every output frame, stepping through the input
// in 1/1024 frames.
template <typename Mix>
int32_t CMixerAudioFilter::MixFrames(const uint8_t*, uint8_t*, int32_t frames, uint32_t step, Mix mix) {
    uint64_t position = 0;
    for (int32_t k = 0; k < frames; ++k, position += step) mix(static_cast<int32_t>(position >> kGainShift), k);
    return static_cast<int32_t>(position >> kGainShift);
}

namespace {

// bus[2k] = clamp16(bus[2k] + (first[k] * g1) >> 10) and bus[2k+1] likewise from second[k]
// with g2, over `count` frames of an interleaved 16-bit stereo bus.  Gains within 16 bits
// keep every product within 32 bits.
void MixStereoRun16Scalar(const int16_t* first, const int16_t* second, int16_t* bus, int32_t count, int32_t g1, int32_t g2) {
    for (int32_t k = 0; k < count; ++k) {
        const int32_t o1 = bus[2 * k] + ((first[k] * g1) >> kGainShift);
        const int32_t o2 = bus[2 * k + 1] + ((second[k] * g2) >> kGainShift);
        bus[2 * k] = static_cast<int16_t>(o1 > 32767 ? 32767 : o1 < -32768 ? -32768 : o1);
        bus[2 * k + 1] = static_cast<int16_t>(o2 > 32767 ? 32767 : o2 < -32768 ? -32768 : o2);
    }
}

#if defined(__SSE2__)
// Eight frames at a time with the same arithmetic.  Since 1024 o is a multiple of 1024,
// ((a g) >> 10) + o = (a g + 1024 o) >> 10 exactly, and one multiply-add of the pair (a, o)
// with (g, 1024) gives that sum in 32 bits (|a g| < 2^30 for gains within 16 bits).  The
// saturating pack back to 16 bits is clamp16.
void MixStereoRun16(const int16_t* first, const int16_t* second, int16_t* bus, int32_t count, int32_t g1, int32_t g2) {
    // Per output sample, in bus order (first channel, second channel): (gain, 1024).
    const __m128i gains = _mm_setr_epi16(static_cast<int16_t>(g1), kUnityGainValue, static_cast<int16_t>(g2), kUnityGainValue,
                                         static_cast<int16_t>(g1), kUnityGainValue, static_cast<int16_t>(g2), kUnityGainValue);
    int32_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + k));
        const __m128i inLow = _mm_unpacklo_epi16(a, b);   // frames 0-3: first, second, ...
        const __m128i inHigh = _mm_unpackhi_epi16(a, b);  // frames 4-7
        __m128i* out = reinterpret_cast<__m128i*>(bus + 2 * k);
        const __m128i bus0 = _mm_loadu_si128(out), bus1 = _mm_loadu_si128(out + 1);
        const __m128i s0 = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(inLow, bus0), gains), kGainShift);
        const __m128i s1 = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(inLow, bus0), gains), kGainShift);
        const __m128i s2 = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(inHigh, bus1), gains), kGainShift);
        const __m128i s3 = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(inHigh, bus1), gains), kGainShift);
        _mm_storeu_si128(out, _mm_packs_epi32(s0, s1));
        _mm_storeu_si128(out + 1, _mm_packs_epi32(s2, s3));
    }
    MixStereoRun16Scalar(first + k, second + k, bus + 2 * k, count - k, g1, g2);
}
#else
void MixStereoRun16(const int16_t* first, const int16_t* second, int16_t* bus, int32_t count, int32_t g1, int32_t g2) {
    MixStereoRun16Scalar(first, second, bus, count, g1, g2);
}
#endif

}  // namespace

int32_t CMixerAudioFilter::MixMonoToStereo16(const uint8_t* source, int32_t inFrames, uint8_t* target, int32_t outFrames,
                                             uint32_t step) {
    delayLine_.Append(source, inFrames);
    const int32_t g1 = gain1_, g2 = gain2_;
    // The louder side hears the source now, the quieter one `delay` samples later.
    const bool firstDelayed = g1 < g2, secondDelayed = g1 > g2;
    const bool aligned = reinterpret_cast<uintptr_t>(source) % alignof(int16_t) == 0 &&
                         reinterpret_cast<uintptr_t>(target) % alignof(int16_t) == 0;
    const bool narrowGains = g1 >= -32768 && g1 <= 32767 && g2 >= -32768 && g2 <= 32767;
    if (step == 1024u && aligned && narrowGains) {
        const auto* now = reinterpret_cast<const int16_t*>(source);
        auto* bus = reinterpret_cast<int16_t*>(target);
        const int16_t* line = delayLine_.samples.get();
        // The delayed samples start `delay` before the block in the line (Process has checked
        // that the block and the delay fit in it) and wrap at most once.
        int32_t position = delayLine_.blockStart - delayLine_.delay;
        if (position < 0) position += delayLine_.length;
        for (int32_t k = 0; k < outFrames;) {
            const int16_t* later = now + k;
            int32_t run = outFrames - k;
            if (firstDelayed || secondDelayed) {
                later = line + position;
                run = std::min(run, delayLine_.length - position);
                position = 0;  // the next run starts where the line wraps
            }
            MixStereoRun16(firstDelayed ? later : now + k, secondDelayed ? later : now + k, bus + 2 * k, run, g1, g2);
            k += run;
        }
        return outFrames;
    }
    return MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
        const int32_t now = Load16(source, i);
        const int32_t later = firstDelayed || secondDelayed ? delayLine_.Delayed(i) : now;
        Store16(target, 2 * k, Gain16(firstDelayed ? later : now, Load16(target, 2 * k), g1));
        Store16(target, 2 * k + 1, Gain16(secondDelayed ? later : now, Load16(target, 2 * k + 1), g2));
    });
}

int32_t CMixerAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (out == nullptr || outBytes == nullptr) return kErrInvalidArg;
    const WAVEFORMATEX inFmt = inFormat_.Format(), outFmt = outFormat_.Format();
    if (inFmt.wBitsPerSample == 0 || outFmt.wBitsPerSample == 0) return kErrState;  // formats not set
    if (*outBytes < 0) return kErrInvalidArg;
    auto* target = static_cast<uint8_t*>(out);
    if (in == nullptr) {
        // Clear the bus to silence.
        std::memset(target, outFmt.wBitsPerSample == 8 ? kSilence8 : 0, static_cast<std::size_t>(*outBytes));
        return kOk;
    }
    if (inBytes == nullptr || *inBytes < 0) return kErrInvalidArg;
    // Not built yet: no modes, nothing to mix.
    if (channelMode_ == kNoChannelMode) return kOk;
    // The loops below read and write by the modes; formats changed since Build would make
    // them disagree with the buffers, so a rebuild is required.
    const int inChannels = channelMode_ == kStereoToStereo || channelMode_ == kStereoToMono ? 2 : 1;
    const int outChannels = channelMode_ == kStereoToStereo || channelMode_ == kMonoToStereo ? 2 : 1;
    const int inBits = widthMode_ == k8To8 || widthMode_ == k8To16 ? 8 : 16;
    const int outBits = widthMode_ == k8To8 || widthMode_ == k16To8 ? 8 : 16;
    if (inFmt.nChannels != inChannels || outFmt.nChannels != outChannels || inFmt.wBitsPerSample != inBits ||
        outFmt.wBitsPerSample != outBits) {
        return kErrState;
    }
    if (outFmt.nSamplesPerSec == 0) return kErrInvalidArg;

    const int32_t inFrameBytes = inChannels * inBits / 8;
    const int32_t outFrameBytes = outChannels * outBits / 8;
    const int32_t inFrames = *inBytes / inFrameBytes;
    const int32_t outFrames = *outBytes / outFrameBytes;
    const uint32_t step = inFmt.nSamplesPerSec * 1024u / outFmt.nSamplesPerSec;
    const bool averaging = channelMode_ == kMonoToMono && widthMode_ == k8To8 && step == 2048;

    // The input must hold every frame the stepping reaches; a shorter input is refused
    // rather than read past.
    const int64_t framesNeeded = averaging ? int64_t{2} * outFrames
                                 : outFrames > 0 ? static_cast<int64_t>((uint64_t(outFrames - 1) * step) >> kGainShift) + 1
                                                 : 0;
    if (framesNeeded > inFrames) return kErrInvalidArg;
    const bool delayed = channelMode_ == kMonoToStereo && widthMode_ == k16To16;
    // The far ear reads up to `delay` samples before the block, which the block itself
    // must not have overwritten in the line.
    if (delayed && int64_t{inFrames} + delayLine_.delay > delayLine_.length) return kErrInvalidArg;

    const auto* source = static_cast<const uint8_t*>(in);
    const int32_t g1 = gain1_, g2 = gain2_;
    int32_t consumed = 0;
    switch (channelMode_ * 10 + widthMode_) {
        case kMonoToMono * 10 + k8To8:
            if (averaging) {
                for (int32_t k = 0; k < outFrames; ++k) {
                    Store8(target, k, Average8(Load8(source, 2 * k), Load8(source, 2 * k + 1), Load8(target, k), g1));
                }
                consumed = 2 * outFrames;
            } else {
                consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                    Store8(target, k, Gain8(Load8(source, i), Load8(target, k), g1));
                });
            }
            break;
        case kMonoToMono * 10 + k16To16:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                Store16(target, k, Gain16(Load16(source, i), Load16(target, k), g1));
            });
            break;
        case kMonoToMono * 10 + k8To16:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                Store16(target, k, Gain8To16(Load8(source, i), Load16(target, k), g1));
            });
            break;
        case kMonoToMono * 10 + k16To8:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                Store8(target, k, Gain16To8(Load16(source, i), Load8(target, k), g1));
            });
            break;
        case kStereoToStereo * 10 + k8To8:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                Store8(target, 2 * k, Gain8(Load8(source, 2 * i), Load8(target, 2 * k), g1));
                Store8(target, 2 * k + 1, Gain8(Load8(source, 2 * i + 1), Load8(target, 2 * k + 1), g2));
            });
            break;
        case kStereoToStereo * 10 + k16To16:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                Store16(target, 2 * k, Gain16(Load16(source, 2 * i), Load16(target, 2 * k), g1));
                Store16(target, 2 * k + 1, Gain16(Load16(source, 2 * i + 1), Load16(target, 2 * k + 1), g2));
            });
            break;
        case kStereoToStereo * 10 + k8To16:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                Store16(target, 2 * k, Gain8To16(Load8(source, 2 * i), Load16(target, 2 * k), g1));
                Store16(target, 2 * k + 1, Gain8To16(Load8(source, 2 * i + 1), Load16(target, 2 * k + 1), g2));
            });
            break;
        case kStereoToStereo * 10 + k16To8:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                Store8(target, 2 * k, Gain16To8(Load16(source, 2 * i), Load8(target, 2 * k), g1));
                Store8(target, 2 * k + 1, Gain16To8(Load16(source, 2 * i + 1), Load8(target, 2 * k + 1), g2));
            });
            break;
        case kMonoToStereo * 10 + k8To8:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                const int32_t a = Load8(source, i);
                Store8(target, 2 * k, Gain8(a, Load8(target, 2 * k), g1));
                Store8(target, 2 * k + 1, Gain8(a, Load8(target, 2 * k + 1), g2));
            });
            break;
        case kMonoToStereo * 10 + k16To16:
            consumed = MixMonoToStereo16(source, inFrames, target, outFrames, step);
            break;
        case kMonoToStereo * 10 + k8To16:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                const int32_t a = Load8(source, i);
                Store16(target, 2 * k, Gain8To16(a, Load16(target, 2 * k), g1));
                Store16(target, 2 * k + 1, Gain8To16(a, Load16(target, 2 * k + 1), g2));
            });
            break;
        case kMonoToStereo * 10 + k16To8:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                const int32_t a = Load16(source, i);
                Store8(target, 2 * k, Gain16To8(a, Load8(target, 2 * k), g1));
                Store8(target, 2 * k + 1, Gain16To8(a, Load8(target, 2 * k + 1), g2));
            });
            break;
        case kStereoToMono * 10 + k8To8:
        case kStereoToMono * 10 + k8To16:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                const int64_t v = (Scale(Load8(source, 2 * i) - kSilence8, g1) + Scale(Load8(source, 2 * i + 1) - kSilence8, g2)) / 2;
                if (widthMode_ == k8To8) Store8(target, k, Clamp8(v + Load8(target, k)));
                else Store16(target, k, To16(v + kSilence8, Load16(target, k)));
            });
            break;
        case kStereoToMono * 10 + k16To16:
        case kStereoToMono * 10 + k16To8:
            consumed = MixFrames(source, target, outFrames, step, [&](int32_t i, int32_t k) {
                const int64_t v = (Scale(Load16(source, 2 * i), g1) + Scale(Load16(source, 2 * i + 1), g2)) / 2;
                if (widthMode_ == k16To16) Store16(target, k, Clamp16(v + Load16(target, k)));
                else Store8(target, k, To8(v, Load8(target, k)));
            });
            break;
        default: return kErrState;
    }
    totalIn_ += static_cast<uint32_t>(consumed) * static_cast<uint32_t>(inFrameBytes);
    totalOut_ += static_cast<uint32_t>(outFrames) * static_cast<uint32_t>(outFrameBytes);
    return kOk;
}

}  // namespace zelmar
