#include "devices/DeviceProperties.h"

#include <cstring>

namespace zelmar {

int32_t FindDeviceProperty(const char* name) {
    if (name == nullptr) return kDevUnknown;
    for (const DevicePropertyName& entry : kDevicePropertyNames) {
        if (std::strcmp(entry.name, name) == 0) return entry.index;
    }
    return kDevUnknown;
}

}  // namespace zelmar
