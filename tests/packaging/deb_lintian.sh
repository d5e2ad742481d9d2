#!/bin/sh
# Makes the .deb from this build as `cpack` does and fails on any error lintian reports.
# Usage: deb_lintian.sh CPACK BUILD_DIR
set -eu
if ! command -v lintian >/dev/null; then
  echo "lintian not found (scripts/setup.sh installs it): the .deb is not checked"
  exit 77
fi
out=$2/deb-lintian
rm -rf "$out"
"$1" -G DEB -B "$out" --config "$2/CPackConfig.cmake" >"$out.log" 2>&1 || { cat "$out.log"; exit 1; }
lintian --fail-on error "$out"/*.deb
