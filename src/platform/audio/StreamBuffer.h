// The buffer operations every backend forwards to its stream object (one class doing the work
// of a capture or playback buffer), written once: each backend's buffer classes add only the
// operations that differ.
#pragma once

#include <utility>

#include "platform/audio/AudioDevice.h"

namespace zelmar::platform::audio {

template <typename Interface, typename Stream>
class StreamBuffer : public Interface {
public:
    template <typename... StreamArgs>
    explicit StreamBuffer(StreamArgs&&... args) : stream_(std::forward<StreamArgs>(args)...) {}
    Stream& stream() { return stream_; }

    DsResult GetCurrentPosition(uint32_t* first, uint32_t* second) override {
        return stream_.GetCurrentPosition(first, second);
    }
    DsResult Lock(uint32_t offset, uint32_t bytes, void** part1, uint32_t* bytes1, void** part2, uint32_t* bytes2,
                  uint32_t flags) override {
        return stream_.Lock(offset, bytes, part1, bytes1, part2, bytes2, flags);
    }
    DsResult Unlock(void* part1, uint32_t bytes1, void* part2, uint32_t bytes2) override {
        return stream_.Unlock(part1, bytes1, part2, bytes2);
    }
    DsResult SetNotificationPositions(uint32_t count, const PositionNotify* positions) override {
        return stream_.SetNotificationPositions(count, positions);
    }
    DsResult GetCaps(BufferCaps* caps) override { return stream_.GetCaps(caps); }
    DsResult GetFormat(WAVEFORMATEX* format) override { return stream_.GetFormat(format); }
    DsResult Stop() override { return stream_.Stop(); }

protected:
    Stream stream_;
};

// A capture buffer's effects as its stream holds them (null without effects).
template <typename Stream>
DsResult EffectInPath(const Stream& stream, CaptureEffect kind, std::unique_ptr<ICaptureEffect>* effect) {
    if (effect == nullptr) return kDsErrInvalidParam;
    if (!stream.effects) return kDsErrNoInterface;
    return stream.effects->MakeSwitch(kind, effect);
}

}  // namespace zelmar::platform::audio
