#!/usr/bin/env bash
# Packs installer.exe around a product archive and a setup program, on
# Linux, without editing the project: the front of installer-packer
# (packer/), which it builds with the host compiler on first use.
#
#   tools/pack-installer.sh --archive FILE --setup FILE --output FILE
#       [--stub FILE]                the payload-free installer.exe; without
#                                    it the front builds one (mingw-w64)
#       [--setup-type BL|BN|PATCH]   BL (default): setup program, stored as
#                                    the cabinet "SETUP.EX_"; BN: stored as
#                                    it is; PATCH: FILE is a patch for the
#                                    installed setup program
#       [--previous-version V]       e.g. 1.2.3.4 (required with PATCH)
#       [--patched-setup FILE]       with PATCH (required): the setup program
#                                    the patch must make
#       [--file-version V]           stamped into the version block
#       [--setup-runs-elevated]      the installer always runs elevated: a
#                                    setup program may ask for elevation
#       [--sign-cert CERT.pem --sign-key KEY.pem [--sign-time SECONDS]]
#       [--build-dir DIR]            default: build/pack in the project
#
# The packer checks the options, the stub, the archive, the setup program
# and the output path before it makes anything. What can only be checked
# on what it makes (the size of the resources once the cabinet exists, and
# a read-back of the finished installer with inspect's checks) is checked
# in a hidden folder beside the output: the output appears only whole, and
# only when every check passed. Packing the same inputs again gives the
# same bytes; a signature carries its signing time, which --sign-time (or
# SOURCE_DATE_EPOCH) fixes, and is then the same with an RSA key (an ECDSA
# key signs with a random number: other bytes each time). Packing needs
# gcab and, for signing, osslsigncode; building the packer needs cmake,
# g++, zlib and OpenSSL's headers (tools/install-deps.sh installs them all).
set -euo pipefail

project=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  sed -n '6,18p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
fail() {
  echo "pack-installer: $*" >&2
  exit 1
}

stub='' build_dir="$project/build/pack"
pass=()  # what goes to the packer as it is
while [ $# -gt 0 ]; do
  case $1 in
    --archive|--setup|--output|--setup-type|--previous-version|--file-version|\
    --sign-cert|--sign-key|--sign-time|--stub|--build-dir|--patched-setup)
      [ $# -ge 2 ] || fail "$1 needs a value"
      case $1 in
        --stub) stub=$2 ;;
        --build-dir) build_dir=$(realpath -m -- "$2") ;;
        *) pass+=("$1" "$2") ;;
      esac
      shift 2 ;;
    --setup-runs-elevated) pass+=("$1"); shift ;;
    -h|--help) usage ;;
    *) echo "pack-installer: unknown argument '$1'" >&2; usage ;;
  esac
done

# Builds in DIR under a lock, so that packings started side by side (a
# parallel build packs several installers) build it once.
locked_build() {  # NAME LOG COMMAND...
  local name=$1 log=$2
  shift 2
  mkdir -p "$build_dir"
  if ! flock "$build_dir/.$name.lock" "$@" >"$log" 2>&1; then
    cat "$log" >&2
    fail "building the $name failed (log: $log)"
  fi
}

packer="$build_dir/packer/installer-packer"
stale() { [ ! -x "$packer" ] || [ -n "$(find "$project/packer" -newer "$packer" -print -quit)" ]; }
if stale; then
  # Never with the cross toolchain: the packer runs here.
  locked_build packer "$build_dir/packer-build.log" bash -c '
    env -u CMAKE_TOOLCHAIN_FILE cmake -S "$1/packer" -B "$2" -DCMAKE_BUILD_TYPE=Release &&
      cmake --build "$2" -j2 && touch "$2/installer-packer"' - "$project" "$build_dir/packer"
fi

if [ -z "$stub" ]; then
  locked_build stub "$build_dir/stub-build.log" bash -c '
    cmake -S "$1" -B "$2" --toolchain "$1/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DINSTALLER_BUILD_TESTS=OFF &&
      cmake --build "$2" --target installer -j2' - "$project" "$build_dir/stub"
  stub="$build_dir/stub/installer/installer.exe"
fi

exec "$packer" pack --stub "$stub" "${pass[@]}"
