// Common bases of the engine's components.  The data operations a component kind does not
// perform answer "not implemented", so each component overrides only what it does.
#pragma once

#include <zelmar/zelmar.h>

#include "framework/Properties.h"
#include "framework/Result.h"

namespace zelmar {

template <typename Interface = IAudioIO>
class CAudioComponent : public Interface {
public:
    int32_t GetData(void*, int32_t) override { return kErrNotImpl; }
    int32_t PutData(const void*, int32_t) override { return kErrNotImpl; }
    int32_t Process(const void*, int32_t*, void*, int32_t*) override { return kErrNotImpl; }
};

// Common base of the components described by a property table, C::Properties(): the three
// property operations come from the table, and `state_` is the lifecycle state its rows'
// settable rules see (components without lifecycle states leave it Created).
template <typename C, typename Interface = IAudioIO>
class CTableComponent : public CAudioComponent<Interface> {
public:
    int32_t SetProperty(const char* name, int32_t value, void* data) override {
        return C::Properties().Set(static_cast<C&>(*this), state_, name, value, data);
    }
    int32_t GetProperty(const char* name, int32_t arg, void* out) override {
        return C::Properties().Get(static_cast<C&>(*this), name, arg, out);
    }
    // The first class-specific operation: it follows the interface's own in the vtable.
    virtual int32_t FindProperty(const char* name) { return C::Properties().Find(name); }

protected:
    int32_t state_ = kStateCreated;
};

}  // namespace zelmar
