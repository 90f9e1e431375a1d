// Result codes and state numbers as the engine uses them internally.
#pragma once

#include <zelmar/zelmar.h>

namespace zelmar {

constexpr int32_t kOk = ZELMAR_OK;
constexpr int32_t kErrFormat = ZELMAR_E_FORMAT;
constexpr int32_t kErrState = ZELMAR_E_STATE;
constexpr int32_t kErrNotImpl = ZELMAR_E_NOTIMPL;
constexpr int32_t kErrInvalidArg = ZELMAR_E_INVALIDARG;
constexpr int32_t kErrPlatform = ZELMAR_E_PLATFORM;
constexpr int32_t kErrTimeout = ZELMAR_E_TIMEOUT;
constexpr int32_t kErrStalled = ZELMAR_E_STALLED;

static_assert(kErrFormat < 0 && kErrStalled < 0, "failure codes are negative as int32_t");

enum State : int32_t {
    kStateCreated = ZELMAR_STATE_CREATED,
    kStateBuilt = ZELMAR_STATE_BUILT,
    kStateRunning = ZELMAR_STATE_RUNNING,
};

}  // namespace zelmar
