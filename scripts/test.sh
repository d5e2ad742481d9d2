#!/usr/bin/env bash
# Every test: the logic's unit tests on this machine, then the real .exe under Wine against a
# simulated device. Warnings fail the build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset host -DQM_WERROR=ON >/dev/null
cmake --build --preset host
ctest --preset host

cmake --preset windows -DQM_WERROR=ON >/dev/null
cmake --build --preset windows
ctest --preset windows
