#!/usr/bin/env bash
# Builds libmosquitto's static library for Windows with the mingw-w64 cross compiler, from
# Debian's own source package of Mosquitto (the same archive and suites this machine installs
# from), so that quillomarvet-cli.exe links the broker project's client library and stays one
# file. No TLS, no broker, clients or documentation: only the library.
#
#   scripts/libmosquitto_mingw.sh TRIPLE [PREFIX]
#
# TRIPLE is i686-w64-mingw32 or x86_64-w64-mingw32. The result goes to PREFIX (default
# build/libmosquitto/TRIPLE): include/mosquitto.h and lib/libmosquitto_static.a. A finished
# PREFIX is kept: the second call returns at once.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
triple=${1:?usage: $0 i686-w64-mingw32|x86_64-w64-mingw32 [prefix]}
prefix=${2:-$root/build/libmosquitto/$triple}
cache=$root/build/libmosquitto

if [ -f "$prefix/lib/libmosquitto_static.a" ] && [ -f "$prefix/include/mosquitto.h" ]; then
  exit 0
fi
command -v "$triple-gcc" >/dev/null || { echo "$0: $triple-gcc not found" >&2; exit 1; }
mkdir -p "$cache"
exec 9>"$cache/lock"  # one at a time: both targets share the sources
flock 9

# The sources, once for both targets. apt is pointed at a private list of deb-src entries made
# from the machine's own deb entries, so the system's apt configuration stays as it is.
src=$(ls -d "$cache"/source/mosquitto-*/ 2>/dev/null | head -n 1 || true)
if [ -z "$src" ]; then
  apt=$cache/apt
  rm -rf "$apt" "$cache/source" "$cache/source.part"
  mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache/archives/partial" "$cache/source.part"
  : >"$apt/empty.list"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$apt/parts/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -nE 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >>"$apt/parts/machine.list"
  done
  options=(-o "Dir::Etc::SourceList=$apt/empty.list" -o "Dir::Etc::SourceParts=$apt/parts"
           -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
           -o "APT::Sandbox::User=root")
  apt-get -qq "${options[@]}" update
  (cd "$cache/source.part" && apt-get -qq "${options[@]}" source mosquitto >/dev/null)
  mv "$cache/source.part" "$cache/source"  # only whole sources are taken up later
  src=$(ls -d "$cache"/source/mosquitto-*/ | head -n 1)
  rm -rf "$apt"
fi
src=${src%/}

# Its CMakeLists points every Windows build at MSVC's pthreads in C:\pthreads; mingw-w64 has
# its own (winpthreads), found like on any other system.
lists=$src/CMakeLists.txt
if ! grep -q 'if (WIN32 AND NOT MINGW)' "$lists"; then
  sed -i 's/^\tif (WIN32)$/\tif (WIN32 AND NOT MINGW)/' "$lists"
  if [ "$(grep -c 'if (WIN32 AND NOT MINGW)' "$lists")" != 1 ] ||
     ! grep -B2 'if (WIN32 AND NOT MINGW)' "$lists" | grep -q 'WITH_THREADING'; then
    echo "$0: $lists: the pthreads switch was not found where expected; patch it by hand" >&2
    exit 1
  fi
fi

work=$cache/build-$triple
rm -rf "$work"
cmake -S "$src" -B "$work" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw.cmake" -DQM_MINGW_TRIPLE="$triple" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections" \
  -DWITH_STATIC_LIBRARIES=ON -DWITH_TLS=OFF -DWITH_TLS_PSK=OFF -DWITH_EC=OFF -DWITH_CJSON=OFF \
  -DWITH_BROKER=OFF -DWITH_CLIENTS=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF \
  -DWITH_LIB_CPP=OFF -DWITH_SRV=OFF -DWITH_THREADING=ON >/dev/null
cmake --build "$work" --target libmosquitto_static >/dev/null

mkdir -p "$prefix/include" "$prefix/lib"
cp "$src/include/mosquitto.h" "$src/include/mqtt_protocol.h" "$prefix/include/"
cp "$src/LICENSE.txt" "$src/edl-v10" "$src/epl-v20" "$prefix/"
cp "$work/lib/libmosquitto_static.a" "$prefix/lib/libmosquitto_static.a.tmp"
mv "$prefix/lib/libmosquitto_static.a.tmp" "$prefix/lib/libmosquitto_static.a"
rm -rf "$work"
