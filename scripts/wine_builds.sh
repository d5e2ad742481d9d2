#!/usr/bin/env bash
# Builds what runs under Wine on this host: the 32-bit .exe always (the product, whose file is
# checked on every host), and the 64-bit build too where the harness says this host runs it
# instead (no 32-bit programs here, or QM_FORCE_WINE64=1). Extra arguments name build targets.
set -euo pipefail
cd "$(dirname "$0")/.."
bits=$(python3 tests/e2e/harness.py bits)  # ends with a sentence when no Wine loader runs
targets=()
[ $# -gt 0 ] && targets=(--target "$@")
cmake --preset windows >/dev/null
cmake --build --preset windows "${targets[@]}" >/dev/null
if [ "$bits" = 64 ]; then
  cmake --preset windows64 >/dev/null
  cmake --build --preset windows64 "${targets[@]}" >/dev/null
fi
