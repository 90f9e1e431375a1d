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

// Buffer attributes asked of the server: record fragments; for playback, the queue the server
// holds (at most half the buffer) and how much it asks for at a time, which is also all its
// sink keeps beyond the queue.
constexpr uint32_t kPulseFragmentMs = 10;
constexpr uint32_t kPulsePlaybackQueueMs = 100;
constexpr uint32_t kPulseRequestMs = 5;
// How far past the sink's buffer the playback write cursor stands: the time a write takes to
// reach the server's queue, and for a stream that feeds an echo canceller more, since the
// canceller must have the far end (all before the write cursor) ahead of its echo.
constexpr uint32_t kPulseRewriteMarginMs = 5;
constexpr uint32_t kPulseEchoReferenceMarginMs = 15;

}  // namespace zelmar::platform::audio
