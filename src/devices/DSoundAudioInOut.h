// "DSoundAudioInOut": capture and playback opened together, so the capture side's echo
// canceller hears what the playback side plays.
//
// A container: it makes one "DSoundAudioIn2" and one "DSoundAudioOut2" through the engine's own
// factory, forwards its settings to them, and hands them to the host through "AudioIn" and
// "AudioOut"; GetData and PutData pass straight through.  With "UseDuplexBuffer" set, Build
// opens both devices as one full-duplex pair whose capture buffer carries echo cancellation
// and noise suppression, and hands each inner component its buffer; without it, or when the
// pair cannot be opened, each inner component opens its own device, without effects.
//
// Its own Start and Stop change only its own state: the host starts and stops the inner
// components itself.  Capture and playback share nothing but the pair, so one host thread may
// drive each.
#pragma once

#include <cstdint>
#include <memory>

#include "devices/DeviceProperties.h"
#include "devices/DummyWindow.h"
#include "framework/AudioComponent.h"
#include "platform/audio/AudioDevice.h"

namespace zelmar {

class CDSoundAudioInOut : public CAudioComponent<> {
public:
    CDSoundAudioInOut();
    ~CDSoundAudioInOut() override;
    CDSoundAudioInOut(const CDSoundAudioInOut&) = delete;
    CDSoundAudioInOut& operator=(const CDSoundAudioInOut&) = delete;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t GetData(void* buffer, int32_t bytes) override;
    int32_t PutData(const void* buffer, int32_t bytes) override;

    // Class-specific operations, in this order after those of IAudioIO.
    // Disposes of both inner components and lets go of the pair.
    virtual void ReleaseDevice();
    virtual int32_t OpenDevice();

    static const PropertyTable<CDSoundAudioInOut>& Properties();

    // The device buffer holds at least this much: ten output buffer times, then more of them.
    static constexpr uint64_t kMinBufferMs = 1000;
    static constexpr uint32_t kBufferTimesInBuffer = 10;

    // Which inner component a setting goes to.
    enum Inner : uint8_t { kToCapture = 1, kToPlayback = 2, kToBoth = 3 };

    struct Settings {
        uint32_t samplesPerSec = 16000;
        uint16_t bitsPerSample = 16;
        uint16_t channels = 1;
        uint32_t blockSamples = 40;
        uint32_t timeOutMs = 1000;
        uint32_t inBufferTimeMs = 200;
        uint32_t outBufferTimeMs = 200;  // raised to whole blocks by Build
        int32_t inDeviceNumber = -1;
        int32_t outDeviceNumber = -1;
        int32_t window = 0;  // "hWnd"; 0: Build makes an owner of its own
        uint8_t useDuplex = 0;
    };

private:
    // The setting `kIndex` goes to `kTo` (their answers are not the host's) and is kept in `kField`.
    template <int32_t kIndex, Inner kTo, auto kField>
    int32_t SetKept(int32_t value, void* data);
    // The setting goes to `kTo` and its answer is the host's; kept in `kField` when it took it.
    template <int32_t kIndex, Inner kTo, auto kField>
    int32_t SetAnswered(int32_t value, void* data);
    template <int32_t kIndex, Inner kFrom>
    int32_t GetForwarded(int32_t arg, void* out);
    template <int32_t kIndex>
    int32_t SetEffect(int32_t value, void* data);

    int32_t SetUseDuplex(int32_t value, void*);
    int32_t GetWaveFormat(int32_t, void* out);
    int32_t GetNotifySize(int32_t, void* out);
    int32_t GetAudioIn(int32_t, void* out);
    int32_t GetAudioOut(int32_t, void* out);

    IAudioIO* Side(Inner side) const { return side == kToCapture ? capture_ : playback_; }
    void ReleaseDuplex() { duplex_.reset(); }

    IAudioIO* capture_ = nullptr;   // "DSoundAudioIn2"
    IAudioIO* playback_ = nullptr;  // "DSoundAudioOut2"
    platform::audio::IAudioService* audio_;
    std::unique_ptr<platform::audio::IFullDuplex> duplex_;
    OwnedDummyWindow ownedWindow_;
    Settings settings_;
    WAVEFORMATEX format_{};  // of the last successful Build
    int32_t state_ = kStateCreated;
};

}  // namespace zelmar
