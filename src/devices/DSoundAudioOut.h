// "DSoundAudioOut": plays PCM through a sound device.  Build opens the device at priority
// cooperative level, sets the primary buffer's format and makes a looping buffer laid out as
// a ring of equal blocks, filled with silence; each PutData writes one block at the current
// ring position once the cursors say the device is not playing it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/AudioComponent.h"
#include "framework/Format.h"
#include "platform/Time.h"
#include "platform/audio/AudioDevice.h"

namespace zelmar {

class CDSoundAudioOut : public CAudioComponent<> {
public:
    CDSoundAudioOut();
    ~CDSoundAudioOut() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t PutData(const void* buffer, int32_t bytes) override;

    static constexpr int32_t kMaxDevices = 16;
    static constexpr int kMaxPollTries = 3;

    // Clear-to-write rule: the block [offset, offset + bytes) lies outside play .. write.
    static bool IsBlockClear(uint32_t offset, uint32_t bytes, uint32_t play, uint32_t write);

private:
    void EnumerateDevices();
    int32_t OpenDevice();
    int32_t WaitBlockReady(int32_t bytes);
    int32_t WriteBlock(const void* buffer, int32_t bytes);
    void ReleaseDevice();

    platform::ITimeService* time_;
    platform::audio::IAudioService* audio_;

    int32_t deviceCount_ = 0;
    std::string descriptions_[kMaxDevices];
    platform::audio::DeviceGuid guids_[kMaxDevices];

    uint32_t samplesPerSec_ = 16000;
    uint16_t bitsPerSample_ = 16;
    uint16_t channels_ = 1;
    uint32_t blockSamples_ = 40;
    uint32_t timeOutMs_ = 1000;  // kept for hosts that set it; pacing does not use it
    uint32_t outBufferTimeMs_ = 200;
    int32_t deviceNumber_ = -1;
    platform::audio::OwnerHandle window_ = 0;       // owner for the cooperative level
    platform::audio::OwnerHandle ownedWindow_ = 0;  // made here; lives until destruction

    int32_t state_ = kStateCreated;

    std::unique_ptr<platform::audio::IPlaybackDevice> device_;
    std::unique_ptr<platform::audio::IPlaybackBuffer> primary_;
    std::unique_ptr<platform::audio::IPlaybackBuffer> buffer_;
    std::unique_ptr<platform::audio::IPlaybackBuffer> handedOver_;  // for the next Build

    int32_t blockCount_ = 0;
    int32_t blockBytes_ = 0;
    uint32_t bufferBytes_ = 0;
    std::vector<uint32_t> blockOffsets_;
    std::vector<std::unique_ptr<platform::IEvent>> events_;
    std::vector<platform::audio::PositionNotify> notifications_;
    int32_t currentBlock_ = 0;

    FormatBlock format_;
    uint32_t totalOut_ = 0;
};

}  // namespace zelmar
