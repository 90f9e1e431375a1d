#!/usr/bin/env bash
# zelmar voice from and to sound devices, on the private PulseAudio server that `./run test`
# starts (tests/sound_server.sh): a tone played into a null sink (paplay) is captured from the
# sink's monitor through the whole voice path and written to a file; the voice path's own test
# tone played to a null sink is recorded from its monitor (parec).  sox measures both.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"
require_sound_server

# A sink of this script's own, so tests running in parallel do not hear each other.
sink=${ZELMAR_TEST_SINK}_voice_$$
description=VoiceSink$$
own_null_sink "$sink" "$description"

cd "$dir"  # a file written where it should not be lands here

# Which device and backend a command uses is said in one line.
expect "record names the server's device" 0 "^recording from the sound server's default source \(PulseAudio\)" -- \
  "$zelmar" record --seconds 0.2 "$dir/default.wav"

monitor=$(device_number "Monitor of $description")
output=$(device_number "$description")
[ -n "$monitor" ] && [ -n "$output" ] || { echo "FAIL: $description or its monitor not listed"; exit 1; }

# 1. Capture: 1000 Hz at half scale into the sink while the voice path listens to its monitor.
#    A fresh null sink may hold the first audio back for up to 2 s, so only the last second
#    of the 4 s recording is measured.  The source stage (what the device delivered) must be
#    the tone as sent; the output must be what the same path makes of the tone read from a file
#    (the noise suppressor takes a steady tone down by about 20 dB).
sox -n -r 16000 -c 1 -b 16 "$dir/tone.wav" synth 14 sine 1000 vol 0.5
paplay --device="$sink" "$dir/tone.wav" &
player=$!
out=$(voice_on --capture "Monitor of $description" --seconds 4 -o "$dir/captured.wav" --record-at source) ||
  fail "voice --capture: $out"
kill "$player" 2>/dev/null; wait "$player" 2>/dev/null
grep -q "DSoundAudioIn" <<<"$out" || fail "the source stage is not the capture device: $out"
read -r hz rms _ < <(measure "$dir/voice-source.wav" trim 3)
echo "capture device delivered: ${hz} Hz, RMS ${rms} (sent 0.3536)"
within "$hz" 980 1020 || fail "captured tone at $hz Hz, not 1000 Hz"
within "$rms" 0.334 0.374 || fail "captured tone RMS $rms, not 0.354 (+-0.5 dB)"
"$zelmar" voice --input "$dir/tone.wav" --seconds 4 -o "$dir/offline.wav" >/dev/null 2>&1 || fail "offline voice run"
read -r hz rms _ < <(measure "$dir/captured.wav" trim 3)
read -r _ expected _ < <(measure "$dir/offline.wav" trim 3)
echo "voice path output: ${hz} Hz, RMS ${rms} (the same path from the file: RMS ${expected})"
within "$hz" 980 1020 || fail "voice path output at $hz Hz, not 1000 Hz"
within_2db "$rms" "$expected" || fail "voice path output RMS $rms, not within 2 dB of $expected"
# Silence in, silence out: the same path with nothing playing into the sink.
out=$(voice_on --capture "Monitor of $description" --seconds 1 -o "$dir/quiet.wav") || fail "voice --capture (quiet): $out"
read -r hz quiet _ < <(measure "$dir/quiet.wav")
within "$quiet" 0 0.001 || fail "a silent sink gave RMS $quiet"

# 2. Playback: the 440 Hz test tone of the voice path into the sink, recorded from its monitor.
parec --device="$sink.monitor" --format=s16le --rate=16000 --channels=1 --raw > "$dir/heard.raw" &
recorder=$!
out=$(voice_on --playback "$description" --generator --seconds 4) || fail "voice --playback: $out"
kill "$recorder" 2>/dev/null; wait "$recorder" 2>/dev/null
# A fresh null sink may take no audio for up to 2 s, so the ring may shorten what it holds.
grep -Eq "played [0-9.]+ s at 32000 Hz" <<<"$out" || fail "playback summary: $out"
[ ! -e voice-out.wav ] || fail "--playback without -o wrote a file"
# The recording holds the start-up silence and the 4 s of tone: measure 1 s from its middle.
seconds=$(awk -v b="$(stat -c %s "$dir/heard.raw")" 'BEGIN { print b / 32000 }')
read -r hz rms _ < <(measure "$dir/heard.raw" trim "$(awk -v s="$seconds" 'BEGIN { print s - 2.5 }')" 1)
"$zelmar" voice --generator --seconds 4 -o "$dir/generated.wav" >/dev/null 2>&1 || fail "offline generator run"
read -r _ expected _ < <(measure "$dir/generated.wav" trim 2 1)
echo "heard on the sink's monitor: ${hz} Hz, RMS ${rms} (${seconds} s recorded; offline run: RMS ${expected})"
within "$hz" 430 450 || fail "played tone at $hz Hz, not 440 Hz"
within_2db "$rms" "$expected" || fail "played tone RMS $rms, not within 2 dB of $expected"

expect "--drift with --playback" 1 "device's clock" -- "$zelmar" voice --playback "$output" --drift 10
expect "--capture with --generator" 1 "no --input or --generator" -- "$zelmar" voice --capture "$monitor" --generator
expect "--capture 16" 1 "between -1 and 15" -- "$zelmar" voice --capture 16
finish "voice on sound devices"
