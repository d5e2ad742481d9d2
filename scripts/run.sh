#!/usr/bin/env bash
# The tool's main job: builds Quillomarvet.exe, starts it under Wine (on a virtual display when
# there is none) with a simulated adapter on COM5 that a stand-in device list names (or COM1 on a
# real adapter when one is attached or named with --device), presses Reset, prints the report
# lines and saves a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/wine_builds.sh
exec python3 scripts/demo.py "$@"
