#!/usr/bin/env bash
# The demo: the engine's main job on its embedded default.
set -euo pipefail
build=$1; shift
zelmar="$build/bin/zelmar"
out=${ZELMAR_DEMO_OUT:-demo-tone.wav}
echo "demo: a 440 Hz tone through WaveGeneratorAudioIn into RIFFAudioOut"
"$zelmar" tone -o "$out" --freq 440 --seconds 2 "$@"
"$zelmar" info "$out"
