#!/usr/bin/env bash
# Builds installer.exe from a product archive and a setup program, on Linux,
# without editing the project.
#
#   tools/pack-installer.sh --archive FILE --setup FILE --output FILE
#       [--setup-type BL|BN|PATCH]   BL (default): setup program, stored as
#                                    the cabinet "SETUP.EX_"; BN: stored as
#                                    it is; PATCH: FILE is a patch for the
#                                    installed setup program
#       [--previous-version V]       e.g. 1.2.3.4 (required with PATCH)
#       [--sign-cert CERT.pem --sign-key KEY.pem [--sign-time SECONDS]]
#       [--build-dir DIR]            default: build/pack in the project
#
# Bad inputs are refused before anything is built. Packing the same inputs
# again gives the same bytes; a signature carries its signing time, which
# --sign-time (or SOURCE_DATE_EPOCH) fixes. Needs cmake, mingw-w64, gcab
# and, for signing, osslsigncode (tools/install-deps.sh installs them).
set -euo pipefail

project=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  sed -n '5,14p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
fail() {
  echo "pack-installer: $*" >&2
  exit 1
}

archive='' setup='' output='' setup_type=BL build_dir="$project/build/pack"
previous_version='' has_previous_version=0 cert='' key='' sign_time=''
while [ $# -gt 0 ]; do
  case $1 in
    --archive|--setup|--output|--setup-type|--previous-version|--sign-cert|\
    --sign-key|--sign-time|--build-dir)
      [ $# -ge 2 ] || fail "$1 needs a value"
      case $1 in
        --archive) archive=$2 ;;
        --setup) setup=$2 ;;
        --output) output=$2 ;;
        --setup-type) setup_type=$2 ;;
        --previous-version) previous_version=$2; has_previous_version=1 ;;
        --sign-cert) cert=$2 ;;
        --sign-key) key=$2 ;;
        --sign-time) sign_time=$2 ;;
        --build-dir) build_dir=$2 ;;
      esac
      shift 2 ;;
    -h|--help) usage ;;
    *) echo "pack-installer: unknown argument '$1'" >&2; usage ;;
  esac
done

[ -n "$archive" ] || fail "--archive is required"
[ -n "$setup" ] || fail "--setup is required"
[ -n "$output" ] || fail "--output is required"
if { [ -n "$cert" ] && [ -z "$key" ]; } || { [ -z "$cert" ] && [ -n "$key" ]; }; then
  fail "signing needs both --sign-cert and --sign-key"
fi
for file in "$cert" "$key"; do
  [ -z "$file" ] || [ -f "$file" ] || fail "'$file' does not exist"
done
[ -z "$sign_time" ] || [[ $sign_time =~ ^[0-9]+$ ]] ||
  fail "--sign-time must be seconds since 1970"
absolute() { realpath -m -- "$1"; }
archive=$(absolute "$archive")
setup=$(absolute "$setup")
output=$(absolute "$output")
[ -z "$cert" ] || cert=$(absolute "$cert")
[ -z "$key" ] || key=$(absolute "$key")
[ -d "$(dirname "$output")" ] || fail "the folder of '$output' does not exist"
[ ! -d "$output" ] || fail "'$output' is a directory"

version_define=()
if [ $has_previous_version -eq 1 ]; then
  version_define=(-DPREVIOUS_VERSION="$previous_version")
fi
# The same checks the build runs, before anything is configured.
if ! cmake -DARCHIVE="$archive" -DSETUP="$setup" -DSETUP_TYPE="$setup_type" \
    "${version_define[@]}" -DCHECK_ONLY=ON \
    -P "$project/cmake/pack-payload.cmake" 2>&1 |
    sed -n 's/^ *packaging: /pack-installer: /p' >&2; then
  exit 1
fi

# Every variable is set on every run, so that nothing of an earlier packing
# done in the same build directory is left over.
cmake -S "$project" -B "$build_dir" \
  --toolchain "$project/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DINSTALLER_BUILD_TESTS=OFF \
  -DINSTALLER_PACK_ARCHIVE="$archive" -DINSTALLER_PACK_SETUP="$setup" \
  -DINSTALLER_PACK_SETUP_TYPE="$setup_type" \
  -DINSTALLER_PACK_PREVIOUS_VERSION="$previous_version" \
  -DINSTALLER_PACK_SIGN_CERT="$cert" -DINSTALLER_PACK_SIGN_KEY="$key" \
  -DINSTALLER_PACK_SIGN_TIME="$sign_time" \
  -DINSTALLER_PACK_OUTPUT="$output" >/dev/null
# A stale result must not survive a failed packing.
rm -f -- "$output"
cmake --build "$build_dir" --target packed_installer -j2 >/dev/null
[ -f "$output" ] || fail "no installer was written"
echo "packed installer: $output ($(stat -c %s "$output") bytes," \
  "sha256 $(sha256sum "$output" | cut -d' ' -f1))"
