#!/usr/bin/env bash
# zelmar devices, record and play on the virtual devices (present with or without a sound
# server): listing, a timed recording, a played file, and refused arguments.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"

list=$("$zelmar" devices 2>&1) || fail "devices exits non-zero: $list"
capture=$(grep -E '^ +[0-9]+  Zelmar virtual capture' <<<"$list" | awk '{print $1}')
playback=$(grep -E '^ +[0-9]+  Zelmar virtual playback' <<<"$list" | awk '{print $1}')
[ -n "$capture" ] && [ -n "$playback" ] || fail "virtual devices not listed: $list"
grep -q '^capture:' <<<"$list" && grep -q '^playback:' <<<"$list" || fail "sections missing: $list"

out=$("$zelmar" record --device "$capture" --seconds 0.5 "$dir/r.wav" 2>&1) || fail "record: $out"
info=$("$zelmar" info "$dir/r.wav" 2>&1)
grep -q "16000 bytes, 0.500 s" <<<"$info" || fail "recording length: $info"

"$zelmar" tone -o "$dir/t.wav" --seconds 0.3 --rate 16000 >/dev/null 2>&1 || fail "tone"
out=$("$zelmar" play --device "$playback" "$dir/t.wav" 2>&1)
grep -q "played 0.30 s" <<<"$out" || fail "play: $out"

out=$("$zelmar" play --device 16 "$dir/t.wav" 2>&1) && fail "device 16 accepted"
grep -q "between -1 and 15" <<<"$out" || fail "device range message: $out"
out=$("$zelmar" record --seconds 0.2 2>&1) && fail "record without a file accepted"
finish "device commands"
