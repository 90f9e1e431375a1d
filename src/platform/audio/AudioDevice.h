// The sound-device model the device components are written against: devices listed with a
// description and a 16-byte id, looping capture and playback buffers whose cursors advance
// while they run, two-part Lock/Unlock where a region wraps, position notifications that
// set events, capture effects, lost buffers, and an owner handle for the cooperative level.
//
// Results are 32-bit codes in the DirectSound convention (0 success, negative failure), so a
// component can store and report them as the device's own result.
//
// Two backends implement it (see docs/devices.md): PulseAudio (real devices) and a virtual
// device whose cursors follow the platform clock.  Both are reached through IAudioService,
// which platform::Current().audio returns.
#pragma once

#include <zelmar/zelmar.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/Time.h"

namespace zelmar::platform::audio {

using DsResult = int32_t;
class CaptureEffects;
class IWaveDevices;

constexpr DsResult kDsOk = 0;
constexpr DsResult kDsErrFail = static_cast<DsResult>(0x80004005u);
constexpr DsResult kDsErrNoInterface = static_cast<DsResult>(0x80004002u);
constexpr DsResult kDsErrUnsupported = static_cast<DsResult>(0x80004001u);
constexpr DsResult kDsErrInvalidParam = static_cast<DsResult>(0x80070057u);
constexpr DsResult kDsErrOutOfMemory = static_cast<DsResult>(0x8007000Eu);
constexpr DsResult kDsErrAllocated = static_cast<DsResult>(0x8878000Au);
constexpr DsResult kDsErrInvalidCall = static_cast<DsResult>(0x88780032u);
constexpr DsResult kDsErrBadFormat = static_cast<DsResult>(0x88780064u);
constexpr DsResult kDsErrNoDriver = static_cast<DsResult>(0x88780078u);
constexpr DsResult kDsErrBufferLost = static_cast<DsResult>(0x88780096u);
constexpr DsResult kDsErrFxUnavailable = static_cast<DsResult>(0x887800B0u);

inline bool Failed(DsResult result) { return result < 0; }

struct DeviceGuid {
    uint8_t bytes[16] = {};
    bool operator==(const DeviceGuid& other) const { return std::memcmp(bytes, other.bytes, 16) == 0; }
    bool operator!=(const DeviceGuid& other) const { return !(*this == other); }
};

// One entry of a device list.  The description is what a host shows; the id opens the device.
struct DeviceDescription {
    std::string description;
    DeviceGuid guid;
};

// Start/Play flags.
constexpr uint32_t kCaptureStartLooping = 1;
constexpr uint32_t kPlayLooping = 1;

// Notification offset that fires when the buffer stops.
constexpr uint32_t kNotifyOffsetStop = 0xFFFFFFFFu;
struct PositionNotify {
    uint32_t offset;
    IEvent* event;
};

// Lock flags.
constexpr uint32_t kLockFromWriteCursor = 1;
constexpr uint32_t kLockEntireBuffer = 2;

// Playback buffer description flags.
constexpr uint32_t kBufferPrimary = 0x1;
constexpr uint32_t kBufferLocSoftware = 0x8;
constexpr uint32_t kBufferCtrlPositionNotify = 0x100;
constexpr uint32_t kBufferGlobalFocus = 0x8000;
constexpr uint32_t kBufferGetCurrentPosition2 = 0x10000;
constexpr uint32_t kBufferTruePlayPosition = 0x80000;
// Capture buffer description flag: the buffer carries capture effects.
constexpr uint32_t kCaptureBufferCtrlFx = 0x200;

// Device caps flag: the device is emulated in software (higher latency).
constexpr uint32_t kDeviceCapsEmulated = 0x20;

// Cooperative levels.
constexpr uint32_t kCooperativeNormal = 1;
constexpr uint32_t kCooperativePriority = 2;
constexpr uint32_t kCooperativeWritePrimary = 4;

struct BufferCaps {
    uint32_t flags = 0;
    uint32_t bufferBytes = 0;
};

struct DeviceCaps {
    uint32_t flags = 0;
    uint32_t minSampleRate = 0;
    uint32_t maxSampleRate = 0;
    uint32_t channels = 0;
};

enum class CaptureEffect { kEchoCancellation, kNoiseSuppression };

struct CaptureBufferDesc {
    uint32_t flags = 0;
    uint32_t bufferBytes = 0;
    WAVEFORMATEX format{};
    // Effects the buffer is created with (honoured only with kCaptureBufferCtrlFx).
    bool echoCancellation = false;
    bool noiseSuppression = false;
};

struct PlaybackBufferDesc {
    uint32_t flags = 0;
    uint32_t bufferBytes = 0;  // 0 for the primary buffer
    bool hasFormat = false;    // the primary buffer is created without a format
    WAVEFORMATEX format{};
};

// A capture effect in a buffer's path.  Only the enable switch is exposed: that is all the
// components read or change.
class ICaptureEffect {
public:
    virtual ~ICaptureEffect() = default;
    virtual DsResult GetEnable(bool* enabled) = 0;
    virtual DsResult SetEnable(bool enabled) = 0;
};

// Operations shared by capture and playback buffers.  The two cursors are (capture, read) for
// capture and (play, write) for playback.  The bytes between the second and first cursor of a
// capture buffer, and between play and write of a playback buffer, belong to the device.
class IAudioBuffer {
public:
    virtual ~IAudioBuffer() = default;
    virtual DsResult GetCurrentPosition(uint32_t* first, uint32_t* second) = 0;
    // Locks `bytes` at `offset`; a region that runs past the end continues at offset 0 in the
    // second part (null and 0 when it does not wrap).
    virtual DsResult Lock(uint32_t offset, uint32_t bytes, void** part1, uint32_t* bytes1,
                          void** part2, uint32_t* bytes2, uint32_t flags) = 0;
    virtual DsResult Unlock(void* part1, uint32_t bytes1, void* part2, uint32_t bytes2) = 0;
    // Replaces the notification positions; refused while the buffer runs.  The events stay
    // owned by the caller and must outlive the buffer or the next call.
    virtual DsResult SetNotificationPositions(uint32_t count, const PositionNotify* positions) = 0;
    virtual DsResult GetCaps(BufferCaps* caps) = 0;
    virtual DsResult GetFormat(WAVEFORMATEX* format) = 0;
    virtual DsResult Stop() = 0;
};

class ICaptureBuffer : public IAudioBuffer {
public:
    virtual DsResult Start(uint32_t flags) = 0;
    // The effect of `kind` in this buffer's path; kDsErrNoInterface when the buffer has none.
    virtual DsResult GetObjectInPath(CaptureEffect kind, std::unique_ptr<ICaptureEffect>* effect) = 0;
    // The processing of this buffer's effects (null without effects): a full-duplex pair
    // feeds it what its playback buffer plays, as the echo canceller's reference.
    virtual std::shared_ptr<CaptureEffects> Effects() { return nullptr; }
};

class IPlaybackBuffer : public IAudioBuffer {
public:
    virtual DsResult Play(uint32_t flags) = 0;
    // Brings back a lost buffer (its contents must be written again).
    virtual DsResult Restore() = 0;
    // Primary buffers only: the format the device mixes in.
    virtual DsResult SetFormat(const WAVEFORMATEX& format) = 0;
    // Everything this buffer plays from now on is also handed to `effects` as the far end.
    virtual void SetEchoReference(std::shared_ptr<CaptureEffects> effects) { (void)effects; }
};

class ICaptureDevice {
public:
    virtual ~ICaptureDevice() = default;
    virtual DsResult GetCaps(DeviceCaps* caps) = 0;
    virtual DsResult CreateCaptureBuffer(const CaptureBufferDesc& desc,
                                         std::unique_ptr<ICaptureBuffer>* buffer) = 0;
};

// An owner handle stands in for the window that owns a cooperative level; 0 is "none".
using OwnerHandle = intptr_t;

class IPlaybackDevice {
public:
    virtual ~IPlaybackDevice() = default;
    virtual DsResult SetCooperativeLevel(OwnerHandle owner, uint32_t level) = 0;
    virtual DsResult GetCaps(DeviceCaps* caps) = 0;
    // Needs a cooperative level first, as the owner decides which application plays.
    virtual DsResult CreateSoundBuffer(const PlaybackBufferDesc& desc,
                                       std::unique_ptr<IPlaybackBuffer>* buffer) = 0;
};

// A capture and a playback device opened together, so the capture side can cancel the echo
// of what the playback side plays (the playback buffer feeds the capture buffer's effects).
// The buffers it hands out live on their own.
class IFullDuplex {
public:
    virtual ~IFullDuplex() = default;
};

class IAudioService {
public:
    virtual ~IAudioService() = default;
    // Lists in a stable order (the same devices give the same order on every call).
    virtual DsResult EnumerateCapture(std::vector<DeviceDescription>* devices) = 0;
    virtual DsResult EnumeratePlayback(std::vector<DeviceDescription>* devices) = 0;
    // A null id opens the default device.
    virtual DsResult CreateCapture(const DeviceGuid* id, std::unique_ptr<ICaptureDevice>* device) = 0;
    virtual DsResult CreatePlayback(const DeviceGuid* id, std::unique_ptr<IPlaybackDevice>* device) = 0;
    virtual DsResult CreateFullDuplex(const DeviceGuid* captureId, const DeviceGuid* playbackId,
                                      const CaptureBufferDesc& captureDesc,
                                      const PlaybackBufferDesc& playbackDesc, OwnerHandle owner,
                                      uint32_t level, std::unique_ptr<IFullDuplex>* duplex,
                                      std::unique_ptr<ICaptureBuffer>* captureBuffer,
                                      std::unique_ptr<IPlaybackBuffer>* playbackBuffer) = 0;
    // The waveIn / waveOut view of these devices (WaveDevices.h), as they are listed now.  By
    // default the service's own lists in their order; a service whose multimedia order differs
    // answers its own.
    virtual std::unique_ptr<IWaveDevices> OpenWaveDevices();
    // The id of the capture device that hears what playback device `playbackId` plays (a
    // sink's monitor); a null id means the first playback device.  kDsErrUnsupported where
    // playback cannot be heard back.
    virtual DsResult MonitorOf(const DeviceGuid* playbackId, DeviceGuid* monitorId) {
        (void)playbackId;
        (void)monitorId;
        return kDsErrUnsupported;
    }
};

// Owner handles: made on the calling thread, valid until destroyed.  Process-wide, like the
// window class they replace.
OwnerHandle CreateOwnerHandle();
void DestroyOwnerHandle(OwnerHandle owner);
bool IsLiveOwnerHandle(OwnerHandle owner);
int LiveOwnerHandleCount();

// Full duplex built from two separately opened devices of one service: the common way for
// backends without a joint open.
DsResult CreateFullDuplexFromDevices(IAudioService& service, const DeviceGuid* captureId,
                                     const DeviceGuid* playbackId,
                                     const CaptureBufferDesc& captureDesc,
                                     const PlaybackBufferDesc& playbackDesc, OwnerHandle owner,
                                     uint32_t level, std::unique_ptr<IFullDuplex>* duplex,
                                     std::unique_ptr<ICaptureBuffer>* captureBuffer,
                                     std::unique_ptr<IPlaybackBuffer>* playbackBuffer);

// The service of a normal process: the sound server's devices (when one answers) followed by
// the virtual devices.
std::unique_ptr<IAudioService> CreateSystemAudioService();

}  // namespace zelmar::platform::audio
