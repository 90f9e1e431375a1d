// A linear echo canceller: the capture less the far end filtered by a learnt model of the echo
// path, and nothing else, so a near-end talker comes through whole.
//
// WebRTC's canceller follows its adaptive filter with a non-linear stage that takes down what
// is left of the echo, and with it the near-end talker whenever both ends talk at once.  The
// capture effects hand out this filter's output instead while the near end talks; it learns
// only when the caller asks (the capture effects do when their double-talk detector hears no
// near-end talker, or while this filter has not learnt the path yet).  It keeps two filters: a
// background one that learns and a foreground one that gives the output and takes the
// background's coefficients once they cancel clearly better for kCopyAfterBlocks blocks in a
// row; a background that does clearly worse (it learnt from a talker the detector missed)
// starts again from the foreground's, and a foreground that makes the capture louder (the
// path moved out from under both) has both start over.
//
// The filter is a partitioned-block frequency-domain one (overlap-save): blocks of N samples,
// real transforms of 2N points (libavutil's), P partitions of N taps, so P * N taps in all.
// Each bin's step is normalised by the far end's power there; one partition a block has its
// taps past N cut, in turn, which keeps the circular products from wrapping without a
// transform pair per partition every block.  The step is shared out between the partitions in
// proportion to their weights (a proportionate update): a room's echo is a direct sound and a
// tail decaying from 26 dB under it, so most of what there is to learn sits in one or two
// partitions, and they learn several times faster than with even shares (a near-end talker
// 5 s into the far end's speech over a 250 ms path came through at 12 dB instead of 10).
// Samples are in 16-bit units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct AVTXContext;

namespace zelmar::platform::audio {

class LinearEchoCanceller {
public:
    static constexpr float kStep = 0.5f;
    static constexpr uint32_t kCopyAfterBlocks = 5;
    static constexpr float kBetterBy = 0.8f;  // background error energy below this share of the foreground's
    static constexpr float kWorseBy = 4.0f;   // background error energy above this many times the foreground's
    static constexpr float kEnergySmoothing = 0.7f;
    static constexpr float kDivergedBy = 2.0f;  // foreground output energy over the capture's
    static constexpr float kStepShareFloor = 0.2f;  // of the largest partition's weight magnitude
    // Over about 20 blocks: over 3, a filter 6 dB into learning overshot on a new vowel and was
    // thrown away (a near-end talker over a 310 ms echo, recorded, came through at 4 dB, not 11).
    static constexpr float kDivergenceSmoothing = 0.95f;

    LinearEchoCanceller() = default;
    ~LinearEchoCanceller();
    LinearEchoCanceller(const LinearEchoCanceller&) = delete;
    LinearEchoCanceller& operator=(const LinearEchoCanceller&) = delete;

    // Blocks of `blockSamples` (even), taps for `partitions` blocks.  False when the transforms
    // cannot be made.
    bool Init(uint32_t blockSamples, uint32_t partitions);
    // Forgets the echo path (after the far end was moved against the capture).
    void Reset();
    // One block: `far` as it reaches the filter, `captured` the same block of the capture;
    // `out` gets the capture less the foreground filter's echo.
    void Process(const float* far, const float* captured, float* out);
    // The background filter learns from the block just processed (while no one else talks).
    void Learn();
    uint32_t BlockSamples() const { return block_; }
    // How many times it started over (Reset, or a foreground that made the capture louder).
    uint32_t StartsOver() const { return startsOver_; }

private:
    // A bin as the transforms keep it (libavutil's AVComplexFloat).
    struct Complex {
        float re, im;
    };
    using TxFunction = void (*)(AVTXContext*, void*, void*, std::ptrdiff_t);
    void Forward(const float* time, Complex* spectrum);
    // The partitions' shares of the step, from the background's weights.
    void ShareStepsByWeight();
    // Both filters back to no echo (the far end's history stays).
    void ForgetPath();
    // The last block of the echo `weights` make of the far end's spectra, into `echo`.
    void Estimate(const std::vector<Complex>& weights, float* echo);

    uint32_t block_ = 0;
    uint32_t bins_ = 0;
    uint32_t partitions_ = 0;
    AVTXContext* forward_ = nullptr;
    AVTXContext* inverse_ = nullptr;
    TxFunction forwardFn_ = nullptr;
    TxFunction inverseFn_ = nullptr;
    float* time_ = nullptr;               // 2N points, aligned for the transforms
    Complex* spectrum_ = nullptr;  // N + 1 bins, aligned for the transforms

    std::vector<float> farPrevious_;           // the far end's last block
    std::vector<Complex> farSpectra_;   // P spectra, the newest at farNewest_
    uint32_t farNewest_ = 0;
    std::vector<float> farPower_;              // per bin, summed over the partitions
    std::vector<Complex> background_;   // P x bins
    std::vector<Complex> foreground_;
    std::vector<float> stepShares_;     // per partition, averaging 1
    std::vector<float> echo_;
    std::vector<float> backgroundError_;
    std::vector<Complex> errorSpectrum_;
    float backgroundEnergy_ = 0;
    float foregroundEnergy_ = 0;
    float capturedEnergy_ = 0;  // smoothed, against outputEnergy_ for divergence
    float outputEnergy_ = 0;
    float blockBackgroundEnergy_ = 0;
    float blockForegroundEnergy_ = 0;
    uint32_t betterBlocks_ = 0;
    uint32_t constrainNext_ = 0;
    uint32_t startsOver_ = 0;
};

}  // namespace zelmar::platform::audio
