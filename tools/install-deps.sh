#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools is missing on
# a Debian machine. Does nothing when everything is there.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
have x86_64-w64-mingw32-windres || need+=(binutils-mingw-w64-x86-64)
have x86_64-w64-mingw32-objdump || need+=(binutils-mingw-w64-x86-64)
have wine64 || [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
have gcab || need+=(gcab)
have cabextract || need+=(cabextract)
have 7z || need+=(7zip)
have osslsigncode || need+=(osslsigncode)
have flock || need+=(util-linux)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${need[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
