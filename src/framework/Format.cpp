#include "framework/Format.h"

namespace zelmar {

bool IsValidPcmFormat(const WAVEFORMATEX& wfx) {
    if (wfx.wFormatTag != kFormatTagPcm) return false;
    if (wfx.nChannels != 1 && wfx.nChannels != 2) return false;
    if (wfx.wBitsPerSample != 8 && wfx.wBitsPerSample != 16) return false;
    // A zero rate is a multiple of both; it is caught by the components that divide by it.
    if (wfx.nSamplesPerSec % 11025 != 0 && wfx.nSamplesPerSec % 8000 != 0) return false;
    const uint64_t bitsPerFrame = uint64_t{wfx.wBitsPerSample} * wfx.nChannels;
    if (wfx.nAvgBytesPerSec != bitsPerFrame * wfx.nSamplesPerSec / 8) return false;
    if (wfx.nBlockAlign != bitsPerFrame / 8) return false;
    return true;
}

WAVEFORMATEX MakePcmFormat(uint32_t samplesPerSec, uint16_t channels, uint16_t bitsPerSample) {
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = kFormatTagPcm;
    wfx.nChannels = channels;
    wfx.nSamplesPerSec = samplesPerSec;
    wfx.nBlockAlign = static_cast<uint16_t>(channels * bitsPerSample / 8);
    wfx.nAvgBytesPerSec = samplesPerSec * wfx.nBlockAlign;
    wfx.wBitsPerSample = bitsPerSample;
    wfx.cbSize = 0;
    return wfx;
}

}  // namespace zelmar
