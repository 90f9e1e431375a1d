#include "support/Companion.h"

#include <dlfcn.h>

#include <ZelmarEC/ZelmarEC.h>

namespace zelmar::test {
namespace {

void* RealCompanionHandle() {
    // Opened once and kept for the whole test run: registered symbols must stay valid.
    static void* handle = ::dlopen(ZELMAR_COMPANION_PATH, RTLD_NOW | RTLD_LOCAL);
    return handle;
}

}  // namespace

const std::set<std::string>& CompanionNames() {
    static const std::set<std::string> names = {
        "NR_Initialize", "NR_Start", "NR_Stop", "NR_Filter", "NR_Dispose", "NR_GetAttribute",
        "NR_Configure", "IPPS_IIRAlloc", "IPPS_IIRFree", "IPPS_IIR", "IPPS_MaxAbs16s",
        "IPPS_Max16s", "IPPS_MulC16s", "IPPS_MulC16sI", "IPPS_Add16s", "IPPS_Add16sI",
        "IPPS_Malloc_32f", "IPPS_Malloc_16s", "IPPS_Convert_32f16s", "IPPS_Convert_16s32f",
        "IPPS_Free", "IPPS_AutoCorr", "IPPS_AutoCorrNorm32f",
    };
    return names;
}

void* RealCompanionSymbol(const char* name) {
    void* handle = RealCompanionHandle();
    return handle == nullptr ? nullptr : ::dlsym(handle, name);
}

bool RegisterRealCompanion(platform::VirtualLibraryLoader& loader, const std::set<std::string>& omit) {
    if (RealCompanionHandle() == nullptr) return false;
    platform::VirtualLibraryLoader::SymbolTable table;
    for (const auto& name : CompanionNames()) {
        if (omit.count(name) == 0) table[name] = RealCompanionSymbol(name.c_str());
    }
    loader.Register(companion::kLibraryFileName, std::move(table));
    return true;
}

}  // namespace zelmar::test
