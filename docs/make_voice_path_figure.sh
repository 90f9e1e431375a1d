#!/usr/bin/env bash
# Draws docs/figures/voice_path.png from docs/voice-path.dot with Graphviz.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/docs/figures"
dot -Tpng -Gdpi=110 "$root/docs/voice-path.dot" -o "$root/docs/figures/voice_path.png"
echo "wrote docs/figures/voice_path.png"
