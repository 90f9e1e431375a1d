// Legacy paths over ALSA's simple mixer.  The recording devices are numbered as everywhere
// else: while a sound server answers they are its sources in index order, each reached through
// the mixer of the ALSA card behind it (a source the server made from card K, not a monitor:
// "hw:K") or else through ALSA's PulseAudio control plugin bound to that source, whose
// "Capture" element is the source's volume (0..65536) and mute.  With no server they are the
// ALSA cards that have a capture element, in card order.  Names are cut to 31 bytes, at a
// character boundary.
//
// The recording line is found on the device's mixer as follows: the destination is the
// "Capture" element (else the first element with a capture volume or switch); its connections
// are the other elements with a capture volume or switch; the selector is the first element
// with an enumerated capture control ("Capture Source", "Input Source").  One connection:
// that element if it has a capture volume, else the destination.  No selector: the
// destination.  Otherwise the connection named as the selector's current item.
#include <alsa/asoundlib.h>

#include <string>
#include <vector>

#include "platform/InputVolume.h"
#include "platform/audio/PulseSources.h"

namespace zelmar::platform {
namespace {

constexpr std::size_t kNameBytes = 31;

struct MixerDevice {
    std::string name;
    int card = -1;           // "hw:card" when not negative
    std::string source;      // else the server's source, through the PulseAudio plugin
};

// At most kNameBytes of `text`, not cutting a UTF-8 character in two.
std::string ShortName(const std::string& text) {
    if (text.size() <= kNameBytes) return text;
    std::size_t end = kNameBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) --end;
    return text.substr(0, end);
}

bool HasCaptureControl(snd_mixer_elem_t* element) {
    return snd_mixer_selem_has_capture_volume(element) || snd_mixer_selem_has_capture_switch(element);
}

// A mixer attached to one control device, loaded; closed (with the device) when destroyed.
class Mixer {
public:
    ~Mixer() {
        if (mixer_ != nullptr) snd_mixer_close(mixer_);  // closes the attached control too
        if (control_ != nullptr) snd_hctl_close(control_);
        if (config_ != nullptr) snd_config_delete(config_);
    }

    int32_t Open(const MixerDevice& device, const std::string& server) {
        if (!OpenControl(device, server)) return kNoMixer;
        if (snd_mixer_open(&mixer_, 0) < 0) return kMixerOpenFailed;
        // The mixer owns the control from here: it closes it when closed, and a failed attach
        // has closed it already (all but a failed allocation, which leaves it rather than
        // risk closing it twice).
        snd_hctl_t* control = control_;
        control_ = nullptr;
        if (snd_mixer_attach_hctl(mixer_, control) < 0) return kMixerOpenFailed;
        if (snd_mixer_selem_register(mixer_, nullptr, nullptr) < 0 || snd_mixer_load(mixer_) < 0) {
            return kMixerOpenFailed;
        }
        return 0;
    }

    snd_mixer_t* get() const { return mixer_; }

private:
    bool OpenControl(const MixerDevice& device, const std::string& server) {
        if (device.card >= 0) {
            const std::string name = "hw:" + std::to_string(device.card);
            return snd_hctl_open(&control_, name.c_str(), 0) >= 0;
        }
        // A configuration of our own names the plugin's source and server, so no name needs
        // to pass through ALSA's argument syntax.
        std::string text = "ctl.zelmar { type pulse device " + Quoted(device.source);
        if (!server.empty()) text += " server " + Quoted(server);
        text += " }\n";
        snd_input_t* input = nullptr;
        if (snd_input_buffer_open(&input, text.data(), static_cast<ssize_t>(text.size())) < 0) return false;
        bool made = snd_config_top(&config_) >= 0 && snd_config_load(config_, input) >= 0;
        snd_input_close(input);
        snd_ctl_t* ctl = nullptr;
        made = made && snd_ctl_open_lconf(&ctl, "zelmar", 0, config_) >= 0;
        if (made && snd_hctl_open_ctl(&control_, ctl) < 0) {
            snd_ctl_close(ctl);
            made = false;
        }
        return made;
    }

    static std::string Quoted(const std::string& text) {
        std::string quoted = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += c;
        }
        return quoted + "\"";
    }

    snd_config_t* config_ = nullptr;
    snd_hctl_t* control_ = nullptr;
    snd_mixer_t* mixer_ = nullptr;
};

snd_mixer_elem_t* FindRecordingLine(snd_mixer_t* mixer) {
    snd_mixer_elem_t* destination = nullptr;
    snd_mixer_elem_t* selector = nullptr;
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e != nullptr; e = snd_mixer_elem_next(e)) {
        if (selector == nullptr && snd_mixer_selem_is_enum_capture(e)) selector = e;
        if (!HasCaptureControl(e)) continue;
        const bool named = std::string(snd_mixer_selem_get_name(e)) == "Capture" && snd_mixer_selem_get_index(e) == 0;
        if (destination == nullptr || (named && std::string(snd_mixer_selem_get_name(destination)) != "Capture")) {
            destination = e;
        }
    }
    if (destination == nullptr) return nullptr;
    std::vector<snd_mixer_elem_t*> connections;
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e != nullptr; e = snd_mixer_elem_next(e)) {
        if (e != destination && HasCaptureControl(e) && !snd_mixer_selem_is_enumerated(e)) connections.push_back(e);
    }
    if (connections.size() == 1) {
        return snd_mixer_selem_has_capture_volume(connections[0]) ? connections[0] : destination;
    }
    if (selector == nullptr) return destination;
    unsigned int item = 0;
    char text[64] = {};
    if (snd_mixer_selem_get_enum_item(selector, SND_MIXER_SCHN_FRONT_LEFT, &item) < 0 ||
        snd_mixer_selem_get_enum_item_name(selector, item, sizeof text - 1, text) < 0) {
        return nullptr;
    }
    for (snd_mixer_elem_t* e : connections) {
        if (std::string(snd_mixer_selem_get_name(e)) == text) return e;
    }
    return nullptr;
}

std::vector<snd_mixer_selem_channel_id_t> CaptureChannels(snd_mixer_elem_t* line) {
    std::vector<snd_mixer_selem_channel_id_t> channels;
    if (snd_mixer_selem_is_capture_mono(line)) return {SND_MIXER_SCHN_MONO};
    for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c) {
        const auto channel = static_cast<snd_mixer_selem_channel_id_t>(c);
        if (snd_mixer_selem_has_capture_channel(line, channel)) channels.push_back(channel);
    }
    return channels;
}

// The control of `line` before any change, as IInputMixer::Control says.
int32_t UseControl(snd_mixer_elem_t* line, MixerControl control, uint32_t value) {
    const std::vector<snd_mixer_selem_channel_id_t> channels = CaptureChannels(line);
    if (channels.empty()) return kNoSuchDevice;
    int32_t result = 0;
    if (control == MixerControl::kVolume) {
        if (!snd_mixer_selem_has_capture_volume(line)) return kNoSuchDevice;
        long long sum = 0;
        for (snd_mixer_selem_channel_id_t channel : channels) {
            long raw = 0;
            if (snd_mixer_selem_get_capture_volume(line, channel, &raw) < 0) return kNoSuchDevice;
            sum += raw;
        }
        result = static_cast<int32_t>(sum / static_cast<long long>(channels.size()));
        if (value != kMixerReadOnly && snd_mixer_selem_set_capture_volume_all(line, static_cast<long>(value)) < 0) {
            return kNoSuchDevice;
        }
    } else {
        // The capture switch is on while the line records: muted is the switch off.
        int on = 0;
        if (!snd_mixer_selem_has_capture_switch(line) ||
            snd_mixer_selem_get_capture_switch(line, channels[0], &on) < 0) {
            return kNoSuchDevice;
        }
        result = on != 0 ? 0 : 1;
        if (value != kMixerReadOnly && snd_mixer_selem_set_capture_switch_all(line, value != 0 ? 0 : 1) < 0) {
            return kNoSuchDevice;
        }
    }
    return result;
}

class AlsaInputMixer final : public IInputMixer {
public:
    explicit AlsaInputMixer(std::string server) : server_(std::move(server)) {}

    int32_t DeviceCount() override { return static_cast<int32_t>(Devices().size()); }

    int32_t DeviceName(uint32_t index, std::string* name) override {
        const std::vector<MixerDevice> devices = Devices();
        if (index >= devices.size()) return kNoSuchDevice;
        *name = devices[index].name;
        return 0;
    }

    int32_t Control(uint32_t index, MixerControl control, uint32_t value) override {
        const std::vector<MixerDevice> devices = Devices();
        if (index >= devices.size()) return kNoSuchDevice;
        Mixer mixer;
        if (const int32_t result = mixer.Open(devices[index], server_)) return result;
        snd_mixer_elem_t* line = FindRecordingLine(mixer.get());
        if (line == nullptr) return kNoRecordingLine;
        return UseControl(line, control, value);
    }

private:
    std::vector<MixerDevice> Devices() const {
        std::vector<MixerDevice> devices;
        std::vector<audio::PulseSource> sources;
        audio::PulseSourceClient client;
        if (client.Connect(server_) && client.List(&sources)) {
            for (const audio::PulseSource& source : sources) {
                const int card = source.monitor ? -1 : source.alsaCard;
                devices.push_back({ShortName(source.description), card, card >= 0 ? "" : source.name});
            }
            return devices;
        }
        for (int card = -1; snd_card_next(&card) >= 0 && card >= 0;) {
            MixerDevice device{"", card, ""};
            Mixer mixer;
            if (mixer.Open(device, server_) != 0 || FindRecordingLine(mixer.get()) == nullptr) continue;
            char* name = nullptr;
            if (snd_card_get_name(card, &name) >= 0 && name != nullptr) {
                device.name = ShortName(name);
                std::free(name);
            }
            devices.push_back(std::move(device));
        }
        return devices;
    }

    std::string server_;
};

}  // namespace

std::unique_ptr<IInputMixer> CreateAlsaInputMixer(const std::string& server) {
    return std::make_unique<AlsaInputMixer>(server);
}

}  // namespace zelmar::platform
