#!/usr/bin/env bash
# zelmar convert end to end: speech into GSM and back, a file sox writes in Microsoft ADPCM
# decoded to what sox decodes, the terminal chooser, and refusals with their result codes.
set -u
zelmar=$1
speech=$2
source "$(dirname "$0")/checks.sh"
expect "PCM to GSM" 0 "-> .*gsm.wav \(GSM 6.10 .*65-byte blocks, 75270 bytes\): ratio 0.102" -- \
  "$zelmar" convert --template PCM2GSM "$speech" "$dir/gsm.wav"
expect "info names the coded format" 0 "format: .*GSM 6.10.*8000 Hz" -- "$zelmar" info "$dir/gsm.wav"
expect "GSM back to PCM, the padded block too" 0 "-> .*back.wav \(PCM 8000 Hz, 16-bit, mono, 741120 bytes\)" -- \
  "$zelmar" convert --to 1 "$dir/gsm.wav" "$dir/back.wav"
# The GSM file holds what libgsm (through sox) decodes, sample for sample.
sox "$dir/gsm.wav" -t raw -e signed -b 16 "$dir/sox.raw"
sox "$dir/back.wav" -t raw "$dir/ours.raw"
cmp -s "$dir/sox.raw" "$dir/ours.raw" || fail "sox decodes the GSM file differently"
sox "$speech" -e ms-adpcm "$dir/adpcm.wav"
expect "a coded input decodes by default" 0 "Microsoft ADPCM .* -> .*PCM 8000 Hz" -- \
  "$zelmar" convert "$dir/adpcm.wav" "$dir/adpcm-back.wav"
expect "the chooser's pick" 0 "-> .*A-law \(tag 0x0006\)" -- sh -c "echo 6 | '$zelmar' convert --choose '$speech' '$dir/alaw.wav'"
expect "chooser cancelled" 1 "refused OutWaveFormat=\(chosen\): 0x00000203" -- sh -c "echo | '$zelmar' convert --choose '$speech' '$dir/x.wav'"
expect "no TrueSpeech encoder" 1 "Build returned 0x80000000" -- "$zelmar" convert --template PCM2TS "$speech" "$dir/x.wav"
sox "$speech" -r 16000 "$dir/16k.wav"
expect "template checks" 1 "Build returned 0x80000000 .*LastError 0x80000003" -- \
  "$zelmar" convert --template PCM2G723 "$dir/16k.wav" "$dir/x.wav"
expect "a template reading another format" 1 "holds Microsoft ADPCM .*; the conversion reads GSM" -- \
  "$zelmar" convert --template GSM2PCM "$dir/adpcm.wav" "$dir/x.wav"
expect "PCM needs a conversion named" 1 "is PCM: name a --template" -- "$zelmar" convert "$speech" "$dir/x.wav"
finish "zelmar convert"
