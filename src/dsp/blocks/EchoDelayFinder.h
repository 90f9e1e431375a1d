// CEchoDelayFinder: where a far end's echo lies in a captured signal.
//
// An echo canceller models only a short span after each far-end sample (48 ms, or 128 ms with
// an extended filter) and finds a longer delay by itself only after many seconds, if at all.
// Holding the far end back by the delay found here puts each echo early in that span.
//
// Both signals are taken down to about 2 kHz (means of sampleRateHz / 2000 samples: the
// energy of speech lies low) and correlated over every lag up to the longest delay looked
// for, each lag's sum forgetting with a time constant of kForget (0.5 s at 2 kHz); every
// kCorrelateEvery-th captured sample is correlated.  The strongest lag counts once it stands
// kPeakOverMean times above the mean of all lags and kMinSamples captured samples (0.5 s)
// have been compared.  The sign of a lag's sum is ignored: an inverted echo path is still an
// echo.
#pragma once

#include <cstdint>
#include <vector>

namespace zelmar {

class CEchoDelayFinder {
public:
    static constexpr uint32_t kAnalysisRateHz = 2000;
    // 4 s at 2 kHz: room for the lags and for a far end running ahead of the capture.
    static constexpr uint32_t kRingSamples = 8192;
    static constexpr float kForget = 1.0f - 1.0f / 1000.0f;  // 1 - 1 / (0.5 s * 2 kHz)
    static constexpr float kPeakOverMean = 6.0f;
    static constexpr uint64_t kMinSamples = 1000;  // 0.5 s at 2 kHz
    static constexpr uint64_t kCorrelateEvery = 2;  // captured samples per one correlated

    // Forgets everything and looks for delays of 0..maxLagMs (at most half the ring) in
    // signals sampled at sampleRateHz (at least 2 kHz).  With a lead, each captured sample is
    // compared as if it had come leadMs later (it waits for the far end to catch up), so an
    // echo up to leadMs ahead of its far end is found too; DelayMs then counts from leadMs
    // before the far end (leadMs is an echo in step with it).
    void Reset(uint32_t sampleRateHz, uint32_t maxLagMs, uint32_t leadMs = 0);
    // Far-end and captured samples in stream order: sample k of one lines up with sample k
    // of the other.
    void AddFar(const int16_t* in, uint32_t n);
    void AddCaptured(const int16_t* in, uint32_t n);
    // Both streams were emptied at the same moment: they line up again from here.
    void Resync();
    // The echo's delay in ms (a multiple of 0.5 ms, rounded down), or -1 while it is unclear.
    int32_t DelayMs() const;
    // How strong the correlation at `delayMs` (as DelayMs counts it) is against the strongest
    // lag's: 1 at the peak, 0 when nothing was compared or the delay is out of range.
    float StrengthAt(int32_t delayMs) const;
    // The longest delay looked for, in analysis samples.
    uint32_t MaxLag() const { return maxLag_; }

private:
    uint32_t decimation_ = 8;
    uint32_t maxLag_ = 0;
    // The lags' sums, all multiplied by the same sumsScale_ (1 / kForget to the power of the
    // samples since they were last brought back to scale); only their ratios are ever read.
    std::vector<float> sums_;
    float sumsScale_ = 1.0f;
    // About 4.8 s of samples: far from where a float's range or precision would matter.
    static constexpr float kRescaleAbove = 16384.0f;
    std::vector<float> far_;  // the far end at 2 kHz, newest first, the ring held twice over
    // Captured samples waiting for the far end to reach their index plus the lead.
    std::vector<float> pending_;
    uint32_t pendingFirst_ = 0;
    uint32_t pendingCount_ = 0;
    uint32_t lead_ = 0;  // analysis samples
    void Correlate(float mic, uint64_t index);
    void CorrelatePending();
    uint64_t farCount_ = 0;
    uint64_t micCount_ = 0;
    uint64_t seen_ = 0;
    int32_t farAcc_ = 0;
    int32_t micAcc_ = 0;
    uint32_t farFill_ = 0;
    uint32_t micFill_ = 0;
};

}  // namespace zelmar
