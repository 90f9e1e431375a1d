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
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }  # within VALUE LOW HIGH
within_2db() { within "$1" "$(awk -v e="$2" 'BEGIN { print e * 0.794 }')" "$(awk -v e="$2" 'BEGIN { print e * 1.259 }')"; }
measure() {  # measure FILE [sox effects...]: "FREQUENCY RMS SECONDS" by sox (its rough frequency);
             # a .raw file is 16 kHz 16-bit mono
  local file=$1; shift
  local format=()
  [[ "$file" == *.raw ]] && format=(-t raw -r 16000 -e signed -b 16 -c 1)
  sox "${format[@]}" "$file" -n "$@" stat 2>&1 | awk '/Rough/ {f=$3} /RMS +amp/ {r=$3} /Length/ {l=$3} END {print f, r, l}'
}
voice_on() {  # voice_on OPTION NAME ARGS...: zelmar voice with OPTION set to NAME's number; a run
              # that opened another device (other tests renumbered them meanwhile) is made again
  local option=$1 name=$2 try out status; shift 2
  for try in 1 2 3; do
    out=$("$zelmar" voice "$option" "$(device_number "$name")" "$@" 2>&1); status=$?
    if grep -qF "($name)" <<<"$out"; then echo "$out"; return $status; fi
  done
  echo "$out"
  return 1
}
