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
    inStage_.assign(static_cast<size_t>(frameBytes_) * kStagingFrames, 0);
    outStage_.assign(static_cast<size_t>(frameBytes_) * kStagingFrames, 0);
    inFill_ = 0;
    outFill_ = frameBytes_;  // one frame of silence queued ahead
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

    // The staging buffers hold 20 frames and may already hold up to one frame of input, so
    // pieces of 19 frames always fit.
    const int maxPieceBytes = (kStagingFrames - 1) * frameBytes_;
    const auto* src = reinterpret_cast<const uint8_t*>(in);
    auto* dst = reinterpret_cast<uint8_t*>(out);
    int result = 0;
    for (int done = 0; done < bytes;) {
        const int piece = std::min(bytes - done, maxPieceBytes);
        const int pieceResult = FilterStaged(src + done, dst + done, piece);
        if (pieceResult < 0) result = pieceResult;
        done += piece;
    }
    return result;
}

// inFill + outFill stays one frame: with inFill < F after each call, `bytes` ≤ 19 F keeps
// both buffers within their 20 frames.
int CAudioNoiseSuppressor::FilterStaged(const uint8_t* in, uint8_t* out, int bytes) {
    std::memcpy(inStage_.data() + inFill_, in, static_cast<size_t>(bytes));
    const int available = inFill_ + bytes;
    const int consumed = available / frameBytes_ * frameBytes_;
    int result = 0;
    if (consumed > 0) {
        result = filter_(handle_, consumed, reinterpret_cast<const short*>(inStage_.data()),
                         reinterpret_cast<short*>(outStage_.data() + outFill_));
    }
    inFill_ = available - consumed;
    std::memmove(inStage_.data(), inStage_.data() + consumed, static_cast<size_t>(inFill_));
    outFill_ += consumed;
    std::memcpy(out, outStage_.data(), static_cast<size_t>(bytes));
    outFill_ -= bytes;
    std::memmove(outStage_.data(), outStage_.data() + bytes, static_cast<size_t>(outFill_));
    return result;
}

}  // namespace zelmar
