#!/usr/bin/env bash
# The command-line host end to end: commands work, and bad input gets a one-line message
# and a non-zero exit.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"
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
expect "non-audio file" 1 "is not an audio file zelmar can read" -- "$zelmar" info "$dir/text.wav"
expect "bad number" 1 "--freq expects a number" -- "$zelmar" tone -o "$dir/x.wav" --freq abc
expect "out of range" 1 "--amplitude must be between 0 and 100" -- "$zelmar" tone -o "$dir/x.wav" --amplitude 120
expect "missing output" 1 "needs an output file" -- "$zelmar" tone
expect "unknown option" 1 "unknown option --bogus" -- "$zelmar" tone -o "$dir/x.wav" --bogus 1
# The voice path end to end, offline: every stage present in the library runs, the table
# names each stage, and the output is a WAV file of about the source's duration.
expect "voice runs on the embedded default" 0 "^sink +RIFFAudioOut" -- "$zelmar" voice -o "$dir/v/out.wav" --seconds 3
expect "voice output is 32 kHz or 16 kHz PCM" 0 "PCM (32000|16000) Hz, 16-bit, mono" -- "$zelmar" info "$dir/v/out.wav"
# Every frame the channel loses is concealed by the decoder, and none is counted twice.
voice=$("$zelmar" voice -o "$dir/v/l.wav" --seconds 3 --loss 10 --seed 3 2>&1)
lost=$(sed -nE 's/.* ([0-9]+) sent, ([0-9]+) lost.*/\2/p' <<<"$voice")
sent=$(sed -nE 's/.* ([0-9]+) sent, ([0-9]+) lost.*/\1/p' <<<"$voice")
concealed=$(sed -nE 's/.*decoded, ([0-9]+) concealed.*/\1/p' <<<"$voice")
decoded=$(sed -nE 's/.* ([0-9]+) decoded, .*/\1/p' <<<"$voice")
if [ -z "$lost" ] || [ "$lost" -lt 5 ] || [ "$lost" != "$concealed" ] || [ $((decoded + concealed)) != "$sent" ]; then
  fail "voice loss accounting (sent $sent lost $lost decoded $decoded concealed $concealed): $voice"
fi
expect "voice records a stage" 0 "recorded .*voice-decode.wav" -- "$zelmar" voice -o "$dir/v/r.wav" --seconds 1 --record-at decode,source
# Real time on loopback: a loaded machine (the sanitizer build beside other work) has been seen
# to let one 100 ms receive wait run out; more than two means the path itself is broken.
expect "voice over UDP" 0 "UDPAudioOut -> UDPAudioIn +[0-9,]+ +[0-9,]+ .* [012] receive" -- "$zelmar" voice -o "$dir/v/u.wav" --seconds 1 --network udp
expect "voice from a file" 0 "source +RIFFAudioIn" -- "$zelmar" voice --input "$dir/sub/dir/t.wav" -o "$dir/v/f.wav"
expect "voice bad stage" 1 "--record-at knows" -- "$zelmar" voice -o "$dir/v/x.wav" --record-at nowhere
expect "voice bad network" 1 "--network is channel or udp" -- "$zelmar" voice --network carrier-pigeon
expect "voice bad loss" 1 "--loss must be between 0 and 100" -- "$zelmar" voice --loss 101
expect "voice jitter needs the channel" 1 "shape the in-process channel" -- "$zelmar" voice --network udp --jitter 5
[ $(wc -l < <("$zelmar" info "$dir/none.wav" 2>&1)) -eq 1 ] || fail "error is one line"
finish "command line"
