// The property names of the sound-device components: one name-to-index table shared by every
// device component, each of which answers its own subset of it as rows of a PropertyTable, and
// the rules they all follow where their rows do not speak.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "framework/Properties.h"
#include "framework/Result.h"

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

struct DevicePropertyName {
    const char* name;
    int32_t index;
};

// Every device property name, in lookup order.
inline constexpr DevicePropertyName kDevicePropertyNames[] = {
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
static_assert(std::size(kDevicePropertyNames) == kDevUnknown - 1, "every index below 40 but 29 has a name");

// The index of `name` (exact, case-sensitive), or kDevUnknown for any other name or null.
int32_t FindDeviceProperty(const char* name);

// The name of a device property index; not a constant expression for an index without one,
// so a row for an index outside the table does not compile.
constexpr const char* DevicePropertyNameOf(int32_t index) {
    for (const DevicePropertyName& entry : kDevicePropertyNames) {
        if (entry.index == index) return entry.name;
    }
    throw "no device property has this index";
}

// A component's row for the table's name at `index`.  Device rows take any integer: the
// settings that refuse values (device numbers, effect numbers) check them in their hooks.
template <typename C>
constexpr PropertyRow<C> DeviceRow(int32_t index, Settable settable, Readable readable, Value value,
                                   void* (*field)(C&) = nullptr, int32_t (C::*set)(int32_t, void*) = nullptr,
                                   int32_t (C::*get)(int32_t, void*) = nullptr) {
    return {DevicePropertyNameOf(index), index, settable, readable, value, kAnyInt, field, nullptr, set, get};
}

// A component's rows in the order of the shared table, which is its lookup order; a name
// answered by two rows does not compile.
template <typename Row, std::size_t N>
constexpr std::array<Row, N> InDeviceTableOrder(std::array<Row, N> rows) {
    for (std::size_t i = 1; i < N; ++i) {
        for (std::size_t j = i; j > 0 && rows[j - 1].index > rows[j].index; --j) {
            const Row moved = rows[j];
            rows[j] = rows[j - 1];
            rows[j - 1] = moved;
        }
    }
    for (std::size_t i = 1; i < N; ++i) {
        if (rows[i - 1].index == rows[i].index) throw "a device property is answered twice";
    }
    return rows;
}

// What every device component answers where its rows do not: a null name or a null `out` is
// an invalid argument, a name it does not answer (or a read-only one) is accepted and ignored
// by SetProperty and refused by GetProperty.
constexpr PropertyRules kDeviceRules = [] {
    PropertyRules rules;
    rules.unknownOnSet = kOk;  // unknown and read-only names are accepted and ignored
    rules.unknownOnGet = kErrInvalidArg;
    rules.lockedWhileRunning = true;
    return rules;
}();

}  // namespace zelmar
