#!/usr/bin/env bash
# zelmar encode / decode end to end on the G.722.1 reference vectors: the .s14 layout, the
# bit stream against the reference coder's, frame loss, resampled input, and clear errors.
#   siren14_cli_test.sh ZELMAR_BINARY VECTORS_DIR
set -u
zelmar=$1
vectors=$2
source "$(dirname "$0")/checks.sh"
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"; }
# wav RATE CHANNELS RAW OUT: a canonical 16-bit PCM WAV around raw little-endian samples.
wav() {
  local rate=$1 channels=$2 raw=$3 out=$4 bytes; bytes=$(stat -c %s "$raw")
  { printf RIFF; le32 $((36 + bytes)); printf WAVEfmt; printf ' '; le32 16; le16 1; le16 "$channels"
    le32 "$rate"; le32 $((rate * 2 * channels)); le16 $((2 * channels)); le16 16; printf data; le32 "$bytes"
    cat "$raw"; } > "$out"
}
# differing_frames A B FRAME_BYTES: how many FRAME_BYTES-sized frames differ between A and B.
differing_frames() { cmp -l "$1" "$2" 2>/dev/null | awk -v size="$3" '{ print int(($1 - 1) / size) }' | sort -u | wc -l; }

[ -r "$vectors/speech1_fs32k.raw" ] || { echo "FAIL: no reference vectors in $vectors"; exit 1; }
wav 32000 1 "$vectors/speech1_fs32k.raw" "$dir/s32.wav"
wav 16000 1 "$vectors/speech1_fs16k.raw" "$dir/s16.wav"

expect "help lists encode and decode" 0 "encode.*" -- "$zelmar" --help
expect "encode help" 0 "usage: zelmar encode \[--bitrate" -- "$zelmar" encode --help
expect "encode 14 kHz mode" 0 "^encoded .*32000 Hz, 14 kHz mode\) at 48000 bit/s: 351 frames, 7.000 s .*42144 bytes" -- \
  "$zelmar" encode --bitrate 48000 "$dir/s32.wav" "$dir/s32.s14"
# Header: "S14P", 32000, 48000, 351 frames (one of silence after the input), priming 640
# samples (the codec's one-frame lag), 224000 samples given.
[ "$(head -c 24 "$dir/s32.s14" | od -An -tx1 | tr -d ' \n')" = "53313450007d000080bb00005f01000080020000006b0300" ] ||
  fail ".s14 header"
tail -c +25 "$dir/s32.s14" > "$dir/s32.bit"
different=$(differing_frames "$dir/s32.bit" "$vectors/speech1_fs32k_b48k.bit" 120)
[ "$different" -le 17 ] || fail "14 kHz bit stream: $different of 350 frames differ from the reference coder's"

expect "encode 7 kHz mode" 0 "^encoded .*16000 Hz, 7 kHz mode\) at 24000 bit/s: 351 frames" -- \
  "$zelmar" encode --bitrate 24000 "$dir/s16.wav" "$dir/s16.s14"
tail -c +25 "$dir/s16.s14" > "$dir/s16.bit"
different=$(differing_frames "$dir/s16.bit" "$vectors/speech1_fs16k_b24k.bit" 60)
[ "$different" -le 17 ] || fail "7 kHz bit stream: $different of 350 frames differ from the reference coder's"

expect "decode" 0 "^decoded .*\(14 kHz mode, 48000 bit/s\): 351 frames \(0 lost and concealed, 0 damaged and concealed\), 7.000 s" -- \
  "$zelmar" decode "$dir/s32.s14" "$dir/d32.wav"
expect "decoded WAV" 0 "PCM 32000 Hz, 16-bit, mono" -- "$zelmar" info "$dir/d32.wav"
expect "decoded length" 0 "448000 bytes, 7.000 s" -- "$zelmar" info "$dir/d32.wav"

# The reference coder's own bit stream in a .s14 wrapper decodes as well.
{ printf S14F; le32 16000; le32 24000; le32 4294967295; cat "$vectors/speech1_fs16k_b24k.bit"; } > "$dir/ref.s14"
expect "frame count read to the end" 0 "350 frames \(0 lost" -- "$zelmar" decode "$dir/ref.s14" "$dir/ref.wav"

expect "loss" 0 "351 frames \([1-9][0-9]* lost and concealed, 0 damaged" -- \
  "$zelmar" decode --loss 10 --seed 3 "$dir/s32.s14" "$dir/l1.wav"
"$zelmar" decode --loss 10 --seed 3 "$dir/s32.s14" "$dir/l2.wav" > /dev/null
"$zelmar" decode --loss 10 --seed 4 "$dir/s32.s14" "$dir/l3.wav" > /dev/null
cmp -s "$dir/l1.wav" "$dir/l2.wav" || fail "the same seed loses the same frames"
cmp -s "$dir/l1.wav" "$dir/l3.wav" && fail "another seed loses other frames"
cmp -s "$dir/l1.wav" "$dir/d32.wav" && fail "lost frames change the output"
# Every frame lost: nothing good to repeat, so the output is silence.
expect "all lost" 0 "351 frames \(351 lost and concealed, 0 damaged" -- "$zelmar" decode --loss 100 "$dir/s32.s14" "$dir/silent.wav"
expect "all lost is silence" 0 "peak +-inf dBFS" -- "$zelmar" info "$dir/silent.wav"

# A rate with a whole ratio to a codec rate goes through the resampler.
head -c 96000 "$vectors/speech1_fs32k.raw" > "$dir/part.raw"
wav 48000 1 "$dir/part.raw" "$dir/s48.wav"
expect "48 kHz input" 0 "48000 Hz resampled to 16000 Hz, 7 kHz mode\) at 32000 bit/s: 51 frames" -- \
  "$zelmar" encode --bitrate 32000 "$dir/s48.wav" "$dir/s48.s14"

wav 44100 1 "$dir/part.raw" "$dir/s44.wav"
expect "no whole ratio: libsoxr" 0 "44100 Hz mono -> 16-bit PCM 32000 Hz mono" -- "$zelmar" encode "$dir/s44.wav" "$dir/x.s14"
expect "48 kbit/s at 7 kHz" 1 "48000 bit/s exists only in the 14 kHz mode" -- \
  "$zelmar" encode --bitrate 48000 "$dir/s16.wav" "$dir/x.s14"
expect "bad bit rate" 1 "--bitrate must be 24000, 32000 or 48000" -- "$zelmar" encode --bitrate 16000 "$dir/s16.wav" "$dir/x.s14"
wav 16000 2 "$dir/part.raw" "$dir/stereo.wav"
expect "stereo mixed to mono" 0 "16000 Hz stereo -> 16-bit PCM 16000 Hz mono" -- "$zelmar" encode "$dir/stereo.wav" "$dir/x.s14"
expect "missing arguments" 1 "encode takes IN.wav and OUT.s14" -- "$zelmar" encode "$dir/s16.wav"
expect "not a .s14 file" 1 "is not a .s14 file" -- "$zelmar" decode "$dir/s16.wav" "$dir/x.wav"
head -c 1000 "$dir/s32.s14" > "$dir/cut.s14"
expect "truncated" 1 "is truncated: its header declares 351 frames, it holds 8" -- "$zelmar" decode "$dir/cut.s14" "$dir/x.wav"
{ printf S14F; le32 16000; le32 48000; le32 0; } > "$dir/badmode.s14"
expect "unsupported mode" 1 "declares 16000 Hz at 48000 bit/s, which Siren14 does not code" -- \
  "$zelmar" decode "$dir/badmode.s14" "$dir/x.wav"
expect "loss range" 1 "--loss must be between 0 and 100" -- "$zelmar" decode --loss 101 "$dir/s32.s14" "$dir/x.wav"

# A burst in the last 20 ms comes back whole and in place: the file is as long as its input.
sox -n -r 16000 -b 16 -c 1 "$dir/quiet.wav" trim 0 0.98
sox -n -r 16000 -b 16 -c 1 "$dir/burst.wav" synth 0.02 sine 1000 vol 0.5
sox "$dir/quiet.wav" "$dir/burst.wav" "$dir/tail.wav"
"$zelmar" encode "$dir/tail.wav" "$dir/tail.s14" > /dev/null || fail "encode tail"
expect "tail decoded" 0 "1.000 s ->" -- "$zelmar" decode "$dir/tail.s14" "$dir/tail-back.wav"
expect "as long as its input" 0 "32000 bytes, 1.000 s" -- "$zelmar" info "$dir/tail-back.wav"
rms=$(sox "$dir/tail-back.wav" -n trim 0.98 stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')
awk -v r="$rms" 'BEGIN { exit !(r > 0.3) }' || fail "the last 20 ms lost their burst (RMS $rms, sent 0.354)"

# Frames the decoder cannot read are counted; a file of nothing but such frames fails.  The
# garbage is the same every run: a random frame passes the decoder's checks now and then.
noise() {  # noise BYTES SEED
  python3 -c 'import random, sys; random.seed(int(sys.argv[2])); sys.stdout.buffer.write(random.randbytes(int(sys.argv[1])))' "$1" "$2"
}
{ printf S14F; le32 16000; le32 32000; le32 4294967295; noise 4000 1; } > "$dir/garbage.s14"
expect "garbage frames counted" 1 "50 frames \(0 lost and concealed, 50 damaged and concealed\)" -- \
  "$zelmar" decode "$dir/garbage.s14" "$dir/x.wav"
expect "garbage frames fail" 1 "^zelmar: none of the 50 frames of .*garbage.s14 could be read" -- \
  "$zelmar" decode "$dir/garbage.s14" "$dir/x.wav"
{ head -c 1224 "$dir/tail.s14"; noise 800 2; tail -c +2025 "$dir/tail.s14"; } > "$dir/damaged.s14"
expect "damaged frames" 0 "51 frames \(0 lost and concealed, 10 damaged and concealed\)" -- \
  "$zelmar" decode "$dir/damaged.s14" "$dir/x.wav"

finish "siren14 command line"
