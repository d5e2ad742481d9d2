#!/usr/bin/env bash
# Installs what building and testing Quillomarvet needs on Debian 12, if it is missing:
# CMake, Ninja, GoogleTest, clang with libFuzzer, the mingw-w64 cross compilers, Wine (32-bit too), Xvfb, xdotool,
# ImageMagick and icoutils; dpkg-dev for the .deb's dependencies, umockdev and its Python bindings
# for the console edition's discovery tests; man-db, groff-base, bash-completion and lintian for
# the manual page, the completion and the .deb's check; libncurses-dev (terminfo) for the station board and
# tmux to test it in a real terminal emulator; libmosquitto-dev for --mqtt, and Mosquitto, its
# clients and paho-mqtt for its end-to-end test; Node.js with npm (the page's mqtt.js and its
# test's browser driver, pinned by web/package-lock.json) and Chromium for the supervisor's page
# and its test in a headless browser.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev python3 clang libclang-rt-14-dev zip
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 dpkg-dev libudev-dev umockdev python3-gi gir1.2-umockdev-1.0
          wine wine32:i386 wine64 xvfb xdotool x11-utils xclip imagemagick icoutils
          man-db groff-base bash-completion pkg-config lintian libncurses-dev tmux
          libmosquitto-dev mosquitto mosquitto-clients python3-paho-mqtt chromium)
# Debian's Node.js and npm, unless a Node.js with its npm is there already (NodeSource's
# nodejs package carries npm and conflicts with Debian's).
command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
