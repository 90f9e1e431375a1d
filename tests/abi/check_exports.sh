#!/usr/bin/env bash
# The shared library exports exactly the Zelmar* C functions its public headers declare.
set -euo pipefail
lib=$1 include=$2
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
expected=$(grep -ho 'ZELMAR_API [^(]*\bZelmar[A-Za-z0-9]*(' "$include"/zelmar/*.h | grep -o 'Zelmar[A-Za-z0-9]*($' | tr -d '(' | sort -u)
[ "$(wc -l <<<"$expected")" -ge 16 ] || { echo "found only: $expected"; exit 1; }
unexpected=$(comm -23 <(echo "$exported") <(echo "$expected"))
missing=$(comm -13 <(echo "$exported") <(echo "$expected"))
if [ -n "$unexpected" ] || [ -n "$missing" ]; then
  echo "unexpected exports: ${unexpected:-none}"; echo "missing exports: ${missing:-none}"; exit 1
fi
echo "exports: $(echo $exported)"
