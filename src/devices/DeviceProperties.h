// The property names of the sound-device components and their indexes: one table shared by
// every device component, each of which handles its own subset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio/AudioDevice.h"

namespace zelmar {

enum DeviceProperty : int32_t {
    kDevSamplesPerSec = 0,
    kDevBitsPerSample = 1,
    kDevChannels = 2,
    kDevBlockSamples = 3,
    kDevInBufferTime = 4,
    kDevOutBufferTime = 5,
    kDevInDeviceNum = 6,
    kDevOutDeviceNum = 7,
    kDevInDeviceNo = 8,
    kDevOutDeviceNo = 9,
    kDevInDeviceName = 10,
    kDevOutDeviceName = 11,
    kDevEnableEffect = 12,
    kDevDisableEffect = 13,
    kDevWaveFormat = 14,
    kDevTimeOut = 15,
    kDevNotifySize = 16,
    kDevAudioIn = 17,
    kDevAudioOut = 18,
    kDevDSCaptureBuffer = 19,
    kDevUseDuplexBuffer = 20,
    kDevInDeviceGUID = 21,
    kDevDSPlayBuffer = 22,
    kDevOutDeviceGUID = 23,
    kDevSoftwareBuffer = 24,
    kDevPrimaryBuffer = 25,
    kDevhWnd = 26,
    kDevTotalIn = 27,
    kDevTotalOut = 28,
    // 29 is not used by any name.
    kDevDXErrorCodeSub = 30,
    kDevDXErrorCode = 31,
    kDevDXErrorString = 32,
    kDevPlayPos = 33,
    kDevCapturePos = 34,
    kDevBufferPos = 35,
    kDevRefBuffer = 36,
    kDevRefBufferLen = 37,
    kDevDriverEmulation = 38,
    kDevInternalLimitSize = 39,
    kDevUnknown = 40,
};

// The index of `name` (exact, case-sensitive), or kDevUnknown for any other name or null.
int32_t FindDeviceProperty(const char* name);

// The device-name and device-id properties read entry `index` of a component's device list:
// the description with its NUL, or the 16-byte id; an index outside the list is refused.
int32_t CopyDeviceName(const std::string* descriptions, int32_t count, int32_t index, void* out);
int32_t CopyDeviceGuid(const platform::audio::DeviceGuid* guids, int32_t count, int32_t index, void* out);

// Keeps the first `most` entries of a device list, as hosts number at most that many; returns
// how many were kept.
int32_t KeepDevices(const std::vector<platform::audio::DeviceDescription>& devices, int32_t most,
                    std::string* descriptions, platform::audio::DeviceGuid* guids);

}  // namespace zelmar
