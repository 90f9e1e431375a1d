#!/usr/bin/env bash
# The demo: the engine's main job, the voice path, on its embedded speech sample.
set -euo pipefail
build=$1; shift
zelmar="$build/bin/zelmar"
out=${ZELMAR_DEMO_OUT:-voice-out.wav}
echo "demo: embedded speech -> pre-processor -> resampler -> Siren14 -> jittery, lossy network"
echo "      -> Siren14 with concealment -> ring buffer on the listener's clock -> $out"
"$zelmar" voice -o "$out" "$@"
"$zelmar" info "$out"
