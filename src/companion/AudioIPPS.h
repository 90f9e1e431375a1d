// CAudioIPPS: the common base of the wrappers that bind the companion library's IPPS_
// functions.  Each wrapper loads its own handle of the library (freed with the wrapper) and
// binds a set of names; when the library or a required name is missing the wrapper is inert.
#pragma once

#include <memory>

#include "platform/DynamicLibrary.h"

namespace zelmar {

class CAudioIPPS {
public:
    virtual ~CAudioIPPS();
    CAudioIPPS(const CAudioIPPS&) = delete;
    CAudioIPPS& operator=(const CAudioIPPS&) = delete;

    bool IsLoaded() const { return library_ != nullptr; }

protected:
    CAudioIPPS();

    // Resolves `name` into `function`; null when the library or the name is missing.
    template <typename Function>
    Function Resolve(const char* name) const {
        return library_ == nullptr ? nullptr : reinterpret_cast<Function>(library_->Symbol(name));
    }
    // Frees the library: the wrapper becomes inert.
    void Unload() { library_.reset(); }

private:
    std::unique_ptr<platform::IDynamicLibrary> library_;
};

}  // namespace zelmar
