// What every backend shares: owner handles, full duplex from two devices, and the service of
// a normal process, which lists the sound server's devices first and the virtual ones after.
#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

#include "platform/audio/AudioDevice.h"
#include "platform/audio/CaptureEffects.h"
#include "platform/audio/PulseAudio.h"
#include "platform/audio/VirtualAudio.h"

namespace zelmar::platform::audio {
namespace {

struct OwnerRegistry {
    std::mutex mutex;
    std::set<OwnerHandle> live;
    OwnerHandle next = 0x10000;  // well away from small integers a host might pass
};

OwnerRegistry& Owners() {
    static OwnerRegistry* const registry = new OwnerRegistry;  // outlives static destructors
    return *registry;
}

class DevicePair final : public IFullDuplex {
public:
    std::unique_ptr<ICaptureDevice> capture;
    std::unique_ptr<IPlaybackDevice> playback;
};

// Routes each device to the service that listed it.  Virtual ids are fixed and never collide
// with the sound server's, which are hashes of the server's device names.
class SystemAudioService final : public IAudioService {
public:
    SystemAudioService() : pulse_(CreatePulseAudioService()) {}

    DsResult EnumerateCapture(std::vector<DeviceDescription>* devices) override {
        return Enumerate(devices, /*capture=*/true);
    }
    DsResult EnumeratePlayback(std::vector<DeviceDescription>* devices) override {
        return Enumerate(devices, /*capture=*/false);
    }

    DsResult CreateCapture(const DeviceGuid* id, std::unique_ptr<ICaptureDevice>* device) override {
        if (id != nullptr && (*id == VirtualAudioService::CaptureGuid() || *id == VirtualAudioService::MonitorGuid())) {
            return virtual_.CreateCapture(id, device);
        }
        // The default device is the server's default, or the virtual one when no server answers.
        const DsResult result = pulse_->CreateCapture(id, device);
        if (id == nullptr && Failed(result)) return virtual_.CreateCapture(nullptr, device);
        return result;
    }
    DsResult CreatePlayback(const DeviceGuid* id, std::unique_ptr<IPlaybackDevice>* device) override {
        if (id != nullptr && *id == VirtualAudioService::PlaybackGuid()) return virtual_.CreatePlayback(id, device);
        const DsResult result = pulse_->CreatePlayback(id, device);
        if (id == nullptr && Failed(result)) return virtual_.CreatePlayback(nullptr, device);
        return result;
    }
    DsResult CreateFullDuplex(const DeviceGuid* captureId, const DeviceGuid* playbackId,
                              const CaptureBufferDesc& captureDesc,
                              const PlaybackBufferDesc& playbackDesc, OwnerHandle owner,
                              uint32_t level, std::unique_ptr<IFullDuplex>* duplex,
                              std::unique_ptr<ICaptureBuffer>* captureBuffer,
                              std::unique_ptr<IPlaybackBuffer>* playbackBuffer) override {
        return CreateFullDuplexFromDevices(*this, captureId, playbackId, captureDesc, playbackDesc,
                                           owner, level, duplex, captureBuffer, playbackBuffer);
    }

    DsResult MonitorOf(const DeviceGuid* playbackId, DeviceGuid* monitorId) override {
        if (playbackId != nullptr && *playbackId == VirtualAudioService::PlaybackGuid()) {
            return virtual_.MonitorOf(playbackId, monitorId);
        }
        return pulse_->MonitorOf(playbackId, monitorId);
    }

private:
    DsResult Enumerate(std::vector<DeviceDescription>* devices, bool capture) {
        if (devices == nullptr) return kDsErrInvalidParam;
        std::vector<DeviceDescription> server;
        std::vector<DeviceDescription> local;
        // No server is not an error: the list then holds the virtual devices only.
        if (Failed(capture ? pulse_->EnumerateCapture(&server) : pulse_->EnumeratePlayback(&server))) {
            server.clear();
        }
        if (capture) {
            virtual_.EnumerateCapture(&local);
        } else {
            virtual_.EnumeratePlayback(&local);
        }
        *devices = std::move(server);
        devices->insert(devices->end(), local.begin(), local.end());
        return kDsOk;
    }

    std::unique_ptr<IAudioService> pulse_;
    VirtualAudioService virtual_;
};

}  // namespace

OwnerHandle CreateOwnerHandle() {
    OwnerRegistry& owners = Owners();
    std::lock_guard<std::mutex> lock(owners.mutex);
    const OwnerHandle handle = owners.next++;
    owners.live.insert(handle);
    return handle;
}

void DestroyOwnerHandle(OwnerHandle owner) {
    OwnerRegistry& owners = Owners();
    std::lock_guard<std::mutex> lock(owners.mutex);
    owners.live.erase(owner);
}

bool IsLiveOwnerHandle(OwnerHandle owner) {
    OwnerRegistry& owners = Owners();
    std::lock_guard<std::mutex> lock(owners.mutex);
    return owners.live.count(owner) != 0;
}

int LiveOwnerHandleCount() {
    OwnerRegistry& owners = Owners();
    std::lock_guard<std::mutex> lock(owners.mutex);
    return static_cast<int>(owners.live.size());
}

DsResult CreateFullDuplexFromDevices(IAudioService& service, const DeviceGuid* captureId,
                                     const DeviceGuid* playbackId,
                                     const CaptureBufferDesc& captureDesc,
                                     const PlaybackBufferDesc& playbackDesc, OwnerHandle owner,
                                     uint32_t level, std::unique_ptr<IFullDuplex>* duplex,
                                     std::unique_ptr<ICaptureBuffer>* captureBuffer,
                                     std::unique_ptr<IPlaybackBuffer>* playbackBuffer) {
    if (duplex == nullptr || captureBuffer == nullptr || playbackBuffer == nullptr) return kDsErrInvalidParam;
    auto pair = std::make_unique<DevicePair>();
    std::unique_ptr<ICaptureBuffer> capture;
    std::unique_ptr<IPlaybackBuffer> playback;
    DsResult result = service.CreateCapture(captureId, &pair->capture);
    if (!Failed(result)) result = service.CreatePlayback(playbackId, &pair->playback);
    if (!Failed(result)) result = pair->playback->SetCooperativeLevel(owner, level);
    if (!Failed(result)) result = pair->capture->CreateCaptureBuffer(captureDesc, &capture);
    if (!Failed(result)) result = pair->playback->CreateSoundBuffer(playbackDesc, &playback);
    if (Failed(result)) return result;
    if (std::shared_ptr<CaptureEffects> effects = capture->Effects()) playback->SetEchoReference(std::move(effects));
    *duplex = std::move(pair);
    *captureBuffer = std::move(capture);
    *playbackBuffer = std::move(playback);
    return kDsOk;
}

std::unique_ptr<IAudioService> CreateSystemAudioService() { return std::make_unique<SystemAudioService>(); }

}  // namespace zelmar::platform::audio
