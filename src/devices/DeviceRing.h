// The format and ring arithmetic the first-generation device components share, and the
// notification table of a ring of blocks.
#pragma once

#include <zelmar/zelmar.h>

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "platform/Time.h"
#include "platform/audio/AudioDevice.h"

namespace zelmar {

// PCM format from the settings; nBlockAlign is computed in 16 bits, as the format field is.
inline WAVEFORMATEX DeviceFormat(uint32_t samplesPerSec, uint16_t bitsPerSample, uint16_t channels) {
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = 1;
    wfx.nChannels = channels;
    wfx.nSamplesPerSec = samplesPerSec;
    wfx.wBitsPerSample = bitsPerSample;
    wfx.nBlockAlign = static_cast<uint16_t>((bitsPerSample / 8) * channels);
    wfx.nAvgBytesPerSec = wfx.nBlockAlign * samplesPerSec;
    wfx.cbSize = 0;
    return wfx;
}

// Buffer bytes for `bufferTimeMs`: floor(time × nBlockAlign × rate ÷ 1000) in unsigned 32-bit
// arithmetic, rounded up to a whole number of blocks.  False when no whole block fits (a zero
// rate or time) or the rounding would wrap: such a ring has nothing to deliver, so the device
// is not opened with it.
inline bool RingBufferBytes(uint32_t bufferTimeMs, const WAVEFORMATEX& wfx, uint32_t blockBytes,
                            uint32_t* bufferBytes) {
    uint32_t bytes = bufferTimeMs * wfx.nBlockAlign * wfx.nSamplesPerSec / 1000u;
    if (blockBytes == 0 || bytes == 0) return false;
    const uint32_t rest = bytes % blockBytes;
    if (rest != 0) {
        if (bytes > UINT32_MAX - (blockBytes - rest)) return false;
        bytes += blockBytes - rest;
    }
    *bufferBytes = bytes;
    return true;
}

// A ring of blocks (block i at i × blockBytes) with one manual-reset event per block and one
// for stop, and the notification table that points at them: block i notifies at
// notifyOffset(i), the last entry when the buffer stops.
struct BlockNotifications {
    std::vector<std::unique_ptr<platform::IEvent>> events;
    std::vector<platform::audio::PositionNotify> table;
    std::vector<uint32_t> offsets;
};

template <typename NotifyOffset>
platform::audio::DsResult MakeBlockNotifications(platform::ITimeService& time, int32_t blockCount,
                                                 uint32_t blockBytes, NotifyOffset notifyOffset,
                                                 BlockNotifications* out) {
    BlockNotifications made;
    try {
        made.events.reserve(static_cast<size_t>(blockCount) + 1);
        made.table.reserve(static_cast<size_t>(blockCount) + 1);
        made.offsets.reserve(static_cast<size_t>(blockCount));
        for (int32_t i = 0; i <= blockCount; ++i) {
            made.events.push_back(time.CreateEvent(/*manualReset=*/true, /*initiallySet=*/false));
            if (made.events.back() == nullptr) return platform::audio::kDsErrOutOfMemory;
        }
        for (int32_t i = 0; i < blockCount; ++i) {
            made.table.push_back({notifyOffset(i), made.events[i].get()});
            made.offsets.push_back(static_cast<uint32_t>(i) * blockBytes);
        }
        made.table.push_back({platform::audio::kNotifyOffsetStop, made.events[blockCount].get()});
    } catch (const std::bad_alloc&) {
        return platform::audio::kDsErrOutOfMemory;
    }
    *out = std::move(made);
    return platform::audio::kDsOk;
}

// Sleep between two cursor polls: one block, in whole milliseconds.
inline uint32_t BlockSleepMs(uint32_t blockSamples, uint32_t samplesPerSec) {
    return samplesPerSec == 0 ? 0 : static_cast<uint32_t>(uint64_t{blockSamples} * 1000u / samplesPerSec);
}

}  // namespace zelmar
