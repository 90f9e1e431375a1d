#!/usr/bin/env bash
# What the command line says when something stands in the way: the cause and the value in
# words, the engine's code in parentheses, a non-zero exit and never an abort.
set -u
zelmar=$1
source "$(dirname "$0")/checks.sh"
"$zelmar" tone -o "$dir/t.wav" --seconds 1 > /dev/null || fail "tone"
mkdir "$dir/folder"
# A UDP port held by another socket for the whole run.
port=$((40000 + RANDOM % 20000))
python3 -c "import socket, sys, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(('127.0.0.1', $port)); print('bound', flush=True); time.sleep(120)" > "$dir/holder" &
holder=$!
trap 'kill $holder 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 100); do grep -q bound "$dir/holder" && break; sleep 0.05; done

cases <<TABLE
# Files and directories, for every command that reads or writes one.
1 | ^zelmar: cannot open $dir/folder: is a directory$           | info $dir/folder
1 | ^zelmar: cannot open $dir/folder: is a directory$           | decode $dir/folder $dir/x.wav
1 | ^zelmar: cannot open $dir/folder: is a directory$           | encode $dir/folder $dir/x.s14
1 | ^zelmar: cannot open $dir/folder: is a directory$           | play $dir/folder
1 | ^zelmar: cannot open $dir/folder: is a directory$           | repair $dir/folder
1 | ^zelmar: cannot open $dir/folder: is a directory$           | chain -i $dir/folder -o $dir/x.wav ToneControlAudioFilter
1 | ^zelmar: cannot open $dir/none.s14: no such file or directory$ | decode $dir/none.s14 $dir/x.wav
1 | ^zelmar: cannot create $dir/folder: is a directory$         | tone -o $dir/folder
1 | ^zelmar: cannot create $dir/folder: is a directory$         | encode $dir/t.wav $dir/folder
1 | ^zelmar: cannot create $dir/folder: is a directory$         | chain -i $dir/t.wav -o $dir/folder ToneControlAudioFilter
1 | ^zelmar: cannot create $dir/t.wav/x.wav: $dir/t.wav is not a directory$ | tone -o $dir/t.wav/x.wav
# Component settings the engine refuses.
1 | ^zelmar: AccelerateAudioFilter needs Speed of 100 % or more, not 50 \(0x80000003\)$ | chain -i $dir/t.wav -o $dir/x.wav AccelerateAudioFilter:Speed=50
1 | has nothing to do at Speed 100 %: it plays faster at Speed above 100 \(0xFFFFFFFF\)$ | chain -i $dir/t.wav -o $dir/x.wav AccelerateAudioFilter
1 | ^zelmar: ResampleAudioFilter converts only whole ratios: 16000 -> 44100 is not one \(0x80000003\)$ | chain -i $dir/t.wav -o $dir/x.wav ResampleAudioFilter:OutSamplesPerSec=44100
1 | ^zelmar: ToneControlAudioFilter has no property Bass that can be set \(0x80000001\)$ | chain -i $dir/t.wav -o $dir/x.wav ToneControlAudioFilter:Bass=3
1 | not 16000 Hz at 48000 bit/s \(0x80000003\)$                 | chain -i $dir/t.wav -o $dir/x.wav Siren14AudioFilter:Bitrate=48000
1 | ^zelmar: the engine has no component 'Reverb'$              | chain -i $dir/t.wav -o $dir/x.wav Reverb
1 | playback device 9 does not exist \(0\.\.[0-9]+, or -1 for the default; see zelmar devices\) \(0x80000003\)$ | play --device 9 $dir/t.wav
1 | ^zelmar: UDP port $port on 127.0.0.1 is in use \(0x80000003\)$ | voice -o $dir/x.wav --seconds 1 --network udp --port $port
# The version names what the engine loads.
0 | ^zelmar [0-9]+\.[0-9]+$                                     | --version
TABLE
# No sound server: the virtual device stands in, and the commands say so.
expect "record without a server" 0 "^no sound server answered: recording from Zelmar's virtual capture device" -- \
  env PULSE_SERVER=unix:$dir/no-server "$zelmar" record --seconds 0.1 "$dir/r.wav"
expect "play without a server" 0 "^no sound server answered: playing to Zelmar's virtual playback device" -- \
  env PULSE_SERVER=unix:$dir/no-server "$zelmar" play "$dir/t.wav"
expect "voice without a server" 0 "^no sound server answered: recording from" -- \
  env PULSE_SERVER=unix:$dir/no-server "$zelmar" voice --capture -1 --seconds 0.2 -o "$dir/v.wav"
finish "command-line messages"
