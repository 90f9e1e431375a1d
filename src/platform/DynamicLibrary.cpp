#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace zelmar::platform {
namespace {

class DlopenLibrary final : public IDynamicLibrary {
public:
    explicit DlopenLibrary(void* handle) : handle_(handle) {}
    ~DlopenLibrary() override { ::dlclose(handle_); }
    void* Symbol(const char* name) override { return name ? ::dlsym(handle_, name) : nullptr; }

private:
    void* handle_;
};

// The directory holding the code at `address` (a shared library, or the program the static
// core is linked into), without a trailing '/'; "" when unknown.
std::string DirectoryOf(const void* address) {
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    const std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The directories the dynamic loader searches for the program (LD_LIBRARY_PATH, the
// program's run path, the system's directories), as the loader itself reports them.
std::vector<std::string> LoaderSearchPath() {
    std::vector<std::string> directories;
    void* program = ::dlopen(nullptr, RTLD_LAZY);
    if (program == nullptr) return directories;
    Dl_serinfo size{};
    if (::dlinfo(program, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        auto* info = static_cast<Dl_serinfo*>(std::malloc(size.dls_size));
        if (info != nullptr) {
            *info = size;
            if (::dlinfo(program, RTLD_DI_SERINFO, info) == 0) {
                for (unsigned i = 0; i < info->dls_cnt; ++i) {
                    if (info->dls_serpath[i].dls_name != nullptr) directories.emplace_back(info->dls_serpath[i].dls_name);
                }
            }
            std::free(info);
        }
    }
    ::dlclose(program);
    return directories;
}

// Where the default loader looks, in order: beside the engine, then where the dynamic loader
// would, then beside the C library.
std::vector<std::string> DefaultDirectories() {
    std::vector<std::string> directories = {DirectoryOf(reinterpret_cast<const void*>(&DirectoryOf))};
    for (std::string& directory : LoaderSearchPath()) directories.push_back(std::move(directory));
    directories.push_back(DirectoryOf(reinterpret_cast<const void*>(&::dlopen)));
    return directories;
}

std::string DlopenFailure() {
    const char* text = ::dlerror();
    return std::string("cannot be loaded: ") + (text != nullptr ? text : "the dynamic loader refused it");
}

class DlopenLibraryLoader final : public ILibraryLoader {
public:
    DlopenLibraryLoader(std::vector<std::string> directories, bool systemSearch)
        : directories_(std::move(directories)), systemSearch_(systemSearch) {}

    std::unique_ptr<IDynamicLibrary> Load(const char* fileName, std::string* failure) override {
        std::string problem;
        auto library = Find(fileName, &problem);
        if (library == nullptr && failure != nullptr) *failure = problem;
        return library;
    }

private:
    std::unique_ptr<IDynamicLibrary> Find(const char* fileName, std::string* problem) {
        if (fileName == nullptr || *fileName == 0) {
            *problem = "no library name";
            return nullptr;
        }
        const std::vector<std::string> directories = systemSearch_ ? DefaultDirectories() : directories_;
        std::vector<std::string> tried;
        for (const std::string& directory : directories) {
            if (directory.empty()) continue;
            const std::string path = directory + "/" + fileName;
            if (std::find(tried.begin(), tried.end(), path) != tried.end()) continue;
            tried.push_back(path);
            if (::access(path.c_str(), F_OK) != 0) continue;
            // The first file found is the library, as for the dynamic loader: one that cannot
            // be used is reported, not replaced by another copy from further down the path.
            std::string fault = CheckSharedObject(path);
            if (fault.empty()) {
                if (void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return std::make_unique<DlopenLibrary>(handle);
                fault = DlopenFailure();
            }
            *problem = path + " " + fault;
            return nullptr;
        }
        // In none of the directories: the system's own search (its cache) may still know the
        // name.  A file it finds there cannot be checked first.
        if (systemSearch_) {
            if (void* handle = ::dlopen(fileName, RTLD_NOW | RTLD_LOCAL)) return std::make_unique<DlopenLibrary>(handle);
        }
        *problem = std::string(fileName) + " was not found (looked in";
        for (std::size_t i = 0; i < tried.size(); ++i) {
            *problem += (i == 0 ? " " : ", ") + tried[i].substr(0, tried[i].rfind('/'));
        }
        *problem += systemSearch_ ? " and the system's library cache)" : ")";
        return nullptr;
    }

    const std::vector<std::string> directories_;
    const bool systemSearch_;
};

class VirtualLibrary final : public IDynamicLibrary {
public:
    explicit VirtualLibrary(VirtualLibraryLoader::SymbolTable symbols) : symbols_(std::move(symbols)) {}
    void* Symbol(const char* name) override {
        if (name == nullptr) return nullptr;
        auto it = symbols_.find(name);
        return it == symbols_.end() ? nullptr : it->second;
    }

private:
    VirtualLibraryLoader::SymbolTable symbols_;
};

// Closes a descriptor when it goes out of scope.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool ReadAt(int fd, void* buffer, std::size_t bytes, uint64_t offset) {
    auto* out = static_cast<char*>(buffer);
    while (bytes > 0) {
        const ssize_t n = ::pread(fd, out, bytes, static_cast<off_t>(offset));
        if (n <= 0) return false;
        out += n;
        bytes -= static_cast<std::size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// Whether [offset, offset + bytes) lies within a file of `fileBytes`, without overflow.
bool WithinFile(uint64_t offset, uint64_t bytes, uint64_t fileBytes) {
    return offset <= fileBytes && bytes <= fileBytes - offset;
}

}  // namespace

std::string CheckSharedObject(const std::string& path) {
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return "cannot be opened";
    struct stat info {};
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return "is not a regular file";
    const auto fileBytes = static_cast<uint64_t>(info.st_size);

    ElfW(Ehdr) header{};
    if (fileBytes < sizeof header || !ReadAt(file.fd, &header, sizeof header, 0)) {
        return "is too short for an ELF header (" + std::to_string(fileBytes) + " bytes)";
    }
    if (header.e_ident[EI_MAG0] != ELFMAG0 || header.e_ident[EI_MAG1] != ELFMAG1 ||
        header.e_ident[EI_MAG2] != ELFMAG2 || header.e_ident[EI_MAG3] != ELFMAG3) {
        return "is not an ELF file";
    }
    constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    constexpr unsigned char kByteOrder = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    if (header.e_ident[EI_CLASS] != kClass || header.e_ident[EI_DATA] != kByteOrder) {
        return "is built for another word size or byte order";
    }
    if (header.e_type != ET_DYN) return "is not a shared object";
    if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0 || header.e_phnum == PN_XNUM) {
        return "has no usable program headers";
    }
    const uint64_t tableBytes = uint64_t{header.e_phnum} * sizeof(ElfW(Phdr));
    if (!WithinFile(header.e_phoff, tableBytes, fileBytes)) {
        return "is cut short: its program headers pass the end of the file (" + std::to_string(fileBytes) + " bytes)";
    }
    std::vector<ElfW(Phdr)> segments(header.e_phnum);
    if (!ReadAt(file.fd, segments.data(), tableBytes, header.e_phoff)) return "cannot be read";
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const ElfW(Phdr)& segment = segments[i];
        if (!WithinFile(segment.p_offset, segment.p_filesz, fileBytes)) {
            return "is cut short: segment " + std::to_string(i) + " ends at byte " +
                   std::to_string(uint64_t{segment.p_offset} + segment.p_filesz) + ", the file has " +
                   std::to_string(fileBytes);
        }
    }
    return "";
}

std::unique_ptr<ILibraryLoader> CreateDlopenLibraryLoader() {
    return std::make_unique<DlopenLibraryLoader>(std::vector<std::string>{}, /*systemSearch=*/true);
}

std::unique_ptr<ILibraryLoader> CreateDlopenLibraryLoader(std::vector<std::string> directories) {
    return std::make_unique<DlopenLibraryLoader>(std::move(directories), /*systemSearch=*/false);
}

void VirtualLibraryLoader::Register(const std::string& fileName, SymbolTable symbols) {
    std::lock_guard<std::mutex> lock(mutex_);
    libraries_[fileName] = std::move(symbols);
}

std::unique_ptr<IDynamicLibrary> VirtualLibraryLoader::Load(const char* fileName, std::string* failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = fileName == nullptr ? libraries_.end() : libraries_.find(fileName);
    if (it == libraries_.end()) {
        if (failure != nullptr) *failure = std::string(fileName ? fileName : "(no name)") + " is not registered";
        return nullptr;
    }
    ++loads_[fileName];
    return std::make_unique<VirtualLibrary>(it->second);
}

int VirtualLibraryLoader::LoadCount(const std::string& fileName) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = loads_.find(fileName);
    return it == loads_.end() ? 0 : it->second;
}

}  // namespace zelmar::platform
