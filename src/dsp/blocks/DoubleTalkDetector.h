// CDoubleTalkDetector: whether the near end talks while the far end's echo comes in, block by
// block, for an echo canceller that must stop learning (and stop suppressing) while it does.
//
// Two tests, both needed:
// - Geigel's: a captured peak above kPeakOverFar times the far end's peak over the span the
//   canceller models.  An echo path loses some 10 dB on a loudspeaker and microphone apart;
//   a captured peak that loud is hardly echo.  Alone it fires on a reverberant echo's peaks
//   (about half of all far-end-only blocks of a 100 ms room in the tests).
// - The echo estimate's share of the capture: the canceller's echo estimate holds less than
//   kEstimateShare of the captured energy (smoothed over blocks).  Once the canceller has
//   converged, the estimate is nearly all of a capture that is echo alone; a talker adds energy
//   the estimate lacks.  Alone it fires while the canceller has not converged yet, which would
//   keep it from ever converging.
// Either fires without the other only on a fraction of the blocks, so the canceller learns on
// those and converges; together they mark the talker within a block of its onset.  Once
// marked, the talk holds for kHangBlocks: speech has short pauses the canceller must not learn
// in either.
#pragma once

#include <cstdint>
#include <vector>

namespace zelmar {

class CDoubleTalkDetector {
public:
    static constexpr float kPeakOverFar = 0.5f;
    static constexpr float kEstimateShare = 0.5f;
    static constexpr float kSmoothing = 0.6f;  // per block, of the energies
    static constexpr uint32_t kHangBlocks = 30;
    // Below this mean square (in 16-bit units: an RMS of 100, about -50 dBFS) the capture holds
    // nothing to tell apart.
    static constexpr float kQuietCapture = 1.0e4f;

    // Blocks of `blockSamples`; far-end peaks are kept over `spanBlocks` blocks.
    void Reset(uint32_t blockSamples, uint32_t spanBlocks);
    // One block: the far end as the canceller gets it, the captured block and the canceller's
    // echo estimate for it, all in 16-bit units.  True while the near end talks.
    bool Update(const float* far, const float* captured, const float* echoEstimate);
    bool Talking() const { return hang_ > 0; }
    // Whether the last block's captured peak passed Geigel's test (louder than an echo).
    bool LouderThanEcho() const { return louderThanEcho_; }

private:
    uint32_t block_ = 0;
    std::vector<float> farPeaks_;  // one per block, a ring
    uint32_t farPeakAt_ = 0;
    float capturedEnergy_ = 0;
    float estimateEnergy_ = 0;
    uint32_t hang_ = 0;
    bool louderThanEcho_ = false;
};

}  // namespace zelmar
