#!/usr/bin/env bash
# Every test: the logic's unit tests and the Linux console edition against simulated devices on
# this machine (plain, then under AddressSanitizer and UndefinedBehaviorSanitizer), the 64-bit
# build check, then the real 32-bit .exe and quillomarvet-cli.exe under Wine against a simulated
# device. Warnings fail every build.
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
ctest --preset windows
