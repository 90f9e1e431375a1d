// "DSoundAudioIn2": the notification-driven capture a voice host uses for long calls.
//
// The capture buffer holds at least 800 ms.  The device sets one shared event at the start of
// every block; GetData waits on it (never polls it), then finds the newest complete block from
// the read cursor and walks a ring of block records stamped with a read sequence, so it always
// delivers the oldest block not yet delivered, and skips to the newest one when the caller has
// fallen more than the input buffer time behind.  It numbers devices in waveIn order, applies
// both capture effects of a buffer that carries them, keeps the last device failure for
// "DXErrorCode"/"DXErrorString", detects a device whose cursors stand still for 30 s, stops,
// rebuilds and restarts itself before "TotalIn" could wrap, and lets a second thread's Stop
// wake a reader blocked in GetData.
//
// States: Created 0, Built 1, Stopping 2 (while Stop runs), Running 3.
#pragma once

#include <cstdint>
#include <vector>

#include "devices/DeviceEndpoint.h"
#include "framework/Properties.h"

namespace zelmar {

class CDSoundAudioIn2 : public CDeviceEndpoint<CaptureSide> {
public:
    static constexpr int32_t kStateStopping = 2;
    static constexpr int32_t kStateCapturing = 3;  // Running

    CDSoundAudioIn2();
    ~CDSoundAudioIn2() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t GetData(void* buffer, int32_t bytes) override;

    // Class-specific operations, in this order after those of IAudioIO.
    virtual int32_t EnumerateDevices();
    virtual int32_t OpenDevice();
    virtual int32_t ApplyEffects();

    static const PropertyTable<CDSoundAudioIn2>& Properties();

    static constexpr int kEffectEchoCancellation = 0;
    static constexpr int kEffectNoiseSuppression = 1;

    // A device whose cursors stand still this long has stalled; a reader that waited this long
    // for a new block gives up.
    static constexpr uint32_t kStallMs = 30000;
    // Past this many delivered bytes the component restarts itself, well before the 32-bit
    // "TotalIn" could wrap.
    static constexpr uint32_t kRestartAfterBytes = 3456000000u;
    // The capture buffer holds at least this much.
    static constexpr uint32_t kMinBufferMs = 800;

private:
    // One block of the capture buffer.
    struct BlockRecord {
        uint32_t offset = 0;
        uint32_t stamp = 0;  // the read sequence it was delivered with; 0 never
        uint32_t previous = 0;
        uint32_t next = 0;
    };

    int32_t GetCurrentPosition(uint32_t* capture, uint32_t* read);
    int32_t ReadBuffer(uint32_t offset, uint8_t* to, uint32_t bytes);
    int32_t ReadBlock(uint8_t* to);
    // Waits for the notification; false when the state left Running meanwhile.
    bool WaitNotification(uint32_t timeoutMs, bool* signalled);
    bool Capturing() const { return state_ == kStateCapturing; }
    void ReleaseAll();
    int32_t Fail(platform::audio::DsResult result) {
        dxErrorCode_ = result;
        return result;
    }

    int32_t SwitchEffect(int32_t effect, int32_t on);
    int32_t EnableEffect(int32_t effect, void*) { return SwitchEffect(effect, 1); }
    int32_t DisableEffect(int32_t effect, void*) { return SwitchEffect(effect, 0); }
    int32_t SetSoftwareBuffer(int32_t value, void*) {
        softwareBuffer_ = value != 0 ? 1 : 0;
        return kOk;
    }
    int32_t GetErrorString(int32_t bytes, void* out);

    int32_t effectSwitches_[2] = {0, 0};
    int32_t softwareBuffer_ = 0;  // taken and kept; this capture has no use for it

    // Geometry of the last successful Build.
    struct Geometry {
        uint32_t blockBytes = 0;  // B
        uint32_t blockMs = 0;     // D, whole milliseconds
        uint32_t lookBack = 0;    // N blocks: the input buffer time
    } geometry_;
    std::vector<BlockRecord> records_;  // M records, made by Build

    // Run-time state; the stamps live in the records, kept across Stop and Start.
    uint32_t readSequence_ = 0;
    uint32_t lastReadCursor_ = 0;
    uint32_t lastPollMs_ = 0;
    uint32_t capturePos_ = 0;  // "CapturePos"
    uint32_t bufferPos_ = 0;   // "BufferPos"
    uint32_t totalIn_ = 0;     // "TotalIn"
    uint32_t resetCount_ = 0;
    int32_t dxErrorCode_ = 0;  // "DXErrorCode"
};

}  // namespace zelmar
