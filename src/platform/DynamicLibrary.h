// Run-time loading of shared libraries (the companion library).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zelmar::platform {

class IDynamicLibrary {
public:
    virtual ~IDynamicLibrary() = default;  // unloads
    virtual void* Symbol(const char* name) = 0;
};

class ILibraryLoader {
public:
    virtual ~ILibraryLoader() = default;
    // `fileName` is a bare file name ("libZelmarEC.so").  Null when it cannot be loaded; then
    // *failure (when given) says why: where it was looked for, or what is wrong with the file.
    virtual std::unique_ptr<IDynamicLibrary> Load(const char* fileName, std::string* failure) = 0;
    std::unique_ptr<IDynamicLibrary> Load(const char* fileName) { return Load(fileName, nullptr); }
};

// Looks a library up first in the directory of the engine library itself, then in the
// directories the dynamic loader searches (LD_LIBRARY_PATH, the program's run path, the
// system's directories) and the C library's own.  The first file found is the library: it is
// checked before it is loaded (see CheckSharedObject), and refused with the reason when it
// cannot be used.  Only a name found in none of them is left to the system's own search (its
// cache), which cannot be checked first.
std::unique_ptr<ILibraryLoader> CreateDlopenLibraryLoader();
// The same, looking only in `directories`, in order.
std::unique_ptr<ILibraryLoader> CreateDlopenLibraryLoader(std::vector<std::string> directories);

// Whether the file at `path` can be handed to the dynamic loader without harm: an ELF shared
// object of this machine's word size and byte order whose program headers, and every segment
// they place, lie within the file.  (The loader maps a truncated file as it is and dies of
// SIGBUS touching the part that is missing.)  "" when it can, else why not.
std::string CheckSharedObject(const std::string& path);

// Libraries made of symbol tables registered by a test: a missing library, or one that lacks
// a symbol, is then one line to arrange.
class VirtualLibraryLoader final : public ILibraryLoader {
public:
    using SymbolTable = std::map<std::string, void*>;
    using ILibraryLoader::Load;
    void Register(const std::string& fileName, SymbolTable symbols);
    std::unique_ptr<IDynamicLibrary> Load(const char* fileName, std::string* failure) override;
    int LoadCount(const std::string& fileName) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, SymbolTable> libraries_;
    std::map<std::string, int> loads_;
};

}  // namespace zelmar::platform
