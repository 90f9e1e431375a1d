// What the sound-device endpoints share: the device list a host numbers devices by, the format
// and ring settings, the lenient lifecycle, the device objects and ring of an opened device,
// and the property rows every capture or playback endpoint answers the same way.
//
// CDeviceEndpoint<Side> is a base that adds no virtual operations, so each component's own
// class-specific operations keep their slots right after those of IAudioIO.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "devices/DeviceProperties.h"
#include "devices/DeviceRing.h"
#include "devices/WaveOrder.h"
#include "framework/AudioComponent.h"
#include "framework/Format.h"
#include "framework/Properties.h"
#include "platform/Platform.h"
#include "platform/Time.h"
#include "platform/audio/AudioDevice.h"
#include "platform/audio/WaveDevices.h"

namespace zelmar {

// The devices of one side as the service lists them, at most kMaxDevices of them: hosts
// number devices 0..15, -1 being the system's default device.
class DeviceList {
public:
    static constexpr int32_t kMaxDevices = 16;

    // Keeps the first kMaxDevices entries.
    void Keep(const std::vector<platform::audio::DeviceDescription>& devices);
    void Clear() { count = 0; }

    // True for -1 and for a listed device.
    bool IsNumber(int32_t number) const { return number >= -1 && number < count; }
    // The id that opens device `number`; null (the default device) for -1.
    const platform::audio::DeviceGuid* Guid(int32_t number) const;
    // Entry `index` as the name and id properties read it: the description with its NUL, or
    // the 16-byte id; an index outside the list is refused.
    int32_t CopyName(int32_t index, void* out) const;
    int32_t CopyGuid(int32_t index, void* out) const;

    int32_t count = 0;  // listed devices, 0..kMaxDevices ("InDeviceNum" / "OutDeviceNum")

private:
    std::string descriptions_[kMaxDevices];
    platform::audio::DeviceGuid guids_[kMaxDevices];
};

// The settings every endpoint takes, with their defaults.
struct EndpointSettings {
    uint32_t samplesPerSec = 16000;
    uint32_t bitsPerSample = 16;  // the format takes the low 16 bits, as its field holds
    uint32_t channels = 1;        // likewise
    uint32_t blockSamples = 40;   // sample frames per block
    uint32_t timeOutMs = 1000;    // kept for hosts that set it; pacing does not use it
    uint32_t bufferTimeMs = 200;  // "InBufferTime" or "OutBufferTime"
    int32_t deviceNumber = -1;    // -1: the system's default device

    WAVEFORMATEX Format() const {
        return DeviceFormat(samplesPerSec, static_cast<uint16_t>(bitsPerSample), static_cast<uint16_t>(channels));
    }
    uint32_t PollSleepMs() const { return BlockSleepMs(blockSamples, samplesPerSec); }
};

// The names and device calls of one side.
struct CaptureSide {
    using Device = platform::audio::ICaptureDevice;
    using Buffer = platform::audio::ICaptureBuffer;
    static constexpr int32_t kBufferTime = kDevInBufferTime;
    static constexpr int32_t kDeviceNum = kDevInDeviceNum;
    static constexpr int32_t kDeviceNo = kDevInDeviceNo;
    static constexpr int32_t kDeviceName = kDevInDeviceName;
    static constexpr int32_t kDeviceGuid = kDevInDeviceGUID;
    static constexpr int32_t kHandOver = kDevDSCaptureBuffer;

    static constexpr auto kEnumerate = &platform::audio::IAudioService::EnumerateCapture;
    static constexpr auto kCreate = &platform::audio::IAudioService::CreateCapture;
    static constexpr auto kWaveDirection = platform::audio::WaveDirection::kIn;
};

struct PlaybackSide {
    using Device = platform::audio::IPlaybackDevice;
    using Buffer = platform::audio::IPlaybackBuffer;
    static constexpr int32_t kBufferTime = kDevOutBufferTime;
    static constexpr int32_t kDeviceNum = kDevOutDeviceNum;
    static constexpr int32_t kDeviceNo = kDevOutDeviceNo;
    static constexpr int32_t kDeviceName = kDevOutDeviceName;
    static constexpr int32_t kDeviceGuid = kDevOutDeviceGUID;
    static constexpr int32_t kHandOver = kDevDSPlayBuffer;

    static constexpr auto kEnumerate = &platform::audio::IAudioService::EnumeratePlayback;
    static constexpr auto kCreate = &platform::audio::IAudioService::CreatePlayback;
    static constexpr auto kWaveDirection = platform::audio::WaveDirection::kOut;
};

// How an endpoint numbers its devices: as the service lists them, or in the waveIn / waveOut
// order of the multimedia device view (devices/WaveOrder.h), as the second generation does.
enum class DeviceOrder { kService, kWave };

// The state is Created, Built or Running.  Build, Start and Stop are lenient: Build works in
// any state, Start and Stop refuse only a component never built and do nothing in the state
// they lead to.
template <typename Side>
class CDeviceEndpoint : public CAudioComponent<> {
public:
    // Lenient: never built is a wrong state, already stopped is done.  The buffer keeps its
    // contents and position.
    int32_t Stop() override {
        if (state_ == kStateCreated) return kErrState;
        if (state_ == kStateBuilt) return kOk;
        if (buffer_ != nullptr && platform::audio::Failed(buffer_->Stop())) return kErrPlatform;
        state_ = kStateBuilt;
        return kOk;
    }

protected:
    using Device = typename Side::Device;
    using Buffer = typename Side::Buffer;

    CDeviceEndpoint() : time_(platform::Current().time), audio_(platform::Current().audio) {}

    // Lists the side's devices; components do it once, when constructed.
    void ListDevices(DeviceOrder order = DeviceOrder::kService) {
        devices_.Clear();
        std::vector<platform::audio::DeviceDescription> found;
        if (audio_ == nullptr || platform::audio::Failed((audio_->*Side::kEnumerate)(&found))) return;
        if (found.size() > static_cast<std::size_t>(DeviceList::kMaxDevices)) found.resize(DeviceList::kMaxDevices);
        if (order == DeviceOrder::kWave) {
            if (std::unique_ptr<platform::audio::IWaveDevices> wave = audio_->OpenWaveDevices()) {
                ArrangeInWaveOrder(*wave, Side::kWaveDirection, &found);
            }
        }
        devices_.Keep(found);
    }

    // Lenient Build: a built or running component first lets go of its device (a handed-over
    // buffer with it) and is Created again; a failing open leaves it there.
    template <typename Release, typename Open>
    int32_t LenientBuild(Release release, Open open) {
        if (state_ != kStateCreated) {
            release();
            state_ = kStateCreated;
        }
        if (open() != kOk) return kErrPlatform;
        state_ = kStateBuilt;
        return kOk;
    }

    // Lenient Start: never built is a wrong state, already running is done; `start` returns
    // false when the device refuses, which leaves the component Built.
    template <typename Go>
    int32_t LenientStart(Go start) {
        if (state_ == kStateCreated) return kErrState;
        if (state_ == kStateRunning) return kOk;
        if (!start()) return kErrPlatform;
        state_ = kStateRunning;
        return kOk;
    }

    // The buffer goes before the device and before the events its notifications point at.
    void ReleaseDevice() {
        buffer_.reset();
        device_.reset();
        ring_.Release();
    }

    // The format and ring the settings ask for.
    int32_t PlanRing(WAVEFORMATEX* wfx, RingLayout* layout) const {
        *wfx = settings_.Format();
        return PlanBlockRing(*wfx, settings_.blockSamples, settings_.bufferTimeMs, layout);
    }

    // Opens the device numbered by the settings.
    platform::audio::DsResult CreateDevice(std::unique_ptr<Device>* device) const {
        if (audio_ == nullptr) return platform::audio::kDsErrNoDriver;
        return (audio_->*Side::kCreate)(devices_.Guid(settings_.deviceNumber), device);
    }

    // Makes the ring's notifications and sets them on `buffer`.
    template <typename NotifyOffset>
    platform::audio::DsResult ArmRing(Buffer& buffer, const RingLayout& layout, NotifyEvents kind, NotifyOffset offset,
                                      BlockNotifications* notifications) {
        platform::audio::DsResult result =
            MakeBlockNotifications(*time_, layout.blockCount, kind, offset, notifications);
        if (platform::audio::Failed(result)) return result;
        return buffer.SetNotificationPositions(static_cast<uint32_t>(notifications->table.size()),
                                               notifications->table.data());
    }

    // Keeps what a successful open made.
    void Keep(std::unique_ptr<Device> device, std::unique_ptr<Buffer> buffer, const WAVEFORMATEX& wfx,
              const RingLayout& layout, BlockNotifications notifications) {
        device_ = std::move(device);
        buffer_ = std::move(buffer);
        ring_.Adopt(layout, std::move(notifications));
        format_ = wfx;
    }

    // Property hooks of the rows below.
    int32_t SetDeviceNumber(int32_t value, void*) {
        if (!devices_.IsNumber(value)) return kErrInvalidArg;
        settings_.deviceNumber = value;
        return kOk;
    }
    // The buffer pointer travels in `data`; the component owns that buffer from now on.
    int32_t HandOverBuffer(int32_t, void* data) {
        handedOver_.reset(static_cast<Buffer*>(data));
        return kOk;
    }
    int32_t GetDeviceName(int32_t index, void* out) { return devices_.CopyName(index, out); }
    int32_t GetDeviceGuid(int32_t index, void* out) { return devices_.CopyGuid(index, out); }
    int32_t GetWaveFormat(int32_t, void* out) {
        std::memcpy(out, &format_, kWaveFormatBytes);
        return kOk;
    }

    // The rows every endpoint of this side answers alike.  Settings are write-only and taken
    // while not running; what the device list and the last Build report is read-only.
    template <typename C>
    static constexpr std::array<PropertyRow<C>, 13> EndpointRows() {
        constexpr Settable kSetting = Settable::kUnlessRunning;
        return {{
            DeviceRow<C>(kDevSamplesPerSec, kSetting, Readable::kNo, Value::kUint32,
                         [](C& c) -> void* { return &c.settings_.samplesPerSec; }),
            DeviceRow<C>(kDevBitsPerSample, kSetting, Readable::kNo, Value::kUint32,
                         [](C& c) -> void* { return &c.settings_.bitsPerSample; }),
            DeviceRow<C>(kDevChannels, kSetting, Readable::kNo, Value::kUint32,
                         [](C& c) -> void* { return &c.settings_.channels; }),
            DeviceRow<C>(kDevBlockSamples, kSetting, Readable::kNo, Value::kUint32,
                         [](C& c) -> void* { return &c.settings_.blockSamples; }),
            DeviceRow<C>(Side::kBufferTime, kSetting, Readable::kNo, Value::kUint32,
                         [](C& c) -> void* { return &c.settings_.bufferTimeMs; }),
            DeviceRow<C>(Side::kDeviceNum, Settable::kNo, Readable::kYes, Value::kInt32,
                         [](C& c) -> void* { return &c.devices_.count; }),
            // Only -1 or a listed device: the hook refuses other numbers.
            DeviceRow<C>(Side::kDeviceNo, kSetting, Readable::kYes, Value::kInt32,
                         [](C& c) -> void* { return &c.settings_.deviceNumber; }, &CDeviceEndpoint::SetDeviceNumber),
            DeviceRow<C>(Side::kDeviceName, Settable::kNo, Readable::kYes, Value::kHook, nullptr, nullptr,
                         &CDeviceEndpoint::GetDeviceName),
            DeviceRow<C>(kDevWaveFormat, Settable::kNo, Readable::kYes, Value::kHook, nullptr, nullptr,
                         &CDeviceEndpoint::GetWaveFormat),
            DeviceRow<C>(kDevTimeOut, kSetting, Readable::kNo, Value::kUint32,
                         [](C& c) -> void* { return &c.settings_.timeOutMs; }),
            DeviceRow<C>(kDevNotifySize, Settable::kNo, Readable::kYes, Value::kInt32,
                         [](C& c) -> void* { return c.ring_.blockBytesField(); }),
            DeviceRow<C>(Side::kHandOver, kSetting, Readable::kNo, Value::kHook, nullptr,
                         &CDeviceEndpoint::HandOverBuffer),
            DeviceRow<C>(Side::kDeviceGuid, Settable::kNo, Readable::kYes, Value::kHook, nullptr, nullptr,
                         &CDeviceEndpoint::GetDeviceGuid),
        }};
    }

    platform::ITimeService* time_;
    platform::audio::IAudioService* audio_;
    DeviceList devices_;
    EndpointSettings settings_;
    // Atomic: the notification-driven capture takes Stop from a second thread while a reader
    // waits in GetData, and the reader looks at the state after every wait.
    std::atomic<int32_t> state_{kStateCreated};

    // Declared so that the buffers go first, then the device, then the ring's events.
    DeviceRing ring_;
    WAVEFORMATEX format_{};  // of the last successful Build ("WaveFormat"); zeros before
    std::unique_ptr<Device> device_;
    std::unique_ptr<Buffer> buffer_;
    std::unique_ptr<Buffer> handedOver_;  // for the next Build
};

}  // namespace zelmar
