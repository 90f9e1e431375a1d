#include "platform/audio/WaveDevices.h"

#include <cstring>

namespace zelmar::platform::audio {
namespace {

class FixedWaveDevices final : public IWaveDevices {
public:
    FixedWaveDevices(const std::vector<std::string>& in, const std::vector<std::string>& out)
        : in_(Cut(in)), out_(Cut(out)) {}

    uint32_t Count(WaveDirection direction) override { return static_cast<uint32_t>(List(direction).size()); }

    WaveResult GetCaps(WaveDirection direction, uint32_t device, WaveDeviceCaps* caps) override {
        if (caps == nullptr) return kWaveErrInvalidParam;
        const std::vector<WaveDeviceCaps>& list = List(direction);
        if (device >= list.size()) return kWaveErrBadDeviceId;
        *caps = list[device];
        return kWaveOk;
    }

private:
    static std::vector<WaveDeviceCaps> Cut(const std::vector<std::string>& names) {
        std::vector<WaveDeviceCaps> cut(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::size_t length = std::min(names[i].size(), kWaveNameBytes - 1);
            std::memcpy(cut[i].name, names[i].data(), length);  // the rest stays NUL
        }
        return cut;
    }
    const std::vector<WaveDeviceCaps>& List(WaveDirection direction) const {
        return direction == WaveDirection::kIn ? in_ : out_;
    }

    std::vector<WaveDeviceCaps> in_;
    std::vector<WaveDeviceCaps> out_;
};

std::vector<std::string> Descriptions(IAudioService& service, bool capture) {
    std::vector<DeviceDescription> devices;
    const DsResult result = capture ? service.EnumerateCapture(&devices) : service.EnumeratePlayback(&devices);
    std::vector<std::string> names;
    if (Failed(result)) return names;
    for (const DeviceDescription& device : devices) names.push_back(device.description);
    return names;
}

}  // namespace

std::unique_ptr<IWaveDevices> MakeWaveDevices(const std::vector<std::string>& captureNames,
                                              const std::vector<std::string>& playbackNames) {
    return std::make_unique<FixedWaveDevices>(captureNames, playbackNames);
}

std::unique_ptr<IWaveDevices> MakeWaveDevices(IAudioService& service) {
    return MakeWaveDevices(Descriptions(service, true), Descriptions(service, false));
}

std::unique_ptr<IWaveDevices> IAudioService::OpenWaveDevices() { return MakeWaveDevices(*this); }

}  // namespace zelmar::platform::audio
