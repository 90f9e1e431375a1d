#!/usr/bin/env bash
# Measures echo cancellation with bench/echo_report (the full-duplex pair on the virtual room
# beside SpeexDSP's canceller) and draws ERLE over time with gnuplot into docs/figures/:
# echo_erle_<delay>ms.png per echo path delay and echo_drift.png for the 5-minute drift runs.
#   docs/make_echo_figures.sh [BUILD_DIR]      (default: build; configured with ZELMAR_BENCH=ON)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake --build "$build" --target echo_report -j2 >/dev/null
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
"$build/bin/echo_report" "$data"
out=$root/docs/figures
mkdir -p "$out"

for delay in 30 100 250; do
  gnuplot <<GNUPLOT
set terminal pngcairo size 900,450 font "sans,10"
set output "$out/echo_erle_${delay}ms.png"
set title "ERLE per 250 ms, echo path ${delay} ms (changed at 10 s), far-end speech, noise -60 dBFS"
set xlabel "time (s)"
set ylabel "ERLE (dB)"
set yrange [-5:60]
set grid
set key below
set arrow from 10, graph 0 to 10, graph 1 nohead dt 2
plot "$data/erle_${delay}ms.dat" using 1:2 with linespoints pt 7 ps 0.4 title "DSoundAudioInOut (AEC + NS)", \
     "" using 1:4 with linespoints pt 7 ps 0.4 title "DSoundAudioInOut (AEC)", \
     "" using 1:3 with linespoints pt 5 ps 0.4 title "SpeexDSP (AEC + residual + denoise)", \
     "" using 1:5 with linespoints pt 5 ps 0.4 title "SpeexDSP (AEC + residual)"
GNUPLOT
done
gnuplot <<GNUPLOT
set terminal pngcairo size 900,450 font "sans,10"
set output "$out/echo_drift.png"
set title "ERLE per second, 100 ms path, capture clock +-100 ppm against playback, echo cancellation alone"
set xlabel "time (s)"
set ylabel "ERLE (dB)"
set yrange [-5:50]
set grid
set key below
plot "$data/drift_100ppm.dat" using 1:2 with lines title "DSoundAudioInOut, +100 ppm", \
     "$data/drift_-100ppm.dat" using 1:2 with lines title "DSoundAudioInOut, -100 ppm", \
     "$data/drift_100ppm.dat" using 1:3 with lines title "SpeexDSP, +100 ppm", \
     "$data/drift_-100ppm.dat" using 1:3 with lines title "SpeexDSP, -100 ppm"
GNUPLOT
echo "figures in $out"
