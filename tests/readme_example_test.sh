#!/usr/bin/env bash
# The README's embedding example compiles against the public header and runs.
set -euo pipefail
root=$1 libdir=$2 extra_flags=${3:-}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
awk '/^## Embedding the library/{on=1} on && /^```cpp/{grab=1; next} grab && /^```/{exit} grab' \
  "$root/README.md" > "$dir/host.cpp"
[ -s "$dir/host.cpp" ] || { echo "no C++ example found in README.md"; exit 1; }
g++ -std=c++17 -Wall -Werror $extra_flags "$dir/host.cpp" -I"$root/include" -L"$libdir" -lzelmar \
    -Wl,-rpath,"$libdir" -o "$dir/host"
(cd "$dir" && ./host)
[ -s "$dir/tone.wav" ] || { echo "example wrote no tone.wav"; exit 1; }
echo "README example: compiled, ran, wrote $(stat -c %s "$dir/tone.wav") bytes"
