#include "devices/DeviceEndpoint.h"

#include <cstring>

namespace zelmar {

void DeviceList::Keep(const std::vector<platform::audio::DeviceDescription>& devices) {
    count = 0;
    for (const platform::audio::DeviceDescription& device : devices) {
        if (count == kMaxDevices) break;
        descriptions_[count] = device.description;
        guids_[count] = device.guid;
        ++count;
    }
}

const platform::audio::DeviceGuid* DeviceList::Guid(int32_t number) const {
    return number >= 0 && number < count ? &guids_[number] : nullptr;
}

int32_t DeviceList::CopyName(int32_t index, void* out) const {
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(count)) return kErrInvalidArg;
    const std::string& text = descriptions_[index];
    std::memcpy(out, text.c_str(), text.size() + 1);
    return kOk;
}

int32_t DeviceList::CopyGuid(int32_t index, void* out) const {
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(count)) return kErrInvalidArg;
    std::memcpy(out, guids_[index].bytes, sizeof guids_[index].bytes);
    return kOk;
}

}  // namespace zelmar
