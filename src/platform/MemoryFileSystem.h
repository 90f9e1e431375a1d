// An in-memory file system for tests and headless runs.  Each file keeps at most
// `storedBytesPerFile` bytes of content; writes beyond that only grow its size (and read
// back as zeros), so multi-gigabyte recordings can be tested without the memory or disk.
// A capacity can make it a full disk: writes then stop where the files' sizes reach it.
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
    FileKind KindOf(const char* name) override;
    bool CreateDirectory(const char* name) override;

    // The most bytes all files together may hold (unlimited at first).  A write that would
    // pass it writes what fits and returns that count, or -1 when nothing fits, as a write
    // to a full disk does.
    void SetCapacity(uint64_t totalBytes);

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
    // The sizes of all files against the capacity; open files share it with the system.
    struct Volume {
        std::mutex mutex;
        uint64_t capacity = UINT64_MAX;
        uint64_t used = 0;
    };

private:
    // Gives a file's bytes back to the volume (deleted or emptied).
    void Release(const Node& node);

    const uint64_t storedLimit_;
    const std::shared_ptr<Volume> volume_ = std::make_shared<Volume>();
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Node>> files_;
    std::set<std::string> directories_;
    std::vector<std::string> directoryRequests_;
};

}  // namespace zelmar::platform
