#include "companion/AudioIPPS.h"

#include <ZelmarEC/ZelmarEC.h>
#include "platform/Platform.h"

namespace zelmar {

CAudioIPPS::CAudioIPPS() : library_(platform::Current().libraries->Load(companion::kLibraryFileName)) {}

CAudioIPPS::~CAudioIPPS() = default;

}  // namespace zelmar
