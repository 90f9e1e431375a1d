// The voice-capture object: captures one capture endpoint at 16 kHz mono 16-bit, takes what
// one render endpoint plays (its sink's monitor) as the echo reference, and runs the capture
// through WebRTC's audio processing: echo cancellation, noise suppression, automatic gain
// control, a gain bounder (WebRTC's limiter) and a noise fill.  It is configured through a
// property store of integer and boolean values under one format id, told its output type with
// SetOutputType, and read with ProcessOutput into a caller's media buffer, as the echo-cancelling
// capture component expects of such an object.
//
// The object runs no thread of its own: each ProcessOutput collects what the two capture
// buffers hold (the sound server fills them on its own threads), processes it in 10 ms chunks
// and hands out what is ready.  The streams open at SetOutputType and run until the object is
// destroyed; Flush drops everything captured so far.
//
// Endpoints are the audio service's devices: capture endpoints its capture list, render
// endpoints its playback list, each in the service's order (CountEndpoints / ListEndpoints).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/audio/AudioDevice.h"

namespace zelmar::platform::audio {

// Results in the COM convention: 0 success, 1 "success, nothing done", negative failure.
using HResult = int32_t;
constexpr HResult kHrOk = 0;
constexpr HResult kHrFalse = 1;
constexpr HResult kHrNotImpl = static_cast<HResult>(0x80004001u);
constexpr HResult kHrNoInterface = static_cast<HResult>(0x80004002u);
constexpr HResult kHrPointer = static_cast<HResult>(0x80004003u);
constexpr HResult kHrFail = static_cast<HResult>(0x80004005u);
constexpr HResult kHrInvalidArg = static_cast<HResult>(0x80070057u);
constexpr HResult kHrClassNotRegistered = static_cast<HResult>(0x80040154u);
constexpr HResult kDmoInvalidStreamIndex = static_cast<HResult>(0x80040201u);
constexpr HResult kDmoTypeNotAccepted = static_cast<HResult>(0x80040204u);
constexpr HResult kDmoTypeNotSet = static_cast<HResult>(0x80040205u);

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
    bool operator==(const Guid& o) const;
    bool operator!=(const Guid& o) const { return !(*this == o); }
};

constexpr Guid kIidUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr Guid kIidMediaBuffer{0x59EFF8B9, 0x938C, 0x4A26, {0x82, 0xF2, 0x95, 0xCB, 0x84, 0xCD, 0xC8, 0x37}};
constexpr Guid kMediaTypeAudio{0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr Guid kMediaSubtypePcm{0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr Guid kFormatWaveFormatEx{0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
// The format id of every voice-capture property key.
constexpr Guid kVoiceCaptureKeys{0x6F52C567, 0x0360, 0x4BD2, {0x96, 0x17, 0xCC, 0xBF, 0x14, 0x21, 0xC9, 0x39}};

struct PropertyKey {
    Guid fmtid;
    uint32_t pid;
};

// The keys' property ids.
enum VoicePid : uint32_t {
    kPidSystemMode = 2,       // int: 0 echo cancellation, 5 noise suppression and gain control only
    kPidDeviceIndexes = 4,    // int: (render endpoint << 16) | (capture endpoint & 0xFFFF); -1 the default
    kPidFeatureMode = 5,      // bool: the feature keys below apply (else their defaults do)
    kPidFrameSize = 6,        // int: samples per processing frame (160, 10 ms)
    kPidEchoLength = 7,       // int: 128, 256, 512 or 1024 ms of echo tail to model
    kPidNoiseSuppression = 8, // int: 0 off, 1 on
    kPidGainControl = 9,      // bool
    kPidEchoSuppression = 10, // int: 0..2, how hard residual echo is suppressed
    kPidCenterClip = 12,      // bool: kept; the canceller's own suppression does this work
    kPidNoiseFill = 13,       // bool
    kPidMicGainBounder = 21,  // bool
};
constexpr PropertyKey VoiceKey(uint32_t pid) { return {kVoiceCaptureKeys, pid}; }

enum VarType : uint16_t { kVtEmpty = 0, kVtI4 = 3, kVtBool = 11 };
constexpr int16_t kVariantTrue = -1;
constexpr int16_t kVariantFalse = 0;

struct PropVariant {
    uint16_t vt = kVtEmpty;
    int32_t lVal = 0;     // kVtI4
    int16_t boolVal = 0;  // kVtBool: kVariantTrue or kVariantFalse
};
inline void PropVariantClear(PropVariant* value) {
    if (value != nullptr) *value = PropVariant{};
}

class IPropertyStore {
public:
    virtual ~IPropertyStore() = default;
    // kHrInvalidArg for a key the store does not hold; kHrPointer for a null value.
    virtual HResult GetValue(const PropertyKey& key, PropVariant* value) = 0;
    // kHrInvalidArg for an unknown key, a value of the wrong type or out of the key's range.
    virtual HResult SetValue(const PropertyKey& key, const PropVariant& value) = 0;
};

// Where ProcessOutput writes: a byte region with a maximum and a current length.
class IMediaBuffer {
public:
    virtual HResult QueryInterface(const Guid& iid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual HResult SetLength(uint32_t length) = 0;
    virtual HResult GetMaxLength(uint32_t* maxLength) = 0;
    virtual HResult GetBufferAndLength(uint8_t** buffer, uint32_t* length) = 0;

protected:
    ~IMediaBuffer() = default;  // buffers free themselves through Release
};

constexpr uint32_t kDmoOutputIncomplete = 0x01000000;  // more output is ready than the buffer took

struct DmoOutputDataBuffer {
    IMediaBuffer* pBuffer = nullptr;
    uint32_t dwStatus = 0;
    int64_t rtTimestamp = 0;
    int64_t rtTimelength = 0;
};

struct DmoMediaType {
    Guid majortype{};
    Guid subtype{};
    int32_t bFixedSizeSamples = 0;
    int32_t bTemporalCompression = 0;
    uint32_t lSampleSize = 0;
    Guid formattype{};
    void* pUnk = nullptr;
    uint32_t cbFormat = 0;
    uint8_t* pbFormat = nullptr;
};
// Gives `type` a zeroed format block of `formatBytes`; kHrPointer for a null type.
HResult MoInitMediaType(DmoMediaType* type, uint32_t formatBytes);
HResult MoFreeMediaType(DmoMediaType* type);

constexpr uint32_t kSetTypeTestOnly = 1;

class IMediaObject {
public:
    virtual ~IMediaObject() = default;
    virtual HResult SetOutputType(uint32_t stream, const DmoMediaType* type, uint32_t flags) = 0;
    // kHrFalse when nothing was ready; the buffer's status says whether more waits.
    virtual HResult ProcessOutput(uint32_t flags, uint32_t count, DmoOutputDataBuffer* buffers, uint32_t* status) = 0;
    virtual HResult Flush() = 0;
};

class IVoiceCapture : public IMediaObject, public IPropertyStore {};

// The object over `service`'s devices: kHrClassNotRegistered without a service.
HResult CreateVoiceCapture(IAudioService* service, std::unique_ptr<IVoiceCapture>* object);

// What the object produces: 16 kHz, mono, 16-bit PCM, processed in 10 ms frames.
constexpr uint32_t kVoiceRateHz = 16000;
constexpr uint32_t kVoiceFrameSamples = kVoiceRateHz / 100;

// Endpoint listing.  `flow` 0 is render, 1 capture.  A record holds the friendly name in its
// first 512 wide characters: at most 510 and a NUL.
enum EndpointFlow : int32_t { kFlowRender = 0, kFlowCapture = 1 };
constexpr std::size_t kEndpointRecordChars = 1025;
constexpr std::size_t kEndpointNameChars = 510;
struct EndpointRecord {
    char16_t text[kEndpointRecordChars];
};
HResult CountEndpoints(IAudioService* service, int32_t flow, uint32_t* count);
// kHrInvalidArg (nothing written) when `count` is not the number of endpoints now.
HResult ListEndpoints(IAudioService* service, int32_t flow, uint32_t count, EndpointRecord* records);

// A wide-character name as the engine's narrow strings hold it (UTF-8): the bytes it takes
// without the NUL, written to `out` only when `outBytes` holds them and the NUL.
std::size_t NarrowName(const char16_t* name, char* out, std::size_t outBytes);

}  // namespace zelmar::platform::audio
