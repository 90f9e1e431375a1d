// The recording devices' volume and mute switch, as "VolumeControlAudioFilter" sees them, in
// two forms:
//   IEndpointVolume  capture endpoints with a friendly name and a master volume scalar
//                    0.0..1.0 (the endpoint paths);
//   IInputMixer      recording devices with a short name and a mixer whose recording line
//                    carries a raw volume value and a mute switch (the legacy paths).
// The system's are CreatePulseEndpointVolume (the sound server's sources) and
// CreateAlsaInputMixer (ALSA's simple mixer); docs/volume.md says how they map.  Every call
// opens what it needs and releases it before it returns: nothing is kept between calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zelmar::platform {

// Results of both interfaces: 0 (or a count or value) on success, negative on failure.
constexpr int32_t kNoSuchDevice = -1;  // the index is not below the count; or a control failed
constexpr int32_t kNoMixer = -2;       // the device has no mixer that could be named or reached
constexpr int32_t kMixerOpenFailed = -3;
constexpr int32_t kNoRecordingLine = -4;
constexpr int32_t kNoServer = -5;      // the sound server did not answer (endpoint paths)

class IEndpointVolume {
public:
    virtual ~IEndpointVolume() = default;
    // The number of capture endpoints, or a negative failure.
    virtual int32_t Count() = 0;
    // The endpoint's friendly name as wide text.
    virtual int32_t FriendlyName(uint32_t index, std::wstring* name) = 0;
    // The master volume scalar, 0.0..1.0, every channel at once.
    virtual int32_t GetScalar(uint32_t index, float* scalar) = 0;
    virtual int32_t SetScalar(uint32_t index, float scalar) = 0;
};

enum class MixerControl { kVolume, kMute };
// The value that asks Control to read only.
constexpr uint32_t kMixerReadOnly = 0xFFFFFFFFu;

class IInputMixer {
public:
    virtual ~IInputMixer() = default;
    // The number of recording devices (0 when there are none or none can be listed).
    virtual int32_t DeviceCount() = 0;
    // The device's name, at most 31 bytes.
    virtual int32_t DeviceName(uint32_t index, std::string* name) = 0;
    // The recording line's control before any change: the volume as the mean of its channels'
    // raw values (integer division), the mute switch as 1 muted or 0; unless `value` is
    // kMixerReadOnly, every channel is then set to `value`.  Fails with the codes above.
    virtual int32_t Control(uint32_t index, MixerControl control, uint32_t value) = 0;
};

// `server`: a PulseAudio server address ("unix:/path/native"); empty for the default one.
std::unique_ptr<IEndpointVolume> CreatePulseEndpointVolume(const std::string& server = std::string());
std::unique_ptr<IInputMixer> CreateAlsaInputMixer(const std::string& server = std::string());

}  // namespace zelmar::platform
