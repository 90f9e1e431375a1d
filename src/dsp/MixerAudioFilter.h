// "MixerAudioFilter": adds one PCM stream into another.  Process mixes the input, sample by
// sample with saturation, into what the output buffer already holds, converting the channel
// layout (mono or stereo either side), the sample width (8 or 16 bits either side) and the
// rate (nearest-sample stepping in 1/1024 steps) and applying a gain per output channel in
// 1/1024 fixed point.  A host builds a mix bus by clearing a buffer (Process with no input)
// and then mixing each source into it.
//
// For a mono source on a stereo bus, "Angle" places the source: the near ear gets up to
// +15 % level, the far ear -15 %, and for 16-bit audio the far ear also hears the source
// later by the head's path difference (a spherical head of 9 cm radius, sound at 340 m/s),
// read from an 80 ms delay line.
#pragma once

#include <cstdint>
#include <memory>

#include "framework/AudioComponent.h"
#include "framework/Format.h"

namespace zelmar {

class CMixerAudioFilter : public CAudioComponent<> {
public:
    CMixerAudioFilter();
    ~CMixerAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;

    virtual int32_t FindProperty(const char* name);

    enum Property : int32_t {
        kInWaveFormat = 0,
        kOutWaveFormat = 1,
        kInBufferSize = 2,
        kAmplitude = 3,
        kAmplitude2 = 4,
        kAngle = 5,
        kMode = 6,
        kTotalIn = 7,
        kTotalOut = 8,
        kUnknown = 9,
    };

    enum ChannelMode : int32_t { kNoChannelMode = 0, kMonoToMono = 1, kStereoToStereo = 2, kMonoToStereo = 3, kStereoToMono = 4 };
    enum WidthMode : int32_t { kNoWidthMode = 0, k8To8 = 5, k16To16 = 6, k8To16 = 7, k16To8 = 8 };

    static constexpr int32_t kUnityGain = 1024;  // gains are in 1/1024
    static constexpr int32_t kDelayLineMs = 80;

private:
    // A ring of 16-bit samples holding the latest input blocks, for the far ear's delay.
    struct DelayLine {
        std::unique_ptr<int16_t[]> samples;
        int32_t length = 0;      // samples
        int32_t blockStart = 0;  // write position before the latest block
        int32_t writePosition = 0;
        int32_t delay = 0;  // samples, set by "Angle"

        void Append(const uint8_t* in, int32_t count);
        // Input sample `i` of the latest block, `delay` samples earlier.
        int16_t Delayed(int32_t i) const;
    };

    template <typename Mix>
    int32_t MixFrames(const uint8_t* in, uint8_t* out, int32_t frames, uint32_t step, Mix mix);
    // Mono to stereo, 16 bits: the quieter ear hears the source from the delay line.
    int32_t MixMonoToStereo16(const uint8_t* source, int32_t inFrames, uint8_t* target, int32_t outFrames, uint32_t step);
    int32_t SetFormat(FormatBlock& block, int32_t value, const void* data);
    int32_t GetFormat(const FormatBlock& block, int32_t arg, void* out) const;
    void SetAngle(uint32_t angle);

    FormatBlock inFormat_;
    FormatBlock outFormat_;
    int32_t channelMode_ = kNoChannelMode;
    int32_t widthMode_ = kNoWidthMode;
    int32_t gain1_ = kUnityGain;  // first (left) output channel, and a mono output's only one
    int32_t gain2_ = kUnityGain;  // second (right) output channel
    int32_t modeFlag_ = 0;        // "Mode": kept and reported only
    uint32_t totalIn_ = 0;
    uint32_t totalOut_ = 0;
    DelayLine delayLine_;
};

}  // namespace zelmar
