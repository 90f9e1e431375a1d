#!/usr/bin/env bash
# zelmar volume and the volume line of zelmar record, on a PulseAudio server of this script's
# own (started as tests/sound_server.sh starts the suite's, so no other test renumbers its
# devices) with a null source; pactl checks what reached the server.
set -u
zelmar=$1
here="$(dirname "$0")"
source "$here/checks.sh"
source "$here/../sound_server.sh"
start_sound_server
trap 'stop_sound_server; rm -rf "$dir"' EXIT
require_sound_server
pactl load-module module-null-source source_name=cli_source description=VolumeCli >/dev/null ||
  { echo "FAIL: cannot load a null source"; exit 1; }
n=$("$zelmar" volume | grep -E "  VolumeCli\$" | awk '{print $1}')
[ -n "$n" ] || { echo "FAIL: VolumeCli not listed: $("$zelmar" volume 2>&1)"; exit 1; }

expect "listing" 0 "^ +$n  volume 100% \(65535\)  mute off  VolumeCli\$" -- "$zelmar" volume
# 50 % is 32768 of 65535, the scalar 0.5000076 of the server's 65536.
expect "set 50% and mute" 0 "volume  50% \(32768\)  mute on " -- "$zelmar" volume --device "$n" --set 50% --mute on
pactl get-source-volume cli_source | grep -q "32769 /  50%" || fail "server volume: $(pactl get-source-volume cli_source)"
pactl get-source-mute cli_source | grep -q yes || fail "server mute: $(pactl get-source-mute cli_source)"
# The legacy mixer's value is the server's own.
expect "legacy set 10%" 0 "\( *6554\)  mute off" -- "$zelmar" volume --legacy --device "$n" --set 10 --mute off
pactl get-source-volume cli_source | grep -q "6554 /  10%" || fail "legacy server volume: $(pactl get-source-volume cli_source)"
pactl get-source-mute cli_source | grep -q no || fail "legacy server mute: $(pactl get-source-mute cli_source)"
# record reads it through the endpoint: 6554 / 65536 of 65535, truncated, is 6553.
expect "record names the volume" 0 "capture device $n: volume 10% \(655[34]\)" -- "$zelmar" record --device "$n" --seconds 0.3 "$dir/r.wav"

expect "101%" 1 "percentage 0..100" -- "$zelmar" volume --device "$n" --set 101%
expect "mute maybe" 1 "on or off" -- "$zelmar" volume --device "$n" --mute maybe
expect "no device" 1 "need --device" -- "$zelmar" volume --set 5%
expect "device past the list" 1 "capture device 99 does not exist \(0\.\.[0-9]+; see zelmar volume\)$" -- "$zelmar" volume --device 99 --set 5%
finish "volume"
