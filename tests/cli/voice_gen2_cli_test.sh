#!/usr/bin/env bash
# zelmar voice --gen 2 on the private PulseAudio server that `./run test` starts: the voice
# path captures a tone from a null sink's monitor through "DSoundAudioIn2" and plays its test
# tone into the sink through "DSoundAudioOut2"; sox measures what each side carried.  Then the
# option's refusals.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"
if [ -z "${ZELMAR_TEST_SINK:-}" ]; then
  echo "SKIP: no sound server (ZELMAR_TEST_SINK is unset; ./run test starts one)"
  exit 77
fi
sink=${ZELMAR_TEST_SINK}_gen2_$$
description=Gen2VoiceSink$$
own_null_sink "$sink" "$description"
cd "$dir"

# rms_hz FILE [sox effects...]: "FREQUENCY RMS" by sox; a .raw file is 16 kHz 16-bit mono.
rms_hz() {
  local file=$1; shift
  local format=()
  [[ "$file" == *.raw ]] && format=(-t raw -r 16000 -e signed -b 16 -c 1)
  sox "${format[@]}" "$file" -n "$@" stat 2>&1 | awk '/Rough/ {f=$3} /RMS +amplitude/ {r=$3} END {print f, r}'
}
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }
# voice_on OPTION NAME ARGS...: as voice_devices_cli_test.sh, the run is made again when
# another test renumbered the devices meanwhile.
voice_on() {
  local option=$1 name=$2; shift 2
  local try out status
  for try in 1 2 3; do
    out=$("$zelmar" voice --gen 2 "$option" "$(device_number "$name")" "$@" 2>&1); status=$?
    if grep -qF "($name)" <<<"$out"; then echo "$out"; return $status; fi
  done
  echo "$out"
  return 1
}

# Capture: 1000 Hz at half scale (RMS 0.354) played into the sink; the source stage is what
# DSoundAudioIn2 delivered.  A fresh null sink may hold audio back for 2 s: the last second counts.
sox -n -r 16000 -c 1 -b 16 "$dir/tone.wav" synth 14 sine 1000 vol 0.5
paplay --device="$sink" "$dir/tone.wav" &
player=$!
out=$(voice_on --capture "Monitor of $description" --seconds 4 -o "$dir/captured.wav" --record-at source) ||
  fail "voice --gen 2 --capture: $out"
kill "$player" 2>/dev/null; wait "$player" 2>/dev/null
grep -q "^source  *DSoundAudioIn2 " <<<"$out" || fail "the source stage is not DSoundAudioIn2: $out"
read -r hz rms < <(rms_hz "$dir/voice-source.wav" trim 3)
echo "DSoundAudioIn2 delivered ${hz} Hz, RMS ${rms} (sent 0.3536)"
within "$hz" 980 1020 && within "$rms" 0.334 0.374 || fail "captured ${hz} Hz, RMS ${rms}"

# Playback: the path's 440 Hz test tone through DSoundAudioOut2, recorded from the monitor: all
# of it, at the offline run's level (2 dB).
parec --device="$sink.monitor" --format=s16le --rate=16000 --channels=1 --raw >"$dir/heard.raw" &
recorder=$!
out=$(voice_on --playback "$description" --generator --seconds 4) || fail "voice --gen 2 --playback: $out"
kill "$recorder" 2>/dev/null; wait "$recorder" 2>/dev/null
grep -q "^playback  *DSoundAudioOut2 " <<<"$out" || fail "the playback stage is not DSoundAudioOut2: $out"
# All 4 s of the tone were heard: none of it went into the muted blocks.
heard=$(sox -t raw -r 16000 -e signed -b 16 -c 1 "$dir/heard.raw" -n silence 1 0.005 0.5% reverse silence 1 0.005 0.5% \
        reverse stat 2>&1 | awk '/Length/ {print $3}')
within "$heard" 3.9 4.3 || fail "the tone was heard for ${heard} s, not 4 s"
seconds=$(awk -v b="$(stat -c %s "$dir/heard.raw")" 'BEGIN { print b / 32000 }')
read -r hz rms < <(rms_hz "$dir/heard.raw" trim "$(awk -v s="$seconds" 'BEGIN { print s - 2.5 }')" 1)
"$zelmar" voice --generator --seconds 4 -o "$dir/generated.wav" >/dev/null 2>&1 || fail "offline generator run"
read -r _ expected < <(rms_hz "$dir/generated.wav" trim 2 1)
echo "DSoundAudioOut2 played ${hz} Hz, RMS ${rms} (offline: ${expected})"
within "$hz" 430 450 || fail "played tone at $hz Hz"
within "$rms" "$(awk -v e="$expected" 'BEGIN { print e * 0.794 }')" "$(awk -v e="$expected" 'BEGIN { print e * 1.259 }')" ||
  fail "played tone RMS $rms, not within 2 dB of $expected"

cases <<'EOF'
1 | --gen takes 1 or 2                  | voice --gen 1.5 --playback -1
1 | between 1 and 2                     | voice --gen 3 --capture -1
1 | give --capture or --playback        | voice --gen 2 --generator
1 | --gen 1 does not go with it         | voice --gen 1 --aec --capture -1 --playback -1
EOF
finish "voice --gen 2 on sound devices"
