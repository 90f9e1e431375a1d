#!/usr/bin/env bash
# zelmar chain with the pre-processor and the amplifier on espeak-ng speech: the pre-roll
# protocol (output grows by the replayed pre-roll), the per-second meter, and the gain.
set -u
zelmar=$1
speech=$2
source "$(dirname "$0")/checks.sh"
# 12 sentences with 1 s pauses: each pause fades and mutes, each sentence replays 40 ms of
# pre-roll first (12 x 40 ms = 0.48 s more output than input).
expect "gated speech with pre-roll" 0 "in 46.315 s .* out 46.795 s" -- \
  "$zelmar" chain -i "$speech" -o "$dir/gated.wav" \
  "PreProcessAudioFilter:GateThreshold=-1,FadeoutTime=100,GateTime=300"
expect "meter lines" 0 "meter +2.00 s PreProcessAudioFilter: peak +-[0-9.]+ dBFS, gate (open|muted)" -- \
  "$zelmar" chain -i "$speech" -o "$dir/meter.wav" --meter --block 10 \
  "PreProcessAudioFilter:Auto=1,VADType=2,EnableNS=1,GateTime=300,FadeoutTime=200"
expect "pre-roll calls metered" 0 "pre-roll calls" -- \
  "$zelmar" chain -i "$speech" -o "$dir/meter.wav" --meter --block 10 \
  "PreProcessAudioFilter:Auto=1,VADType=2,GateTime=300,FadeoutTime=200"
expect "amplifier halves" 0 "" -- "$zelmar" chain -i "$speech" -o "$dir/half.wav" "AmplifierAudioFilter:Gain=50"
expect "amplifier output 6 dB down" 0 "peak +-8\.9[0-9] dBFS" -- "$zelmar" info "$dir/half.wav"
expect "amplifier meter" 0 "meter +1.00 s AmplifierAudioFilter: peak" -- \
  "$zelmar" chain -i "$speech" -o "$dir/half.wav" --meter "AmplifierAudioFilter:Gain=50"
expect "refused value" 1 "refused AttackTime=0" -- \
  "$zelmar" chain -i "$speech" -o "$dir/x.wav" "PreProcessAudioFilter:AttackTime=0"
finish "pre-processor chain"
