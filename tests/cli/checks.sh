# Shared by the command-line test scripts (sourced): a scratch folder removed on exit, failure
# counting, an expectation on a command's exit status and output, and the final verdict.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures+1)); }
expect() {  # expect DESCRIPTION STATUS PATTERN -- COMMAND...
  local what=$1 status=$2 pattern=$3; shift 4
  local out; out=$("$@" 2>&1); local got=$?
  if [ "$got" != "$status" ] || ! grep -qE -- "$pattern" <<<"$out"; then
    fail "$what (status $got, wanted $status; output: $out)"
  fi
}
finish() {  # finish WHAT: prints the verdict and exits 1 on any failure (a count could wrap to 0)
  if [ $failures -eq 0 ]; then echo "$1: all checks passed"; exit 0; fi
  echo "$1: $failures checks failed"; exit 1
}
cases() {  # cases < TABLE: one `STATUS | PATTERN | ARGS...` line a command (ARGS in shell quoting,
           # $dir expands); every command runs as "$zelmar" ARGS and is held to its status and pattern
  local status pattern rest args
  while IFS='|' read -r status pattern rest; do
    [[ -z "${status// }" || $status == \#* ]] && continue
    pattern=$(sed -E 's/^ +| +$//g' <<<"$pattern")
    eval "args=($rest)"
    expect "zelmar ${args[*]}" "${status// }" "$pattern" -- "$zelmar" "${args[@]}"
  done
}
device_number() {  # device_number NAME: the number `zelmar devices` gives NAME now.  Other tests
                   # add and remove null sinks on the same server, which renumbers those after.
  "$zelmar" devices 2>&1 | grep -E "^ +[0-9]+  $1\$" | head -1 | awk '{print $1}'
}
require_sound_server() {  # skips the script (status 77) without the suite's private server
  [ -n "${ZELMAR_TEST_SINK:-}" ] && return 0
  echo "SKIP: no sound server (ZELMAR_TEST_SINK is unset; ./run test starts one)"
  exit 77
}
own_null_sink() {  # own_null_sink NAME DESCRIPTION: a null sink of this script's own on the
                   # suite's server, so tests running in parallel do not hear each other;
                   # unloaded on exit.
  module=$(pactl load-module module-null-sink sink_name="$1" sink_properties=device.description="$2") ||
    { echo "FAIL: cannot load a null sink"; exit 1; }
  trap 'pactl unload-module "$module"; rm -rf "$dir"' EXIT
}
