#include "devices/DxErrorText.h"

#include <cstring>

#include "framework/Result.h"

namespace zelmar {
namespace {

struct CodeText {
    uint32_t code;
    const char* text;
};

// The DirectSound codes (facility 0x878) and the system codes its calls return.
constexpr CodeText kTexts[] = {
    {0x0878000Au, "The call succeeded, but the 3D algorithm was replaced by another."},
    {0x80004001u, "The function called is not supported at this time."},
    {0x80004002u, "The requested interface is not supported by this object."},
    {0x80004005u, "An undetermined error occurred inside the sound subsystem."},
    {0x80040110u, "The object does not support aggregation."},
    {0x80070005u, "The request failed because access was denied."},
    {0x8007000Eu, "There is not enough memory to complete the request."},
    {0x80070057u, "An invalid parameter was passed to the returning function."},
    {0x8878000Au, "The request failed because resources, such as a priority level, were already in use."},
    {0x8878001Eu, "The buffer control requested by the caller is not available."},
    {0x88780032u, "This function is not valid for the current state of this object."},
    {0x88780046u, "A cooperative level of priority or higher is required."},
    {0x88780064u, "The specified wave format is not supported."},
    {0x88780078u, "No sound driver is available for use, or the device went away."},
    {0x88780082u, "The object is already initialized."},
    {0x88780096u, "The buffer memory has been lost and must be restored."},
    {0x887800A0u, "Another application has a higher priority level."},
    {0x887800AAu, "The Initialize method has not been called or has not been called successfully."},
    {0x887800B0u, "The effects requested could not be found on the system, or they are in the wrong order."},
    {0x887800B4u, "The buffer size is not big enough to enable effects processing."},
    {0x887800BEu, "A version 8 interface is required for this call."},
    {0x887800C8u, "A circular loop of send effects was detected."},
    {0x887800D2u, "The send buffer GUID is not valid."},
    {0x887800DCu, "The requested effects are not available."},
    {0x88781161u, "The requested object was not found."},
};

}  // namespace

const char* DxErrorText(int32_t code) {
    for (const CodeText& entry : kTexts) {
        if (entry.code == static_cast<uint32_t>(code)) return entry.text;
    }
    return "n/a";
}

int32_t CopyDxErrorString(int32_t code, int32_t size, void* out) {
    if (size <= 0) return kErrInvalidArg;
    const char* text = code == 0 ? "" : DxErrorText(code);
    std::strncpy(static_cast<char*>(out), text, static_cast<std::size_t>(size));
    return kOk;
}

}  // namespace zelmar
