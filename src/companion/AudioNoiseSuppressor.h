// CAudioNoiseSuppressor: the companion library's noise reduction for one stream.
//
// The library filters whole frames of F bytes (F from NR_GetAttribute).  A block that is a
// multiple of F goes straight through; any other block passes through two staging buffers of
// 20 frames, with one frame of silence queued ahead so that every call returns as many bytes
// as it is given.  A block too large for the staging buffers is split into pieces that fit.
//
// Inert when the library, one of its names ("NR_Configure" is optional) or its initialisation
// is missing: Filter then copies the input and returns -1.
#pragma once

#include <cstdint>
#include <memory>

#include <ZelmarEC/FrameQueue.h>
#include <ZelmarEC/ZelmarEC.h>

#include "platform/DynamicLibrary.h"

namespace zelmar {

class CAudioNoiseSuppressor {
public:
    static constexpr int kStagingFrames = 20;
    // What must resolve for the wrapper to load ("NR_Configure" is optional; "NR_Stop" is
    // bound but never called).
    static constexpr const char* kRequiredNames[] = {"NR_Initialize", "NR_Start", "NR_Stop",
                                                     "NR_Filter", "NR_Dispose", "NR_GetAttribute"};

    CAudioNoiseSuppressor();
    ~CAudioNoiseSuppressor();
    CAudioNoiseSuppressor(const CAudioNoiseSuppressor&) = delete;
    CAudioNoiseSuppressor& operator=(const CAudioNoiseSuppressor&) = delete;

    bool IsLoaded() const { return library_ != nullptr; }
    // 0 when loaded, NR_Initialize's result when it failed, -1 otherwise.
    int LoadResult() const { return loadResult_; }
    int FrameBytes() const { return frameBytes_; }

    void Configure(const char* key, int value);
    void Start();
    // Filters `bytes` bytes of 16-bit PCM from `in` into `out` (distinct buffers).
    int Filter(const int16_t* in, int16_t* out, int bytes);

private:
    void Unload();

    std::unique_ptr<platform::IDynamicLibrary> library_;
    int loadResult_ = -1;
    void* handle_ = nullptr;
    int frameBytes_ = 0;
    companion::NrStartFn start_ = nullptr;
    companion::NrFilterFn filter_ = nullptr;
    companion::NrDisposeFn dispose_ = nullptr;
    companion::NrConfigureFn configure_ = nullptr;
    companion::FrameQueue queue_;
};

}  // namespace zelmar
