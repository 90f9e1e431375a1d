// Endpoint paths over PulseAudio: the capture endpoints are the server's sources, monitors of
// sinks included, in the server's index order, so endpoint N is the device the capture
// components open as "InDeviceNo" N.  The friendly name is the source's description; the
// master volume scalar is the source's volume over PA_VOLUME_NORM, linear in the volume value
// (the percentage the server's own tools show; the amplitude the server applies is its cube):
// a set writes round(scalar * PA_VOLUME_NORM) to every channel, a read gives the loudest
// channel, at most 1.0.
#include <pulse/volume.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/InputVolume.h"
#include "platform/audio/PulseSources.h"

namespace zelmar::platform {
namespace {

using audio::PulseSource;
using audio::PulseSourceClient;

// UTF-8 as the server sends it to wide characters; a malformed sequence becomes U+FFFD.
std::wstring WideFromUtf8(const std::string& text) {
    std::wstring wide;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const int length = byte < 0x80 ? 1 : (byte >> 5) == 6 ? 2 : (byte >> 4) == 14 ? 3 : (byte >> 3) == 30 ? 4 : 0;
        uint32_t code = length == 1 ? byte : length == 2 ? byte & 0x1Fu : length == 3 ? byte & 0x0Fu : byte & 0x07u;
        bool valid = length != 0 && i + static_cast<std::size_t>(length) <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            valid = (next >> 6) == 2;
            code = (code << 6) | (next & 0x3Fu);
        }
        valid = valid && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        wide.push_back(valid ? static_cast<wchar_t>(code) : L'\xFFFD');
        i += valid ? static_cast<std::size_t>(length) : 1;
    }
    return wide;
}

class PulseEndpointVolume final : public IEndpointVolume {
public:
    explicit PulseEndpointVolume(std::string server) : server_(std::move(server)) {}

    int32_t Count() override {
        std::vector<PulseSource> sources;
        PulseSourceClient client;
        if (!client.Connect(server_) || !client.List(&sources)) return kNoServer;
        return static_cast<int32_t>(sources.size());
    }

    int32_t FriendlyName(uint32_t index, std::wstring* name) override {
        PulseSource source;
        PulseSourceClient client;
        if (const int32_t result = Find(client, index, &source)) return result;
        *name = WideFromUtf8(source.description);
        return 0;
    }

    int32_t GetScalar(uint32_t index, float* scalar) override {
        PulseSource source;
        PulseSourceClient client;
        if (const int32_t result = Find(client, index, &source)) return result;
        *scalar = std::min(1.0f, static_cast<float>(source.maxVolume) / static_cast<float>(PA_VOLUME_NORM));
        return 0;
    }

    int32_t SetScalar(uint32_t index, float scalar) override {
        if (!(scalar >= 0.0f && scalar <= 1.0f)) return kNoSuchDevice;
        PulseSource source;
        PulseSourceClient client;
        if (const int32_t result = Find(client, index, &source)) return result;
        const auto volume = static_cast<uint32_t>(std::lround(static_cast<double>(scalar) * PA_VOLUME_NORM));
        return client.SetVolume(source.name, source.channels, volume) ? 0 : kNoServer;
    }

private:
    // Connects `client` and finds endpoint `index` in a fresh list.
    int32_t Find(PulseSourceClient& client, uint32_t index, PulseSource* source) {
        std::vector<PulseSource> sources;
        if (!client.Connect(server_) || !client.List(&sources)) return kNoServer;
        if (index >= sources.size()) return kNoSuchDevice;
        *source = std::move(sources[index]);
        return 0;
    }

    std::string server_;
};

}  // namespace

std::unique_ptr<IEndpointVolume> CreatePulseEndpointVolume(const std::string& server) {
    return std::make_unique<PulseEndpointVolume>(server);
}

}  // namespace zelmar::platform
