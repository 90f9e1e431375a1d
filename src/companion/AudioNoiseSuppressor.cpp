#include "companion/AudioNoiseSuppressor.h"

#include <algorithm>
#include <cstring>

#include "platform/Platform.h"

namespace zelmar {
namespace {

template <typename Function>
Function Resolve(platform::IDynamicLibrary& library, const char* name) {
    return reinterpret_cast<Function>(library.Symbol(name));
}

}  // namespace

CAudioNoiseSuppressor::CAudioNoiseSuppressor()
    : library_(platform::Current().libraries->Load(companion::kLibraryFileName)) {
    if (library_ == nullptr) return;
    auto initialize = Resolve<companion::NrInitializeFn>(*library_, "NR_Initialize");
    start_ = Resolve<companion::NrStartFn>(*library_, "NR_Start");
    auto stop = Resolve<companion::NrStopFn>(*library_, "NR_Stop");  // bound, never called
    filter_ = Resolve<companion::NrFilterFn>(*library_, "NR_Filter");
    dispose_ = Resolve<companion::NrDisposeFn>(*library_, "NR_Dispose");
    auto getAttribute = Resolve<companion::NrGetAttributeFn>(*library_, "NR_GetAttribute");
    configure_ = Resolve<companion::NrConfigureFn>(*library_, "NR_Configure");
    if (initialize == nullptr || start_ == nullptr || stop == nullptr || filter_ == nullptr ||
        dispose_ == nullptr || getAttribute == nullptr) {
        Unload();
        return;
    }
    loadResult_ = initialize(&handle_);
    if (loadResult_ != 0) {
        handle_ = nullptr;
        Unload();
        return;
    }
    frameBytes_ = getAttribute(handle_, companion::kNrAttributeFrameBytes);
    // Frames are 16-bit samples: an odd or non-positive length cannot be staged.
    if (frameBytes_ <= 0 || frameBytes_ % 2 != 0 || frameBytes_ > (1 << 20)) {
        dispose_(handle_);
        handle_ = nullptr;
        loadResult_ = -1;
        Unload();
        return;
    }
    queue_.Reset(static_cast<size_t>(frameBytes_) / 2, kStagingFrames);
}

CAudioNoiseSuppressor::~CAudioNoiseSuppressor() {
    if (handle_ != nullptr && dispose_ != nullptr) dispose_(handle_);
    handle_ = nullptr;
}

void CAudioNoiseSuppressor::Unload() {
    start_ = nullptr;
    filter_ = nullptr;
    dispose_ = nullptr;
    configure_ = nullptr;
    frameBytes_ = 0;
    library_.reset();
}

void CAudioNoiseSuppressor::Configure(const char* key, int value) {
    if (configure_ != nullptr && handle_ != nullptr) configure_(handle_, key, value);
}

void CAudioNoiseSuppressor::Start() {
    if (start_ != nullptr && handle_ != nullptr) start_(handle_);
}

int CAudioNoiseSuppressor::Filter(const int16_t* in, int16_t* out, int bytes) {
    if (in == nullptr || out == nullptr || bytes < 0) return -1;
    if (!IsLoaded()) {
        std::memmove(out, in, static_cast<size_t>(bytes) & ~size_t{1});
        return -1;
    }
    if (bytes % 2 != 0) {
        // A trailing odd byte is no sample: it passes unchanged.
        reinterpret_cast<uint8_t*>(out)[bytes - 1] = reinterpret_cast<const uint8_t*>(in)[bytes - 1];
        --bytes;
    }
    if (bytes % frameBytes_ == 0) return bytes == 0 ? 0 : filter_(handle_, bytes, in, out);

    return queue_.Run(in, out, static_cast<size_t>(bytes) / 2,
                      [this](const int16_t* frames, int16_t* processed, size_t samples) {
                          return filter_(handle_, static_cast<int>(samples * 2), frames, processed);
                      });
}

}  // namespace zelmar
