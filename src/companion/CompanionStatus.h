// Whether the companion library is there for its wrappers, told in words for hosts.
#pragma once

#include <string>

namespace zelmar {

// "" when libZelmarEC.so loads with every name the wrappers bind and its noise reduction
// starts; else what is missing: where the file was looked for, why it cannot be loaded, or
// the names it lacks.
std::string CompanionProblem();

}  // namespace zelmar
