#!/usr/bin/env bash
# Runs every benchmark program of an optimised build.  Each program measures the engine and
# its anchor library in the same run and prints them side by side (median of repetitions).
#   bench/run_all.sh BUILD_DIR [FILTER]     FILTER: a substring of the program names
set -euo pipefail
build=$1
filter=${2:-}
found=0
for program in "$build"/bin/*_bench; do
  [ -x "$program" ] || continue
  name=$(basename "$program")
  [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
  found=1
  echo "=== $name"
  "$program" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
             --benchmark_display_aggregates_only=true
done
# The echo canceller's report (its data files go to a scratch folder; docs/make_echo_figures.sh
# keeps them as plots).
if [ -x "$build/bin/echo_report" ] && { [ -z "$filter" ] || [[ echo_report == *"$filter"* ]]; }; then
  found=1
  echo "=== echo_report"
  data=$(mktemp -d)
  "$build/bin/echo_report" "$data"
  rm -rf "$data"
fi
[ $found -eq 1 ] || echo "no benchmark programs${filter:+ matching '$filter'} in $build/bin"
