#!/usr/bin/env bash
# Real audio files and pipes: what libsndfile reads (24-bit and float WAV, extensible headers,
# RF64, FLAC, AIFF, many channels) is described, measured, encoded and run through a chain;
# "-" reads standard input and writes standard output; a cut file is called cut.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"
# Sines at half scale: peak -6.02 dBFS, RMS -9.03 dBFS in every format.
sox -n -r 44100 -b 24 -c 2 "$dir/s24.wav" synth 1 sine 440 vol 0.5
sox -n -r 48000 -e floating-point -b 32 -c 1 "$dir/f32.wav" synth 1 sine 1000 vol 0.5
sox -n -r 44100 -b 16 -c 2 "$dir/s.flac" synth 1.5 sine 300 vol 0.5
sox -n -r 22050 -b 16 -c 1 "$dir/s.aiff" synth 1 sine 500 vol 0.5
sox -n -r 16000 -b 16 -c 6 "$dir/six.wav" synth 1 sine 440 vol 0.5
head -c 100000 "$dir/s24.wav" > "$dir/cut.wav"
echo "no audio here" > "$dir/text.mp9"
python3 - "$dir/s.rf64" <<'PY'
import math, struct, sys
rate, n = 16000, 16000
data = b"".join(struct.pack("<h", int(16384 * math.sin(2 * math.pi * 440 * i / rate))) for i in range(n))
fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
ds64 = struct.pack("<QQQI", 4 + 36 + 24 + 8 + len(data), len(data), n, 0)
body = b"WAVE" + b"ds64" + struct.pack("<I", 28) + ds64 + b"fmt " + struct.pack("<I", 16) + fmt
open(sys.argv[1], "wb").write(b"RF64" + struct.pack("<I", 0xFFFFFFFF) + body + b"data" + struct.pack("<I", 0xFFFFFFFF) + data)
PY
levels="peak +-6\.02 dBFS, RMS +-9\.03 dBFS"

cases <<TABLE
0 | WAVEX \(Microsoft\), Signed 24 bit PCM, 44100 Hz, 2 channels       | info $dir/s24.wav
0 | right: +$levels                                                  | info $dir/s24.wav
0 | WAV \(Microsoft\), 32 bit float, 48000 Hz, 1 channel              | info $dir/f32.wav
0 | level: +$levels                                                  | info $dir/f32.wav
0 | FLAC .*44100 Hz, 2 channels                                      | info $dir/s.flac
0 | 66150 frames, 1\.500 s                                           | info $dir/s.flac
0 | AIFF .*22050 Hz, 1 channel                                       | info $dir/s.aiff
0 | RF64 .*16000 Hz, 1 channel                                       | info $dir/s.rf64
0 | level: +$levels                                                  | info $dir/s.rf64
0 | ch 6: +$levels                                                   | info $dir/six.wav
0 | warning: +the header claims 264600 bytes of audio; the file holds 99920 after it: it is cut short | info $dir/cut.wav
# Encoding takes any of them, mixed to mono and brought to a codec rate.
0 | read .*s24.wav as .*24 bit PCM 44100 Hz stereo -> 16-bit PCM 32000 Hz mono | encode $dir/s24.wav $dir/a.s14
0 | encoded .*\(32000 Hz, 14 kHz mode\) at 32000 bit/s: 51 frames, 1\.000 s | encode $dir/s24.wav $dir/a.s14
0 | encoded .*\(16000 Hz, 7 kHz mode\) at 32000 bit/s: 51 frames, 1\.000 s  | encode $dir/s.aiff $dir/b.s14
0 | 1\.000 s ->                                                      | decode $dir/a.s14 $dir/a.wav
0 | PCM 32000 Hz, 16-bit, mono                                       | info $dir/a.wav
# A chain reads a FLAC file and says what it mixes down.
0 | chain: read .*s\.flac as FLAC .* -> 16-bit PCM 44100 Hz stereo    | chain -i $dir/s.flac -o $dir/c.wav ToneControlAudioFilter
0 | ToneControlAudioFilter takes 16-bit mono: mixing PCM 44100 Hz, 16-bit, stereo down for it | chain -i $dir/s.flac -o $dir/c.wav ToneControlAudioFilter
0 | 6 channels -> 16-bit PCM 16000 Hz mono                           | chain -i $dir/six.wav -o $dir/c.wav ToneControlAudioFilter
1 | ^zelmar: .*text.mp9 is not an audio file zelmar can read          | info $dir/text.mp9
TABLE

# Pipes: only audio on standard output, the reports on standard error.
"$zelmar" tone -o - --seconds 1 --freq 1000 2> "$dir/tone.err" > "$dir/piped.wav"
grep -q "^wrote standard output: 1.000 s" "$dir/tone.err" || fail "tone -o - reports on standard error"
expect "tone through a pipe" 0 "32000 bytes, 1\.000 s" -- "$zelmar" info "$dir/piped.wav"
out=$("$zelmar" tone -o - --seconds 1 2>/dev/null | "$zelmar" chain -i - -o - ToneControlAudioFilter 2>/dev/null |
      "$zelmar" encode - - 2>/dev/null | "$zelmar" decode - - 2>/dev/null | "$zelmar" info - 2>&1)
grep -qE "standard input" <<<"$out" && grep -qE "32000 bytes, 1\.000 s" <<<"$out" || fail "tone | chain | encode | decode | info: $out"
expect "play a FLAC file from standard input" 0 "^standard input: played 1\.50 s" -- \
  bash -c '"$0" play - < "$1"' "$zelmar" "$dir/s.flac"
expect "the voice path between pipes, from a 44.1 kHz stereo FLAC file" 0 "standard input.*PCM 32000 Hz, 16-bit, mono" -- \
  bash -c '"$0" voice --input - -o - < "$1" 2>/dev/null | "$0" info - | tr "\n" " "' "$zelmar" "$dir/s.flac"
expect "a recording to standard output" 0 "standard input.*6400 bytes, 0\.200 s" -- \
  bash -c '"$0" record --seconds 0.2 - 2>/dev/null | "$0" info - | tr "\n" " "' "$zelmar"
finish "audio files and pipes"
