// Common base of the engine's components: the data operations a component kind does not
// perform answer "not implemented", so each component overrides only what it does.
#pragma once

#include <zelmar/zelmar.h>

#include "framework/Result.h"

namespace zelmar {

template <typename Interface = IAudioIO>
class CAudioComponent : public Interface {
public:
    int32_t GetData(void*, int32_t) override { return kErrNotImpl; }
    int32_t PutData(const void*, int32_t) override { return kErrNotImpl; }
    int32_t Process(const void*, int32_t*, void*, int32_t*) override { return kErrNotImpl; }
};

}  // namespace zelmar
