// Test helpers for the sound-device components: the virtual sound device installed for a
// test's scope (on top of the virtual clock), and spy buffers that record how a component
// lays out and walks its ring.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "platform/Platform.h"
#include "platform/audio/VirtualAudio.h"
#include "support/TestPlatform.h"

namespace zelmar::test {

class VirtualSound {
public:
    explicit VirtualSound(bool autoAdvance = true) : platform(autoAdvance), scope_(Services(&audio)) {}

    // What the device plays from now on, appended to `played` as 16-bit words.
    void TapPlayback(std::vector<int16_t>* played) {
        audio.SetPlaybackTap([played](const uint8_t* bytes, uint32_t n) {
            played->resize(played->size() + n / 2);
            std::memcpy(played->data() + played->size() - n / 2, bytes, n / 2 * 2);
        });
    }

    VirtualPlatform platform;
    platform::audio::VirtualAudioService audio;

private:
    static platform::Services Services(platform::audio::IAudioService* audio) {
        platform::Services services{};
        services.audio = audio;
        return services;
    }
    platform::ScopedPlatform scope_;
};

// What a spy saw; owned by the test, as the component deletes the spy itself.
struct BufferLog {
    std::vector<platform::audio::PositionNotify> notifications;
    std::vector<uint32_t> lockOffsets;
    std::vector<uint32_t> lockBytes;
};

// Forwards every call to a real buffer and records notifications and locks.
template <typename Interface>
class SpyBufferBase : public Interface {
public:
    SpyBufferBase(std::unique_ptr<Interface> inner, BufferLog* log) : inner_(std::move(inner)), log_(log) {}

    platform::audio::DsResult GetCurrentPosition(uint32_t* a, uint32_t* b) override {
        return inner_->GetCurrentPosition(a, b);
    }
    platform::audio::DsResult Lock(uint32_t offset, uint32_t bytes, void** p1, uint32_t* n1, void** p2,
                                   uint32_t* n2, uint32_t flags) override {
        log_->lockOffsets.push_back(offset);
        log_->lockBytes.push_back(bytes);
        return inner_->Lock(offset, bytes, p1, n1, p2, n2, flags);
    }
    platform::audio::DsResult Unlock(void* p1, uint32_t n1, void* p2, uint32_t n2) override {
        return inner_->Unlock(p1, n1, p2, n2);
    }
    platform::audio::DsResult SetNotificationPositions(uint32_t count,
                                                       const platform::audio::PositionNotify* p) override {
        log_->notifications.assign(p, p + count);
        return inner_->SetNotificationPositions(count, p);
    }
    platform::audio::DsResult GetCaps(platform::audio::BufferCaps* caps) override { return inner_->GetCaps(caps); }
    platform::audio::DsResult GetFormat(WAVEFORMATEX* f) override { return inner_->GetFormat(f); }
    platform::audio::DsResult Stop() override { return inner_->Stop(); }

protected:
    std::unique_ptr<Interface> inner_;
    BufferLog* log_;
};

class SpyCaptureBuffer final : public SpyBufferBase<platform::audio::ICaptureBuffer> {
public:
    using SpyBufferBase::SpyBufferBase;
    platform::audio::DsResult Start(uint32_t flags) override { return inner_->Start(flags); }
    platform::audio::DsResult GetObjectInPath(platform::audio::CaptureEffect kind,
                                              std::unique_ptr<platform::audio::ICaptureEffect>* e) override {
        return inner_->GetObjectInPath(kind, e);
    }
};

class SpyPlaybackBuffer final : public SpyBufferBase<platform::audio::IPlaybackBuffer> {
public:
    using SpyBufferBase::SpyBufferBase;
    platform::audio::DsResult Play(uint32_t flags) override { return inner_->Play(flags); }
    platform::audio::DsResult Restore() override { return inner_->Restore(); }
    platform::audio::DsResult SetFormat(const WAVEFORMATEX& f) override { return inner_->SetFormat(f); }
};

}  // namespace zelmar::test
