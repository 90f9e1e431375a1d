// Test helpers: a virtual platform for the scope of a test, and captured debug output.
#pragma once

#include <gtest/gtest.h>
#include <zelmar/zelmar.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
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

// A component with integer settings applied (each must be accepted), then built and started
// unless `start` is false.  `data` points at scratch, where some settings write back.
using Settings = std::vector<std::pair<const char*, int32_t>>;
inline ComponentPtr Running(const char* name, const Settings& settings, bool start = true) {
    ComponentPtr io = Make(name);
    int32_t scratch = 0;
    for (const auto& [key, value] : settings) EXPECT_EQ(io->SetProperty(key, value, &scratch), ZELMAR_OK) << key;
    EXPECT_TRUE(!start || (io->Build() == ZELMAR_OK && io->Start() == ZELMAR_OK)) << name << " did not start";
    return io;
}

// An integer property; a refusal fails the test.
inline int32_t Read(IAudioIO* io, const char* name, int32_t arg = 0) {
    int32_t value = -1;
    EXPECT_EQ(io->GetProperty(name, arg, &value), ZELMAR_OK) << name;
    return value;
}

// `input` through a filter in blocks of `block` samples (the last may be shorter), each
// answered with a level of 0 or more; the output has the input's length.
inline std::vector<int16_t> ProcessBlocks(IAudioIO* io, const std::vector<int16_t>& input, size_t block) {
    std::vector<int16_t> output(input.size());
    for (size_t at = 0; at < input.size(); at += block) {
        int32_t inBytes = int32_t(std::min(block, input.size() - at) * 2), outBytes = inBytes;
        EXPECT_GE(io->Process(input.data() + at, &inBytes, output.data() + at, &outBytes), 0) << "block at " << at;
    }
    return output;
}

// The same bytes as elements of another type (a trailing part of an element dropped).
template <typename To, typename From>
std::vector<To> Recast(const std::vector<From>& from) {
    std::vector<To> to(from.size() * sizeof(From) / sizeof(To));
    if (!to.empty()) std::memcpy(to.data(), from.data(), to.size() * sizeof(To));
    return to;
}

// A fresh directory under /tmp, removed with all it holds at the end of the scope.
struct TempDir {
    TempDir() {
        char name[] = "/tmp/zelmar-test-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir() {
        if (!path.empty()) std::system(("rm -rf " + path).c_str());
    }
    std::string path;
};

// A whole real file (empty when it cannot be read).
inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace zelmar::test
