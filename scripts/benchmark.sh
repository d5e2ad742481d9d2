#!/usr/bin/env bash
# Builds the console edition (release) and prints its tables (the console, --mqtt's publisher,
# the supervisor's page); then builds the .exe and the minimal window program and prints the
# window's table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/console-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/console-release --target quillomarvet mqtt_driver >/dev/null
python3 scripts/benchmark_console.py
# --mqtt's publisher against a Mosquitto on loopback (paho-mqtt from Debian's Python).
/usr/bin/python3 scripts/benchmark_mqtt.py
# The station board needs adapters it can discover: umockdev's, with Debian's Python bindings.
umockdev-wrapper /usr/bin/python3 scripts/benchmark_console.py --board
# The supervisor's page with a whole line (Mosquitto, headless Chromium; npm ci of its lock).
cmake --build build/console-release --target quillomarvet_page >/dev/null
python3 scripts/benchmark_page.py build/console-release/web
scripts/wine_builds.sh Quillomarvet minimal_window
exec python3 scripts/benchmark.py "$@"
