// The memory of one looping device buffer and the bookkeeping every backend shares: two-part
// locks at the wrap, the notification table, and setting the events of the positions a
// cursor passes.  Not locked itself: each backend guards it with its own mutex.
//
// A lock hands out a shadow of the locked regions (same size and layout as the buffer), not
// the buffer itself: the caller reads or writes it without the backend's mutex while the
// device thread moves audio in and out of the buffer, and Unlock copies a playback lock back
// under the mutex.  A caller that is late (the cursor already in its region) then gets a
// glitch, as on a real device, rather than two threads on the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/audio/AudioDevice.h"

namespace zelmar::platform::audio {

class BufferRing {
public:
    // Fails (false) for 0 bytes or when the memory cannot be had.
    bool Allocate(uint32_t bytes, uint8_t fill);

    uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
    uint8_t* data() { return bytes_.data(); }

    // `writeCursor` serves kLockFromWriteCursor.
    DsResult Lock(uint32_t offset, uint32_t bytes, uint32_t writeCursor, void** part1,
                  uint32_t* bytes1, void** part2, uint32_t* bytes2, uint32_t flags);
    // Checks that the parts are regions of this buffer's shadow, as a lock handed them out;
    // `writeBack` (playback) copies them into the buffer.
    DsResult Unlock(void* part1, uint32_t bytes1, void* part2, uint32_t bytes2, bool writeBack);
    // The buffer offset of a part a lock handed out (checked by Unlock first).
    uint32_t OffsetOf(const void* part) const {
        return static_cast<uint32_t>(static_cast<const uint8_t*>(part) - shadow_.data());
    }

    DsResult SetNotifications(uint32_t count, const PositionNotify* positions);
    // Sets the event of every notification offset in the byte range [fromTotal, toTotal) of
    // the endless stream the ring holds (totals count bytes since the buffer was made).
    void NotifyPassed(uint64_t fromTotal, uint64_t toTotal);
    void NotifyStopped();
    // The first stream position at or after `total` that holds a notification offset (stop
    // notifications aside); UINT64_MAX when there is none.
    uint64_t NextNotificationPosition(uint64_t total) const;

    // Copies `count` bytes of the stream position `total` into the ring (wrapping).
    void WriteAt(uint64_t total, const uint8_t* source, uint32_t count);
    void FillAt(uint64_t total, uint8_t value, uint32_t count);
    // Copies `count` bytes of the ring at stream position `total` out (wrapping).
    void ReadAt(uint64_t total, uint8_t* target, uint32_t count) const;

private:
    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> shadow_;  // what locks hand out
    std::vector<PositionNotify> notifications_;
};

}  // namespace zelmar::platform::audio
