#!/usr/bin/env bash
# zelmar chain end to end: filters run over WAV files through the public interface, formats
# are converted where a filter needs 16-bit mono, and bad stages end the run with the
# engine's result code.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"
"$zelmar" tone -o "$dir/tone.wav" --rate 16000 --freq 440 --amplitude 50 --seconds 4 >/dev/null || { echo "FAIL: tone"; exit 1; }

expect "help" 0 "usage: zelmar chain" -- "$zelmar" chain --help
expect "one stage, summary line" 0 "^chain: 1 stage, in 4.000 s \(PCM 16000 Hz, 16-bit, mono\), out 4.000 s \(PCM 16000 Hz, 16-bit, mono\), [0-9]+x real time$" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/half.wav" ToneControlAudioFilter:Gain=50
# Half of a 50 % sine peaks at 0.25: -12.04 dBFS.
expect "gain applied" 0 "peak +-12.0[0-9] dBFS" -- "$zelmar" info "$dir/half.wav"
expect "float values go through data" 0 "^chain: 1 stage" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/half2.wav" ToneControlAudioFilter:Gain=50.0
cmp -s "$dir/half.wav" "$dir/half2.wav" || fail "Gain=50.0 differs from Gain=50"
expect "resampler takes the stream's rate" 0 "out 4.000 s \(PCM 8000 Hz, 16-bit, mono\)" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/8k.wav" ResampleAudioFilter:OutSamplesPerSec=8000
expect "resampled file" 0 "PCM 8000 Hz, 16-bit, mono" -- "$zelmar" info "$dir/8k.wav"
# 125 % leaves 4 s / 1.25 = 3.2 s, less the tail still held in the overlap-add (< 64 ms).
expect "speed change shortens" 0 "out 3\.(1[4-9]|20)[0-9] s" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/fast.wav" --block 7 AccelerateAudioFilter:Speed=125
expect "three stages" 0 "^chain: 3 stages.*out 3\.[0-9]+ s \(PCM 32000 Hz" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/three.wav" NoiseGateAudioFilter:Threshold_db=4000 \
  AccelerateAudioFilter:Speed=125 ResampleAudioFilter:OutSamplesPerSec=32000
expect "mixer widens to stereo with a placement" 0 "out 4.000 s \(PCM 16000 Hz, 16-bit, stereo\)" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/stereo.wav" MixerAudioFilter:OutChannels=2,Angle=100
# Angle 100: left at 1177/1024 (+1.21 dB), right at 870/1024 (-1.42 dB) of the -6.02 dBFS tone.
expect "placed left" 0 "left: +peak +-4\.8[0-9] dBFS" -- "$zelmar" info "$dir/stereo.wav"
expect "placed left (right side)" 0 "right: +peak +-7\.4[0-9] dBFS|right: +peak +-7\.3[0-9] dBFS" -- "$zelmar" info "$dir/stereo.wav"
expect "stereo converted to mono for a mono filter" 0 "in 4.000 s \(PCM 16000 Hz, 16-bit, stereo\), out 4.000 s \(PCM 16000 Hz, 16-bit, mono\)" -- \
  "$zelmar" chain -i "$dir/stereo.wav" -o "$dir/mono.wav" ToneControlAudioFilter
expect "8-bit output" 0 "out 4.000 s \(PCM 16000 Hz, 8-bit, mono\)" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/eight.wav" MixerAudioFilter:OutBitsPerSample=8
expect "8-bit input converted" 0 "in 4.000 s \(PCM 16000 Hz, 8-bit, mono\), out 1\.9[0-9]{2} s" -- \
  "$zelmar" chain -i "$dir/eight.wav" -o "$dir/back.wav" AccelerateAudioFilter:Speed=200,WindowTime=20

expect "not a number" 1 "'loud' is not a 32-bit integer" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/x.wav" ToneControlAudioFilter:Gain=loud
expect "bad stage syntax" 1 "expected PROP=VALUE" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/x.wav" ToneControlAudioFilter:Gain
expect "no stages" 1 "at least one component" -- "$zelmar" chain -i "$dir/tone.wav" -o "$dir/x.wav"
expect "no input" 1 "needs -i IN.wav" -- "$zelmar" chain -o "$dir/x.wav" ToneControlAudioFilter
expect "block range" 1 "--block must be between 1 and 1000" -- \
  "$zelmar" chain -i "$dir/tone.wav" -o "$dir/x.wav" --block 0 ToneControlAudioFilter
finish "zelmar chain"
