#!/usr/bin/env bash
# zelmar voice --aec on the private PulseAudio server that `./run test` starts: the talker
# captures a null sink's monitor and the listener plays into the same sink through one
# echo-cancelling DSoundAudioInOut pair, so what the listener plays comes back as echo.  White
# noise played into the sink (paplay) is the near end: it must reach the talker, its echo
# coming back through the path a few hundred ms later is what the canceller takes out.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"
require_sound_server
sink=${ZELMAR_TEST_SINK}_aec_$$
description=AecSink$$
own_null_sink "$sink" "$description"
monitor=$(device_number "Monitor of $description")
output=$(device_number "$description")
[ -n "$monitor" ] && [ -n "$output" ] || { echo "FAIL: $description or its monitor not listed"; exit 1; }

sox -n -r 32000 -c 1 -b 16 "$dir/noise.wav" synth 10 whitenoise vol 0.1
paplay --device="$sink" "$dir/noise.wav" &
player=$!
out=$("$zelmar" voice --capture "$monitor" --playback "$output" --aec --seconds 4 -o "$dir/out.wav" \
  --record-at source 2>&1) || fail "voice --aec: $out"
kill "$player" 2>/dev/null; wait "$player" 2>/dev/null
grep -Eq "^source +DSoundAudioInOut" <<<"$out" && grep -Eq "^playback +DSoundAudioInOut" <<<"$out" ||
  fail "source and playback are not the pair: $out"
grep -qF "($description)" <<<"$out" || fail "the sink is not named: $out"
# The last second of the source against the noise played.
read -r rms < <(sox "$dir/voice-source.wav" -n trim 3 stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
read -r sent < <(sox "$dir/noise.wav" -n trim 3 1 stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
echo "near end through the pair: RMS ${rms} (played ${sent})"
awk -v v="$rms" -v s="$sent" 'BEGIN { exit !(v >= s * 0.5 && v <= s * 2) }' || fail "near end RMS $rms, not within 6 dB of $sent"

expect "--aec without --playback" 1 "needs --capture and --playback" -- "$zelmar" voice --capture "$monitor" --aec
finish "voice --aec"
