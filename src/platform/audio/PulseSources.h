// A short-lived, single-threaded client of the PulseAudio server for the volume stand-ins:
// it connects, lists the sources or changes one, and disconnects when destroyed.  No thread
// is started and nothing outlives the object (its socket and the main loop's wake-up pipe
// close with it).  Every wait is bounded, so a server that stops answering fails the call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct pa_context;
struct pa_mainloop;
struct pa_operation;

namespace zelmar::platform::audio {

struct PulseSource {
    uint32_t index = 0;
    std::string name;
    std::string description;
    bool monitor = false;   // the monitor of a sink
    int alsaCard = -1;      // the ALSA card behind the source, or -1
    uint8_t channels = 0;
    uint32_t maxVolume = 0; // the loudest channel's volume; 0x10000 is 100 %
    bool muted = false;
};

class PulseSourceClient {
public:
    PulseSourceClient() = default;
    ~PulseSourceClient();
    PulseSourceClient(const PulseSourceClient&) = delete;
    PulseSourceClient& operator=(const PulseSourceClient&) = delete;

    // `server` empty: the default server.  False when no server answers in time.
    bool Connect(const std::string& server);
    // The sources in the server's index order, which is the order the capture components
    // number them in.
    bool List(std::vector<PulseSource>* sources);
    // Sets every one of the source's `channels` channels to `volume`.
    bool SetVolume(const std::string& name, uint8_t channels, uint32_t volume);

private:
    bool Finish(pa_operation* operation);
    bool Iterate(int64_t deadlineUs);

    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
};

}  // namespace zelmar::platform::audio
