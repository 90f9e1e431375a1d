// NR_: noise reduction for 16-bit mono PCM at any rate from 8000 to 48000 Hz.
//
// The suppressors work on 10 ms frames; NR_Filter takes any even number of bytes and returns
// as many, so the reducer queues input until a frame is full and keeps one frame of output
// queued ahead (10 ms of latency, silence at the start).
//
// Configuration keys (NR_Configure):
//   "Factor"     suppression strength: noise is attenuated by up to 2 x Factor dB (0..30,
//                so at most 60 dB; 0 passes the signal through with the same latency).
//   "Frequency"  sampling rate in Hz, 8000..48000.
//   "Method"     0 = SpeexDSP's denoiser (the default), 1 = WebRTC's noise suppressor.
// A rate or method change takes effect at the next NR_Start or NR_Filter; the factor at once.
#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "Suppressor.h"
#include <ZelmarEC/ZelmarEC.h>

namespace zelmar::ec {
namespace {

constexpr int kMinRateHz = 8000;
constexpr int kMaxRateHz = 48000;
constexpr int kDefaultRateHz = 16000;
constexpr int kFrameMs = 10;
constexpr int kDefaultFactor = 10;
constexpr int kMaxFactor = 30;
constexpr int kDbPerFactorStep = 2;
// The unit NR_GetAttribute reports: 10 ms at the lowest rate.  Any even length is accepted, so
// this only tells callers a convenient granularity.
constexpr int kReportedFrameBytes = 160;

enum Method : int { kMethodSpeex = 0, kMethodWebRtc = 1 };
constexpr int kDefaultMethod = kMethodSpeex;

struct NoiseReducer {
    int factor = kDefaultFactor;
    int rateHz = kDefaultRateHz;
    int method = kDefaultMethod;
    bool needsSetup = true;
    int frameSamples = 0;
    std::unique_ptr<ISuppressor> suppressor;  // null: frames pass unchanged
    std::vector<int16_t> inFrame;             // partial input frame
    size_t inFill = 0;
    std::vector<int16_t> outQueue;            // processed samples not yet returned
    size_t outFill = 0;
};

int AttenuationDb(int factor) { return std::clamp(factor, 0, kMaxFactor) * kDbPerFactorStep; }

// (Re)creates the suppressor and the queues for the current rate and method.
bool Setup(NoiseReducer& reducer) {
    reducer.frameSamples = reducer.rateHz * kFrameMs / 1000;
    reducer.suppressor.reset();
    if (reducer.factor > 0) {
        const int attenuationDb = AttenuationDb(reducer.factor);
        reducer.suppressor = reducer.method == kMethodWebRtc
                                 ? CreateWebRtcSuppressor(reducer.rateHz, reducer.frameSamples, attenuationDb)
                                 : CreateSpeexSuppressor(reducer.rateHz, reducer.frameSamples, attenuationDb);
    }
    const auto frame = static_cast<size_t>(reducer.frameSamples);
    reducer.inFrame.assign(frame, 0);
    reducer.inFill = 0;
    // At most one queued frame plus one just processed.
    reducer.outQueue.assign(2 * frame, 0);
    reducer.outFill = frame;  // one frame of silence ahead
    reducer.needsSetup = false;
    return true;
}

NoiseReducer* FromHandle(void* handle) { return static_cast<NoiseReducer*>(handle); }

}  // namespace
}  // namespace zelmar::ec

using zelmar::ec::NoiseReducer;

ZELMAR_EC_API int NR_Initialize(void** handle) {
    if (handle == nullptr) return -1;
    *handle = new (std::nothrow) NoiseReducer();
    return *handle == nullptr ? -1 : 0;
}

ZELMAR_EC_API int NR_GetAttribute(void* handle, int attribute) {
    if (handle == nullptr) return -1;
    return attribute == zelmar::companion::kNrAttributeFrameBytes ? zelmar::ec::kReportedFrameBytes : -1;
}

ZELMAR_EC_API int NR_Configure(void* handle, const char* key, int value) {
    NoiseReducer* reducer = zelmar::ec::FromHandle(handle);
    if (reducer == nullptr || key == nullptr) return -1;
    if (std::strcmp(key, "Factor") == 0) {
        if (value < 0) return -1;
        const bool wasOff = reducer->factor == 0;
        reducer->factor = value;
        if (reducer->suppressor != nullptr && value > 0) {
            reducer->suppressor->SetAttenuationDb(zelmar::ec::AttenuationDb(value));
        } else if (wasOff != (value == 0)) {
            reducer->needsSetup = true;  // the suppressor is made or dropped
        }
        return 0;
    }
    if (std::strcmp(key, "Frequency") == 0) {
        if (value < zelmar::ec::kMinRateHz || value > zelmar::ec::kMaxRateHz) return -1;
        if (value != reducer->rateHz) reducer->needsSetup = true;
        reducer->rateHz = value;
        return 0;
    }
    if (std::strcmp(key, "Method") == 0) {
        if (value != zelmar::ec::kMethodSpeex && value != zelmar::ec::kMethodWebRtc) return -1;
        if (value != reducer->method) reducer->needsSetup = true;
        reducer->method = value;
        return 0;
    }
    return -1;
}

ZELMAR_EC_API int NR_Start(void* handle) {
    NoiseReducer* reducer = zelmar::ec::FromHandle(handle);
    if (reducer == nullptr) return -1;
    return zelmar::ec::Setup(*reducer) ? 0 : -1;
}

ZELMAR_EC_API int NR_Stop(void* handle) { return handle == nullptr ? -1 : 0; }

ZELMAR_EC_API int NR_Filter(void* handle, int lengthBytes, const short* in, short* out) {
    NoiseReducer* reducer = zelmar::ec::FromHandle(handle);
    if (reducer == nullptr || lengthBytes < 0 || (lengthBytes & 1) != 0) return -1;
    if (lengthBytes > 0 && (in == nullptr || out == nullptr)) return -1;
    if (reducer->needsSetup && !zelmar::ec::Setup(*reducer)) return -1;

    const auto frame = static_cast<size_t>(reducer->frameSamples);
    const auto total = static_cast<size_t>(lengthBytes / 2);
    // Piece by piece, never more than completes the current frame: the queues stay bounded
    // and in == out works, since a piece is read before the same piece is written.
    for (size_t done = 0; done < total;) {
        const size_t piece = std::min(total - done, frame - reducer->inFill);
        std::memcpy(reducer->inFrame.data() + reducer->inFill, in + done, piece * sizeof(int16_t));
        reducer->inFill += piece;
        if (reducer->inFill == frame) {
            if (reducer->suppressor != nullptr) reducer->suppressor->ProcessFrame(reducer->inFrame.data());
            std::memcpy(reducer->outQueue.data() + reducer->outFill, reducer->inFrame.data(), frame * sizeof(int16_t));
            reducer->outFill += frame;
            reducer->inFill = 0;
        }
        std::memcpy(out + done, reducer->outQueue.data(), piece * sizeof(int16_t));
        reducer->outFill -= piece;
        std::memmove(reducer->outQueue.data(), reducer->outQueue.data() + piece, reducer->outFill * sizeof(int16_t));
        done += piece;
    }
    return 0;
}

ZELMAR_EC_API int NR_Dispose(void* handle) {
    delete zelmar::ec::FromHandle(handle);
    return 0;
}

// Every export has exactly the signature the engine binds.
namespace api = zelmar::companion;
static_assert(std::is_same_v<decltype(&NR_Initialize), api::NrInitializeFn>);
static_assert(std::is_same_v<decltype(&NR_Start), api::NrStartFn>);
static_assert(std::is_same_v<decltype(&NR_Stop), api::NrStopFn>);
static_assert(std::is_same_v<decltype(&NR_Filter), api::NrFilterFn>);
static_assert(std::is_same_v<decltype(&NR_Dispose), api::NrDisposeFn>);
static_assert(std::is_same_v<decltype(&NR_GetAttribute), api::NrGetAttributeFn>);
static_assert(std::is_same_v<decltype(&NR_Configure), api::NrConfigureFn>);
static_assert(std::is_same_v<decltype(&IPPS_IIRAlloc), api::IppsIirAllocFn>);
static_assert(std::is_same_v<decltype(&IPPS_IIRFree), api::IppsIirFreeFn>);
static_assert(std::is_same_v<decltype(&IPPS_IIR), api::IppsIirFn>);
static_assert(std::is_same_v<decltype(&IPPS_MaxAbs16s), api::IppsMaxAbs16sFn>);
static_assert(std::is_same_v<decltype(&IPPS_Max16s), api::IppsMax16sFn>);
static_assert(std::is_same_v<decltype(&IPPS_MulC16s), api::IppsMulC16sFn>);
static_assert(std::is_same_v<decltype(&IPPS_MulC16sI), api::IppsMulC16sIFn>);
static_assert(std::is_same_v<decltype(&IPPS_Add16s), api::IppsAdd16sFn>);
static_assert(std::is_same_v<decltype(&IPPS_Add16sI), api::IppsAdd16sIFn>);
static_assert(std::is_same_v<decltype(&IPPS_Malloc_32f), api::IppsMalloc32fFn>);
static_assert(std::is_same_v<decltype(&IPPS_Malloc_16s), api::IppsMalloc16sFn>);
static_assert(std::is_same_v<decltype(&IPPS_Convert_32f16s), api::IppsConvert32f16sFn>);
static_assert(std::is_same_v<decltype(&IPPS_Convert_16s32f), api::IppsConvert16s32fFn>);
static_assert(std::is_same_v<decltype(&IPPS_Free), api::IppsFreeFn>);
static_assert(std::is_same_v<decltype(&IPPS_AutoCorr), api::IppsAutoCorrFn>);
static_assert(std::is_same_v<decltype(&IPPS_AutoCorrNorm32f), api::IppsAutoCorrNorm32fFn>);
