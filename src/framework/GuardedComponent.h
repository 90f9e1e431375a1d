// The C interface's boundary: the factory hands out every component wrapped in
// CGuardedComponent, whose operations run the component's own and turn anything thrown into a
// result code, so no exception ever reaches a host.
//
// The engine's own code throws nothing; what can escape is the standard library failing to get
// memory or a system resource (std::bad_alloc from a container sized by a setting, a thread
// that cannot start).  That is a platform failure: kErrPlatform, like any other call into the
// system that fails.
#pragma once

#include <zelmar/zelmar_split.h>

#include <type_traits>
#include <utility>

#include "framework/Result.h"

namespace zelmar {

template <typename Operation>
int32_t Guard(Operation&& operation) noexcept {
    try {
        return std::forward<Operation>(operation)();
    } catch (...) {
        return kErrPlatform;
    }
}

namespace guarded {

// The slot-9 operation of the two-buffer components, guarded where the component has one.
template <typename C, bool kSource = std::is_base_of_v<IAudioIOSplitSource, C>,
          bool kSink = std::is_base_of_v<IAudioIOSplitSink, C>>
class CSplit : public C {};

template <typename C>
class CSplit<C, true, false> : public C {
public:
    int32_t GetDataSplit(void* left, void* right, int32_t bytes) override {
        return Guard([&] { return C::GetDataSplit(left, right, bytes); });
    }
};

template <typename C>
class CSplit<C, false, true> : public C {
public:
    int32_t PutDataSplit(const void* left, const void* right, int32_t bytes) override {
        return Guard([&] { return C::PutDataSplit(left, right, bytes); });
    }
};

}  // namespace guarded

// Derives from the component, so a host's static_cast to the two-buffer interfaces and the
// engine's own casts to the component class still hold; the vtable keeps the component's slots.
template <typename C>
class CGuardedComponent final : public guarded::CSplit<C> {
public:
    int32_t Start() override { return Guard([&] { return C::Start(); }); }
    int32_t Stop() override { return Guard([&] { return C::Stop(); }); }
    int32_t Build() override { return Guard([&] { return C::Build(); }); }
    int32_t SetProperty(const char* name, int32_t value, void* data) override {
        return Guard([&] { return C::SetProperty(name, value, data); });
    }
    int32_t GetProperty(const char* name, int32_t arg, void* out) override {
        return Guard([&] { return C::GetProperty(name, arg, out); });
    }
    int32_t GetData(void* buffer, int32_t bytes) override {
        return Guard([&] { return C::GetData(buffer, bytes); });
    }
    int32_t PutData(const void* buffer, int32_t bytes) override {
        return Guard([&] { return C::PutData(buffer, bytes); });
    }
    int32_t Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) override {
        return Guard([&] { return C::Process(in, inBytes, out, outBytes); });
    }
};

// A new guarded component, or null when it cannot be made (no memory, or its constructor
// failed), as for a name the factory does not know.
template <typename C>
IAudioIO* CreateGuarded() noexcept {
    try {
        return new CGuardedComponent<C>();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace zelmar
