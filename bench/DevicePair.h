// What the device benchmarks share: a capture + playback pair as a measurement drives it,
// and finding a device by the name the components list it under.
#pragma once

#include <zelmar/zelmar.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace devicebench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One capture + playback pair: each call moves one block and returns false on a failure the
// pair cannot get past.
class Pair {
public:
    virtual ~Pair() = default;
    virtual bool Put(const int16_t* block) = 0;
    virtual bool Get(int16_t* block) = 0;
    virtual const char* Name() const = 0;
};

struct ComponentDeleter {
    void operator()(IAudioIO* io) const { ZelmarDisposeComponent(io); }
};
using ComponentPtr = std::unique_ptr<IAudioIO, ComponentDeleter>;

// The number under which `io` lists the device named `wanted` ("InDeviceNum"/"InDeviceName"
// or the playback pair of names), or -1.
inline int32_t FindDevice(IAudioIO* io, const char* countName, const char* nameName, const std::string& wanted) {
    int32_t count = 0;
    io->GetProperty(countName, 0, &count);
    for (int32_t i = 0; i < count; ++i) {
        char name[512] = {};
        if (io->GetProperty(nameName, i, name) == 0 && wanted == name) return i;
    }
    return -1;
}

}  // namespace devicebench
