#!/usr/bin/env bash
# Runs every fuzz target for a bounded time from its corpus in fuzz/corpus/<target>/, two at a
# time, and fails when any of them finds a crash, a leak, a time-out or a broken check.
#   fuzz/run_all.sh BUILD_DIR [SECONDS]
# New inputs the fuzzers find go to BUILD_DIR/fuzz-out/new/<target>/ (never into the
# repository); a failing input is kept as BUILD_DIR/fuzz-out/<target>-crash-<sha1> (or
# -leak-, -timeout-, -oom-), each run's log as BUILD_DIR/fuzz-out/<target>.log.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$1" && pwd)
SECONDS_EACH=${2:-60}
OUT=$BUILD/fuzz-out
TARGETS=(component_api_fuzzer riff_reader_fuzzer siren14_decode_fuzzer udp_receiver_fuzzer ring_buffer_fuzzer
         riff_writer_fuzzer)
rm -rf "$OUT"
mkdir -p "$OUT/new"

# Options beyond the common ones: the component and ring targets' inputs are operation lists
# whose length matters from the start (a ring reaches its deeper states only after dozens of
# calls), so libFuzzer does not grow them slowly.
extra_options() {
  case "$1" in
    component_api_fuzzer) echo "-len_control=0 -max_len=4096" ;;
    ring_buffer_fuzzer) echo "-len_control=0 -max_len=1024" ;;
    *) echo "" ;;
  esac
}

run_one() {
  local target=$1
  mkdir -p "$OUT/new/$target"
  # shellcheck disable=SC2046
  LD_LIBRARY_PATH="$BUILD/lib" ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$BUILD/bin/$target" -max_total_time="$SECONDS_EACH" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$OUT/$target-" $(extra_options "$target") \
      "$OUT/new/$target" "$ROOT/fuzz/corpus/$target" >"$OUT/$target.log" 2>&1
}

# Two at a time, each pair run to its end; a target's exit status is kept beside its log.
report() {
  local target=$1 status
  status=$(cat "$OUT/$target.status" 2>/dev/null || echo missing)
  if [ "$status" = 0 ]; then
    echo "fuzz $target: ok ($(grep -o 'Done [0-9]* runs in [0-9]* second' "$OUT/$target.log" | tail -1))"
    return 0
  fi
  echo "fuzz $target: FAILED (exit $status); log $OUT/$target.log, input:" $(ls "$OUT" | grep "^$target-") >&2
  [ -f "$OUT/$target.log" ] && tail -n 40 "$OUT/$target.log" >&2
  return 1
}

failed=0
for ((i = 0; i < ${#TARGETS[@]}; i += 2)); do
  pair=("${TARGETS[@]:i:2}")
  for target in "${pair[@]}"; do
    if [ -x "$BUILD/bin/$target" ] && [ -d "$ROOT/fuzz/corpus/$target" ]; then
      (run_one "$target"; echo $? >"$OUT/$target.status") &
    else
      echo "fuzz $target: not built or no corpus" >&2
    fi
  done
  wait
  for target in "${pair[@]}"; do report "$target" || failed=$((failed + 1)); done
done
echo "fuzz: $((${#TARGETS[@]} - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
