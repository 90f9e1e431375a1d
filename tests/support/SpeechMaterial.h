// Test material for the voice-quality tests: espeak-ng speech made at build time
// (tests/make_speech.sh), white noise from a fixed seed, mixing at a known SNR, speech/silence
// labels from the clean signal, and segmental SNR.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelmar::test {

// 16-bit mono PCM of the speech recording made for `rateHz` (empty when missing).
std::vector<int16_t> LoadSpeech(int rateHz);
std::string SpeechPath(int rateHz);

// Gaussian white noise, unit RMS, reproducible from `seed` on every platform.
std::vector<float> WhiteNoise(size_t count, uint32_t seed);

// Per 10 ms frame: true where the clean speech is active (frame energy within 40 dB of the
// loudest frame), with pauses shorter than 200 ms inside speech counted as speech.
std::vector<bool> SpeechLabels(const std::vector<int16_t>& clean, int rateHz);

// clean + noise scaled so that active speech power / noise power = snrDb, saturated to 16 bits.
std::vector<int16_t> MixAtSnr(const std::vector<int16_t>& clean, const std::vector<bool>& labels, int rateHz,
                              double snrDb, uint32_t seed);

// Segmental SNR in dB of `processed` against `clean` over the active 10 ms frames, each frame's
// SNR limited to [-10, 35] dB; `processed` is compared `delay` samples later.
double SegmentalSnrDb(const std::vector<int16_t>& clean, const std::vector<int16_t>& processed,
                      const std::vector<bool>& labels, int rateHz, size_t delay);

// Echo return loss enhancement of each window of `window` samples in [from, to): echo power
// over residual power, summed over the 10 ms frames whose echo stands 20 dB above a noise
// floor at `noiseDbfs`; NaN for a window without such frames.
std::vector<double> WindowedErleDb(const std::vector<int16_t>& echo, const std::vector<int16_t>& residual, int rateHz,
                                   double noiseDbfs, size_t from, size_t to, size_t window);

// The delay (0..maxDelay samples) at which `processed` best matches `clean`.
size_t BestDelay(const std::vector<int16_t>& clean, const std::vector<int16_t>& processed, size_t maxDelay);

}  // namespace zelmar::test
