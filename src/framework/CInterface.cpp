// The component operations as exported C functions, for hosts that cannot call through the
// interface's virtual slots.  Components made by the factory already turn anything thrown into
// a result code, so these only check the component pointer.
#include <zelmar/zelmar_c.h>
#include <zelmar/zelmar_split.h>

#include "framework/Result.h"

using zelmar::kErrInvalidArg;
using zelmar::kErrNotImpl;

extern "C" {

ZELMAR_API int32_t ZelmarBuild(IAudioIO* component) { return component ? component->Build() : kErrInvalidArg; }

ZELMAR_API int32_t ZelmarStart(IAudioIO* component) { return component ? component->Start() : kErrInvalidArg; }

ZELMAR_API int32_t ZelmarStop(IAudioIO* component) { return component ? component->Stop() : kErrInvalidArg; }

ZELMAR_API int32_t ZelmarSetProperty(IAudioIO* component, const char* name, int32_t value, void* data) {
    return component ? component->SetProperty(name, value, data) : kErrInvalidArg;
}

ZELMAR_API int32_t ZelmarGetProperty(IAudioIO* component, const char* name, int32_t arg, void* out) {
    return component ? component->GetProperty(name, arg, out) : kErrInvalidArg;
}

ZELMAR_API int32_t ZelmarGetData(IAudioIO* component, void* buffer, int32_t bytes) {
    return component ? component->GetData(buffer, bytes) : kErrInvalidArg;
}

ZELMAR_API int32_t ZelmarPutData(IAudioIO* component, const void* buffer, int32_t bytes) {
    return component ? component->PutData(buffer, bytes) : kErrInvalidArg;
}

ZELMAR_API int32_t ZelmarProcess(IAudioIO* component, const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    return component ? component->Process(in, inBytes, out, outBytes) : kErrInvalidArg;
}

ZELMAR_API int32_t ZelmarGetDataSplit(IAudioIO* component, void* left, void* right, int32_t bytes) {
    if (component == nullptr) return kErrInvalidArg;
    auto* source = dynamic_cast<IAudioIOSplitSource*>(component);
    return source ? source->GetDataSplit(left, right, bytes) : kErrNotImpl;
}

ZELMAR_API int32_t ZelmarPutDataSplit(IAudioIO* component, const void* left, const void* right, int32_t bytes) {
    if (component == nullptr) return kErrInvalidArg;
    auto* sink = dynamic_cast<IAudioIOSplitSink*>(component);
    return sink ? sink->PutDataSplit(left, right, bytes) : kErrNotImpl;
}

ZELMAR_API const char* ZelmarResultText(int32_t result) {
    if (result >= 0) return "success";
    switch (static_cast<uint32_t>(result)) {
        case 0x80000000u: return "audio format not acceptable";
        case 0x80000001u: return "wrong state or unrecognised property";
        case 0x80000002u: return "not implemented by this component";
        case 0x80000003u: return "invalid argument";
        case 0x80000004u: return "platform failure";
        case 0x80000005u: return "time-out";
        case 0x80000007u: return "device stalled";
        default: return "unknown code";
    }
}

}  // extern "C"
