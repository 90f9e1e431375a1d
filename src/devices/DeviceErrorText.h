// Texts for the device layer's result codes, as the device components' "DXErrorString"
// reports them.
#pragma once

#include <cstdint>

namespace zelmar {

// The description of `code`, or "n/a" for a code without one (0 included).
const char* DeviceErrorText(int32_t code);

// "DXErrorString": the text of `code` into the `bytes` bytes at `out` as strncpy copies it
// (NUL-filled; no NUL when the text fills every byte), or an empty string when no code is
// stored (0).  kErrInvalidArg for `bytes` 0 or below, nothing written.
int32_t CopyDeviceErrorText(int32_t code, int32_t bytes, void* out);

}  // namespace zelmar
