#!/usr/bin/env bash
# Makes a speech test recording with espeak-ng: sentences spoken one after another with a
# fixed pause between them, resampled to 16-bit mono PCM at the asked rate.
#
#   tests/make_speech.sh OUT.wav [RATE_HZ] [PAUSE_S] [VOICE]
#
# The output is deterministic for a given espeak-ng and sox version.  Sentences come from
# ZELMAR_SPEECH_TEXT (one per line) when set, else from the built-in list.
set -euo pipefail
out=${1:?usage: make_speech.sh OUT.wav [RATE_HZ] [PAUSE_S] [VOICE]}
rate=${2:-16000}
pause=${3:-1.0}
voice=${4:-en-us}

for tool in espeak-ng sox; do
  command -v "$tool" >/dev/null || { echo "make_speech.sh: $tool is not installed" >&2; exit 1; }
done

default_text="The birch canoe slid on the smooth planks.
Glue the sheet to the dark blue background.
It is easy to tell the depth of a well.
These days a chicken leg is a rare dish.
Rice is often served in round bowls.
The juice of lemons makes fine punch.
The box was thrown beside the parked truck.
The hogs were fed chopped corn and garbage.
Four hours of steady work faced us.
A large size in stockings is hard to sell.
The boy was there when the sun rose.
A rod is used to catch pink salmon."
text=${ZELMAR_SPEECH_TEXT:-$default_text}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
parts=()
index=0
# (-R -D: repeatable, no dither; each sentence peaks at -3 dBFS.)
# Leading pause too, so a recording starts in silence as a capture would.
sox -R -D -n -r "$rate" -c 1 -b 16 "$work/pause.wav" trim 0 "$pause"
parts+=("$work/pause.wav")
while IFS= read -r sentence; do
  [ -n "$sentence" ] || continue
  index=$((index + 1))
  espeak-ng -v "$voice" -s 150 -w "$work/raw$index.wav" "$sentence"
  sox -R -D "$work/raw$index.wav" -r "$rate" -c 1 -b 16 "$work/part$index.wav" gain -n -3
  parts+=("$work/part$index.wav" "$work/pause.wav")
done <<< "$text"
mkdir -p "$(dirname "$out")"
sox -R -D "${parts[@]}" -r "$rate" -c 1 -b 16 -e signed-integer "$out"
