// zelmar voice: the engine's voice path end to end, built from its components (voice.h
// shows the stages and threads).  Here: the command line, turned into the path's settings.
//
// The source may be a capture device (DSoundAudioIn, or DSoundAudioIn2 with --gen 2) and the
// listener may play to a playback device (DSoundAudioOut or DSoundAudioOut2), or both may be
// one echo-cancelling pair (DSoundAudioInOut); a device paces its side of the path in real time.
#include <sstream>
#include <string>

#include "cli.h"
#include "commands.h"
#include "interrupt.h"
#include "voice.h"
#include "voice_path.h"

namespace cli {

const char kVoiceUsage[] =
    "usage: zelmar voice [--input FILE.wav | --generator] [-o FILE.wav] [--seconds S]\n"
    "                    [--network channel|udp] [--jitter MS] [--loss PERCENT] [--seed N]\n"
    "                    [--port N] [--bitrate 24000|32000|48000] [--buffer-ms MS]\n"
    "                    [--drift PPM] [--record-at STAGE[,STAGE...]] [--agc] [--realtime]\n"
    "                    [--capture N] [--playback N] [--gen 1|2] [--aec]\n"
    "Runs speech through the voice path: pre-processing, resampling to 32 kHz, Siren14\n"
    "encoding, a network between two threads, Siren14 decoding with loss concealment, and a\n"
    "jitter-absorbing ring buffer read on the listener's own clock; records the result.\n"
    "  --input FILE      source: any audio file libsndfile reads, mixed to mono, or - for\n"
    "                    standard input (default: the embedded speech sample)\n"
    "  --generator       a 440 Hz test tone at 16 kHz instead of speech\n"
    "  -o FILE.wav       output (default voice-out.wav; - for standard output, the report\n"
    "                    then goes to standard error)\n"
    "  --seconds S       use at most S seconds of the source, 0.1..3600\n"
    "  --network N       channel: in-process, with jitter and loss (default); udp: real\n"
    "                    datagrams on 127.0.0.1 (always real time)\n"
    "  --jitter MS       channel delay, uniform in 0..MS, 0..1000 (default 30)\n"
    "  --loss PERCENT    channel frames lost at random, 0..100 (default 2)\n"
    "  --seed N          random seed of the channel (default 1)\n"
    "  --port N          UDP port, 1024..65535 (default: the first free one from 45000)\n"
    "  --bitrate B       Siren14 bit rate (default 32000)\n"
    "  --buffer-ms MS    ring buffer target fill, 2..1000 (default 120)\n"
    "  --drift PPM       listener clock offset in parts per million, -50000..50000\n"
    "                    (default -3125: it takes 31 900 samples per producer second)\n"
    "  --record-at LIST  also record stages: source, preprocess, resample, decode\n"
    "                    (files voice-STAGE.wav beside the output)\n"
    "  --agc             turn on the pre-processor's automatic gain control\n"
    "  --realtime        pace in real time (default: offline, on a virtual clock)\n"
    "  --capture N       speak into capture device N of 'zelmar devices' (-1: the default)\n"
    "                    for --seconds (default 5), 16 kHz; shows a level meter\n"
    "  --playback N      play the listener's audio on playback device N (-1: the default);\n"
    "                    the device's clock paces the listener, so no --drift; the file is\n"
    "                    written only when -o is given\n"
    "  --gen G           the device components of --capture and --playback: 1 DSoundAudioIn /\n"
    "                    DSoundAudioOut (default), 2 DSoundAudioIn2 / DSoundAudioOut2 (woken\n"
    "                    by the device's block notifications)\n"
    "  --aec             with --capture and --playback: both devices as one full-duplex pair\n"
    "                    (DSoundAudioInOut) at 32 kHz whose capture side cancels the echo\n"
    "                    of what the listener plays\n"
    "Ctrl-C (or SIGTERM) ends the source early; what is on its way is still played and\n"
    "written, and the files are finished.\n";

int RunVoice(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("voice", argc, argv,
                       {"-o", "--input", "--seconds", "--network", "--jitter", "--loss", "--seed", "--port", "--bitrate",
                        "--buffer-ms", "--drift", "--record-at", "--capture", "--playback", "--gen"},
                       {"--generator", "--realtime", "--agc", "--aec"}, &error)) {
        return Fail(error);
    }
    if (!options.Positional().empty()) return Fail("unexpected argument '" + options.Positional()[0] + "'");
    voice::Settings settings;
    settings.output = options.Text("-o", settings.output);
    settings.input = options.Text("--input");
    settings.generator = options.Has("--generator");
    if (settings.generator && !settings.input.empty()) return Fail("--input and --generator exclude each other");
    const std::string network = options.Text("--network", "channel");
    if (network != "channel" && network != "udp") return Fail("--network is channel or udp, not '" + network + "'");
    settings.udp = network == "udp";
    if (!options.Number("--seconds", 0.1, 3600, &settings.seconds, &error) ||
        !options.Number("--jitter", 0, 1000, &settings.jitterMs, &error) ||
        !options.Number("--loss", 0, 100, &settings.lossPercent, &error) ||
        !options.Number("--seed", 0, 4294967295.0, &settings.seed, &error) ||
        !options.Number("--port", 1024, 65535, &settings.port, &error) ||
        !options.Number("--bitrate", 24000, 48000, &settings.bitrate, &error) ||
        !options.Number("--buffer-ms", 2, 1000, &settings.bufferMs, &error) ||
        !options.Number("--drift", -50000, 50000, &settings.driftPpm, &error)) {
        return Fail(error);
    }
    if (!options.Has("--seconds")) settings.seconds = 0;
    if (!options.Has("--port")) settings.port = 0;
    const int bitrate = static_cast<int>(settings.bitrate);
    if (bitrate != 24000 && bitrate != 32000 && bitrate != 48000) return Fail("--bitrate is 24000, 32000 or 48000");
    if (settings.udp && (options.Has("--jitter") || options.Has("--loss"))) {
        return Fail("--jitter and --loss shape the in-process channel; a UDP run has the real network's");
    }
    std::stringstream stages(options.Text("--record-at"));
    for (std::string stage; std::getline(stages, stage, ',');) {
        if (!stage.empty()) settings.recordAt.push_back(stage);
    }
    double captureDevice = 0, playbackDevice = 0, generation = 1;
    if (!options.Number("--capture", -1, 15, &captureDevice, &error) ||
        !options.Number("--playback", -1, 15, &playbackDevice, &error) ||
        !options.Number("--gen", 1, 2, &generation, &error)) {
        return Fail(error);
    }
    if (generation != 1 && generation != 2) return Fail("--gen takes 1 or 2");
    if (options.Has("--gen") && !options.Has("--capture") && !options.Has("--playback")) {
        return Fail("--gen picks the device components: give --capture or --playback");
    }
    if (options.Has("--gen") && options.Has("--aec") && generation != 2) {
        return Fail("--aec's pair (DSoundAudioInOut) is made of the second generation: --gen 1 does not go with it");
    }
    settings.generation = static_cast<int>(generation);
    if (options.Has("--capture")) {
        if (settings.generator || !settings.input.empty()) return Fail("--capture is the source: no --input or --generator with it");
        settings.captureDevice = static_cast<int32_t>(captureDevice);
    }
    if (options.Has("--playback")) {
        if (options.Has("--drift")) return Fail("--drift sets the listener's clock; with --playback the device's clock is used");
        settings.playbackDevice = static_cast<int32_t>(playbackDevice);
        settings.writeFile = options.Has("-o");
    }
    if (options.Has("--aec")) {
        if (!options.Has("--capture") || !options.Has("--playback")) return Fail("--aec needs --capture and --playback");
        settings.aec = true;
    }
    settings.realtime = options.Has("--realtime");
    settings.agc = options.Has("--agc");
    // Offline runs never wait in the engine either (UDP datagram pacing is real time).
    const bool devices = options.Has("--capture") || options.Has("--playback");
    ZelmarSetTimeMode(settings.realtime || settings.udp || devices ? ZELMAR_TIME_REAL : ZELMAR_TIME_VIRTUAL);

    CatchStopSignals();
    voice::VoicePath path(settings);
    return path.Run();
}

}  // namespace cli
