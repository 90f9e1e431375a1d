// The PulseAudio backend (also serves PipeWire through its PulseAudio service): sources are
// capture devices, sinks are playback devices, listed in the server's index order.  Each
// device opens its own connection with its own threaded main loop, so a server that goes away
// fails the devices that used it and a later open connects afresh.
#pragma once

#include <memory>
#include <string>

#include "platform/audio/AudioDevice.h"

namespace zelmar::platform::audio {

// `server`: a PulseAudio server address ("unix:/path/native"); empty for the default one.
std::unique_ptr<IAudioService> CreatePulseAudioService(const std::string& server = std::string());

// Buffer attributes asked of the server: record fragments and the playback target length.
constexpr uint32_t kPulseFragmentMs = 10;
constexpr uint32_t kPulseTargetLengthMs = 20;

}  // namespace zelmar::platform::audio
