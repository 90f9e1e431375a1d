// NR_: noise reduction for 16-bit mono PCM at any rate from 8000 to 48000 Hz.
//
// The suppressors work on 10 ms frames; NR_Filter takes any even number of bytes and returns
// as many, so the reducer queues input until a frame is full and keeps one frame of output
// queued ahead (10 ms of latency, silence at the start), through the FrameQueue the engine's
// wrapper uses too.
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
#include <vector>

#include <ZelmarEC/FrameQueue.h>
#include <ZelmarEC/ZelmarEC.h>

#include "Suppressor.h"

namespace zelmar::ec {
namespace {

constexpr int kMinRateHz = 8000;
constexpr int kMaxRateHz = 48000;
constexpr int kDefaultRateHz = 16000;
constexpr int kFrameMs = 10;
constexpr int kDefaultFactor = 10;
constexpr int kMaxFactor = 30;
constexpr int kDbPerFactorStep = 2;
// Pieces longer than this many frames less one pass through the queue in parts.
constexpr size_t kQueueFrames = 20;
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
    zelmar::companion::FrameQueue queue;
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
    reducer.queue.Reset(static_cast<size_t>(reducer.frameSamples), kQueueFrames);
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
    zelmar::ec::ISuppressor* suppressor = reducer->suppressor.get();
    return reducer->queue.Run(in, out, static_cast<size_t>(lengthBytes / 2),
                              [frame, suppressor](const int16_t* frames, int16_t* processed, size_t samples) {
                                  std::memcpy(processed, frames, samples * sizeof(int16_t));
                                  if (suppressor == nullptr) return 0;
                                  for (size_t f = 0; f < samples; f += frame) suppressor->ProcessFrame(processed + f);
                                  return 0;
                              });
}

ZELMAR_EC_API int NR_Dispose(void* handle) {
    delete zelmar::ec::FromHandle(handle);
    return 0;
}
