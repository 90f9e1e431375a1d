#!/usr/bin/env bash
# zelmar echo-test on the private PulseAudio server that `./run test` starts.  Played into a
# null sink of its own and captured from that sink's monitor, the test signal comes back whole
# (0 dB) after the server's latency, and the canceller, whose reference is the same monitor,
# takes it down to its noise fill; captured from the monitor of a second sink nobody plays
# into, nothing comes back.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"
require_sound_server
sink=${ZELMAR_TEST_SINK}_echo_$$
own_null_sink "$sink" "EchoSink$$"
quiet=$(pactl load-module module-null-sink sink_name="${sink}_quiet" sink_properties=device.description="QuietSink$$") ||
  { echo "FAIL: cannot load a second null sink"; exit 1; }
trap 'pactl unload-module "$quiet"; pactl unload-module "$module"; rm -rf "$dir"' EXIT
# Numbers are looked up just before each use: other tests add and remove sinks meanwhile.  A
# run during which they moved measured other devices, and runs again.
echo_test_on() {  # echo_test_on CAPTURE PLAYBACK (device names): sets out and status
  local numbers capture playback attempt
  for attempt in 1 2 3; do
    numbers=$(device_number "$1"; device_number "$2")
    read -r capture playback <<<"$(echo $numbers)"
    [ -n "$capture" ] && [ -n "$playback" ] || { echo "FAIL: '$1' or '$2' is not listed"; exit 1; }
    out=$("$zelmar" echo-test --capture "$capture" --playback "$playback" --seconds 4 2>&1)
    status=$?
    [ "$numbers" = "$(device_number "$1"; device_number "$2")" ] && return
    echo "(devices renumbered during run $attempt: again)"
  done
}
echo_test_on "Monitor of EchoSink$$" "EchoSink$$"
[ "$status" -eq 0 ] || fail "echo-test: $out"
echo "$out"
delay=$(sed -nE 's/^echo delay: ([0-9]+) ms.*/\1/p' <<<"$out")
level=$(sed -nE 's/^echo level: (-?[0-9.]+) dB.*/\1/p' <<<"$out")
erle=$(sed -nE 's/^ERLE: (-?[0-9.]+) dB.*/\1/p' <<<"$out")
# The delay is the playback buffer (100 ms at the most) and the server's latency.
[ -n "$delay" ] && [ "$delay" -le 500 ] || fail "echo delay '$delay' ms"
awk -v v="${level:-x}" 'BEGIN { exit !(v + 0 == v && v >= -3 && v <= 1) }' || fail "echo level '$level' dB, not within 0 dB's reach"
awk -v v="${erle:-x}" 'BEGIN { exit !(v + 0 == v && v >= 30) }' || fail "ERLE '$erle' dB, below 30 dB"

echo_test_on "Monitor of QuietSink$$" "EchoSink$$"
[ "$status" -eq 0 ] && grep -q "^no echo: .*silent" <<<"$out" || fail "a capture that hears nothing: $out"
playback=$(device_number "EchoSink$$")
cases <<TABLE
1 | cannot record from device 15        | echo-test --capture 15 --playback $playback
1 | --seconds .*4                        | echo-test --seconds 2
1 | echo-test takes no file              | echo-test out.wav
TABLE
expect "no sound server" 1 "no sound server answered.*measures real devices" -- \
  env PULSE_SERVER=unix:/nonexistent "$zelmar" echo-test
finish "echo-test"
