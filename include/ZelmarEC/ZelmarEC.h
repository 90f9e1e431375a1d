// The contract between the engine and its companion library libZelmarEC.so (noise reduction,
// IIR filters, vector operations): the exported functions, and the pointer types the engine
// binds them through by name at run time.
//
// Both sides include this header from here: the companion defines these functions, the engine
// never links them but resolves each name with the dynamic loader and stays inert when the
// library or a name is missing.  Each pointer type is the declared function's own type, so the
// two sides cannot disagree on a signature.
#pragma once

#define ZELMAR_EC_API extern "C" __attribute__((visibility("default")))

// Noise reduction.  Lengths are in bytes of 16-bit mono PCM.
ZELMAR_EC_API int NR_Initialize(void** handle);
ZELMAR_EC_API int NR_Start(void* handle);
ZELMAR_EC_API int NR_Stop(void* handle);
ZELMAR_EC_API int NR_Filter(void* handle, int lengthBytes, const short* in, short* out);
ZELMAR_EC_API int NR_Dispose(void* handle);
ZELMAR_EC_API int NR_GetAttribute(void* handle, int attribute);
ZELMAR_EC_API int NR_Configure(void* handle, const char* key, int value);

// IIR filters: kind 1 = high-pass, 0 = low-pass; order 1 or 3; the state is opaque.
ZELMAR_EC_API void* IPPS_IIRAlloc(int kind, int order, int cutoffHz, int sampleRate);
ZELMAR_EC_API void IPPS_IIRFree(void* state);
ZELMAR_EC_API int IPPS_IIR(const short* src, short* dst, int lengthSamples, void* state);

// Vector operations.  Integer results saturate to 16 bits; scaleFactor s multiplies the
// result by 2^-s.
ZELMAR_EC_API int IPPS_MaxAbs16s(const short* src, int length, short* maxAbs);
ZELMAR_EC_API int IPPS_Max16s(const short* src, int length, short* max);
ZELMAR_EC_API int IPPS_MulC16s(const short* src, short value, short* dst, int length, int scaleFactor);
ZELMAR_EC_API int IPPS_MulC16sI(short value, short* srcDst, int length, int scaleFactor);
ZELMAR_EC_API int IPPS_Add16s(const short* a, const short* b, short* dst, int length, int scaleFactor);
ZELMAR_EC_API int IPPS_Add16sI(const short* src, short* srcDst, int length, int scaleFactor);
ZELMAR_EC_API float* IPPS_Malloc_32f(int length);
ZELMAR_EC_API short* IPPS_Malloc_16s(int length);
ZELMAR_EC_API int IPPS_Convert_32f16s(const float* src, short* dst, int length, int scaleFactor);
ZELMAR_EC_API int IPPS_Convert_16s32f(const short* src, float* dst, int length, int scaleFactor);
ZELMAR_EC_API void IPPS_Free(void* pointer);
ZELMAR_EC_API int IPPS_AutoCorr(const float* src, int srcLength, float* dst, int dstLength);
ZELMAR_EC_API int IPPS_AutoCorrNorm32f(const float* src, int srcLength, float* dst, int dstLength);

namespace zelmar::companion {

constexpr const char* kLibraryFileName = "libZelmarEC.so";

using NrInitializeFn = decltype(&NR_Initialize);
using NrStartFn = decltype(&NR_Start);
using NrStopFn = decltype(&NR_Stop);
using NrFilterFn = decltype(&NR_Filter);
using NrDisposeFn = decltype(&NR_Dispose);
using NrGetAttributeFn = decltype(&NR_GetAttribute);
using NrConfigureFn = decltype(&NR_Configure);

// NR_GetAttribute attribute numbers.
constexpr int kNrAttributeFrameBytes = 0;

constexpr int kIirKindLowPass = 0;
constexpr int kIirKindHighPass = 1;
using IppsIirAllocFn = decltype(&IPPS_IIRAlloc);
using IppsIirFreeFn = decltype(&IPPS_IIRFree);
using IppsIirFn = decltype(&IPPS_IIR);

using IppsMaxAbs16sFn = decltype(&IPPS_MaxAbs16s);
using IppsMax16sFn = decltype(&IPPS_Max16s);
using IppsMulC16sFn = decltype(&IPPS_MulC16s);
using IppsMulC16sIFn = decltype(&IPPS_MulC16sI);
using IppsAdd16sFn = decltype(&IPPS_Add16s);
using IppsAdd16sIFn = decltype(&IPPS_Add16sI);
using IppsMalloc32fFn = decltype(&IPPS_Malloc_32f);
using IppsMalloc16sFn = decltype(&IPPS_Malloc_16s);
using IppsConvert32f16sFn = decltype(&IPPS_Convert_32f16s);
using IppsConvert16s32fFn = decltype(&IPPS_Convert_16s32f);
using IppsFreeFn = decltype(&IPPS_Free);
using IppsAutoCorrFn = decltype(&IPPS_AutoCorr);
using IppsAutoCorrNorm32fFn = decltype(&IPPS_AutoCorrNorm32f);

// Status values of the vector and IIR functions.
constexpr int kIppsOk = 0;
constexpr int kIppsBadArgument = -1;

}  // namespace zelmar::companion
