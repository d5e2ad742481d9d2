#!/usr/bin/env bash
# Builds the .exe and the minimal window program, then prints the benchmark table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target Quillomarvet minimal_window >/dev/null
exec python3 scripts/benchmark.py "$@"
