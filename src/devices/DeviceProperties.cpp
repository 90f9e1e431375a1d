#include "devices/DeviceProperties.h"

#include <cstring>

#include "framework/Properties.h"
#include "framework/Result.h"

namespace zelmar {
namespace {

constexpr NamedIndex kDeviceProperties[] = {
    {"SamplesPerSec", kDevSamplesPerSec},     {"BitsPerSample", kDevBitsPerSample},
    {"Channels", kDevChannels},               {"BlockSamples", kDevBlockSamples},
    {"InBufferTime", kDevInBufferTime},       {"OutBufferTime", kDevOutBufferTime},
    {"InDeviceNum", kDevInDeviceNum},         {"OutDeviceNum", kDevOutDeviceNum},
    {"InDeviceNo", kDevInDeviceNo},           {"OutDeviceNo", kDevOutDeviceNo},
    {"InDeviceName", kDevInDeviceName},       {"OutDeviceName", kDevOutDeviceName},
    {"EnableEffect", kDevEnableEffect},       {"DisableEffect", kDevDisableEffect},
    {"WaveFormat", kDevWaveFormat},           {"TimeOut", kDevTimeOut},
    {"NotifySize", kDevNotifySize},           {"AudioIn", kDevAudioIn},
    {"AudioOut", kDevAudioOut},               {"DSCaptureBuffer", kDevDSCaptureBuffer},
    {"UseDuplexBuffer", kDevUseDuplexBuffer}, {"InDeviceGUID", kDevInDeviceGUID},
    {"DSPlayBuffer", kDevDSPlayBuffer},       {"OutDeviceGUID", kDevOutDeviceGUID},
    {"SoftwareBuffer", kDevSoftwareBuffer},   {"PrimaryBuffer", kDevPrimaryBuffer},
    {"hWnd", kDevhWnd},                       {"TotalIn", kDevTotalIn},
    {"TotalOut", kDevTotalOut},               {"DXErrorCodeSub", kDevDXErrorCodeSub},
    {"DXErrorCode", kDevDXErrorCode},         {"DXErrorString", kDevDXErrorString},
    {"PlayPos", kDevPlayPos},                 {"CapturePos", kDevCapturePos},
    {"BufferPos", kDevBufferPos},             {"RefBuffer", kDevRefBuffer},
    {"RefBufferLen", kDevRefBufferLen},       {"DriverEmulation", kDevDriverEmulation},
    {"InternalLimitSize", kDevInternalLimitSize},
};
static_assert(sizeof kDeviceProperties / sizeof kDeviceProperties[0] == 39, "39 device property names");

}  // namespace

int32_t FindDeviceProperty(const char* name) {
    return FindPropertyIndex(kDeviceProperties, name, kDevUnknown, NameMatch::kExact);
}

int32_t CopyDeviceName(const std::string* descriptions, int32_t count, int32_t index, void* out) {
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(count)) return kErrInvalidArg;
    const std::string& text = descriptions[index];
    std::memcpy(out, text.c_str(), text.size() + 1);
    return kOk;
}

int32_t KeepDevices(const std::vector<platform::audio::DeviceDescription>& devices, int32_t most,
                    std::string* descriptions, platform::audio::DeviceGuid* guids) {
    int32_t kept = 0;
    for (const platform::audio::DeviceDescription& device : devices) {
        if (kept >= most) break;
        descriptions[kept] = device.description;
        guids[kept] = device.guid;
        ++kept;
    }
    return kept;
}

int32_t CopyDeviceGuid(const platform::audio::DeviceGuid* guids, int32_t count, int32_t index, void* out) {
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(count)) return kErrInvalidArg;
    std::memcpy(out, guids[index].bytes, sizeof guids[index].bytes);
    return kOk;
}

}  // namespace zelmar
