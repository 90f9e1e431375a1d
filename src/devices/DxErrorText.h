// Description texts of the sound-device result codes that the second-generation device
// components keep as their last error ("DXErrorCode") and hand out as "DXErrorString".
#pragma once

#include <cstdint>

namespace zelmar {

// The description of `code`, or "n/a" for a code without one.
const char* DxErrorText(int32_t code);

// "DXErrorString": copies the text of `code` into the `size` bytes at `out` as strncpy does
// (the rest NUL-filled, no NUL when the text fills every byte); an empty string for code 0.
// kErrInvalidArg for a size of 0 or less.
int32_t CopyDxErrorString(int32_t code, int32_t size, void* out);

}  // namespace zelmar
