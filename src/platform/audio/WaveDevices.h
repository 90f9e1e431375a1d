// The waveIn / waveOut view of the sound devices: how many capture and playback devices there
// are and the product name of each, in a stable order.  The names are cut to 31 characters
// and NUL-terminated in a 32-byte field, as the multimedia device calls report them, so a
// component that numbers its devices in this order has to match long descriptions by their
// first characters.
//
// Every IAudioService answers OpenWaveDevices; the default view (MakeWaveDevices) takes the
// service's own capture and playback lists once, in their order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/AudioDevice.h"

namespace zelmar::platform::audio {

enum class WaveDirection { kIn, kOut };

// The product name field: 31 characters and a NUL.
constexpr std::size_t kWaveNameBytes = 32;

struct WaveDeviceCaps {
    char name[kWaveNameBytes] = {};
};

// Result codes of the caps query, in the multimedia calls' convention (0 success).
using WaveResult = uint32_t;
constexpr WaveResult kWaveOk = 0;
constexpr WaveResult kWaveErrBadDeviceId = 2;
constexpr WaveResult kWaveErrInvalidParam = 11;

class IWaveDevices {
public:
    virtual ~IWaveDevices() = default;
    // Devices of one direction (waveInGetNumDevs / waveOutGetNumDevs).
    virtual uint32_t Count(WaveDirection direction) = 0;
    // The caps of device `device` (waveInGetDevCaps / waveOutGetDevCaps): kWaveErrBadDeviceId
    // for a device beyond Count, kWaveErrInvalidParam for a null `caps`.
    virtual WaveResult GetCaps(WaveDirection direction, uint32_t device, WaveDeviceCaps* caps) = 0;
};

// A fixed view: the given capture and playback names, each cut to 31 characters.
std::unique_ptr<IWaveDevices> MakeWaveDevices(const std::vector<std::string>& captureNames,
                                              const std::vector<std::string>& playbackNames);

// The default view of a service: its capture and playback descriptions, in its order, as
// listed now (a failing list is an empty one).
std::unique_ptr<IWaveDevices> MakeWaveDevices(IAudioService& service);

}  // namespace zelmar::platform::audio
