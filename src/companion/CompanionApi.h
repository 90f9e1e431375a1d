// The functions of the companion library libZelmarEC.so, as the engine binds them by name.
//
// The engine never links the companion: the wrappers resolve these names at run time and stay
// inert when the library or a name is missing.  The companion's own sources include this header
// too, so both sides agree on every signature.
#pragma once

#include <cstdint>

namespace zelmar::companion {

constexpr const char* kLibraryFileName = "libZelmarEC.so";

// Noise reduction.  Lengths are in bytes of 16-bit mono PCM.
using NrInitializeFn = int (*)(void** handle);
using NrStartFn = int (*)(void* handle);
using NrStopFn = int (*)(void* handle);
using NrFilterFn = int (*)(void* handle, int lengthBytes, const short* in, short* out);
using NrDisposeFn = int (*)(void* handle);
using NrGetAttributeFn = int (*)(void* handle, int attribute);
using NrConfigureFn = int (*)(void* handle, const char* key, int value);

// NR_GetAttribute attribute numbers.
constexpr int kNrAttributeFrameBytes = 0;

// IIR filters: kind 1 = high-pass, 0 = low-pass; order 1 or 3; the state is opaque.
constexpr int kIirKindLowPass = 0;
constexpr int kIirKindHighPass = 1;
using IppsIirAllocFn = void* (*)(int kind, int order, int cutoffHz, int sampleRate);
using IppsIirFreeFn = void (*)(void* state);
using IppsIirFn = int (*)(const short* src, short* dst, int lengthSamples, void* state);

// Vector operations.  Integer results saturate to 16 bits; scaleFactor s multiplies the
// result by 2^-s.
using IppsMaxAbs16sFn = int (*)(const short* src, int length, short* maxAbs);
using IppsMax16sFn = int (*)(const short* src, int length, short* max);
using IppsMulC16sFn = int (*)(const short* src, short value, short* dst, int length, int scaleFactor);
using IppsMulC16sIFn = int (*)(short value, short* srcDst, int length, int scaleFactor);
using IppsAdd16sFn = int (*)(const short* a, const short* b, short* dst, int length, int scaleFactor);
using IppsAdd16sIFn = int (*)(const short* src, short* srcDst, int length, int scaleFactor);
using IppsMalloc32fFn = float* (*)(int length);
using IppsMalloc16sFn = short* (*)(int length);
using IppsConvert32f16sFn = int (*)(const float* src, short* dst, int length, int scaleFactor);
using IppsConvert16s32fFn = int (*)(const short* src, float* dst, int length, int scaleFactor);
using IppsFreeFn = void (*)(void* pointer);
using IppsAutoCorrFn = int (*)(const float* src, int srcLength, float* dst, int dstLength);
using IppsAutoCorrNorm32fFn = int (*)(const float* src, int srcLength, float* dst, int dstLength);

// Status values of the vector and IIR functions.
constexpr int kIppsOk = 0;
constexpr int kIppsBadArgument = -1;

}  // namespace zelmar::companion
