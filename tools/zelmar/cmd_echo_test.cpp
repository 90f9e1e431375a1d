// zelmar echo-test: how much of what a playback device plays comes back on a capture device,
// how late, and how much of it the echo-cancelling capture removes.
//
// One loop plays noise bursts on the playback device and reads, block for block, two
// "DMOAECAudioIn" captures of the capture device: one with the canceller (render device = the
// playback device) and one without it, the raw capture.  Block k played and block k read line
// up in time (up to the devices' buffering, which belongs to the echo's delay as a host sees
// it), so the delay finder takes the played signal as the far end and the raw capture as what
// came back.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "dsp/blocks/EchoDelayFinder.h"
#include "interrupt.h"

namespace cli {

const char kEchoTestUsage[] =
    "usage: zelmar echo-test [--capture N] [--playback M] [--seconds S]\n"
    "Plays noise bursts on a playback device while recording a capture device, then prints how\n"
    "late and how loud the echo came back (the delay from writing to the playback device to\n"
    "reading it back, found by correlating both), and the echo return loss enhancement (ERLE)\n"
    "the echo-cancelling capture (DMOAECAudioIn) reaches on that path.  A headset, or a\n"
    "microphone that does not hear the speaker, gets \"no echo\".\n"
    "  --capture N    capture device number from 'zelmar devices' (default -1, the default)\n"
    "  --playback M   playback device number (default -1, the default)\n"
    "  --seconds S    length of the test signal, 4..60 (default 6)\n";

namespace {

constexpr int32_t kRate = 16000;
constexpr int32_t kBlockSamples = 320;  // 20 ms, the captures' reads
constexpr int32_t kBlockBytes = kBlockSamples * 2;
constexpr int32_t kPlayBlockSamples = kBlockSamples / 2;  // 10 ms playback blocks
constexpr int32_t kPlaybackBufferMs = 100;
constexpr int32_t kFrame = kRate / 100;  // 10 ms analysis frames
// The signal: half a second of silence (the second-generation playback mutes its first
// blocks), then white noise bursts of kBurstMs every kBurstMs + kGapMs at kBurstDbfs.  The
// gaps keep the canceller's comfort noise (which follows the capture's quietest level) from
// taking a steady noise for background.
constexpr int32_t kLeadMs = 500;
constexpr int32_t kBurstMs = 500;
constexpr int32_t kGapMs = 250;
constexpr double kBurstDbfs = -20.0;
constexpr uint32_t kLongestDelayMs = 1000;
// Frames this close to a burst's edge are left out of the levels, so neither the found delay's
// rounding nor the canceller's own latency matters.
constexpr int32_t kEdgeFrames = 10;
// Quieter than this relative to what played (the capture's own noise) is no echo.
constexpr double kNoEchoDb = -50.0;

bool BurstAt(int64_t sample) {
    const int64_t at = sample - int64_t{kLeadMs} * kRate / 1000;
    return at >= 0 && at % (int64_t{kBurstMs + kGapMs} * kRate / 1000) < int64_t{kBurstMs} * kRate / 1000;
}

double FramePower(const std::vector<int16_t>& s, int64_t frame) {
    double sum = 0;
    for (int64_t i = frame * kFrame; i < (frame + 1) * kFrame; ++i) {
        const double v = i >= 0 && i < static_cast<int64_t>(s.size()) ? s[static_cast<size_t>(i)] : 0.0;
        sum += v * v;
    }
    return sum / kFrame;
}

double Db(double ratio) { return 10 * std::log10(std::max(ratio, 1e-12)); }

}  // namespace

int RunEchoTest(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("echo-test", argc, argv, {"--capture", "--playback", "--seconds"}, {}, &error)) return Fail(error);
    if (!options.Positional().empty()) return Fail("echo-test takes no file (see zelmar echo-test --help)");
    double captureNo = -1, playbackNo = -1, seconds = 6;
    if (!options.Number("--capture", -1, 15, &captureNo, &error) || !options.Number("--playback", -1, 15, &playbackNo, &error) ||
        !options.Number("--seconds", 4, 60, &seconds, &error)) {
        return Fail(error);
    }
    const auto capture = static_cast<int32_t>(captureNo), playback = static_cast<int32_t>(playbackNo);
    ZelmarSetTimeMode(ZELMAR_TIME_REAL);
    Component player = PlaybackSetup({kRate, 1, 16, kPlayBlockSamples, kPlaybackBufferMs, playback}, 2).Start(&error);
    if (!player) return Fail("cannot play on device " + std::to_string(playback) + ": " + error);
    auto startCapture = [&](int32_t aes) {
        return ComponentSetup("DMOAECAudioIn")
            .Set("InDeviceNo", capture)
            .Set("OutDeviceNo", playback)
            .Set("AESValue", aes)
            .Start(&error);
    };
    Component cleaned = startCapture(2);
    Component raw = cleaned ? startCapture(0) : Component();  // AESValue 0: no canceller
    if (!cleaned || !raw) return Fail("cannot record from device " + std::to_string(capture) + ": " + error);
    const std::string playing = DeviceLine(player.get(), false, playback);
    // The engine's virtual devices (all there is without a sound server) have no room to
    // measure: what they loop back says nothing about a speaker.
    if (playing.rfind("no sound server", 0) == 0) return Fail(playing + "; echo-test measures real devices");
    std::fprintf(stderr, "%s\n%s\n", playing.c_str(), DeviceLine(raw.get(), true, capture).c_str());

    // The signal, whole blocks of it.
    const int64_t blocks = static_cast<int64_t>((seconds + kLeadMs / 1000.0) * kRate / kBlockSamples);
    std::vector<int16_t> played(static_cast<size_t>(blocks * kBlockSamples)), heard(played.size()), left(played.size());
    std::mt19937 random(20261206);
    std::normal_distribution<double> noise(0.0, 32768.0 * std::pow(10.0, kBurstDbfs / 20));
    for (size_t i = 0; i < played.size(); ++i) {
        played[i] = BurstAt(static_cast<int64_t>(i)) ? static_cast<int16_t>(std::clamp(std::lround(noise(random)), -32767L, 32767L)) : 0;
    }

    CatchStopSignals();
    int64_t done = 0;
    for (; done < blocks && !StopRequested(); ++done) {
        const size_t at = static_cast<size_t>(done * kBlockSamples);
        for (int32_t half = 0; half < 2; ++half) {
            const int32_t code = PutDeviceBlock(player.get(), played.data() + at + half * kPlayBlockSamples, kBlockBytes / 2);
            if (code != kBlockBytes / 2) return Fail("playback failed: " + ResultText(code));
        }
        int32_t code = cleaned->GetData(left.data() + at, kBlockBytes);
        if (code == 0) code = raw->GetData(heard.data() + at, kBlockBytes);
        if (code != 0) return Fail("capture failed: " + ResultText(code));
    }
    player->Stop();
    cleaned->Stop();
    raw->Stop();
    if (StopRequested()) {
        std::fprintf(stderr, "echo test stopped%s\n", StoppedNote());
        return StoppedStatus();
    }

    zelmar::CEchoDelayFinder finder;
    finder.Reset(kRate, kLongestDelayMs);
    for (size_t at = 0; at < played.size(); at += kBlockSamples) {
        finder.AddFar(played.data() + at, kBlockSamples);
        finder.AddCaptured(heard.data() + at, kBlockSamples);
    }
    const int32_t delayMs = finder.DelayMs();
    // Levels over the burst frames away from the edges: the echo against what played (shifted
    // by the delay), the cleaned capture against the raw one over the second half.
    const int64_t frames = static_cast<int64_t>(played.size()) / kFrame, shift = std::max(delayMs, 0) / 10;
    auto inBurst = [&](int64_t f) {
        return BurstAt(f * kFrame) && BurstAt((f - kEdgeFrames) * kFrame) && BurstAt((f + kEdgeFrames) * kFrame + kFrame - 1);
    };
    double playedPower = 0, echoPower = 0, rawPower = 0, leftPower = 0;
    int64_t counted = 0;
    for (int64_t f = 0; f + shift < frames; ++f) {
        if (!inBurst(f)) continue;
        playedPower += FramePower(played, f);
        echoPower += FramePower(heard, f + shift);
        ++counted;
        if (f < frames / 2) continue;
        rawPower += FramePower(heard, f + shift);
        leftPower += FramePower(left, f + shift);
    }
    const double echoDb = Db(echoPower / std::max(playedPower, 1.0));
    const double echoDbfs = Db(echoPower / std::max<int64_t>(counted, 1) / (32768.0 * 32768.0));
    std::printf("played %.1f s of noise bursts at %.0f dBFS\n", seconds, kBurstDbfs);
    if (delayMs < 0 || echoDb < kNoEchoDb) {
        const std::string level = echoPower > 0 ? "at " + std::to_string(std::lround(echoDbfs)) + " dBFS" : "silent";
        std::printf("no echo: nothing of what played came back (the capture was %s during the bursts); a headset, "
                    "or a microphone that does not hear the speaker, needs no echo cancelling\n",
                    level.c_str());
        return 0;
    }
    std::printf("echo delay: %d ms from writing to the playback device to reading the capture\n", delayMs);
    std::printf("echo level: %.1f dB relative to what played (%.1f dBFS at the capture)\n", echoDb, echoDbfs);
    std::printf("ERLE: %.1f dB, the echo-cancelling capture's over the second half\n", Db(rawPower / std::max(leftPower, 1.0)));
    return 0;
}

}  // namespace cli
