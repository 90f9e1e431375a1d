#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

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

// The directory holding the code of this engine (the shared library, or the program the
// static core is linked into), with a trailing '/'.
std::string EngineDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&EngineDirectory), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

class DlopenLibraryLoader final : public ILibraryLoader {
public:
    std::unique_ptr<IDynamicLibrary> Load(const char* fileName) override {
        if (fileName == nullptr || *fileName == 0) return nullptr;
        void* handle = nullptr;
        const std::string besideEngine = EngineDirectory();
        if (!besideEngine.empty()) {
            handle = ::dlopen((besideEngine + fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
        }
        if (handle == nullptr) handle = ::dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return nullptr;
        return std::make_unique<DlopenLibrary>(handle);
    }
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

}  // namespace

std::unique_ptr<ILibraryLoader> CreateDlopenLibraryLoader() {
    return std::make_unique<DlopenLibraryLoader>();
}

void VirtualLibraryLoader::Register(const std::string& fileName, SymbolTable symbols) {
    std::lock_guard<std::mutex> lock(mutex_);
    libraries_[fileName] = std::move(symbols);
}

std::unique_ptr<IDynamicLibrary> VirtualLibraryLoader::Load(const char* fileName) {
    if (fileName == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = libraries_.find(fileName);
    if (it == libraries_.end()) return nullptr;
    ++loads_[fileName];
    return std::make_unique<VirtualLibrary>(it->second);
}

int VirtualLibraryLoader::LoadCount(const std::string& fileName) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = loads_.find(fileName);
    return it == loads_.end() ? 0 : it->second;
}

}  // namespace zelmar::platform
