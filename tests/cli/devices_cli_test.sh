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

# on_device NAME COMMAND...: COMMAND with --device set to NAME's number now.  Other tests add
# and remove null sinks on the same sound server, which renumbers the devices listed after
# theirs (the virtual ones come last), so a number refused as out of range is looked up again.
on_device() {
  local name=$1; shift
  local out status try number
  for try in 1 2 3; do
    number=$("$zelmar" devices 2>&1 | grep -E "^ +[0-9]+  $name" | head -1 | awk '{print $1}')
    out=$("$@" --device "$number" 2>&1); status=$?
    if ! grep -q "refused .*DeviceNo" <<<"$out"; then echo "$out"; return $status; fi
  done
  echo "$out"
  return 1
}

out=$(on_device "Zelmar virtual capture" "$zelmar" record --seconds 0.5 "$dir/r.wav") || fail "record: $out"
info=$("$zelmar" info "$dir/r.wav" 2>&1)
grep -q "16000 bytes, 0.500 s" <<<"$info" || fail "recording length: $info"
out=$(on_device "Zelmar virtual capture" "$zelmar" record --gen 2 --seconds 0.5 "$dir/r2.wav") || fail "record --gen 2: $out"
info=$("$zelmar" info "$dir/r2.wav" 2>&1)
grep -q "16000 bytes, 0.500 s" <<<"$info" || fail "second-generation recording length: $info"

out=$(on_device "Zelmar virtual capture" "$zelmar" record --aec --render -1 --seconds 0.5 "$dir/aec.wav") ||
  fail "record --aec: $out"
grep -q "echo-cancelled" <<<"$out" || fail "record --aec report: $out"
grep -q "16000 bytes, 0.500 s" <<<"$("$zelmar" info "$dir/aec.wav" 2>&1)" || fail "echo-cancelled recording length"

"$zelmar" tone -o "$dir/t.wav" --seconds 0.3 --rate 16000 >/dev/null 2>&1 || fail "tone"
out=$(on_device "Zelmar virtual playback" "$zelmar" play "$dir/t.wav")
grep -q "played 0.30 s" <<<"$out" || fail "play: $out"
out=$(on_device "Zelmar virtual playback" "$zelmar" play --gen 2 "$dir/t.wav")
grep -q "played 0.30 s" <<<"$out" || fail "play --gen 2: $out"

out=$("$zelmar" play --device 16 "$dir/t.wav" 2>&1) && fail "device 16 accepted"
grep -q "between -1 and 15" <<<"$out" || fail "device range message: $out"
out=$("$zelmar" record --seconds 0.2 2>&1) && fail "record without a file accepted"
finish "device commands"
