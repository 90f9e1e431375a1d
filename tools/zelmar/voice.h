// What the parts of `zelmar voice` share: the path's framing, its three threads, and the
// settings taken from the command line.
//
//   talker thread:    source -> PreProcessAudioFilter -> ResampleAudioFilter (to 32 kHz)
//                     -> Siren14AudioFilter (encode, one coded frame per 20 ms) -> network
//   network thread:   network -> Siren14AudioFilter (decode, lost frames concealed)
//                     -> RingBufferAudioInOut (PutData)
//   listener thread:  RingBufferAudioInOut (GetData, on its own clock) -> RIFFAudioOut
//
// The parts: voice_sources (where the speech comes from), voice_network (the in-process
// channel and the UDP transport), voice_path (the stages and their threads) and voice_report
// (per-stage figures, recordings, the live meter and the table printed at the end).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {
namespace voice {

constexpr int32_t kCodecRate = 32000;
constexpr int32_t kFrameMs = 20;
constexpr int64_t kFrameUs = kFrameMs * 1000;
constexpr int32_t kFramesPerDatagram = 2;  // 40 ms per UDP datagram
constexpr int32_t kPlaybackBufferMs = 200;
// "DSoundAudioOut2" plays this many blocks after Start as silence, whatever it is given.
constexpr int32_t kSecondGenerationMutedBlocks = 50;
constexpr int32_t kCaptureBufferMs = 200;

// The threads, as the path clock numbers them.
enum Participant { kTalker = 0, kNetwork = 1, kListener = 2, kParticipants = 3 };

struct Settings {
    static constexpr int32_t kNoDevice = -2;

    std::string output = "voice-out.wav";
    std::string input;
    bool generator = false;
    double seconds = 0;  // 0: all of the source (a device or the generator: their default)
    bool udp = false;
    double jitterMs = 30, lossPercent = 2, seed = 1, port = 0, bitrate = 32000, bufferMs = 120, driftPpm = -3125;
    std::vector<std::string> recordAt;
    bool realtime = false;
    bool agc = false;
    bool writeFile = true;
    int32_t captureDevice = kNoDevice;
    int32_t playbackDevice = kNoDevice;
    // Which device components --capture and --playback use: 1 "DSoundAudioIn" / "DSoundAudioOut",
    // 2 "DSoundAudioIn2" / "DSoundAudioOut2".
    int generation = 1;
    // Capture and playback as one "DSoundAudioInOut" pair at the codec's rate, whose capture
    // side cancels the echo of what the listener plays.
    bool aec = false;
};

}  // namespace voice
}  // namespace cli
