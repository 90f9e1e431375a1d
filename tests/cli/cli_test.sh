#!/usr/bin/env bash
# The command-line host end to end: commands work, and bad input gets a one-line message
# and a non-zero exit.
set -u
zelmar=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
expect() {  # expect DESCRIPTION STATUS PATTERN -- COMMAND...
  local what=$1 status=$2 pattern=$3; shift 4
  local out; out=$("$@" 2>&1); local got=$?
  if [ "$got" != "$status" ] || ! grep -qE -- "$pattern" <<<"$out"; then
    echo "FAIL: $what (status $got, wanted $status; output: $out)"; failures=$((failures+1))
  fi
}
expect "help lists commands" 0 "tone.*info|info" -- "$zelmar" --help
expect "per-command help" 0 "usage: zelmar tone" -- "$zelmar" tone --help
expect "help COMMAND" 0 "usage: zelmar info" -- "$zelmar" help info
expect "unknown command" 1 "^zelmar: no command 'bogus'" -- "$zelmar" bogus
expect "tone writes a file" 0 "wrote .*1.000 s of 1000 Hz" -- "$zelmar" tone -o "$dir/sub/dir/t.wav" --freq 1000 --seconds 1 --amplitude 50 --rate 16000
expect "info reads it back" 0 "PCM 16000 Hz, 16-bit, mono" -- "$zelmar" info "$dir/sub/dir/t.wav"
# A 50 % sine peaks at 0.5 (-6.02 dBFS) with RMS 0.5/sqrt(2) (-9.03 dBFS).
expect "info levels" 0 "peak +-6.0[0-9] dBFS, RMS +-9.0[0-9] dBFS" -- "$zelmar" info "$dir/sub/dir/t.wav"
expect "info duration" 0 "32000 bytes, 1.000 s" -- "$zelmar" info "$dir/sub/dir/t.wav"
expect "missing file" 1 "^zelmar: cannot open" -- "$zelmar" info "$dir/none.wav"
echo "not a wave file" > "$dir/text.wav"
expect "non-WAV file" 1 "is not a WAV file" -- "$zelmar" info "$dir/text.wav"
expect "bad number" 1 "--freq expects a number" -- "$zelmar" tone -o "$dir/x.wav" --freq abc
expect "out of range" 1 "--amplitude must be between 0 and 100" -- "$zelmar" tone -o "$dir/x.wav" --amplitude 120
expect "missing output" 1 "needs an output file" -- "$zelmar" tone
expect "unknown option" 1 "unknown option --bogus" -- "$zelmar" tone -o "$dir/x.wav" --bogus 1
[ $(wc -l < <("$zelmar" info "$dir/none.wav" 2>&1)) -eq 1 ] || { echo "FAIL: error is one line"; failures=$((failures+1)); }
[ $failures -eq 0 ] && echo "command line: all checks passed"
exit $failures
