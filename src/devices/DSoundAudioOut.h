// "DSoundAudioOut": plays PCM through a sound device.  Build opens the device at priority
// cooperative level, sets the primary buffer's format and makes a looping buffer laid out as
// a ring of equal blocks, filled with silence; each PutData writes one block at the current
// ring position once the cursors say the device is not playing it.
#pragma once

#include <cstdint>
#include <memory>

#include "devices/DeviceEndpoint.h"
#include "devices/DummyWindow.h"
#include "framework/Properties.h"

namespace zelmar {

class CDSoundAudioOut : public CDeviceEndpoint<PlaybackSide> {
public:
    CDSoundAudioOut();
    ~CDSoundAudioOut() override;

    int32_t Start() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t PutData(const void* buffer, int32_t bytes) override;

    static const PropertyTable<CDSoundAudioOut>& Properties();

    // Clear-to-write rule: the block [offset, offset + bytes) lies outside play .. write.
    static bool IsBlockClear(uint32_t offset, uint32_t bytes, uint32_t play, uint32_t write);

private:
    int32_t OpenDevice();
    platform::audio::DsResult OpenPlayback(const WAVEFORMATEX& wfx, uint32_t bufferBytes,
                                           std::unique_ptr<platform::audio::IPlaybackDevice>* device,
                                           std::unique_ptr<platform::audio::IPlaybackBuffer>* primary,
                                           std::unique_ptr<platform::audio::IPlaybackBuffer>* buffer);
    int32_t WaitBlockReady(int32_t bytes);
    int32_t WriteBlock(const void* buffer, int32_t bytes);
    void ReleaseDevice();

    int32_t hostWindow_ = 0;          // "hWnd": the owner for the cooperative level, 0 for none
    OwnedDummyWindow ownedWindow_;    // the owner made here when the host gives none
    std::unique_ptr<platform::audio::IPlaybackBuffer> primary_;
    // Reset at Start, when writing starts again at the head of the ring.
    struct Counters {
        uint32_t totalOut = 0;  // bytes accepted by PutData
    } counters_;
};

}  // namespace zelmar
