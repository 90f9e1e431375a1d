#include "companion/CompanionStatus.h"

#include <zelmar/zelmar.h>

#include <algorithm>
#include <cstring>

#include <ZelmarEC/ZelmarEC.h>
#include "companion/AudioIIR.h"
#include "companion/AudioIppUtil.h"
#include "companion/AudioNoiseSuppressor.h"
#include "platform/Platform.h"

namespace zelmar {

std::string CompanionProblem() {
    std::string failure;
    auto library = platform::Current().libraries->Load(companion::kLibraryFileName, &failure);
    if (library == nullptr) return failure;
    std::string missing;
    auto need = [&](const auto& names) {
        for (const char* name : names) {
            if (library->Symbol(name) == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(name);
        }
    };
    need(CAudioNoiseSuppressor::kRequiredNames);
    need(CAudioIIR::kRequiredNames);
    need(CAudioIppUtil::kRequiredNames);
    if (!missing.empty()) return std::string(companion::kLibraryFileName) + " lacks " + missing;
    const CAudioNoiseSuppressor suppressor;
    if (!suppressor.IsLoaded()) {
        return std::string(companion::kLibraryFileName) + ": its noise reduction does not start (NR_Initialize returned " +
               std::to_string(suppressor.LoadResult()) + ")";
    }
    return "";
}

}  // namespace zelmar

extern "C" ZELMAR_API int32_t ZelmarCompanionStatus(char* text, int32_t size) {
    std::string problem;
    try {
        problem = zelmar::CompanionProblem();
    } catch (...) {
        problem = "the companion library could not be examined (out of memory)";
    }
    if (text != nullptr && size > 0) {
        const std::size_t copied = std::min(problem.size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(text, problem.data(), copied);
        text[copied] = 0;
    }
    return problem.empty() ? ZELMAR_OK : ZELMAR_E_PLATFORM;
}
