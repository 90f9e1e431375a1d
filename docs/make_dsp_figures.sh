#!/usr/bin/env bash
# Measures the filters' frequency responses with the real code (tools/dsp_response) and
# draws one PNG per filter with gnuplot into docs/figures/.
#   docs/make_dsp_figures.sh [BUILD_DIR]      (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake --build "$build" --target dsp_response -j2 >/dev/null
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
"$build/bin/dsp_response" "$data"
out=$root/docs/figures
mkdir -p "$out"

plot() {  # plot NAME TITLE RATE PLOT-COMMANDS
  gnuplot <<GNUPLOT
set terminal pngcairo size 800,450 font "sans,10"
set output "$out/$1.png"
set title "$2"
set logscale x
set xrange [20:$3/2]
set yrange [-40:12]
set xlabel "frequency (Hz)"
set ylabel "gain (dB)"
set grid
set key bottom left
plot $4
GNUPLOT
}

for kind in lowpass highpass bandpass notch peaking lowshelf highshelf; do
  case $kind in
    lowpass) title="LowPass, 3400 Hz, Q 0.7071, 16 kHz";;
    highpass) title="HighPass, 300 Hz, Q 0.7071, 16 kHz";;
    bandpass) title="BandPass (0 dB peak), 1000 Hz, Q 0.7071, 16 kHz";;
    notch) title="Notch, 1000 Hz, Q 0.7071, 16 kHz";;
    peaking) title="Peaking, 1000 Hz, +6 dB, Q 0.7071, 16 kHz";;
    lowshelf) title="LowShelf, 200 Hz, +6 dB, 16 kHz";;
    highshelf) title="HighShelf, 5000 Hz, -6 dB, 16 kHz";;
  esac
  plot "biquad_$kind" "Biquad section: $title" 16000 \
    "'$data/biquad_$kind.dat' using 1:3 with lines lw 2 title 'cookbook design', '$data/biquad_$kind.dat' using 1:2 with points pt 7 ps 0.5 title 'measured (CBiquadFilter)'"
done
plot resampler_cascade "ResampleAudioFilter cascade at equal rates, 32 kHz (two low-pass sections at 12.8 kHz)" 32000 \
  "'$data/resampler_cascade_32k.dat' using 1:2 with linespoints pt 7 ps 0.5 title 'measured through Process'"
plot resampler_32k_16k "ResampleAudioFilter 32000 -> 16000: passband, and aliases of tones above 8 kHz" 32000 \
  "'$data/resampler_32k_16k.dat' using 1:2 with linespoints pt 7 ps 0.5 title 'tone below 8 kHz, gain', '$data/resampler_32k_16k.dat' using 1:3 with linespoints pt 7 ps 0.5 title 'tone above 8 kHz, level of its alias at 16 kHz - f'"
plot tone_control "ToneControlAudioFilter, 16 kHz: LowGain +6 dB, MidGain -6 dB, HighGain +6 dB" 16000 \
  "'$data/tone_control_16k.dat' using 1:2 with linespoints pt 7 ps 0.5 title 'no low-pass', '$data/tone_control_16k.dat' using 1:3 with linespoints pt 7 ps 0.5 title 'LowPassCutOff 3400 Hz'"
plot noise_gate_highpass "NoiseGateAudioFilter, CutOff 150 Hz, gate open, 16 kHz" 16000 \
  "'$data/noise_gate_highpass_16k.dat' using 1:2 with linespoints pt 7 ps 0.5 title 'measured through Process'"
echo "figures in $out"
