// "DSoundAudioIn": captures PCM from a sound device.  The looping capture buffer is laid out
// as a ring of equal blocks; GetData hands out one block per call in ring order, after
// polling the cursors (with short sleeps) until the block is complete.
#pragma once

#include <cstdint>

#include "devices/DeviceEndpoint.h"
#include "framework/Properties.h"

namespace zelmar {

class CDSoundAudioIn : public CDeviceEndpoint<CaptureSide> {
public:
    CDSoundAudioIn();
    ~CDSoundAudioIn() override;

    int32_t Start() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t GetData(void* buffer, int32_t bytes) override;

    // Class-specific operations, in this order after those of IAudioIO.
    virtual int32_t EnumerateDevices();
    virtual int32_t OpenDevice();
    virtual int32_t ReadBlock(void* buffer, int32_t bytes);
    // 1 when [offset, offset + length) lies outside the region the device is still filling.
    virtual int32_t IsBlockClear(uint32_t offset, uint32_t length, uint32_t capturePos, uint32_t readPos);
    virtual int32_t WaitBlockReady(int32_t bytes);
    virtual int32_t ApplyEffects();

    static const PropertyTable<CDSoundAudioIn>& Properties();

    static constexpr int kEffectEchoCancellation = 0;
    static constexpr int kEffectNoiseSuppression = 1;

private:
    int32_t SwitchEffect(int32_t effect, int32_t on);
    int32_t EnableEffect(int32_t effect, void*) { return SwitchEffect(effect, 1); }
    int32_t DisableEffect(int32_t effect, void*) { return SwitchEffect(effect, 0); }

    // Set by "EnableEffect"/"DisableEffect" in any state; both go back to 0 when the component
    // opens a device of its own, as a buffer it makes carries no effects.  Only noise
    // suppression is applied here; echo cancellation is only remembered.
    int32_t effectSwitches_[2] = {0, 0};
    // Reset at Start.  The block index is not: a restarted capture continues after the last
    // block it gave.
    struct Counters {
        uint32_t totalIn = 0;  // bytes delivered by GetData
    } counters_;
};

}  // namespace zelmar
