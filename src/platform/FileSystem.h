// Files and directories.  Names may use '\' as well as '/' between directories: both are
// taken as '/', so Windows-style names keep working.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zelmar::platform {

class IFile {
public:
    virtual ~IFile() = default;
    // Both return the byte count moved (possibly short), or -1 on failure.
    virtual int64_t Read(void* buffer, uint32_t bytes) = 0;
    virtual int64_t Write(const void* buffer, uint32_t bytes) = 0;
    virtual bool Seek(uint64_t offset) = 0;
    virtual bool Skip(uint64_t bytes) = 0;
    virtual uint64_t Tell() = 0;
};

enum class OpenMode {
    kReadExisting,     // read only; the file must exist
    kWriteKeep,        // read and write; created when missing, existing contents kept
    kWriteNew,         // read and write; created when missing, a regular file emptied (a
                       // device or FIFO is opened as it is)
};

// What a name is, its symbolic links followed.
enum class FileKind {
    kMissing,
    kRegular,
    kDirectory,
    kOther,  // a device, a FIFO, a socket
};

class IFileSystem {
public:
    virtual ~IFileSystem() = default;
    // Writing into a FIFO needs a reader there already: without one the open fails rather
    // than wait for it.
    virtual std::unique_ptr<IFile> Open(const char* name, OpenMode mode) = 0;
    virtual FileKind KindOf(const char* name) = 0;
    // Removes a regular file.  Anything else of that name (a symbolic link, a device, a FIFO,
    // a directory) is left in place and the answer is false.
    virtual bool Delete(const char* name) = 0;
    // Creates one directory; false if it exists already or cannot be made.
    virtual bool CreateDirectory(const char* name) = 0;
};

// The name as the host system spells it: every '\' becomes '/'.
std::string NativePath(const char* name);

// POSIX files.
std::unique_ptr<IFileSystem> CreatePosixFileSystem();

}  // namespace zelmar::platform
