// "PreProcessAudioFilter": cleans up captured 16-bit mono voice block by block.
//
// Per block: low-pass and high-pass IIR filters (companion library), optional noise
// suppression, a silence decision per 10 ms frame (a manual level gate, or automatically by
// frame level, pitch periodicity or both), automatic gain, manual gain, and either a
// compressor/expander curve or a look-ahead limiter.  While the talker is silent the output
// fades out and is then held back; the last 40 ms (80 ms with pitch detection) are kept in a
// pre-roll ring and played first when speech returns, while the caller repeats its block
// (*inBytes comes back unchanged) until the ring has drained.
//
// Process returns a level for metering: the input block's peak, 1 when a fade-out has just
// completed, 0 while muted, and at least 2 for output taken from the pre-roll ring.
//
// Without the companion library the IIR filters, the noise suppression and the pitch
// analysis do nothing (so pitch-based gating hears every frame as unvoiced); the conversions
// to float and back and the peak measurement are then the component's own.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "companion/AudioIIR.h"
#include "companion/AudioIppUtil.h"
#include "companion/AudioNoiseSuppressor.h"
#include "dsp/blocks/AutoGainControl.h"
#include "dsp/blocks/BiquadFilter.h"
#include "dsp/blocks/BiquadFilter2.h"
#include "dsp/blocks/CompressorCurve.h"
#include "dsp/CompressorProperties.h"
#include "dsp/blocks/EnvelopeDetector.h"
#include "dsp/blocks/LevelGate.h"
#include "dsp/blocks/Limiter.h"
#include "dsp/PitchVoiceDetector.h"
#include "framework/AudioComponent.h"
#include "framework/Properties.h"

namespace zelmar {

class CPreProcessAudioFilter : public CTableComponent<CPreProcessAudioFilter> {
public:
    // The pre-roll ring of processed float samples; pushing into a full ring drops the oldest.
    class CSampleRing {
    public:
        void Allocate(uint32_t size);
        void Push(float x) {
            if (size_ == 0) return;
            storage_[writeIndex_] = x;
            if (++writeIndex_ == size_) writeIndex_ = 0;
            if (++count_ > size_) {
                if (++readIndex_ == size_) readIndex_ = 0;
                count_ = size_;
            }
        }
        float Pop() {
            if (count_ == 0) return 0.0f;
            const float x = storage_[readIndex_];
            if (++readIndex_ == size_) readIndex_ = 0;
            --count_;
            return x;
        }
        uint32_t Count() const { return count_; }
        uint32_t Size() const { return size_; }

    private:
        std::vector<float> storage_;
        uint32_t writeIndex_ = 0, readIndex_ = 0, size_ = 0, count_ = 0;
    };

    enum Property : int32_t {
        kGain = 0, kAutoGain, kThreshold, kRatio, kExRatio, kFloor, kSamplesPerSec, kAttackTime,
        kReleaseTime, kDelayTime, kMaxLevel, kHiPassCutOff, kHiPassCutOff2, kLoPassCutOff,
        kLoPassCutOff2, kGateThreshold, kGateTime, kAuto, kFadeoutTime, kAGCPeak, kAGCGainLimit,
        kAGCGainLimit2, kAGCUpSpeed, kAntiClipping, kNSFactor, kEnableNS, kVADType, kNGParam,
        kNGParam2, kTotalIn, kTotalOut, kUnknown,
    };

    CPreProcessAudioFilter();
    ~CPreProcessAudioFilter() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override;

    static const PropertyTable<CPreProcessAudioFilter>& Properties();

    // For tests and meters inside the engine.
    bool CompanionLoaded() const { return vectors_.IsLoaded(); }
    // The silence decision of the last frame analysed (true before any).
    bool LastFrameSilent() const { return run_.lastFrameSilent; }

private:
    friend struct CompressorRows<CPreProcessAudioFilter>;

    // What the properties set; Process only reads them.
    struct Settings {
        int32_t gainPercent = 100;
        float agcUpSpeed = 0.0005f;
        float agcPeak = 0.5f;
        float agcGainLimit = 3.0f;
        float agcGainLimit2 = 0.5f;
        int32_t delayMs = 10;
        int32_t antiClipping = 0;
        int32_t samplesPerSec = 32000;
        int32_t hiPassCutOff = 0, hiPassCutOff2 = 50, loPassCutOff = 0, loPassCutOff2 = 0;
        int32_t gateTimeMs = 1000;
        bool autoGate = false;
        int32_t fadeoutMs = 1000;
        float gateThreshold = 0.0f;  // fraction of full scale
        int32_t nsFactor = 10;
        bool autoGain = false;
        int32_t enableNS = 0;
        int32_t vadType = 0;
        uint32_t ngParamBytes = 0;  // "NGParam" / 10: the length of an all-zero table, kept only
        uint32_t ngParam2 = 0;
    };
    // What the chain carries from block to block.  It lasts across Stop/Start, as the detectors
    // and the ring do: only the gain control's target starts again at 1 with every Start.
    struct Run {
        uint32_t totalIn = 0, totalOut = 0;
        int32_t maxLevel = 0;  // peak |sample| of the last input block
        float currentGain = 1.0f;
        float targetGain = 1.0f;
        int32_t silenceMs = 0;  // the manual gate's silence counter
        uint32_t fadeCount = 0;
        bool muted = true;
        bool lastFrameSilent = true;
        // The curve's floor: the "Floor" setting until the next block, then -35 dB.
        float floorDb = CompressorSettings{}.floorDb;
    };

    // Property hooks: what a setting drives beyond its field.
    int32_t SetAutoGain(int32_t value, void* data);
    int32_t ApplyThreshold();
    int32_t ApplyFloor();
    int32_t GetFloorInEffect(int32_t arg, void* out);
    int32_t ApplySampleRate();
    int32_t ApplyAttackTime();
    int32_t ApplyReleaseTime();
    int32_t SetHiPassCutOff(int32_t value, void* data);
    int32_t SetHiPassCutOff2(int32_t value, void* data);
    int32_t SetLoPassCutOff(int32_t value, void* data);
    int32_t SetLoPassCutOff2(int32_t value, void* data);
    int32_t SetGateThreshold(int32_t value, void* data);
    int32_t GetGateThreshold(int32_t arg, void* out);
    int32_t SetGateTime(int32_t value, void* data);
    int32_t SetAuto(int32_t value, void* data);
    int32_t SetAgcPeak(int32_t value, void* data);
    int32_t SetAgcGainLimit(int32_t value, void* data);
    int32_t SetAgcGainLimit2(int32_t value, void* data);
    int32_t SetAgcUpSpeed(int32_t value, void* data);
    int32_t ApplyNsFactor();
    int32_t SetNgParam(int32_t value, void* data);
    int32_t SetNgParam2(int32_t value, void* data);

    int32_t SetCutoff(int32_t index, int32_t value);
    bool FrameIsSilent(const int16_t* frame, uint32_t n, bool autoMode);
    void ToFloat(const int16_t* src, float* dst, uint32_t count) const;
    void ToInt16(const float* src, int16_t* dst, uint32_t count) const;
    int32_t Peak(const int16_t* samples, uint32_t count) const;
    int32_t PlayFromRing(void* out, uint32_t outSamples);
    void PrepareWorkBuffers(uint32_t inSamples, uint32_t outSamples, uint32_t frameLen);

    CompressorSettings compressor_;
    Settings settings_;
    Run run_;
    static constexpr int kFrameMs = 10;

    std::unique_ptr<CBiquadFilter> hiPass_, loPass_;
    std::unique_ptr<CBiquadFilter2> hiPass2_, loPass2_;
    CAudioIIR hiPassIir_, loPassIir_, hiPass2Iir_, loPass2Iir_;
    CAudioIppUtil vectors_;
    CLimiter limiter_;
    std::unique_ptr<EnvelopeDetector<float>> gainSmoother_;
    std::unique_ptr<CAudioNoiseSuppressor> suppressor_;
    CLevelGate levelGate_;
    CPitchVoiceDetector pitchDetector_;
    CAutoGainControl agc_;
    CCompressorCurve curve_{CCompressorCurve::Flavour::kPreProcessor};
    CSampleRing ring_;

    // Work buffers, made at Start (see PrepareWorkBuffers): filtered input, suppressed input,
    // float samples, frame copy and ring output.
    std::vector<int16_t> input16_, work16_, frame16_;
    std::vector<float> samples_, ringOut_;
    std::vector<float> envelopes_;  // the compressor's envelope per sample of a block
};

}  // namespace zelmar
