// "NoiseGateAudioFilter": passes 16-bit mono PCM, optionally high-pass filtered, and
// silences it while the signal stays quiet.  Each 10 ms frame is judged quiet or not; a
// block in which no complete frame is loud is faded out over "FadeoutTime" and then zeroed.
// The threshold is fixed (linear, or in hundredths of a dB of attenuation) or tracked
// automatically from the frame levels.  In read-only mode the gate only measures.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/blocks/BiquadFilter.h"
#include "framework/AudioComponent.h"
#include "framework/Properties.h"

namespace zelmar {

class CNoiseGateAudioFilter : public CTableComponent<CNoiseGateAudioFilter> {
public:
    // Automatic threshold: follows the frame levels on a scale where 0 is -100 dB and 32767
    // is 0 dB re full scale.  It opens after `openFrames` loud frames and closes after
    // `closeFrames` quiet ones; every `windowFrames` frames it moves the threshold toward
    // the quietest loud level, above the loudest quiet one, or nudges it up.
    class CGateTracker {
    public:
        static constexpr int32_t kFullScaleLevel = 32767;

        // Frame level of a mean magnitude v (linear, full scale 1.0); 0 for -100 dB and below,
        // at most kLevelCeiling.
        static int32_t LevelOf(float v);
        // Above the level of the largest float (about 285 000, 770 dB over full scale): what an
        // infinite mean (an unstable high-pass) counts as.  Two levels add without overflow.
        static constexpr int32_t kLevelCeiling = 1 << 20;
        // The linear threshold of a level.
        static float LinearOf(int32_t level);

        void Restart() { *this = CGateTracker(); }
        // Takes one frame's mean magnitude; returns true when the frame counts as silent.
        bool Update(float meanMagnitude);

        int32_t openFrames = 1;
        int32_t closeFrames = 40;
        int32_t windowFrames = 60;
        bool open = false;
        int32_t runFrames = 0;
        int32_t levelThreshold = 0;
        int32_t minLoud = kFullScaleLevel;
        int32_t maxQuiet = 0;
        int32_t countLoud = 0;
        int32_t countQuiet = 0;
    };

    enum Property : int32_t {
        kThreshold = 0,
        kThresholdDb = 1,
        kGateTime = 2,
        kSamplesPerSec = 3,
        kCutOff = 4,
        kFadeoutTime = 5,
        kReadOnly = 6,
        kAuto = 7,
        // Index 8 is unused; the numbers are part of the interface.
        kMaxLevel = 9,
        kTotalIn = 10,
        kTotalOut = 11,
        kUnknown = 12,
    };

    // Frames are judged every 10 ms, and never span two Process calls.
    static constexpr int32_t kFrameMs = 10;

    CNoiseGateAudioFilter();
    ~CNoiseGateAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;

    // Whether a frame with this peak (signed) and mean magnitude counts as silent.
    virtual bool IsSilentFrame(float framePeak, float frameMean);

    static const PropertyTable<CNoiseGateAudioFilter>& Properties();

private:
    // "Threshold" and "Threshold_db" set the threshold, hand the previous one back through
    // `data`, and with a negative value turn the automatic threshold on instead.
    int32_t SetThreshold(int32_t value, void* data);
    int32_t SetThresholdDb(int32_t value, void* data);
    int32_t GetThreshold(int32_t arg, void* out);
    int32_t GetThresholdDb(int32_t arg, void* out);
    int32_t SetAuto(int32_t value, void* data);
    int32_t ThresholdAsByte() const;
    int32_t ThresholdAsAttenuation() const;
    void TurnAutoOn(bool restartTracker);

    struct Settings {
        int32_t samplesPerSec = 16000;
        bool automatic = false;  // the tracker sets the threshold
        int32_t gateTimeMs = 1000;
        int32_t readOnly = 0;    // non-zero: measure only, `out` is never written
        int32_t cutOffHz = 0;    // high-pass corner; 0 = none; designed at Build
        int32_t fadeoutTimeMs = 1000;
    };
    // The threshold in effect and what moves it: the host sets the threshold, and in
    // automatic mode the tracker replaces it every frame, so a host that turns "Auto" off
    // keeps the last tracked value.  Kept across Stop/Start, as the high-pass memory is.
    struct Detector {
        float threshold = 0.0f;  // linear fraction of full scale
        CGateTracker tracker;
        int64_t fadeCount = 0;   // samples faded since the gate last closed
    };
    // What a run measures: cleared by every Start.
    struct Run {
        int32_t silenceMs = 0;  // quiet time in a row under the manual threshold
        int32_t maxLevel = 0;   // peak of the last block, 0..32767
    };
    struct Meters {
        uint32_t totalIn = 0, totalOut = 0;  // bytes; wrap, never reset
    };

    Settings settings_;
    Detector detector_;
    Run run_;
    Meters meters_;
    std::unique_ptr<CBiquadFilter> highPass_;
};

}  // namespace zelmar
