// Exported functions of libZelmarEC.so.  Signatures are those the engine binds
// (src/companion/CompanionApi.h); this header only adds the C linkage and visibility.
#pragma once

#define ZELMAR_EC_API extern "C" __attribute__((visibility("default")))

ZELMAR_EC_API int NR_Initialize(void** handle);
ZELMAR_EC_API int NR_Start(void* handle);
ZELMAR_EC_API int NR_Stop(void* handle);
ZELMAR_EC_API int NR_Filter(void* handle, int lengthBytes, const short* in, short* out);
ZELMAR_EC_API int NR_Dispose(void* handle);
ZELMAR_EC_API int NR_GetAttribute(void* handle, int attribute);
ZELMAR_EC_API int NR_Configure(void* handle, const char* key, int value);

ZELMAR_EC_API void* IPPS_IIRAlloc(int kind, int order, int cutoffHz, int sampleRate);
ZELMAR_EC_API void IPPS_IIRFree(void* state);
ZELMAR_EC_API int IPPS_IIR(const short* src, short* dst, int lengthSamples, void* state);

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
