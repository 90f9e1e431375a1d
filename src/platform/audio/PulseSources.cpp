#include "platform/audio/PulseSources.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace zelmar::platform::audio {
namespace {

constexpr int64_t kWaitUs = 3000000;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct ListRequest {
    std::vector<PulseSource>* sources;
};

void OnSource(pa_context*, const pa_source_info* info, int eol, void* request) {
    if (eol != 0 || info == nullptr) return;
    PulseSource source;
    source.index = info->index;
    source.name = info->name != nullptr ? info->name : "";
    source.description = info->description != nullptr ? info->description : "";
    source.monitor = info->monitor_of_sink != PA_INVALID_INDEX;
    const char* card = pa_proplist_gets(info->proplist, "alsa.card");
    if (card != nullptr && *card >= '0' && *card <= '9') source.alsaCard = std::atoi(card);
    source.channels = info->volume.channels;
    source.maxVolume = pa_cvolume_max(&info->volume);
    source.muted = info->mute != 0;
    static_cast<ListRequest*>(request)->sources->push_back(std::move(source));
}

void OnSuccess(pa_context*, int success, void* ok) { *static_cast<bool*>(ok) = success != 0; }

}  // namespace

PulseSourceClient::~PulseSourceClient() {
    if (context_ != nullptr) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (loop_ != nullptr) pa_mainloop_free(loop_);
}

bool PulseSourceClient::Iterate(int64_t deadlineUs) {
    const int64_t left = deadlineUs - NowUs();
    if (left <= 0) return false;
    if (pa_mainloop_prepare(loop_, static_cast<int>(std::min<int64_t>(left, 100000))) < 0) return false;
    if (pa_mainloop_poll(loop_) < 0) return false;
    return pa_mainloop_dispatch(loop_) >= 0;
}

bool PulseSourceClient::Connect(const std::string& server) {
    loop_ = pa_mainloop_new();
    if (loop_ == nullptr) return false;
    context_ = pa_context_new(pa_mainloop_get_api(loop_), "Zelmar volume");
    if (context_ == nullptr) return false;
    // A server is never spawned for a volume query.
    if (pa_context_connect(context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return false;
    }
    const int64_t deadline = NowUs() + kWaitUs;
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) return true;
        if (!PA_CONTEXT_IS_GOOD(state) || !Iterate(deadline)) return false;
    }
}

bool PulseSourceClient::Finish(pa_operation* operation) {
    if (operation == nullptr) return false;
    const int64_t deadline = NowUs() + kWaitUs;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING &&
           PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) && Iterate(deadline)) {
    }
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    return done;
}

bool PulseSourceClient::List(std::vector<PulseSource>* sources) {
    if (context_ == nullptr) return false;
    std::vector<PulseSource> listed;
    ListRequest request{&listed};
    if (!Finish(pa_context_get_source_info_list(context_, &OnSource, &request))) return false;
    std::sort(listed.begin(), listed.end(), [](const PulseSource& a, const PulseSource& b) { return a.index < b.index; });
    *sources = std::move(listed);
    return true;
}

bool PulseSourceClient::SetVolume(const std::string& name, uint8_t channels, uint32_t volume) {
    if (context_ == nullptr || channels == 0 || channels > PA_CHANNELS_MAX) return false;
    pa_cvolume levels;
    pa_cvolume_set(&levels, channels, static_cast<pa_volume_t>(volume));
    bool ok = false;
    return Finish(pa_context_set_source_volume_by_name(context_, name.c_str(), &levels, &OnSuccess, &ok)) && ok;
}

}  // namespace zelmar::platform::audio
