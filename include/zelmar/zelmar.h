/*
 * Zelmar audio engine — public interface.
 *
 * A host creates components by name with ZelmarCreateComponent, configures them through
 * named properties, calls Build and Start, moves audio with GetData (sources), Process
 * (filters) and PutData (sinks) on its own threads, and hands each component back to
 * ZelmarDisposeComponent.  Every operation returns a 32-bit result code: 0 on success, a
 * negative ZELMAR_E_* value on failure (data calls return a byte count >= 0 on success).
 *
 * The header is usable from C++ (the IAudioIO interface) and C (the exported functions).
 *
 * Pointer-valued properties ("AudioIn", "AudioOut", "RefBuffer", ...) were 32-bit values in
 * the engine's original 32-bit build.  This 64-bit build writes a whole pointer (intptr_t)
 * through GetProperty's `out` and reads one through SetProperty's `data`; in a 32-bit
 * build the two are the same size.
 */
#ifndef ZELMAR_ZELMAR_H
#define ZELMAR_ZELMAR_H

#include <stdint.h>

/* Result codes.  All failures have the top bit set, so they are negative as int32_t. */
#define ZELMAR_OK                ((int32_t)0)
#define ZELMAR_E_FORMAT          ((int32_t)0x80000000u) /* audio format not acceptable */
#define ZELMAR_E_STATE           ((int32_t)0x80000001u) /* wrong state, or property name not recognised */
#define ZELMAR_E_NOTIMPL         ((int32_t)0x80000002u) /* operation not performed by this component */
#define ZELMAR_E_INVALIDARG      ((int32_t)0x80000003u) /* null pointer, bad size or value out of range */
#define ZELMAR_E_PLATFORM        ((int32_t)0x80000004u) /* a device, codec, timer, socket or wait call failed */
#define ZELMAR_E_TIMEOUT         ((int32_t)0x80000005u) /* a wait expired or a retry budget ran out */
#define ZELMAR_E_RESERVED        ((int32_t)0x80000006u) /* never returned */
#define ZELMAR_E_STALLED         ((int32_t)0x80000007u) /* a device position did not move for 30 s */

/* State numbers kept by components that have a state machine. */
#define ZELMAR_STATE_CREATED 0
#define ZELMAR_STATE_BUILT   1
#define ZELMAR_STATE_RUNNING 2

/* Size of a format block: an 18-byte WAVEFORMATEX followed by up to 128 bytes of extra data.
 * A format property read with a size argument of 0 copies the whole block. */
#define ZELMAR_FORMAT_BLOCK_BYTES 146
#define ZELMAR_FORMAT_EXTRA_MAX   128

#ifndef _WAVEFORMATEX_
#define _WAVEFORMATEX_
#pragma pack(push, 1)
/* Stream format, 18 bytes, packed, little-endian as stored in WAV files. */
typedef struct tWAVEFORMATEX {
    uint16_t wFormatTag;      /* 1 = PCM */
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;          /* bytes of extra data that follow */
} WAVEFORMATEX;
#pragma pack(pop)
#endif
#ifdef __cplusplus
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX must be the packed 18-byte structure");
#endif

#if defined(ZELMAR_BUILDING_LIBRARY)
#define ZELMAR_API __attribute__((visibility("default")))
#else
#define ZELMAR_API
#endif

#ifdef __cplusplus
/* The component interface.  The slot order is part of the binary interface. */
struct IAudioIO {
    virtual ~IAudioIO() {}
    virtual int32_t Start() = 0;
    virtual int32_t Stop() = 0;
    virtual int32_t Build() = 0;
    virtual int32_t SetProperty(const char* name, int32_t value, void* data) = 0;
    virtual int32_t GetProperty(const char* name, int32_t arg, void* out) = 0;
    virtual int32_t GetData(void* buffer, int32_t bytes) = 0;
    virtual int32_t PutData(const void* buffer, int32_t bytes) = 0;
    virtual int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) = 0;
};
extern "C" {
#else
typedef struct IAudioIO IAudioIO;
#endif

/* Creates a new component by factory name (ASCII case-insensitive, whole name), or returns
 * null for an unknown name.  The caller owns it until ZelmarDisposeComponent. */
ZELMAR_API IAudioIO* ZelmarCreateComponent(const char* name);

/* Destroys a component made by ZelmarCreateComponent; null is accepted.  Returns 0. */
ZELMAR_API int32_t ZelmarDisposeComponent(IAudioIO* component);

/* Installs the process-wide debug-output sink.  Components trace through it: each trace
 * arrives as one call with the text as the component formatted it (trailing newline
 * included), on the thread that traced.  A null sink (the default) makes tracing silent. */
ZELMAR_API void ZelmarSetDebugOutput(void (*sink)(const char* text, void* context), void* context);

/* Time base of the engine's pacing (timers, waits, sleeps), process-wide.
 *   ZELMAR_TIME_REAL     the monotonic clock (the default): paced sources run in real time.
 *   ZELMAR_TIME_VIRTUAL  a virtual clock that jumps to each deadline a component waits for:
 *                        paced sources (the tone generator) run as fast as the host calls them,
 *                        for offline rendering.  Sound devices still need real time.
 * Switch only while no component exists; components made before keep the old time base.
 * Returns 0, or ZELMAR_E_INVALIDARG for an unknown mode. */
#define ZELMAR_TIME_REAL    0
#define ZELMAR_TIME_VIRTUAL 1
ZELMAR_API int32_t ZelmarSetTimeMode(int32_t mode);

/* The major version the engine's version query reports, process-wide.  Components that work
 * either through the system's capture endpoints or through its legacy mixer
 * ("VolumeControlAudioFilter") read it when they are created: 6 or higher (6 is the default)
 * selects the endpoints, anything lower the legacy mixer.  Returns the version reported
 * before. */
ZELMAR_API int32_t ZelmarSetSystemVersion(int32_t major);

/* Whether the companion library libZelmarEC.so (noise reduction, IIR filters, vector
 * operations), which the engine loads at run time, is there.  Returns 0 when it loads with
 * every function the engine binds; otherwise ZELMAR_E_PLATFORM, and when `text` is not null
 * it receives (NUL-terminated, cut to `size` bytes) what is missing: where the library was
 * looked for, why the file found cannot be loaded, or the functions it lacks.  On success
 * `text` receives an empty string.  The components run without it: "PreProcessAudioFilter"
 * then has no IIR filters, no noise suppression and no pitch-based voice detection. */
ZELMAR_API int32_t ZelmarCompanionStatus(char* text, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* ZELMAR_ZELMAR_H */
