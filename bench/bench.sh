#!/usr/bin/env bash
# How close installer.exe comes to the cost of simply copying its payload.
#
#   bench/bench.sh [--runs N] [--build-dir DIR]
#
# Builds installer.exe and the stand-in setup program (in build/bench by
# default), makes a payload the size of the real one (a 7z archive of
# exactly 149,863,928 bytes and a setup program of 4,393,984 bytes, which the
# packaging stores as an MSZIP cabinet), packs it, and then measures, in
# rounds and in this one invocation, under Wine in the build directory's
# own prefix:
#   full   the packed installer, started from its own folder; the setup
#          program exits at once (the stand-in without a report file)
#   empty  installer.exe without any payload: it makes and removes its work
#          directory and ends with 112, which is the platform's process start
#          and end plus the installer's fixed work
#   tiny   a 1 KB archive and the stand-in as it is: all fixed costs of a
#          successful run, including the setup program's own process start
#   yard   the physical yardstick: cp of the same archive file plus
#          cabextract of the same cabinet, into a folder beside the
#          installer's, on the same file system
# and prints the medians. Nothing here is part of the test suite.
set -euo pipefail

project=$(cd "$(dirname "$0")/.." && pwd)
runs=7
build="$project/build/bench"
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --build-dir) build=$(realpath -m -- "$2"); shift 2 ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[[ $runs =~ ^[0-9]+$ ]] && [ "$runs" -ge 1 ] || { echo "bench: --runs N" >&2; exit 2; }

archive_bytes=149863928
setup_bytes=4393984
say() { printf '[bench] %s\n' "$*" >&2; }

"$project/tools/install-deps.sh"
seven_zip=$(command -v 7zz || command -v 7z)
cxx=$(command -v x86_64-w64-mingw32-g++-posix || command -v x86_64-w64-mingw32-g++)
objdump=x86_64-w64-mingw32-objdump

say "building installer.exe and the stand-in setup program in $build"
cmake -S "$project" -B "$build" --toolchain "$project/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target installer setup_stand_in -j2 >/dev/null
installer="$build/installer/installer.exe"
stand_in="$build/tests/setup_stand_in/setup_stand_in.exe"
mkdir -p "$build/bench-tools"
measure="$build/bench-tools/measure_run.exe"
if [ ! -f "$measure" ] || [ "$project/bench/measure_run.cc" -nt "$measure" ]; then
  "$cxx" -O2 -municode -static -s -o "$measure" \
    "$project/bench/measure_run.cc" -lpsapi
fi

# ---- payload of the real size (made once, kept in the build directory)
fixtures="$build/bench-fixtures"
mkdir -p "$fixtures"
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
if [ "$(size_of "$fixtures/product.7z")" -ne $archive_bytes ]; then
  say "making a 7z archive of exactly $archive_bytes bytes"
  # Random content stores as it is (like an archive that is already
  # compressed); the first try tells the archive's own overhead.
  overhead=0
  for attempt in 1 2; do
    rm -f "$fixtures/product.7z" "$fixtures/korven.bin"
    head -c $((archive_bytes - overhead)) /dev/urandom >"$fixtures/korven.bin"
    (cd "$fixtures" && "$seven_zip" a -mx0 -bd -bso0 -bsp1 product.7z korven.bin)
    overhead=$(( $(size_of "$fixtures/product.7z") - archive_bytes + overhead ))
    [ "$(size_of "$fixtures/product.7z")" -eq $archive_bytes ] && break
  done
  rm -f "$fixtures/korven.bin"
  [ "$(size_of "$fixtures/product.7z")" -eq $archive_bytes ] ||
    { echo "bench: could not make the archive size exact" >&2; exit 1; }
fi
if [ "$(size_of "$fixtures/setup.exe")" -ne $setup_bytes ] ||
   [ "$stand_in" -nt "$fixtures/setup.exe" ]; then
  # The stand-in padded with machine code (the cross compiler's C++
  # runtime library), so that the cabinet compresses about as a real
  # program does; a program file may carry data after its last section.
  padding=$("$cxx" -print-file-name=libstdc++-6.dll)
  [ -f "$padding" ] || padding=/dev/urandom
  cp "$stand_in" "$fixtures/setup.exe"
  while [ "$(size_of "$fixtures/setup.exe")" -lt $setup_bytes ]; do
    head -c $((setup_bytes - $(size_of "$fixtures/setup.exe"))) "$padding" \
      >>"$fixtures/setup.exe"
  done
fi
if [ ! -f "$fixtures/tiny.7z" ]; then
  head -c 1000 /dev/urandom >"$fixtures/tiny.bin"
  (cd "$fixtures" && "$seven_zip" a -bd -bso0 tiny.7z tiny.bin)
  rm -f "$fixtures/tiny.bin"
fi

say "packing the full and the tiny installer (tools/pack-installer.sh)"
"$project/tools/pack-installer.sh" --stub "$installer" --archive "$fixtures/product.7z" \
  --setup "$fixtures/setup.exe" --output "$fixtures/full.exe" \
  --build-dir "$build/pack" >/dev/null
"$project/tools/pack-installer.sh" --stub "$installer" --archive "$fixtures/tiny.7z" \
  --setup "$stand_in" --output "$fixtures/tiny.exe" \
  --build-dir "$build/pack" >/dev/null
cabinet="$fixtures/full.SETUP.EX_"
"$build/pack/packer/installer-packer" extract "$fixtures/full.exe" BL SETUP.EX_ \
  --output "$cabinet" >/dev/null

# ---- the prefix, with HOME in the build tree so that Wine's links to the
# user's folders point there too
prefix="$build/wineprefix"
export HOME="$build/home"
mkdir -p "$HOME"
run_in_prefix() { "$project/tests/wine/run-in-prefix.sh" "$prefix" "$@"; }
wine_dir=$(dirname "$(command -v wine64 || echo /usr/lib/wine/wine64)")
wineserver="$wine_dir/wineserver"
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
say "preparing the Wine prefix $prefix"
run_in_prefix reg add 'HKCU\Software\Quenby\Update\ClientState\{3D1F5A27-8C40-4E96-B1D3-7A2C95E0F418}' \
  /v ap /t REG_SZ /d stable /f /reg:32 >/dev/null 2>&1 || true
# One wineserver for the whole measurement, so that no run pays for
# starting it; ended (only this prefix's) when the script ends. The one
# that the registry command started is let go first.
WINEPREFIX="$prefix" "$wineserver" -w
WINEPREFIX="$prefix" "$wineserver" -p
trap 'WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true' EXIT

stage="$prefix/drive_c/bench"
rm -rf "$stage"
mkdir -p "$stage/full" "$stage/empty" "$stage/tiny" "$stage/yard"
cp "$measure" "$stage/measure_run.exe"
cp "$fixtures/full.exe" "$stage/full/installer.exe"
cp "$installer" "$stage/empty/installer.exe"
cp "$fixtures/tiny.exe" "$stage/tiny/installer.exe"
unset STAND_IN_REPORT STAND_IN_INSTALL_TO TarvoSoftwareUpdateIsMachine

# This machine is a virtual machine whose free memory the host takes back
# or deduplicates; a page that the guest reuses after that costs several
# microseconds to touch again, which can make writing 150 MB five times
# slower from one run to the next (seen with a plain mmap-and-write program
# as well as with the installer; cp, which copies inside the kernel, was
# hit less). Each measured step is therefore preceded by writing 300 MB of
# the archive's (random) bytes through user space and deleting them, so that
# every contestant finds the same kind of free memory. Zeros do not do: the
# host treats zero pages specially and the slow runs came back.
prime() {
  cat "$fixtures/product.7z" >"$stage/yard/prime1"
  cat "$fixtures/product.7z" >"$stage/yard/prime2"
  rm -f "$stage/yard/prime1" "$stage/yard/prime2"
  cat "$stage/full/installer.exe" >/dev/null
}

results="$build/bench-results.txt"
: >"$results"
measure_installer() {  # CASE
  local line
  line=$(cd "$stage" && run_in_prefix measure_run.exe "$1\\installer.exe" | tr -d '\r')
  echo "$1 $line" >>"$results"
  echo "$line"
}
measure_yardstick() {
  local start end
  start=$EPOCHREALTIME
  cp "$fixtures/product.7z" "$stage/yard/KORVEN.PACKED.7Z"
  cabextract -q -d "$stage/yard" "$cabinet"
  end=$EPOCHREALTIME
  rm -f "$stage/yard/KORVEN.PACKED.7Z" "$stage/yard/setup.exe"
  echo "yard wall_ms=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", (e - s) * 1000 }')" >>"$results"
}

say "warming up (not counted)"
for case in full empty tiny; do
  prime
  line=$(cd "$stage" && run_in_prefix measure_run.exe "$case\\installer.exe" | tr -d '\r')
  case $case in
    empty) [[ $line == exit=112\ * ]] || { echo "bench: empty run: $line" >&2; exit 1; } ;;
    *) [[ $line == exit=0\ * ]] || { echo "bench: $case run: $line" >&2; exit 1; } ;;
  esac
done
prime
measure_yardstick
: >"$results"

for round in $(seq 1 "$runs"); do
  say "round $round of $runs"
  for case in full empty tiny; do
    prime
    measure_installer "$case" >/dev/null
  done
  prime
  measure_yardstick
done

# ---- the table
median() {  # CASE FIELD
  awk -v c="$1" -v f="$2" '$1 == c { for (i = 2; i <= NF; ++i) {
      split($i, kv, "="); if (kv[1] == f) print kv[2] } }' "$results" |
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan";
      else if (NR % 2) print v[(NR + 1) / 2];
      else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
extreme() {  # CASE FIELD min|max
  awk -v c="$1" -v f="$2" '$1 == c { for (i = 2; i <= NF; ++i) {
      split($i, kv, "="); if (kv[1] == f) print kv[2] } }' "$results" |
    sort -g | if [ "$3" = min ]; then head -1; else tail -1; fi
}
for case in full empty tiny; do
  if grep "^$case " "$results" | grep -vq "exit=$([ $case = empty ] && echo 112 || echo 0) "; then
    echo "bench: a $case run ended with an unexpected exit code:" >&2
    grep "^$case " "$results" >&2
    exit 1
  fi
done
full=$(median full wall_ms) empty=$(median empty wall_ms)
tiny=$(median tiny wall_ms) yard=$(median yard wall_ms)
text_bytes=$(( 16#$("$objdump" -h "$installer" | awk '$2 == ".text" { print $3 }') ))
exe_bytes=$(size_of "$installer")
mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
row() { printf '%-52s %10s %10s %10s\n' "$@"; }

echo
echo "Installer benchmark: medians of $runs runs each, all in this invocation"
echo "(Wine $(run_in_prefix --version 2>/dev/null | sed 's/^wine-//'), $(nproc) cores," \
     "$(findmnt -no FSTYPE -T "$stage") file system)"
echo
row "" median min max
for case in full empty tiny yard; do
  case $case in
    full) label="installer run, real-size payload (ms)" ;;
    empty) label="installer run, empty payload, exit 112 (ms)" ;;
    tiny) label="installer run, tiny payload (ms)" ;;
    yard) label="yardstick: cp archive + cabextract cabinet (ms)" ;;
  esac
  row "$label" "$(median $case wall_ms)" "$(extreme $case wall_ms min)" \
    "$(extreme $case wall_ms max)"
done
ratio() { awk -v a="$1" -v b="$2" -v y="$3" 'BEGIN { printf "%.2f", (a - b) / y }'; }
echo
row "ratio (full - empty) / yardstick  (target <= 1.5)" "$(ratio "$full" "$empty" "$yard")"
row "ratio (full - tiny) / yardstick" "$(ratio "$full" "$tiny" "$yard")"
echo
row "installer.exe without payload (target <= 32768 B)" "$exe_bytes B" \
  "$(awk -v b="$exe_bytes" 'BEGIN { printf "%.1f KiB", b / 1024 }')"
row "  of which code (.text, unpadded)" "$text_bytes B" \
  "$(awk -v b="$text_bytes" 'BEGIN { printf "%.1f KiB", b / 1024 }')"
echo
echo "Peak memory of the installer's process (highest counters seen while it ran):"
row "" "working set" "private"
for case in full empty tiny; do
  row "  $case" "$(mib "$(median $case peak_working_set)")" \
    "$(mib "$(median $case peak_pagefile)")"
done
echo
echo "(all runs: $results)"
