/*
 * Zelmar audio engine — the component operations as plain C functions.
 *
 * For C hosts and language bindings (ctypes, cffi, JNA, ...), which cannot call through the
 * C++ interface's virtual slots.  Each function calls the operation of the same name on a
 * component made by ZelmarCreateComponent and returns what it returns; a null component gives
 * ZELMAR_E_INVALIDARG.  Integer properties pass their value in `value`; float, text, format and
 * pointer properties pass it through `data` (see the README's component tables).
 *
 *   IAudioIO* tone = ZelmarCreateComponent("WaveGeneratorAudioIn");
 *   ZelmarSetProperty(tone, "Frequency", 440, NULL);
 *   ZelmarBuild(tone);
 *   ZelmarStart(tone);
 *   int16_t block[160];
 *   int32_t got = ZelmarGetData(tone, block, sizeof block);
 *   ZelmarDisposeComponent(tone);
 */
#ifndef ZELMAR_ZELMAR_C_H
#define ZELMAR_ZELMAR_C_H

#include <zelmar/zelmar.h>

#ifdef __cplusplus
extern "C" {
#endif

ZELMAR_API int32_t ZelmarBuild(IAudioIO* component);
ZELMAR_API int32_t ZelmarStart(IAudioIO* component);
ZELMAR_API int32_t ZelmarStop(IAudioIO* component);
ZELMAR_API int32_t ZelmarSetProperty(IAudioIO* component, const char* name, int32_t value, void* data);
ZELMAR_API int32_t ZelmarGetProperty(IAudioIO* component, const char* name, int32_t arg, void* out);
ZELMAR_API int32_t ZelmarGetData(IAudioIO* component, void* buffer, int32_t bytes);
ZELMAR_API int32_t ZelmarPutData(IAudioIO* component, const void* buffer, int32_t bytes);
ZELMAR_API int32_t ZelmarProcess(IAudioIO* component, const void* in, int32_t* inBytes, void* out,
                                 int32_t* outBytes);

/* The split-channel calls of the WAV reader and the UDP receiver (GetDataSplit) and of the WAV
 * writer and the UDP sender (PutDataSplit); any other component gives ZELMAR_E_NOTIMPL. */
ZELMAR_API int32_t ZelmarGetDataSplit(IAudioIO* component, void* left, void* right, int32_t bytes);
ZELMAR_API int32_t ZelmarPutDataSplit(IAudioIO* component, const void* left, const void* right, int32_t bytes);

/* The text of a result code ("wrong state, or property name not recognised"), or of a
 * non-negative byte count ("success"); never null. */
ZELMAR_API const char* ZelmarResultText(int32_t result);

/* Whether one coded Siren14 frame (bitRate / 400 bytes: 60, 80 or 120) passes the decoder's
 * frame checks, with `sampleRate` 16000 for the 7 kHz mode or 32000 for the 14 kHz mode: 1 when
 * "Siren14AudioFilter" decodes it, 0 when it would conceal it as damaged (the filter does so
 * without a word, so a host counts damaged frames with this), ZELMAR_E_INVALIDARG for a null
 * or short frame or a mode Siren14 does not code. */
ZELMAR_API int32_t ZelmarSiren14FrameIsValid(const void* frame, int32_t bytes, int32_t sampleRate, int32_t bitRate);

#ifdef __cplusplus
}
#endif

#endif /* ZELMAR_ZELMAR_C_H */
