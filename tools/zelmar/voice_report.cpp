// The figures, recordings, live meter and final table of `zelmar voice`.
#include "voice_report.h"

#include "audio_files.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace cli {
namespace voice {

namespace {

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string Thousands(uint64_t value) {
    std::string digits = std::to_string(value), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// The stages' notes: what each did beyond its byte counts.
void WriteNotes(const Settings& settings, Stages& stages, const PathSummary& summary) {
    const FrameCounts& frames = summary.frames;
    stages.source.notes = summary.sourceName + ", " + std::to_string(summary.sourceRate) + " Hz";
    if (stages.preprocess.used && stages.preprocess.notes.empty()) {
        if (summary.companionProblem.empty()) {
            stages.preprocess.notes = settings.agc ? "high-pass 100 Hz, noise suppression, AGC" : "high-pass 100 Hz, noise suppression";
        } else {
            // Its filter and suppressor live in the companion library.
            stages.preprocess.notes = settings.agc ? "AGC only: no high-pass, no noise suppression (no companion library)"
                                                   : "passes the audio: no high-pass, no noise suppression (no companion library)";
        }
    }
    if (stages.resample.used) {
        stages.resample.notes = std::to_string(summary.sourceRate) + " -> " + std::to_string(kCodecRate) + " Hz";
    }
    if (stages.encode.used) {
        stages.encode.notes = Thousands(frames.sent) + " frames of " + std::to_string(summary.codedFrameBytes) + " bytes, " +
                              std::to_string(static_cast<int>(settings.bitrate)) + " bit/s";
    }
    char text[256];
    if (summary.channel) {
        const double lostPercent = summary.channelSent ? 100.0 * static_cast<double>(summary.channelDropped) /
                                                             static_cast<double>(summary.channelSent)
                                                       : 0.0;
        std::snprintf(text, sizeof text, "%s sent, %s lost (%.1f%%), %s late; jitter 0..%g ms",
                      Thousands(summary.channelSent).c_str(), Thousands(summary.channelDropped).c_str(), lostPercent,
                      Thousands(frames.late).c_str(), settings.jitterMs);
    } else {
        std::snprintf(text, sizeof text, "127.0.0.1:%d, %d frames per datagram, %s receive time-outs", summary.udpPort,
                      kFramesPerDatagram, Thousands(frames.udpTimeouts).c_str());
        if (summary.udpFailedReceives > 0) {
            std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text), ", %s failed receives",
                          Thousands(summary.udpFailedReceives).c_str());
        }
    }
    stages.network.notes = text;
    if (stages.decode.used) {
        stages.decode.notes = Thousands(frames.decoded) + " decoded, " + Thousands(frames.concealed) + " concealed";
    } else if (frames.concealed > 0) {
        stages.network.notes += ", " + Thousands(frames.concealed) + " frames of silence";
    }
    if (stages.ring.used) {
        char listener[64] = "listener on the playback device's clock";
        if (!summary.playing) std::snprintf(listener, sizeof listener, "listener %+g ppm", settings.driftPpm);
        std::snprintf(text, sizeof text, "target %g ms, %s: %u underflows, %u compressions", settings.bufferMs, listener,
                      summary.underflows, summary.compressions);
        stages.ring.notes = text;
    }
    if (stages.sink.used) stages.sink.notes = settings.output;
}

}  // namespace

CpuSpan::CpuSpan(Stage& stage) : stage_(stage), start_(ThreadCpuSeconds()) {}

CpuSpan::~CpuSpan() { stage_.cpuSeconds += ThreadCpuSeconds() - start_; }

void LevelMeter::Note(std::atomic<int>& peak, const int16_t* samples, int32_t count) {
    int highest = 0;
    for (int32_t i = 0; i < count; ++i) highest = std::max(highest, std::abs(static_cast<int>(samples[i])));
    int seen = peak.load();
    while (highest > seen && !peak.compare_exchange_weak(seen, highest)) {
    }
}

void ShowMeter(LevelMeter& meter, bool input, bool output, const std::atomic<bool>& finished) {
    if (isatty(STDERR_FILENO) == 0 || (!input && !output)) return;
    const auto bar = [](int peak, char* text, std::size_t size) {
        const double db = PeakDbfs(peak);
        const int bars = static_cast<int>(std::max(0.0, (db + 60) / 60 * 20));
        std::snprintf(text, size, "%6.1f dBFS [%-20.*s]", db, bars, "####################");
    };
    const auto start = std::chrono::steady_clock::now();
    while (!finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        char in[64] = "", out[64] = "";
        bar(meter.inputPeak.exchange(0), in, sizeof in);
        bar(meter.outputPeak.exchange(0), out, sizeof out);
        std::fprintf(stderr, "\r%6.1f s", SecondsSince(start));
        if (input) std::fprintf(stderr, "  in %s", in);
        if (output) std::fprintf(stderr, "  out %s", out);
    }
    std::fprintf(stderr, "\n");
}

std::string Recorder::Open(const std::string& path, int32_t rate) {
    const std::string error = writer_.Open(path, Mono16Format(rate));
    if (!error.empty()) return error;
    path_ = path;
    return "";
}

// A recording that fails to take a block goes on without it: it is a side view of the path.
void Recorder::Write(const int16_t* samples, int32_t count) {
    if (writer_.is_open() && count > 0) writer_.Write(samples, count * 2);
}

void Recorder::Close() { writer_.Finish(); }

void PrintReport(const Settings& settings, Stages& stages, const PathSummary& summary, double wallSeconds) {
    stages.sink.audioSeconds = static_cast<double>(stages.sink.bytesIn) / 2.0 / summary.pathRate;
    stages.network.audioSeconds = static_cast<double>(summary.frames.sent) * kFrameMs / 1000.0;
    WriteNotes(settings, stages, summary);

    std::fprintf(Report(), "\n%-11s %-26s %13s %13s %9s %10s  %s\n", "stage", "component", "bytes in", "bytes out", "CPU ms",
                "x realtime", "notes");
    for (const Stage* stage : {&stages.source, &stages.preprocess, &stages.resample, &stages.encode, &stages.network,
                               &stages.decode, &stages.ring, &stages.sink, &stages.playback}) {
        if (stage == &stages.playback && !summary.playing) continue;
        if (!stage->used) {
            std::fprintf(Report(), "%-11s %-26s %s\n", stage->name.c_str(), stage->component.c_str(),
                        ("skipped: " + stage->skipped).c_str());
            continue;
        }
        std::string speed = "-";
        if (stage->cpuSeconds > 0 && stage->audioSeconds > 0) {
            char text[64];
            std::snprintf(text, sizeof text, "%.0f", stage->audioSeconds / stage->cpuSeconds);
            speed = text;
        }
        std::fprintf(Report(), "%-11s %-26s %13s %13s %9.1f %10s  %s\n", stage->name.c_str(), stage->component.c_str(),
                    stage->bytesIn ? Thousands(stage->bytesIn).c_str() : "-",
                    stage->bytesOut ? Thousands(stage->bytesOut).c_str() : "-", stage->cpuSeconds * 1000.0,
                    speed.c_str(), stage->notes.c_str());
    }
    const double audio = static_cast<double>(stages.source.bytesOut) / 2.0 / summary.sourceRate;
    std::fprintf(Report(), "\n%.2f s of audio in %.2f s (%s)", audio, wallSeconds,
                summary.realtime ? "real time" : "offline, virtual clock");
    if (stages.sink.used) {
        std::fprintf(Report(), "; wrote %s (%.2f s at %d Hz)", settings.output.c_str(), stages.sink.audioSeconds, summary.pathRate);
    }
    if (summary.playing) std::fprintf(Report(), "; played %.2f s at %d Hz", stages.playback.audioSeconds, summary.pathRate);
    std::fprintf(Report(), "\n");
    for (const std::string& path : summary.recordings) std::fprintf(Report(), "recorded %s\n", path.c_str());
    if (!summary.companionProblem.empty()) std::fprintf(Report(), "note: no companion library: %s\n", summary.companionProblem.c_str());
}

}  // namespace voice
}  // namespace cli
