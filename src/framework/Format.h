// The format block (a WAVEFORMATEX and up to 128 bytes of codec extra data) and the PCM
// format check shared by the components that accept only plain PCM.
#pragma once

#include <zelmar/zelmar.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zelmar {

constexpr std::size_t kFormatBlockBytes = ZELMAR_FORMAT_BLOCK_BYTES;
constexpr std::size_t kWaveFormatBytes = sizeof(WAVEFORMATEX);
constexpr std::size_t kFormatExtraMax = ZELMAR_FORMAT_EXTRA_MAX;
constexpr uint16_t kFormatTagPcm = 1;
static_assert(kWaveFormatBytes + kFormatExtraMax == kFormatBlockBytes, "format block layout");

struct FormatBlock {
    uint8_t bytes[kFormatBlockBytes] = {};

    WAVEFORMATEX Format() const {
        WAVEFORMATEX wfx;
        std::memcpy(&wfx, bytes, sizeof wfx);
        return wfx;
    }
    void SetFormat(const WAVEFORMATEX& wfx) { std::memcpy(bytes, &wfx, sizeof wfx); }
};

// True when `wfx` is plain PCM the engine's PCM components accept: tag 1, one or two
// channels, 8 or 16 bits, a rate that is a multiple of 11025 or of 8000, and consistent
// nAvgBytesPerSec and nBlockAlign.
bool IsValidPcmFormat(const WAVEFORMATEX& wfx);

// A PCM WAVEFORMATEX with consistent derived fields.
WAVEFORMATEX MakePcmFormat(uint32_t samplesPerSec, uint16_t channels, uint16_t bitsPerSample);

}  // namespace zelmar
