#include "devices/DeviceErrorText.h"

#include <cstring>

#include "framework/Result.h"
#include "platform/audio/AudioDevice.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;

struct ErrorText {
    int32_t code;
    const char* text;
};

constexpr int32_t Code(uint32_t bits) { return static_cast<int32_t>(bits); }

// The codes the device layer returns (its own constants), then the other published sound-device
// codes a handed-over buffer of another layer could report.
constexpr ErrorText kErrorTexts[] = {
    {pa::kDsErrFail, "An undetermined error occurred inside the sound-device subsystem."},
    {pa::kDsErrNoInterface, "The requested interface is not available."},
    {pa::kDsErrUnsupported, "The function called is not supported at this time."},
    {pa::kDsErrInvalidParam, "An invalid parameter was passed to the returning function."},
    {pa::kDsErrOutOfMemory, "Not enough memory is available to complete the operation."},
    {pa::kDsErrAllocated, "The request failed because resources were already in use by another caller."},
    {pa::kDsErrInvalidCall, "This function is not valid for the current state of this object."},
    {pa::kDsErrBadFormat, "The specified wave format is not supported."},
    {pa::kDsErrNoDriver, "No sound driver is available for use, or the given device id is not a valid device."},
    {pa::kDsErrBufferLost, "The buffer memory has been lost and must be restored."},
    {pa::kDsErrFxUnavailable, "The effects requested could not be found on the system."},
    {Code(0x80070005u), "The request failed because access was denied."},
    {Code(0x80040110u), "The object does not support aggregation."},
    {Code(0x8878001Eu), "The buffer control requested by the caller is not available."},
    {Code(0x88780046u), "A cooperative level of priority or higher is required."},
    {Code(0x88780082u), "The object is already initialized."},
    {Code(0x887800A0u), "Another application has a higher priority level."},
    {Code(0x887800AAu), "The Initialize method has not been called or has not succeeded."},
    {Code(0x887800B4u), "The buffer size is not great enough to enable effects processing."},
    {Code(0x887800BEu), "A sound-device interface of the current version is required."},
    {Code(0x887800C8u), "A circular loop of send effects was detected."},
    {Code(0x887800D2u), "The send-effect buffer id is not valid."},
    {Code(0x88781161u), "The requested object was not found."},
};

}  // namespace

const char* DeviceErrorText(int32_t code) {
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == code) return entry.text;
    }
    return "n/a";
}

int32_t CopyDeviceErrorText(int32_t code, int32_t bytes, void* out) {
    if (bytes <= 0) return kErrInvalidArg;
    std::strncpy(static_cast<char*>(out), code == 0 ? "" : DeviceErrorText(code), static_cast<std::size_t>(bytes));
    return kOk;
}

}  // namespace zelmar
