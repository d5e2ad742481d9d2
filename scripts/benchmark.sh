#!/usr/bin/env bash
# Builds the .exe and the minimal window program, then prints the benchmark table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/wine_builds.sh Quillomarvet minimal_window
exec python3 scripts/benchmark.py "$@"
