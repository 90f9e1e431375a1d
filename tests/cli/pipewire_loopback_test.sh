#!/usr/bin/env bash
# The sound-device components through PipeWire's PulseAudio service (pipewire, wireplumber,
# pipewire-pulse), started headless and private in a D-Bus session of its own: a tone played
# into a null sink comes back on the sink's monitor at its frequency and level; with the test
# program as a second argument, its check that a write into what the server already holds
# replaces it runs there too (the rewrite rests on the server's seek, which PipeWire implements
# on its own).
set -u
zelmar=$1 tests=${2:-}
source "$(dirname "$0")/checks.sh"
for tool in pipewire wireplumber pipewire-pulse dbus-run-session pactl sox; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (./run installs it)"; exit 1; }
done
runtime=$(mktemp -d /tmp/zelmar-pipewire.XXXXXX)
chmod 0700 "$runtime"
export XDG_RUNTIME_DIR=$runtime PULSE_SERVER=unix:$runtime/pulse/native
unset PULSE_RUNTIME_PATH
setsid dbus-run-session -- bash -c 'pipewire & sleep 0.5; wireplumber & pipewire-pulse & wait' > "$runtime/log" 2>&1 &
session=$!
trap 'kill -- -$session 2>/dev/null; sleep 0.2; rm -rf "$runtime" "$dir"' EXIT
for _ in $(seq 100); do pactl info 2>/dev/null | grep -q PipeWire && break; sleep 0.1; done
pactl info 2>/dev/null | grep -q "Server Name: PulseAudio (on PipeWire" || { echo "FAIL: PipeWire did not start"; cat "$runtime/log"; exit 1; }
pactl load-module module-null-sink sink_name=zelmar_pipewire sink_properties=device.description=ZelmarPipeWire >/dev/null ||
  { echo "FAIL: no null sink"; exit 1; }
for _ in $(seq 50); do "$zelmar" devices 2>&1 | grep -q "Monitor of ZelmarPipeWire" && break; sleep 0.1; done
sink=$(device_number ZelmarPipeWire) monitor=$(device_number "Monitor of ZelmarPipeWire")
[ -n "$sink" ] && [ -n "$monitor" ] || { echo "FAIL: the null sink is not listed"; "$zelmar" devices; exit 1; }

"$zelmar" tone -o "$dir/tone.wav" --freq 1000 --amplitude 50 --seconds 3 > /dev/null
# Both generations of capture and playback.
for gen in 1 2; do
  ( sleep 0.5; "$zelmar" play --gen "$gen" --device "$sink" "$dir/tone.wav" > "$dir/play.log" 2>&1 ) &
  player=$!
  expect "record from the monitor (generation $gen)" 0 "4\.00 s of PCM 16000 Hz" -- \
    "$zelmar" record --gen "$gen" --device "$monitor" --seconds 4 "$dir/back$gen.wav"
  wait $player
  grep -q "played 3.00 s" "$dir/play.log" || fail "play (generation $gen): $(cat "$dir/play.log")"
  # PipeWire mixes the stereo sink's monitor down to a mono stream at +3 dB (PulseAudio at
  # 0 dB): the 50 % tone (RMS 0.354) comes back at 0.354 to 0.5.
  read -r hz rms _ < <(measure "$dir/back$gen.wav" trim 1.8 1)
  within "$rms" 0.33 0.52 && within "$hz" 980 1020 || fail "generation $gen heard RMS $rms at $hz Hz, played RMS 0.354 at 1000 Hz"
  echo "PipeWire loopback, generation $gen: heard RMS $rms at $hz Hz"
done
if [ -n "$tests" ]; then
  ZELMAR_TEST_SINK=pipewire "$tests" --gtest_filter=SoundServer.AWriteIntoWhatTheServerHoldsReplacesIt > "$dir/gtest.log" 2>&1
  if grep -q "PASSED .* 1 test\." "$dir/gtest.log" && ! grep -q SKIPPED "$dir/gtest.log"; then
    echo "PipeWire: a write into the server's queue replaces what it held"
  else
    fail "a write into the server's queue on PipeWire: $(grep -E 'Failure|Which|Expected|SKIPPED' "$dir/gtest.log" | head -5)"
  fi
fi
finish "PipeWire loopback"
