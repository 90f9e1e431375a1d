// The ring of blocks a device component lays over its looping buffer: the PCM format and ring
// arithmetic, the notification positions and their events, the cursor that walks the blocks,
// the one-block copy in and out of the buffer, and the poll that paces a caller until a block
// is clear.
#pragma once

#include <zelmar/zelmar.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "framework/Result.h"
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

struct RingLayout {
    int32_t blockCount = 0;    // N
    int32_t blockBytes = 0;    // B, what "NotifySize" reports
    uint32_t bufferBytes = 0;  // N × B
};

// The ring for `bufferTimeMs` of `wfx` in blocks of `blockSamples` frames: B = frames ×
// nBlockAlign, and buffer bytes = floor(time × nBlockAlign × rate ÷ 1000) in unsigned 32-bit
// arithmetic, rounded up to a whole number of blocks.  kErrInvalidArg for a block of 0 bytes
// or one beyond the signed byte counts of GetData/PutData, and for a ring without one whole
// block (a zero rate or time) or whose rounding would wrap: such a ring has nothing to
// deliver, so no device is opened with it.
inline int32_t PlanBlockRing(const WAVEFORMATEX& wfx, uint32_t blockSamples, uint32_t bufferTimeMs,
                             RingLayout* layout) {
    const uint64_t blockBytes = uint64_t{blockSamples} * wfx.nBlockAlign;
    if (blockBytes == 0 || blockBytes > INT32_MAX) return kErrInvalidArg;
    const auto block = static_cast<uint32_t>(blockBytes);
    uint32_t bytes = bufferTimeMs * wfx.nBlockAlign * wfx.nSamplesPerSec / 1000u;
    if (bytes == 0) return kErrInvalidArg;
    const uint32_t rest = bytes % block;
    if (rest != 0) {
        if (bytes > UINT32_MAX - (block - rest)) return kErrInvalidArg;
        bytes += block - rest;
    }
    layout->blockCount = static_cast<int32_t>(bytes / block);
    layout->blockBytes = static_cast<int32_t>(block);
    layout->bufferBytes = bytes;
    return kOk;
}

// How a ring's notification positions signal.
enum class NotifyEvents {
    kPerBlockAndStop,  // block i sets manual-reset event i; one more event for the stop position
    kOneShared,        // every block sets one auto-reset event: a reader waits for "a block"
};

// The events and the position table that points at them (the table's owner keeps both until
// the buffer that uses them is gone).
struct BlockNotifications {
    std::vector<std::unique_ptr<platform::IEvent>> events;
    std::vector<platform::audio::PositionNotify> table;
};

// Block i (0 ≤ i < blockCount) notifies at notifyOffset(i).
template <typename NotifyOffset>
platform::audio::DsResult MakeBlockNotifications(platform::ITimeService& time, int32_t blockCount, NotifyEvents kind,
                                                 NotifyOffset notifyOffset, BlockNotifications* out) {
    const bool perBlock = kind == NotifyEvents::kPerBlockAndStop;
    const auto blocks = static_cast<std::size_t>(blockCount);
    BlockNotifications made;
    try {
        const std::size_t eventCount = perBlock ? blocks + 1 : 1;
        made.events.reserve(eventCount);
        made.table.reserve(perBlock ? blocks + 1 : blocks);
        for (std::size_t i = 0; i < eventCount; ++i) {
            made.events.push_back(time.CreateEvent(/*manualReset=*/perBlock, /*initiallySet=*/false));
            if (made.events.back() == nullptr) return platform::audio::kDsErrOutOfMemory;
        }
        for (std::size_t i = 0; i < blocks; ++i) {
            made.table.push_back({notifyOffset(static_cast<uint32_t>(i)), made.events[perBlock ? i : 0].get()});
        }
        if (perBlock) made.table.push_back({platform::audio::kNotifyOffsetStop, made.events[blocks].get()});
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

// Polls a looping buffer's two cursors until `clear(first, second)` holds.  Cursors standing
// together mean the device is not moving: that costs a sleep of `stillSleepMs` and a try.
// Each failed test sleeps `pollSleepMs` and counts a try, so a caller waits at most
// kMaxPollTries sleeps before kErrTimeout; kErrPlatform when the cursors cannot be read.
constexpr int kMaxPollTries = 3;

template <typename Clear>
int32_t PollUntilClear(platform::audio::IAudioBuffer& buffer, platform::ITimeService& time, uint32_t stillSleepMs,
                       uint32_t pollSleepMs, Clear clear) {
    int tries = 0;
    for (;;) {
        uint32_t first = 0;
        uint32_t second = 0;
        if (platform::audio::Failed(buffer.GetCurrentPosition(&first, &second))) return kErrPlatform;
        if (first == second) {
            time.SleepMs(stillSleepMs);
            ++tries;
        }
        if (clear(first, second)) return kOk;
        time.SleepMs(pollSleepMs);
        ++tries;
        if (tries >= kMaxPollTries) return kErrTimeout;
    }
}

// A laid-out ring: its layout, the notifications its buffer points at, and the block a
// caller is at.
class DeviceRing {
public:
    // The layout of the last ring adopted; it outlives Release, so "NotifySize" keeps
    // reporting the last successful Build.
    const RingLayout& layout() const { return layout_; }
    int32_t* blockBytesField() { return &layout_.blockBytes; }

    // Takes over a layout and the notifications its buffer now uses; the walk starts at block 0.
    void Adopt(const RingLayout& layout, BlockNotifications notifications) {
        layout_ = layout;
        notifications_ = std::move(notifications);
        current_ = 0;
    }
    // The events and table go; call only once no buffer points at them.
    void Release() { notifications_ = BlockNotifications{}; }

    // The event every block of a kOneShared ring sets; null before a ring is adopted.
    platform::IEvent* SharedEvent() const {
        return notifications_.events.empty() ? nullptr : notifications_.events.front().get();
    }

    void ResetEvents() {
        for (auto& event : notifications_.events) event->Reset();
    }
    void Rewind() { current_ = 0; }
    uint32_t CurrentOffset() const {
        return static_cast<uint32_t>(current_) * static_cast<uint32_t>(layout_.blockBytes);
    }

    // Locks `bytes` at the current block, hands each locked part to copy(part, at, n) (`at`
    // is the part's offset in the caller's bytes), unlocks, and moves on one block, whatever
    // `bytes` is.  The bytes moved, or kErrPlatform when the lock fails.
    template <typename Copy>
    int32_t Transfer(platform::audio::IAudioBuffer& buffer, int32_t bytes, Copy copy) {
        void* part1 = nullptr;
        void* part2 = nullptr;
        uint32_t bytes1 = 0;
        uint32_t bytes2 = 0;
        const auto wanted = static_cast<uint32_t>(bytes);
        if (platform::audio::Failed(buffer.Lock(CurrentOffset(), wanted, &part1, &bytes1, &part2, &bytes2, 0))) {
            return kErrPlatform;
        }
        // A device never hands out more than was asked for; checked anyway, as the buffer may
        // be a handed-over one, and the caller's bytes must never be overrun.
        if (uint64_t{bytes1} + bytes2 > wanted) {
            buffer.Unlock(part1, bytes1, part2, bytes2);
            return kErrPlatform;
        }
        if (bytes1 != 0) copy(part1, 0u, bytes1);
        if (part2 != nullptr && bytes2 != 0) copy(part2, bytes1, bytes2);
        buffer.Unlock(part1, bytes1, part2, bytes2);
        current_ = current_ + 1 == layout_.blockCount ? 0 : current_ + 1;
        return static_cast<int32_t>(bytes1 + bytes2);
    }

private:
    RingLayout layout_;
    BlockNotifications notifications_;
    int32_t current_ = 0;
};

}  // namespace zelmar
