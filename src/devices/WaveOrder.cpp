#include "devices/WaveOrder.h"

#include <algorithm>
#include <cstring>

#include "devices/DeviceEndpoint.h"

namespace zelmar {

using namespace platform::audio;

bool ArrangeInWaveOrder(IWaveDevices& wave, WaveDirection direction, std::vector<DeviceDescription>* devices,
                        std::size_t* matchesOut) {
    if (matchesOut != nullptr) *matchesOut = 0;
    if (devices == nullptr) return false;
    const std::size_t listed = std::min<std::size_t>(devices->size(), DeviceList::kMaxDevices);
    const uint32_t waveCount = std::min<uint32_t>(wave.Count(direction), DeviceList::kMaxDevices);

    std::vector<DeviceDescription> arranged(std::max<std::size_t>(listed, waveCount));
    std::size_t matches = 0;
    for (uint32_t d = 0; d < waveCount; ++d) {
        WaveDeviceCaps caps;
        if (wave.GetCaps(direction, d, &caps) != kWaveOk) continue;
        caps.name[kWaveNameBytes - 1] = '\0';  // a backend's field is read as a C string, whatever it holds
        const std::size_t n = std::min(std::strlen(caps.name), kWaveNameBytes);
        for (std::size_t e = 0; e < listed; ++e) {
            const std::string& description = (*devices)[e].description;
            if (description.empty()) continue;
            if (std::strncmp(description.c_str(), caps.name, n) == 0) {
                arranged[d] = (*devices)[e];
                ++matches;
                break;
            }
        }
    }
    if (matchesOut != nullptr) *matchesOut = matches;
    if (matches != listed) return false;
    arranged.resize(listed);
    *devices = std::move(arranged);
    return true;
}

}  // namespace zelmar
