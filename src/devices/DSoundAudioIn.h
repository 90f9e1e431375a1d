// "DSoundAudioIn": captures PCM from a sound device.  The looping capture buffer is laid out
// as a ring of equal blocks; GetData hands out one block per call in ring order, after
// polling the cursors (with short sleeps) until the block is complete.
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

class CDSoundAudioIn : public CAudioComponent<> {
public:
    CDSoundAudioIn();
    ~CDSoundAudioIn() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t GetData(void* buffer, int32_t bytes) override;

    virtual int32_t EnumerateDevices();
    virtual int32_t OpenDevice();
    virtual int32_t ReadBlock(void* buffer, int32_t bytes);
    // 1 when [offset, offset + length) lies outside the region the device is still filling.
    virtual int32_t IsBlockClear(uint32_t offset, uint32_t length, uint32_t capturePos, uint32_t readPos);
    virtual int32_t WaitBlockReady(int32_t bytes);
    virtual int32_t ApplyEffects();

    static constexpr int32_t kMaxDevices = 16;
    static constexpr int kEffectEchoCancellation = 0;
    static constexpr int kEffectNoiseSuppression = 1;
    static constexpr int kMaxPollTries = 3;

private:
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
    uint32_t inBufferTimeMs_ = 200;
    int32_t deviceNumber_ = -1;
    int32_t effectSwitches_[2] = {0, 0};

    int32_t state_ = kStateCreated;

    std::unique_ptr<platform::audio::ICaptureDevice> device_;
    std::unique_ptr<platform::audio::ICaptureBuffer> buffer_;
    std::unique_ptr<platform::audio::ICaptureBuffer> handedOver_;  // for the next Build

    int32_t blockCount_ = 0;
    int32_t blockBytes_ = 0;
    uint32_t bufferBytes_ = 0;
    std::vector<uint32_t> blockOffsets_;
    std::vector<std::unique_ptr<platform::IEvent>> events_;  // one per block, then the stop event
    int32_t currentBlock_ = 0;

    FormatBlock format_;
    uint32_t totalIn_ = 0;
};

}  // namespace zelmar
