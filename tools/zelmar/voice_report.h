// What `zelmar voice` tells: the figures of each stage, recordings of inner stages, the live
// level meter of the sound devices, and the table printed when the path is done.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "voice.h"
#include "wav_file.h"

namespace cli {
namespace voice {

// What one stage did: filled by the thread that runs it, read after the threads are joined.
struct Stage {
    explicit Stage(const char* stageName, const char* componentName = "") : name(stageName), component(componentName) {}
    std::string name;
    std::string component;
    bool used = false;
    std::string skipped;  // why it did not run
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    double cpuSeconds = 0;
    double audioSeconds = 0;
    std::string notes;

    void Count(uint64_t in, uint64_t out, double seconds) {
        bytesIn += in;
        bytesOut += out;
        audioSeconds += seconds;
    }
};

// The path's stages, in the order of the table.
struct Stages {
    Stage source{"source"};
    Stage preprocess{"preprocess", "PreProcessAudioFilter"};
    Stage resample{"resample", "ResampleAudioFilter"};
    Stage encode{"encode", "Siren14AudioFilter"};
    Stage network{"network"};
    Stage decode{"decode", "Siren14AudioFilter"};
    Stage ring{"ring", "RingBufferAudioInOut"};
    Stage sink{"sink", "RIFFAudioOut"};
    Stage playback{"playback", "DSoundAudioOut"};
};

// Adds the calling thread's CPU time between construction and destruction to a stage.
class CpuSpan {
public:
    explicit CpuSpan(Stage& stage);
    ~CpuSpan();

private:
    Stage& stage_;
    double start_;
};

// Peak levels of the last blocks on each side, for the live meter.
struct LevelMeter {
    std::atomic<int> inputPeak{0};
    std::atomic<int> outputPeak{0};
    static void Note(std::atomic<int>& peak, const int16_t* samples, int32_t count);
};

// The live meter on a terminal, until `finished`: seconds since the start and the peak level
// of each device side (capture `input`, playback `output`) over the last tenth of a second.
void ShowMeter(LevelMeter& meter, bool input, bool output, const std::atomic<bool>& finished);

// A recording of one stage, when asked for.
class Recorder {
public:
    std::string Open(const std::string& path, int32_t rate);
    void Write(const int16_t* samples, int32_t count);
    void Close();
    const std::string& path() const { return path_; }

private:
    WavRecording writer_;
    std::string path_;
};

// Frames counted on their way through the network.
struct FrameCounts {
    uint64_t sent = 0, decoded = 0, concealed = 0, late = 0;
    uint64_t udpTimeouts = 0;
};

// What the table says beside the stages' own figures.
struct PathSummary {
    std::string sourceName;
    int32_t sourceRate = 0;
    int32_t pathRate = 0;
    int32_t codedFrameBytes = 0;
    FrameCounts frames;
    bool channel = false;  // the in-process channel carried the frames (else UDP)
    uint64_t channelSent = 0, channelDropped = 0;
    int32_t udpPort = 0;
    uint64_t udpFailedReceives = 0;  // passed over: a stray empty datagram makes one
    uint32_t underflows = 0, compressions = 0;  // the ring's
    bool playing = false;
    bool realtime = false;
    std::string companionProblem;  // what the pre-processor ran without, "" when nothing
    std::vector<std::string> recordings;
};

// The table of stages (component, bytes in and out, CPU ms, times real time, notes), then the
// audio and wall time, the files written and the recordings.  Fills in the stages' notes.
void PrintReport(const Settings& settings, Stages& stages, const PathSummary& summary, double wallSeconds);

}  // namespace voice
}  // namespace cli
