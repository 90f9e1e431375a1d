// Run-time loading of shared libraries (the companion library).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace zelmar::platform {

class IDynamicLibrary {
public:
    virtual ~IDynamicLibrary() = default;  // unloads
    virtual void* Symbol(const char* name) = 0;
};

class ILibraryLoader {
public:
    virtual ~ILibraryLoader() = default;
    // `fileName` is a bare file name ("libZelmarEC.so").  It is looked up first in the
    // directory of the engine library itself, then by the system's default search.
    virtual std::unique_ptr<IDynamicLibrary> Load(const char* fileName) = 0;
};

std::unique_ptr<ILibraryLoader> CreateDlopenLibraryLoader();

// Libraries made of symbol tables registered by a test: a missing library, or one that lacks
// a symbol, is then one line to arrange.
class VirtualLibraryLoader final : public ILibraryLoader {
public:
    using SymbolTable = std::map<std::string, void*>;
    void Register(const std::string& fileName, SymbolTable symbols);
    std::unique_ptr<IDynamicLibrary> Load(const char* fileName) override;
    int LoadCount(const std::string& fileName) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, SymbolTable> libraries_;
    std::map<std::string, int> loads_;
};

}  // namespace zelmar::platform
