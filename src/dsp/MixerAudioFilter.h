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
#include "framework/Properties.h"

namespace zelmar {

class CMixerAudioFilter : public CTableComponent<CMixerAudioFilter> {
public:
    enum Property : int32_t {
        kInWaveFormat = 0, kOutWaveFormat, kInBufferSize, kAmplitude, kAmplitude2, kAngle, kMode,
        kTotalIn, kTotalOut, kUnknown,
    };

    static constexpr int32_t kUnityGain = 1024;  // gains are in 1/1024
    static constexpr int32_t kDelayLineMs = 80;

    CMixerAudioFilter();
    ~CMixerAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;


    static const PropertyTable<CMixerAudioFilter>& Properties();

private:
    struct Settings {
        FormatBlock inFormat;
        FormatBlock outFormat;
        int32_t gain1 = kUnityGain;  // first (left) output channel, and a mono output's only one
        int32_t gain2 = kUnityGain;  // second (right) output channel
        int32_t angle = 50;          // the last placement asked for; gains and delay follow it
        int32_t delaySamples = 0;    // how much later the quieter ear hears a mono source
        int32_t mode = 0;            // "Mode": kept and reported only
    };
    // The layout Build derived from the formats; Process mixes by it.  0 channels: not built.
    struct Shape {
        int32_t inChannels = 0, outChannels = 0;
        int32_t inBits = 0, outBits = 0;
    };
    // A ring of the latest 16-bit input samples, for the quieter ear.  Every sample is kept
    // twice, at p and p + length, so any run of up to `length` samples reads without wrapping.
    struct DelayLine {
        std::unique_ptr<int16_t[]> samples;  // 2 x length
        int32_t length = 0;                  // samples
        int32_t writePosition = 0;

        // Appends `count` samples (at most `length`) and returns the block as heard `delay`
        // samples later: its first sample is the one `delay` before the block.
        const int16_t* AppendAndDelay(const uint8_t* in, int32_t count, int32_t delay);
    };
    struct Counters {
        uint32_t totalIn = 0, totalOut = 0;  // bytes; never reset
    };

    template <FormatBlock Settings::*Block>
    int32_t SetFormat(int32_t value, void* data);
    template <FormatBlock Settings::*Block>
    int32_t GetFormat(int32_t arg, void* out);
    template <int32_t Settings::*Gain>
    int32_t SetAmplitude(int32_t value, void* data);
    template <int32_t Settings::*Gain>
    int32_t GetAmplitude(int32_t arg, void* out);
    int32_t GetInBufferSize(int32_t arg, void* out);
    int32_t ApplyAngle();

    // Mixes with the input and output sample formats as types; returns the input frames used.
    template <typename In, typename Out>
    uint32_t Mix(const uint8_t* in, int32_t inFrames, uint8_t* out, int32_t outFrames, uint32_t step);

    Settings settings_;
    Shape shape_;
    DelayLine delayLine_;
    Counters counters_;
};

}  // namespace zelmar
