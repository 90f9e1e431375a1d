#!/usr/bin/env bash
# Instructions per 20 ms frame of the Siren14 encoder and decoder, counted by callgrind over
# the benchmark's 60 s of test signals (3000 frames per mode).  Unlike timings, the counts do
# not depend on what else the machine is running.
#   bench/siren14_instructions.sh BUILD_DIR [encode|decode]
set -euo pipefail
build=$1
directions=${2:-encode decode}
program="$build/bin/siren14_instructions"
[ -x "$program" ] || { echo "no $program (build the target siren14_instructions)"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "| direction | mode | instructions per frame |"
echo "|---|---|---|"
for direction in $directions; do
  for mode in 7k_24k 7k_32k 14k_24k 14k_32k 14k_48k; do
    valgrind --tool=callgrind --callgrind-out-file="$out/cg" --toggle-collect="zelmar::siren14_${direction}(*" \
      "$program" "$direction" "$mode" >/dev/null 2>"$out/log"
    total=$(callgrind_annotate "$out/cg" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1; exit}')
    echo "| $direction | $mode | $((total / 3000)) |"
  done
done
