// The room between the virtual device's loudspeaker and its microphone: what the playback
// side plays comes back to the capture side through an echo path, the way a loudspeaker is
// heard by a microphone a little way off.
//
// - The path: the direct sound `delayMs` late at `echoLevelDb` (the level of the whole echo),
//   then reflections: noise decaying by 60 dB over `tailMs`, starting 26 dB below the direct
//   sound (per 16 kHz sample), so the direct sound carries most of the energy.
// - The capture clock runs `driftPpm` fast against the playback clock: the capture side takes
//   the played stream at 1 / (1 + driftPpm 1e-6) samples per sample, read between samples
//   with a windowed-sinc interpolator, so the echo slides by that much.
// - Near-end audio (what the device's scripted input gives) and white noise at `noiseDbfs`
//   are added.
//
// Everything comes from fixed seeds: the same room gives the same capture every run.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace zelmar::platform::audio {

struct LoopbackRoom {
    uint32_t delayMs = 100;
    double echoLevelDb = -10.0;
    uint32_t tailMs = 100;
    double noiseDbfs = -60.0;  // RMS of the added noise; below -200 none at all
    double driftPpm = 0.0;     // within +-1000
    uint32_t seed = 1;         // the reflections' pattern and the noise
};

class VirtualRoom {
public:
    static constexpr uint32_t kInterpolatorTaps = 16;
    static constexpr uint32_t kInterpolatorPhases = 512;

    // A new echo path (the histories are kept when the shape stays: the path changes under a
    // running stream).  16-bit samples of `channels` interleaved, at `rateHz`.
    void Configure(const LoopbackRoom& room, uint32_t rateHz, uint32_t channels);
    // Adds to `target` (frames of interleaved 16-bit samples, holding the near-end audio) the
    // echo and the noise.  The played stream's bytes are taken from the front of `played` as
    // the capture clock consumes them; when it runs out, silence plays.
    void Capture(std::deque<uint8_t>* played, uint8_t* target, uint32_t frames);

private:
    float NextNoise();
    float TakePlayed(std::deque<uint8_t>* played, uint32_t channel);

    LoopbackRoom room_;
    uint32_t channels_ = 0;
    uint32_t rateHz_ = 0;
    std::vector<float> response_;             // the echo path after its delay
    std::vector<float> interpolator_;         // kInterpolatorPhases rows of kInterpolatorTaps
    std::vector<float> dry_;                  // per channel, the played stream's last samples (doubled ring)
    std::vector<float> wet_;                  // per channel, the interpolated stream's last samples (doubled ring)
    uint32_t dryAt_ = 0;
    uint32_t wetAt_ = 0;
    double phase_ = 0.0;                      // read position between two played samples, 0..1
    double step_ = 1.0;                       // played samples per captured sample
    float noiseRms_ = 0.0f;
    uint32_t noiseState_ = 1;
};

}  // namespace zelmar::platform::audio
