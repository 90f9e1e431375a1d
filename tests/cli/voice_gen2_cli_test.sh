#!/usr/bin/env bash
# zelmar voice --gen 2 on the private PulseAudio server that `./run test` starts: the voice
# path captures a tone from a null sink's monitor through "DSoundAudioIn2" and plays its test
# tone into the sink through "DSoundAudioOut2", all of it (none in the muted first blocks);
# sox measures both.  Then the option's refusals.
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

# stat_of FILE [sox effects...]: "FREQUENCY RMS LENGTH" by sox; a .raw file is 16 kHz 16-bit mono.
stat_of() {
  local file=$1; shift
  local format=()
  [[ "$file" == *.raw ]] && format=(-t raw -r 16000 -e signed -b 16 -c 1)
  sox "${format[@]}" "$file" -n "$@" stat 2>&1 | awk '/Rough/ {f=$3} /RMS +amp/ {r=$3} /Length/ {l=$3} END {print f, r, l}'
}
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }
# voice_on OPTION NAME ARGS...: made again when other tests renumbered the devices meanwhile.
voice_on() {
  local option=$1 name=$2 try out; shift 2
  for try in 1 2 3; do
    out=$("$zelmar" voice --gen 2 "$option" "$(device_number "$name")" "$@" 2>&1) && grep -qF "($name)" <<<"$out" && break
  done
  echo "$out"
}

# 1000 Hz at RMS 0.354 into the sink; a fresh null sink may hold audio back for 2 s.
sox -n -r 16000 -c 1 -b 16 "$dir/tone.wav" synth 14 sine 1000 vol 0.5
paplay --device="$sink" "$dir/tone.wav" & player=$!
out=$(voice_on --capture "Monitor of $description" --seconds 4 -o "$dir/captured.wav" --record-at source)
kill "$player"; wait "$player" 2>/dev/null
grep -q "^source  *DSoundAudioIn2 " <<<"$out" || fail "the source stage is not DSoundAudioIn2: $out"
read -r hz rms _ < <(stat_of "$dir/voice-source.wav" trim 3)
within "$hz" 980 1020 && within "$rms" 0.334 0.374 || fail "DSoundAudioIn2 delivered ${hz} Hz, RMS ${rms}"

# The path's 4 s of 440 Hz through DSoundAudioOut2, from the monitor: all of it, at the offline level.
parec --device="$sink.monitor" --format=s16le --rate=16000 --channels=1 --raw >"$dir/heard.raw" & recorder=$!
out=$(voice_on --playback "$description" --generator --seconds 4)
kill "$recorder"; wait "$recorder" 2>/dev/null
grep -q "^playback  *DSoundAudioOut2 " <<<"$out" || fail "the playback stage is not DSoundAudioOut2: $out"
read -r _ _ seconds < <(stat_of "$dir/heard.raw" silence 1 0.005 0.5% reverse silence 1 0.005 0.5% reverse)
# The level of its second second (the noise suppressor takes a steady tone down as it goes).
read -r hz rms _ < <(stat_of "$dir/heard.raw" silence 1 0.005 0.5% trim 1 1)
"$zelmar" voice --generator --seconds 4 -o "$dir/generated.wav" >/dev/null 2>&1 || fail "offline generator run"
read -r _ expected _ < <(stat_of "$dir/generated.wav" silence 1 0.005 0.5% trim 1 1)
within "$hz" 430 450 && within "$seconds" 3.9 4.3 || fail "DSoundAudioOut2 played ${hz} Hz for ${seconds} s, not 440 Hz for 4 s"
within "$rms" "$(awk -v e="$expected" 'BEGIN { print e * 0.794 }')" "$(awk -v e="$expected" 'BEGIN { print e * 1.259 }')" ||
  fail "DSoundAudioOut2 played RMS $rms, not within 2 dB of $expected"

cases <<'EOF'
1 | --gen takes 1 or 2                  | voice --gen 1.5 --playback -1
1 | between 1 and 2                     | voice --gen 3 --capture -1
1 | give --capture or --playback        | voice --gen 2 --generator
1 | --gen 1 does not go with it         | voice --gen 1 --aec --capture -1 --playback -1
EOF
finish "voice --gen 2 on sound devices"
