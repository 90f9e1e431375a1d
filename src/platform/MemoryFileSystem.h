// An in-memory file system for tests and headless runs.  Each file keeps at most
// `storedBytesPerFile` bytes of content; writes beyond that only grow its size (and read
// back as zeros), so multi-gigabyte recordings can be tested without the memory or disk.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace zelmar::platform {

class MemoryFileSystem final : public IFileSystem {
public:
    explicit MemoryFileSystem(uint64_t storedBytesPerFile = uint64_t{1} << 26);

    std::unique_ptr<IFile> Open(const char* name, OpenMode mode) override;
    bool Delete(const char* name) override;
    bool CreateDirectory(const char* name) override;

    // Test access.
    bool Exists(const std::string& name) const;
    uint64_t SizeOf(const std::string& name) const;
    std::vector<uint8_t> Contents(const std::string& name) const;  // stored part only
    void Put(const std::string& name, std::vector<uint8_t> contents);
    bool HasDirectory(const std::string& name) const;
    // Every CreateDirectory request, in order, including those for existing directories.
    std::vector<std::string> DirectoryRequests() const;

    struct Node {
        std::vector<uint8_t> stored;
        uint64_t size = 0;
    };

private:
    const uint64_t storedLimit_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Node>> files_;
    std::set<std::string> directories_;
    std::vector<std::string> directoryRequests_;
};

}  // namespace zelmar::platform
