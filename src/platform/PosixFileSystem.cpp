#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"

namespace zelmar::platform {

std::string NativePath(const char* name) {
    std::string path = name != nullptr ? name : "";
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

namespace {

bool IsFifo(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

class PosixFile final : public IFile {
public:
    explicit PosixFile(int fd) : fd_(fd) {}
    ~PosixFile() override { ::close(fd_); }

    int64_t Read(void* buffer, uint32_t bytes) override {
        return Transfer(bytes, [&](uint32_t done, uint32_t left) {
            return ::read(fd_, static_cast<char*>(buffer) + done, left);
        });
    }
    int64_t Write(const void* buffer, uint32_t bytes) override {
        return Transfer(bytes, [&](uint32_t done, uint32_t left) {
            return ::write(fd_, static_cast<const char*>(buffer) + done, left);
        });
    }
    bool Seek(uint64_t offset) override {
        return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
    }
    bool Skip(uint64_t bytes) override {
        return ::lseek(fd_, static_cast<off_t>(bytes), SEEK_CUR) != static_cast<off_t>(-1);
    }
    uint64_t Tell() override {
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);
        return at < 0 ? 0 : static_cast<uint64_t>(at);
    }

private:
    // Repeats short transfers until all is moved, the end of file, or an error.
    template <typename Op>
    static int64_t Transfer(uint32_t bytes, Op op) {
        uint32_t done = 0;
        while (done < bytes) {
            const ssize_t n = op(done, bytes - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return done > 0 ? static_cast<int64_t>(done) : int64_t{-1};
            if (n == 0) break;
            done += static_cast<uint32_t>(n);
        }
        return done;
    }

    int fd_;
};

class PosixFileSystem final : public IFileSystem {
public:
    std::unique_ptr<IFile> Open(const char* name, OpenMode mode) override {
        if (name == nullptr) return nullptr;
        const std::string path = NativePath(name);
        int flags = O_RDWR | O_CREAT;
        if (mode == OpenMode::kReadExisting) flags = O_RDONLY;
        // O_TRUNC empties a regular file (a link's target too) and leaves devices and FIFOs be.
        if (mode == OpenMode::kWriteNew) flags |= O_TRUNC;
        // A FIFO opened for reading and writing would never see its reader go, and one opened
        // for writing alone waits for a reader: write-only, and refused when none is there.
        const bool fifo = mode != OpenMode::kReadExisting && IsFifo(path);
        if (fifo) flags = O_WRONLY | O_NONBLOCK;
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
        if (fd < 0) return nullptr;
        struct stat info {};
        if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) ||
            (fifo && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<PosixFile>(fd);
    }
    FileKind KindOf(const char* name) override {
        struct stat info {};
        if (name == nullptr || ::stat(NativePath(name).c_str(), &info) != 0) return FileKind::kMissing;
        if (S_ISREG(info.st_mode)) return FileKind::kRegular;
        return S_ISDIR(info.st_mode) ? FileKind::kDirectory : FileKind::kOther;
    }
    bool Delete(const char* name) override {
        if (name == nullptr) return false;
        const std::string path = NativePath(name);
        // lstat: a symbolic link is looked at itself, so neither it nor its target goes.
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
        return ::unlink(path.c_str()) == 0;
    }
    bool CreateDirectory(const char* name) override {
        return name != nullptr && *name != 0 && ::mkdir(NativePath(name).c_str(), 0755) == 0;
    }
};

}  // namespace

std::unique_ptr<IFileSystem> CreatePosixFileSystem() { return std::make_unique<PosixFileSystem>(); }

}  // namespace zelmar::platform
