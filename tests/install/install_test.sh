#!/usr/bin/env bash
# `cmake --install` into a clean prefix, then hosts built against the installed tree only: the
# README's C++ example through pkg-config and through find_package(Zelmar), the C host, the
# Python ctypes example and the installed command-line host.
set -euo pipefail
build=$1 root=$2 extra_flags=${3:-}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
prefix=$dir/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zelmar.pc)") pkg-config --variable=libdir zelmar)
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ -f "$libdir/libzelmar.so" ] || { echo "pkg-config libdir $libdir holds no libzelmar.so"; exit 1; }

awk '/^## Embedding the library/{on=1} on && /^```cpp/{grab=1; next} grab && /^```/{exit} grab' \
  "$root/README.md" > "$dir/host.cpp"
[ -s "$dir/host.cpp" ] || { echo "no C++ example found in README.md"; exit 1; }

# 1. pkg-config
mkdir "$dir/pc"
# shellcheck disable=SC2046,SC2086
g++ -std=c++17 -Wall -Werror $extra_flags "$dir/host.cpp" $(pkg-config --cflags --libs zelmar) \
    -Wl,-rpath,"$libdir" -o "$dir/pc/host"
(cd "$dir/pc" && ./host >/dev/null)
[ -s "$dir/pc/tone.wav" ] || { echo "pkg-config host wrote no tone.wav"; exit 1; }
echo "pkg-config: README example built and ran"

# 2. CMake package
mkdir "$dir/cm"
cat > "$dir/cm/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.18)
project(host CXX)
find_package(Zelmar 0.1 REQUIRED)
add_executable(host "$dir/host.cpp")
target_link_libraries(host PRIVATE Zelmar::zelmar)
CMAKE
cmake -S "$dir/cm" -B "$dir/cm/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$extra_flags" >/dev/null
cmake --build "$dir/cm/build" >/dev/null
(cd "$dir/cm" && ./build/host >/dev/null)
[ -s "$dir/cm/tone.wav" ] || { echo "find_package host wrote no tone.wav"; exit 1; }
echo "find_package(Zelmar): README example built and ran"

# 3. C
# shellcheck disable=SC2046,SC2086
gcc -std=c11 -Wall -Wextra -Werror $extra_flags "$root/tests/abi/c_host.c" $(pkg-config --cflags --libs zelmar) -lm \
    -Wl,-rpath,"$libdir" -o "$dir/c_host"
"$dir/c_host"

# 4. Python through ctypes: a sanitizer build's library cannot be loaded into an interpreter
#    that was not started with the sanitizer runtime, so that build leaves it to the plain one.
if [ -z "$extra_flags" ]; then
  out=$(python3 "$root/examples/python/tone_levels.py" "$libdir/libzelmar.so")
  echo "$out"
  grep -q "^tone: -9.0 dBFS rms, 439 Hz$" <<<"$out" || { echo "unexpected tone levels"; exit 1; }
  grep -q "^amplifier: -15.1 dBFS rms" <<<"$out" || { echo "unexpected amplifier levels"; exit 1; }
fi

# 5. The installed command-line host finds its engine.
"$prefix/bin/zelmar" --version
