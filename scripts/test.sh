#!/usr/bin/env bash
# Every test: the logic's unit tests on this machine (plain, then under AddressSanitizer and
# UndefinedBehaviorSanitizer), the 64-bit build, then the real .exe under Wine against a
# simulated device: the 32-bit product, or where this host runs no 32-bit programs (or
# QM_FORCE_WINE64=1), the 64-bit build under 64-bit Wine. Warnings fail every build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset host -DQM_WERROR=ON >/dev/null
cmake --build --preset host
ctest --preset host

cmake --preset host-sanitize -DQM_WERROR=ON >/dev/null
cmake --build --preset host-sanitize
ctest --preset host-sanitize

cmake --preset windows64 -DQM_WERROR=ON >/dev/null
cmake --build --preset windows64

cmake --preset windows -DQM_WERROR=ON >/dev/null
cmake --build --preset windows
python3 tests/e2e/harness.py describe  # which build the end-to-end tests run, and why
ctest --preset windows
