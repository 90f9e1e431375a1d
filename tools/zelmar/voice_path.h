// The voice path of `zelmar voice`: its components, set up from the settings, and the three
// threads that move the audio through them (see voice.h).  A stage whose component this
// library lacks is skipped and named as such.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "audio_files.h"
#include "cli.h"
#include "path_clock.h"
#include "voice.h"
#include "voice_network.h"
#include "voice_report.h"
#include "voice_sources.h"
#include "wav_file.h"

namespace cli {
namespace voice {

class VoicePath {
public:
    explicit VoicePath(const Settings& settings) : settings_(settings) {}
    // Sets the path up, runs it to the end of the source and prints the report; the exit status.
    int Run();

private:
    std::string Prepare();
    std::string OpenPair();
    // The inner component a pair hands out as "AudioIn" or "AudioOut".
    static IAudioIO* Side(IAudioIO* pair, const char* side);
    std::string PrepareFilters();
    std::string PrepareSinks();
    void Talker();
    // Encodes one frame of PCM at the path rate (or passes it on raw) and sends it.
    bool SendFrame(const int16_t* pcm, std::vector<uint8_t>& frame, uint32_t sequence);
    void NetworkReceiver();
    void Listener();
    void DecodeInto(const uint8_t* frame, int32_t frames);  // frame null: conceal `frames`
    void PutIntoRing(const int16_t* samples, int32_t count);
    // `counted`: the block is the path's audio (not the silence after it) and goes in the table.
    bool PlayBlock(const int16_t* samples, int32_t count, bool counted = true);
    void ThreadFailed(const std::string& message);

    const Settings& settings_;
    std::unique_ptr<Source> source_;
    SourceInfo sourceInfo_;
    int32_t pathRate_ = kCodecRate;  // rate after the resampler (the source's when it is skipped)
    int32_t codedFrameBytes_ = 0;
    int32_t pcmFrameBytes_ = 0;

    // Empty where the stage is skipped (or the sink not asked for).
    Component preprocess_, resample_, encoder_, decoder_, ring_, player_;
    Component duplex_;              // with --aec: the capture and playback pair
    IAudioIO* playback_ = nullptr;  // player_, or the pair's playback side
    OutputFile target_;    // where the output goes: its file, or standard output
    WavRecording writer_;  // the output file, finished on every way out
    std::string companionProblem_;  // what the pre-processor runs without, "" when nothing
    LevelMeter meter_;

    std::unique_ptr<PathClock> clock_;
    std::unique_ptr<Channel> channel_;  // one network or the other
    std::unique_ptr<UdpLink> udp_;
    std::mutex ringLock_;  // the ring takes no lock: its producer and consumer share this one
    std::atomic<bool> networkDone_{false};
    std::atomic<bool> talkerDone_{false};

    Stages stages_;
    Recorder recSource_, recPreprocess_, recResample_, recDecode_;
    FrameCounts frames_;
    std::string threadFailure_;
    std::mutex failureLock_;
    std::atomic<bool> failed_{false};  // threadFailure_ is set
};

}  // namespace voice
}  // namespace cli
