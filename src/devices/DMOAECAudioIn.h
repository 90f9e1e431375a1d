// "DMOAECAudioIn": echo-cancelling capture through the voice-capture object
// (platform/audio/VoiceCapture.h).  Build configures the object through its property store and
// asks it for 16 kHz mono 16-bit PCM; GetData pulls the object's output every 10 ms into a
// 1 280-byte staging buffer and serves the caller's blocks from it.  Devices are numbered in
// waveIn / waveOut order and translated into the object's endpoint indexes by name.  Effects
// switched while running reach the object at the next GetData.
//
// States: 0 Created, 1 Built, 3 Running (this component has no state 2).  The one output
// buffer the object writes into is shared by every instance in the process, so GetData calls
// of two instances must not overlap.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "framework/AudioComponent.h"
#include "framework/Properties.h"
#include "platform/Time.h"
#include "platform/audio/AudioDevice.h"
#include "platform/audio/VoiceCapture.h"
#include "platform/audio/WaveDevices.h"

namespace zelmar {

class CDMOAECAudioIn : public CAudioComponent<> {
public:
    static constexpr int32_t kStateRunningHere = 3;
    static constexpr int32_t kMaxDevices = 16;
    static constexpr uint32_t kStagingBytes = 1280;  // 640 samples, 40 ms
    static constexpr int kEffectCount = 5;  // echo cancellation, NS, AGC, gain bounder, noise fill

    CDMOAECAudioIn();
    ~CDMOAECAudioIn() override;

    int32_t Start() override;
    int32_t Stop() override;
    int32_t Build() override;
    int32_t SetProperty(const char* name, int32_t value, void* data) override;
    int32_t GetProperty(const char* name, int32_t arg, void* out) override;
    int32_t GetData(void* buffer, int32_t bytes) override;

    // Class-specific operations, in this order after those of IAudioIO.
    virtual int32_t Unused(int32_t, int32_t, void*) { return kErrNotImpl; }
    virtual int32_t EnumerateDevices();
    // Writes the switches to the object; the OR of the writes' results.
    virtual int32_t ApplyEffects(const int32_t* switches);

    static const PropertyTable<CDMOAECAudioIn>& Properties();

    // The media buffer the object writes into.
    class CBaseMediaBuffer : public platform::audio::IMediaBuffer {
    public:
        CBaseMediaBuffer() = default;
        virtual ~CBaseMediaBuffer() = default;
        platform::audio::HResult QueryInterface(const platform::audio::Guid& iid, void** object) override;
        uint32_t AddRef() override;
        uint32_t Release() override;
        platform::audio::HResult SetLength(uint32_t length) override;
        platform::audio::HResult GetMaxLength(uint32_t* maxLength) override;
        platform::audio::HResult GetBufferAndLength(uint8_t** buffer, uint32_t* length) override;

        void Point(uint8_t* data, uint32_t maxLength, uint32_t length) {
            data_ = data;
            maxLength_ = maxLength;
            length_ = length;
        }
        uint32_t length() const { return length_; }

    protected:
        uint8_t* data_ = nullptr;
        uint32_t maxLength_ = 0;
        uint32_t length_ = 0;
        int32_t references_ = 1;
    };
    // One buffer for the whole process, never freed: counting does nothing.
    class CStaticMediaBuffer final : public CBaseMediaBuffer {
    public:
        uint32_t AddRef() override { return 2; }
        uint32_t Release() override { return 1; }
    };
    // Set up on first use.
    static CStaticMediaBuffer& SharedOutputBuffer();

private:
    // One side's devices: friendly names (null for a position no device filled) and the
    // object's endpoint index of each (-1 for none).
    struct DeviceTable {
        int32_t count = 0;
        std::unique_ptr<char[]> names[kMaxDevices];
        int32_t endpoints[kMaxDevices];
        void Clear();
        int32_t Endpoint(int32_t number) const;
        int32_t CopyName(int32_t index, void* out) const;
    };
    void FillTable(int32_t flow, DeviceTable* table);
    void ArrangeTable(platform::audio::WaveDirection direction, DeviceTable* table, const char* mismatch);
    void ReleaseObject();
    int32_t Drain(void* buffer, int32_t bytes, platform::audio::DmoOutputDataBuffer* out, bool* done);
    int32_t Fill(uint32_t bytes, platform::audio::DmoOutputDataBuffer* out);

    // Property hooks.
    int32_t SetEchoLength(int32_t value, void*);
    int32_t SetInDeviceNo(int32_t value, void*);
    int32_t SetOutDeviceNo(int32_t value, void*);
    int32_t GetInDeviceName(int32_t index, void* out) { return capture_.CopyName(index, out); }
    int32_t GetOutDeviceName(int32_t index, void* out) { return render_.CopyName(index, out); }
    int32_t GetNotifySize(int32_t, void* out);
    int32_t SwitchEffect(int32_t effect, int32_t on);
    int32_t EnableEffect(int32_t effect, void*) { return SwitchEffect(effect, 1); }
    int32_t DisableEffect(int32_t effect, void*) { return SwitchEffect(effect, 0); }

    platform::ITimeService* time_;
    platform::audio::IAudioService* audio_;
    DeviceTable capture_;
    DeviceTable render_;

    struct Settings {
        uint32_t blockSamples = 40;  // reported only, as "NotifySize"
        int32_t echoLengthMs = 0;    // 0: the object's own echo length stays
        int32_t echoSuppression = 0; // "AESValue", 0..2
        int32_t captureDevice = -1;
        int32_t renderDevice = 0;
        uint32_t timeOutMs = 1000;   // stored only
    } settings_;
    int32_t switches_[kEffectCount] = {};
    bool effectsChanged_ = true;

    std::unique_ptr<platform::audio::IVoiceCapture> object_;
    platform::audio::IMediaObject* mediaObject_ = nullptr;
    platform::audio::IPropertyStore* store_ = nullptr;
    std::vector<uint8_t> staging_;  // kStagingBytes from Build on
    uint32_t held_ = 0;             // captured bytes waiting at the start of staging_
    uint32_t totalIn_ = 0;          // bytes delivered since Start
    int32_t state_ = kStateCreated;
};

}  // namespace zelmar
