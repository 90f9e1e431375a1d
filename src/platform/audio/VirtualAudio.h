// The virtual sound device: buffers whose cursors advance on the platform clock (virtual time
// in tests, the real clock elsewhere), with no sound hardware at all.
//
// - Capture buffers receive, in order of preference: the scripted input a test installed, the
//   audio that a playing virtual playback buffer plays (loopback; same format only), silence.
//   With a room set, they receive the loopback through the room with the scripted input added.
// - Playback buffers "play" by moving their play cursor; what they play goes to the loopback
//   and to an optional tap a test installs.
// - Faults: cursors that stop moving, cursors that report a stopped device, a lost playback
//   buffer, and any operation failing with a chosen result a number of times.
//
// Cursors are brought up to the clock whenever a buffer is used, and notification events of
// the positions passed are set then; Pump brings every buffer up at once (a real-time helper
// thread does that every millisecond when the clock is the real one).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioDevice.h"
#include "platform/audio/VirtualRoom.h"

namespace zelmar::platform::audio {

class VirtualAudioService final : public IAudioService {
public:
    // Operations a test can make fail.
    enum class Operation {
        kCreateDevice, kCreateBuffer, kSetCooperativeLevel, kSetFormat, kGetCurrentPosition,
        kLock, kUnlock, kSetNotificationPositions, kStart, kStop, kPlay, kRestore, kCount
    };

    VirtualAudioService();
    ~VirtualAudioService() override;

    // Device ids of the virtual devices (the lists hold exactly these, in this order).
    static DeviceGuid CaptureGuid();
    static DeviceGuid PlaybackGuid();
    // The monitor of the virtual playback device (MonitorOf): a capture device of its own,
    // not listed, that captures the monitor input.
    static DeviceGuid MonitorGuid();
    static const char* CaptureDescription();
    static const char* PlaybackDescription();

    // Capture data source: called with the byte position in the captured stream (counted
    // since the buffer was made) and the region to fill.
    using ScriptedInput = std::function<void(uint64_t streamByte, uint8_t* target, uint32_t bytes)>;
    void SetScriptedInput(ScriptedInput input);
    // What the monitor captures, as SetScriptedInput for the capture device (silence without).
    void SetMonitorInput(ScriptedInput input);
    // Receives every byte a playback buffer plays, in order.
    using PlaybackTap = std::function<void(const uint8_t* played, uint32_t bytes)>;
    void SetPlaybackTap(PlaybackTap tap);
    void SetLoopback(bool enabled);
    // Delay of the loopback (default 0: what plays is captured at once).  A real echo path
    // always takes some time, and an echo canceller is tried on one that does.
    void SetLoopbackDelayMs(uint32_t delayMs);
    // The loopback through a simulated room instead (VirtualRoom.h: delay, reflections, echo
    // level, noise, clock drift), for 16-bit formats; the scripted input, if any, is then the
    // near-end talker, mixed in rather than replacing the loopback.  Set while audio plays,
    // the echo path changes under the running stream (a longer delay inserts silence, a
    // shorter one drops what would have been heard).  nullopt: the plain loopback again.
    void SetLoopbackRoom(const std::optional<LoopbackRoom>& room);

    // Fault injection.
    void SetCursorsStalled(bool stalled);       // cursors keep their place, the device "runs"
    void SetCursorsReportStopped(bool stopped); // both cursors report the same place
    void LoseBuffers();                         // every playback buffer becomes lost
    void FailNext(Operation operation, DsResult result, int times = 1);
    // The waveIn / waveOut names OpenWaveDevices answers from now on, in place of the device
    // lists' own: a multimedia view that does not match the lists.
    void SetWaveNames(std::vector<std::string> captureNames, std::vector<std::string> playbackNames);
    // Caps flags the playback device reports from now on (kDeviceCapsEmulated: a driver
    // emulated in software).
    void SetPlaybackCapsFlags(uint32_t flags);

    // Cursor lead of capture and playback buffers: what the device holds between its cursors.
    static constexpr uint32_t kCursorLeadMs = 10;

    // Size in bytes of the last capture or (non-primary) playback buffer made.
    uint32_t LastBufferBytes() const;

    // Brings every live buffer up to the clock.
    void Pump();

    DsResult EnumerateCapture(std::vector<DeviceDescription>* devices) override;
    DsResult EnumeratePlayback(std::vector<DeviceDescription>* devices) override;
    DsResult CreateCapture(const DeviceGuid* id, std::unique_ptr<ICaptureDevice>* device) override;
    DsResult CreatePlayback(const DeviceGuid* id, std::unique_ptr<IPlaybackDevice>* device) override;
    DsResult MonitorOf(const DeviceGuid* playbackId, DeviceGuid* monitorId) override;
    std::unique_ptr<IWaveDevices> OpenWaveDevices() override;
    DsResult CreateFullDuplex(const DeviceGuid* captureId, const DeviceGuid* playbackId,
                              const CaptureBufferDesc& captureDesc,
                              const PlaybackBufferDesc& playbackDesc, OwnerHandle owner,
                              uint32_t level, std::unique_ptr<IFullDuplex>* duplex,
                              std::unique_ptr<ICaptureBuffer>* captureBuffer,
                              std::unique_ptr<IPlaybackBuffer>* playbackBuffer) override;

    struct Hub;

private:
    std::shared_ptr<Hub> hub_;
};

}  // namespace zelmar::platform::audio
