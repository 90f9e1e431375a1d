#!/usr/bin/env bash
# Recordings end as finished WAV files whatever ends them (SIGINT, SIGTERM, a file system that
# refuses the rest, a header that never reaches the disk); zelmar repair for the files of a
# recorder that died; a file with a pad byte before its data; a damaged companion library.
set -u
zelmar=$1
companion=$2  # the built libZelmarEC.so
engine=$3     # the built libzelmar.so
source "$(dirname "$0")/checks.sh"

size() { stat -c %s "$1"; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
# finished FILE: the two sizes of its 46-byte PCM header count exactly what the file holds.
finished() { local n; n=$(size "$1"); [ "$(u32 "$1" 4)" = $((n - 8)) ] && [ "$(u32 "$1" 42)" = $((n - 46)) ]; }
# grown FILE BYTES PID: waits, polling without sleeping, until FILE holds more than BYTES;
# false if PID ends first.
grown() {
  local i
  for ((i = 0; i < 200000; i++)); do
    [ -e "$1" ] && [ "$(size "$1")" -gt "$2" ] && return 0
    kill -0 "$3" 2>/dev/null || return 1
  done
  return 1
}
# stopped SIGNAL STATUS FILE COMMAND...: COMMAND writing FILE is sent SIGNAL once FILE holds
# audio; it must exit with STATUS, say why, and leave FILE finished and readable.
stopped() {
  local signal=$1 status=$2 file=$3; shift 3
  # With job control a background command keeps SIGINT (a script's would start it ignored).
  set -m
  "$@" >"$dir/stopped.out" 2>&1 &
  local pid=$!
  set +m
  grown "$file" 6446 $pid || fail "$signal: $* never got going: $(cat "$dir/stopped.out")"
  kill -s "$signal" $pid
  wait $pid
  local got=$?
  [ $got = "$status" ] || fail "$signal: exit $got, wanted $status: $(cat "$dir/stopped.out")"
  grep -q "stopped by SIG$signal" "$dir/stopped.out" || fail "$signal: no word of it: $(cat "$dir/stopped.out")"
  finished "$file" || fail "$signal: $file sizes $(u32 "$file" 4) $(u32 "$file" 42) for $(size "$file") bytes"
  local info; info=$("$zelmar" info "$file" 2>&1)
  grep -q "never finished" <<<"$info" && fail "$signal: $file read as unfinished: $info"
  grep -q "$(( $(size "$file") - 46 )) bytes" <<<"$info" || fail "$signal: info disagrees: $info"
}

stopped INT 130 "$dir/rec.wav" "$zelmar" record --seconds 60 "$dir/rec.wav"
stopped TERM 143 "$dir/tone.wav" "$zelmar" tone --realtime --seconds 60 -o "$dir/tone.wav"

# A file size limit of 64 KiB (SIGXFSZ ignored, so writes fail instead): the recording stops
# where the file system stopped taking it, says so, exits 1, and the file is finished.
out=$( (trap '' XFSZ; ulimit -f 64; "$zelmar" record --seconds 4 "$dir/limited.wav") 2>&1 ); status=$?
[ $status = 1 ] || fail "limited record exit $status: $out"
grep -q "took [0-9]* of 320 bytes" <<<"$out" || fail "limited record message: $out"
grep -q "keeps the 2.05 s written" <<<"$out" || fail "limited record says what it kept: $out"
[ "$(size "$dir/limited.wav")" = 65536 ] && finished "$dir/limited.wav" || fail "limited file not finished"
# Not even the header fits: refused at once.
out=$( (trap '' XFSZ; ulimit -f 0; "$zelmar" tone -o "$dir/none.wav" --seconds 1) 2>&1 ); status=$?
[ $status = 1 ] && grep -q "header did not reach the file" <<<"$out" || fail "header-less tone: $status $out"

# repair: a tone written and finished, then the same file with its sizes zeroed (as a killed
# recorder leaves it) and a torn last frame: repair must give back the finished file.
"$zelmar" tone -o "$dir/t.wav" --seconds 1 --freq 1000 >/dev/null 2>&1 || fail "tone"
cp "$dir/t.wav" "$dir/broken.wav"
printf '\0\0\0\0' | dd of="$dir/broken.wav" bs=1 seek=4 conv=notrunc 2>/dev/null
printf '\0\0\0\0' | dd of="$dir/broken.wav" bs=1 seek=42 conv=notrunc 2>/dev/null
printf '\x7f' >>"$dir/broken.wav"
expect "info notes an unfinished file" 0 "zelmar repair .*broken.wav' writes them" -- "$zelmar" info "$dir/broken.wav"
expect "repair writes the sizes" 0 "data size 0 -> 32000 bytes \(1.000 s\), RIFF size 0 -> 32038; cut the last 1" -- \
  "$zelmar" repair "$dir/broken.wav"
cmp -s "$dir/t.wav" "$dir/broken.wav" || fail "repaired file differs from the finished one"
expect "repair leaves right sizes" 0 "the sizes are right .*nothing to repair" -- "$zelmar" repair "$dir/broken.wav"
expect "repair refuses a non-WAV file" 1 "is not a WAV file" -- "$zelmar" repair "$(dirname "$0")/checks.sh"
# A recorder killed outright (SIGKILL): its file has zero sizes; repair makes it readable.
"$zelmar" tone --realtime --seconds 60 -o "$dir/killed.wav" >/dev/null 2>&1 &
pid=$!
grown "$dir/killed.wav" 6446 $pid || fail "killed tone never got going"
kill -s KILL $pid; wait $pid 2>/dev/null
[ "$(u32 "$dir/killed.wav" 42)" = 0 ] || fail "a killed recorder left sizes: $(u32 "$dir/killed.wav" 42)"
expect "repair a killed recording" 0 "data size 0 -> " -- "$zelmar" repair "$dir/killed.wav"
finished "$dir/killed.wav" && [ $(( ($(size "$dir/killed.wav") - 46) % 2 )) = 0 ] || fail "killed file not repaired"

# An odd-sized LIST chunk and its pad byte before "fmt ": a valid file the engine's reader
# cannot scan, read by zelmar itself (the tone's -6.02 dBFS peak comes through).
{ head -c 12 "$dir/t.wav"; printf 'LIST\x03\0\0\0abc\0'; tail -c +13 "$dir/t.wav"; } >"$dir/padded.wav"
expect "padded file info" 0 "32000 bytes, 1.000 s" -- "$zelmar" info "$dir/padded.wav"
expect "padded file levels" 0 "peak +-6.0[0-9] dBFS" -- "$zelmar" info "$dir/padded.wav"
expect "padded file through a chain" 0 "in 1.000 s" -- "$zelmar" chain -i "$dir/padded.wav" -o "$dir/p.wav" MixerAudioFilter
cmp -s "$dir/t.wav" "$dir/p.wav" || fail "padded file's audio changed on its way through"

# A companion library cut short, found beside the engine: refused before it is mapped (no
# SIGBUS), named, and the pre-processor still meters and gates on the input level.
mkdir -p "$dir/lib"
cp "$engine" "$dir/lib/"
head -c 40000 "$companion" >"$dir/lib/$(basename "$companion")"
out=$(LD_LIBRARY_PATH="$dir/lib" "$zelmar" chain -i "$dir/t.wav" -o "$dir/pre.wav" --meter \
      PreProcessAudioFilter:SamplesPerSec=16000,Auto=1 2>&1); status=$?
[ $status = 0 ] || fail "chain with a damaged companion: exit $status: $out"
grep -q "runs without its companion library (.*libZelmarEC.so is cut short" <<<"$out" || fail "no word of the companion: $out"
grep -q "peak  *-6.0 dBFS, gate open" <<<"$out" || fail "meter without the companion: $out"
expect "output is the tone" 0 "peak +-6.0[0-9] dBFS" -- "$zelmar" info "$dir/pre.wav"
out=$(LD_LIBRARY_PATH="$dir/lib" "$zelmar" voice -o "$dir/v.wav" --seconds 1 2>&1); status=$?
[ $status = 0 ] && grep -q "no noise suppression (no companion library)" <<<"$out" || fail "voice notes: $status $out"
finish "recordings"
