// The real companion library, built beside the tests, registered in a test's virtual library
// loader (optionally with some names left out), so the engine's wrappers bind the real
// functions while the test decides what is missing.
#pragma once

#include <set>
#include <string>

#include "platform/DynamicLibrary.h"

namespace zelmar::test {

// Every NR_ and IPPS_ name the companion exports.
const std::set<std::string>& CompanionNames();

// Registers "libZelmarEC.so" with the real functions except `omit`; false when the built
// library cannot be opened.
bool RegisterRealCompanion(platform::VirtualLibraryLoader& loader, const std::set<std::string>& omit = {});

// A symbol of the real companion (null when missing).
void* RealCompanionSymbol(const char* name);

}  // namespace zelmar::test
