#include "platform/audio/BufferRing.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace zelmar::platform::audio {

bool BufferRing::Allocate(uint32_t bytes, uint8_t fill) {
    if (bytes == 0) return false;
    try {
        bytes_.assign(bytes, fill);
        shadow_.assign(bytes, fill);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

DsResult BufferRing::Lock(uint32_t offset, uint32_t bytes, uint32_t writeCursor, void** part1,
                          uint32_t* bytes1, void** part2, uint32_t* bytes2, uint32_t flags) {
    if (part1 == nullptr || bytes1 == nullptr) return kDsErrInvalidParam;
    const uint32_t total = size();
    if (flags & kLockFromWriteCursor) offset = writeCursor;
    if (flags & kLockEntireBuffer) bytes = total;
    // A lock never covers more than the buffer once, and starts inside it.
    if (total == 0 || offset >= total || bytes == 0 || bytes > total) return kDsErrInvalidParam;
    const uint32_t first = std::min(bytes, total - offset);
    const uint32_t second = bytes - first;
    if (second != 0 && (part2 == nullptr || bytes2 == nullptr)) return kDsErrInvalidParam;
    // The caller gets the regions in the shadow, at the same places, as they are now.
    std::memcpy(shadow_.data() + offset, bytes_.data() + offset, first);
    if (second != 0) std::memcpy(shadow_.data(), bytes_.data(), second);
    *part1 = shadow_.data() + offset;
    *bytes1 = first;
    if (part2 != nullptr) *part2 = second != 0 ? shadow_.data() : nullptr;
    if (bytes2 != nullptr) *bytes2 = second;
    return kDsOk;
}

DsResult BufferRing::Unlock(void* part1, uint32_t bytes1, void* part2, uint32_t bytes2, bool writeBack) {
    const auto inside = [this](void* part, uint32_t count) {
        if (part == nullptr) return count == 0;
        const auto* begin = shadow_.data();
        const auto* p = static_cast<const uint8_t*>(part);
        return p >= begin && p <= begin + shadow_.size() &&
               count <= static_cast<std::size_t>(begin + shadow_.size() - p);
    };
    if (!inside(part1, bytes1) || !inside(part2, bytes2)) return kDsErrInvalidParam;
    if (writeBack) {
        for (const auto& [part, count] : {std::pair{part1, bytes1}, std::pair{part2, bytes2}}) {
            if (count == 0) continue;
            const auto at = static_cast<std::size_t>(static_cast<uint8_t*>(part) - shadow_.data());
            std::memcpy(bytes_.data() + at, part, count);
        }
    }
    return kDsOk;
}

DsResult BufferRing::SetNotifications(uint32_t count, const PositionNotify* positions) {
    if (count != 0 && positions == nullptr) return kDsErrInvalidParam;
    for (uint32_t i = 0; i < count; ++i) {
        if (positions[i].event == nullptr) return kDsErrInvalidParam;
        if (positions[i].offset != kNotifyOffsetStop && positions[i].offset >= size()) {
            return kDsErrInvalidParam;
        }
    }
    try {
        notifications_.assign(positions, positions + count);
    } catch (const std::bad_alloc&) {
        return kDsErrOutOfMemory;
    }
    return kDsOk;
}

void BufferRing::NotifyPassed(uint64_t fromTotal, uint64_t toTotal) {
    if (toTotal <= fromTotal || notifications_.empty()) return;
    const uint64_t ringBytes = size();
    const bool wholeLap = toTotal - fromTotal >= ringBytes;
    const uint64_t from = fromTotal % ringBytes;
    const uint64_t to = toTotal % ringBytes;
    for (const PositionNotify& notify : notifications_) {
        if (notify.offset == kNotifyOffsetStop) continue;
        const uint64_t at = notify.offset;
        const bool passed = wholeLap || (from < to ? (at >= from && at < to) : (at >= from || at < to));
        if (passed) notify.event->Set();
    }
}

uint64_t BufferRing::NextNotificationPosition(uint64_t total) const {
    const uint64_t ringBytes = size();
    if (ringBytes == 0) return UINT64_MAX;
    const uint64_t lapStart = total - total % ringBytes;
    uint64_t next = UINT64_MAX;
    for (const PositionNotify& notify : notifications_) {
        if (notify.offset == kNotifyOffsetStop) continue;
        uint64_t at = lapStart + notify.offset;
        if (at < total) at += ringBytes;
        next = std::min(next, at);
    }
    return next;
}

void BufferRing::NotifyStopped() {
    for (const PositionNotify& notify : notifications_) {
        if (notify.offset == kNotifyOffsetStop) notify.event->Set();
    }
}

void BufferRing::WriteAt(uint64_t total, const uint8_t* source, uint32_t count) {
    const uint32_t ringBytes = size();
    uint32_t at = static_cast<uint32_t>(total % ringBytes);
    while (count > 0) {
        const uint32_t chunk = std::min(count, ringBytes - at);
        std::memcpy(bytes_.data() + at, source, chunk);
        source += chunk;
        count -= chunk;
        at = 0;
    }
}

void BufferRing::FillAt(uint64_t total, uint8_t value, uint32_t count) {
    const uint32_t ringBytes = size();
    uint32_t at = static_cast<uint32_t>(total % ringBytes);
    while (count > 0) {
        const uint32_t chunk = std::min(count, ringBytes - at);
        std::memset(bytes_.data() + at, value, chunk);
        count -= chunk;
        at = 0;
    }
}

void BufferRing::ReadAt(uint64_t total, uint8_t* target, uint32_t count) const {
    const uint32_t ringBytes = size();
    uint32_t at = static_cast<uint32_t>(total % ringBytes);
    while (count > 0) {
        const uint32_t chunk = std::min(count, ringBytes - at);
        std::memcpy(target, bytes_.data() + at, chunk);
        target += chunk;
        count -= chunk;
        at = 0;
    }
}

}  // namespace zelmar::platform::audio
