// Test helpers: a virtual platform for the scope of a test, and captured debug output.
#pragma once

#include <zelmar/zelmar.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "platform/MemoryFileSystem.h"
#include "platform/Platform.h"

namespace zelmar::test {

// Virtual time (auto-advancing unless asked otherwise), an in-memory file system, virtual
// libraries and an in-memory loopback network, installed until the object is destroyed.
class VirtualPlatform {
public:
    explicit VirtualPlatform(bool autoAdvance = true, uint64_t storedBytesPerFile = uint64_t{1} << 26)
        : time(autoAdvance), files(storedBytesPerFile), network(time), scope_(Replacements(time, files, libraries, network)) {}

    platform::VirtualTimeService time;
    platform::MemoryFileSystem files;
    platform::VirtualLibraryLoader libraries;
    platform::VirtualUdpNetwork network;

private:
    static platform::Services Replacements(platform::ITimeService& time, platform::IFileSystem& files,
                                           platform::ILibraryLoader& libraries, platform::IUdpNetwork& network) {
        platform::Services services{};
        services.time = &time;
        services.files = &files;
        services.libraries = &libraries;
        services.network = &network;
        return services;
    }
    platform::ScopedPlatform scope_;
};

// Collects every trace the engine emits while alive.
class CapturedTraces {
public:
    CapturedTraces() { ZelmarSetDebugOutput(&Collect, this); }
    ~CapturedTraces() { ZelmarSetDebugOutput(nullptr, nullptr); }
    const std::vector<std::string>& texts() const { return texts_; }

private:
    static void Collect(const char* text, void* self) { static_cast<CapturedTraces*>(self)->texts_.push_back(text); }
    std::vector<std::string> texts_;
};

// Owns a component made by the factory.
struct ComponentDeleter {
    void operator()(IAudioIO* io) const { ZelmarDisposeComponent(io); }
};
using ComponentPtr = std::unique_ptr<IAudioIO, ComponentDeleter>;
inline ComponentPtr Make(const char* name) { return ComponentPtr(ZelmarCreateComponent(name)); }

}  // namespace zelmar::test
