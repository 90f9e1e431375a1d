#!/usr/bin/env bash
# zelmar voice --gen 2 on the private PulseAudio server that `./run test` starts: the voice
# path captures a tone from a null sink's monitor through "DSoundAudioIn2" and plays its test
# tone into the sink through "DSoundAudioOut2", all of it (none in the muted first blocks);
# sox measures both.  Then the option's refusals.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"
require_sound_server
sink=${ZELMAR_TEST_SINK}_gen2_$$
description=Gen2VoiceSink$$
own_null_sink "$sink" "$description"
cd "$dir"

# 1000 Hz at RMS 0.354 into the sink; a fresh null sink may hold audio back for 2 s.
sox -n -r 16000 -c 1 -b 16 "$dir/tone.wav" synth 14 sine 1000 vol 0.5
paplay --device="$sink" "$dir/tone.wav" & player=$!
out=$(voice_on --capture "Monitor of $description" --gen 2 --seconds 4 -o "$dir/captured.wav" --record-at source)
kill "$player"; wait "$player" 2>/dev/null
grep -q "^source  *DSoundAudioIn2 " <<<"$out" || fail "the source stage is not DSoundAudioIn2: $out"
read -r hz rms _ < <(measure "$dir/voice-source.wav" trim 3)
within "$hz" 980 1020 && within "$rms" 0.334 0.374 || fail "DSoundAudioIn2 delivered ${hz} Hz, RMS ${rms}"

# The path's 4 s of 440 Hz through DSoundAudioOut2, from the monitor: all of it, at the offline level.
parec --device="$sink.monitor" --format=s16le --rate=16000 --channels=1 --raw >"$dir/heard.raw" & recorder=$!
out=$(voice_on --playback "$description" --gen 2 --generator --seconds 4)
kill "$recorder"; wait "$recorder" 2>/dev/null
grep -q "^playback  *DSoundAudioOut2 " <<<"$out" || fail "the playback stage is not DSoundAudioOut2: $out"
read -r _ _ seconds < <(measure "$dir/heard.raw" silence 1 0.005 0.5% reverse silence 1 0.005 0.5% reverse)
# The level of its second second (the noise suppressor takes a steady tone down as it goes).
read -r hz rms _ < <(measure "$dir/heard.raw" silence 1 0.005 0.5% trim 1 1)
"$zelmar" voice --generator --seconds 4 -o "$dir/generated.wav" >/dev/null 2>&1 || fail "offline generator run"
read -r _ expected _ < <(measure "$dir/generated.wav" silence 1 0.005 0.5% trim 1 1)
within "$hz" 430 450 && within "$seconds" 3.9 4.3 || fail "DSoundAudioOut2 played ${hz} Hz for ${seconds} s, not 440 Hz for 4 s"
within_2db "$rms" "$expected" || fail "DSoundAudioOut2 played RMS $rms, not within 2 dB of $expected"

cases <<'EOF'
1 | --gen takes 1 or 2                  | voice --gen 1.5 --playback -1
1 | between 1 and 2                     | voice --gen 3 --capture -1
1 | give --capture or --playback        | voice --gen 2 --generator
1 | --gen 1 does not go with it         | voice --gen 1 --aec --capture -1 --playback -1
EOF
finish "voice --gen 2 on sound devices"
