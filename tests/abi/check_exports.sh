#!/usr/bin/env bash
# The shared library exports only the documented Zelmar* C functions.
set -euo pipefail
lib=$1
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
expected=$'ZelmarCompanionStatus\nZelmarCreateComponent\nZelmarDisposeComponent\nZelmarSetDebugOutput\nZelmarSetTimeMode'
unexpected=$(comm -23 <(echo "$exported") <(echo "$expected" | sort))
missing=$(comm -13 <(echo "$exported") <(echo "$expected" | sort))
if [ -n "$unexpected" ] || [ -n "$missing" ]; then
  echo "unexpected exports: ${unexpected:-none}"; echo "missing exports: ${missing:-none}"; exit 1
fi
echo "exports: $(echo $exported)"
