// "VolumeControlAudioFilter": counts the recording devices, names them, and reads or sets a
// device's volume (0..65535) and mute switch (0 or 1).  It moves no audio: Start, Stop, Build
// and the data calls are not implemented.  The device index travels in `arg` (GetProperty) or
// `value` (SetProperty), the property's value at `out` or `data`.
//
// Two modes, fixed at construction by the version query (platform/SystemVersion.h): endpoint
// mode (6 and higher) takes count, names and volume from the capture endpoints, the volume as
// the master scalar times 65535; legacy mode takes everything from the input mixer, the volume
// as the recording line's raw value.  Mute always goes through the input mixer.  Each call
// opens and releases what it uses; the mode is the only state.
#pragma once

#include <cstdint>

#include "framework/AudioComponent.h"
#include "framework/Properties.h"
#include "platform/InputVolume.h"

namespace zelmar {

class CVolumeControlAudioFilter : public CTableComponent<CVolumeControlAudioFilter> {
public:
    enum Property : int32_t { kInDeviceNum = 0, kInDeviceName, kInDeviceVolume, kInDeviceMute, kUnknown };

    // The caller's name buffer holds this many bytes; names are cut to one less.
    static constexpr int32_t kNameBufferBytes = 255;

    CVolumeControlAudioFilter();

    int32_t Start() override { return kErrNotImpl; }
    int32_t Stop() override { return kErrNotImpl; }
    int32_t Build() override { return kErrNotImpl; }

    static const PropertyTable<CVolumeControlAudioFilter>& Properties();

private:
    int32_t GetCount(int32_t arg, void* out);
    int32_t GetName(int32_t index, void* out);
    int32_t GetVolume(int32_t index, void* out);
    int32_t SetVolume(int32_t index, void* data);
    int32_t GetMute(int32_t index, void* out);
    int32_t SetMute(int32_t index, void* data);

    const int32_t endpointMode_;  // 1 endpoint mode, 0 legacy mode
    platform::IEndpointVolume* const endpoints_;
    platform::IInputMixer* const mixer_;
};

}  // namespace zelmar
