#!/usr/bin/env bash
# What an installer run costs against the same work done without it, and
# where every millisecond of a run goes.
#
#   bench/bench.sh [--runs N] [--traces N] [--build-dir DIR]
#
# Builds installer.exe and the stand-in setup program (in build/bench by
# default), makes a payload the size of the real one (a 7z archive of
# exactly 149,863,928 bytes and a setup program of 4,393,984 bytes, which the
# packaging stores as an MSZIP cabinet), packs it, and then measures, in
# rounds of three and in this one invocation, under Wine in the build
# directory's own prefix:
#   empty  installer.exe without payload: it makes and removes its work
#          directory and ends with 112 (the process's start and end)
#   full   the packed installer, started from its own folder; the setup
#          program exits at once (the stand-in without a report file)
#   yard   the same work done without the installer, step by step: cp of
#          the archive, cabextract of the cabinet, sync (fsync) of the
#          setup program, the setup program started once under Wine, and
#          rm of both files, beside the installer's folder
# Wall time and processor time are kept for each. Processor time is that of
# every process the case starts, the Windows ones included, however Wine
# reparents them (a cgroup v2 of the run, checked first with a child that
# spins a known time), plus the Wine server's and Wine's services' over the
# same time (a cgroup of their own). The ratio of a round is
# (full - empty) / yard; the median of those is printed with the medians.
# Then --traces runs of the full installer (default 5) are repeated under
# perf trace, with the Wine server traced too, and bench/stage_times.py cuts
# each into its stages; their medians are printed beside what the same step
# costs in the yardstick. Needs root (perf, cgroups). Nothing here is part
# of the test suite.
set -euo pipefail

project=$(cd "$(dirname "$0")/.." && pwd)
runs=9
traces=5
build="$project/build/bench"
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --traces) traces=$2; shift 2 ;;
    --build-dir) build=$(realpath -m -- "$2"); shift 2 ;;
    -h|--help) sed -n '2,31p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
for count in "$runs" "$traces"; do
  [[ $count =~ ^[0-9]+$ ]] && [ "$count" -ge 1 ] ||
    { echo "bench: --runs N and --traces N take a number of 1 or more" >&2; exit 2; }
done

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
say "packing the installer (tools/pack-installer.sh)"
"$project/tools/pack-installer.sh" --stub "$installer" --archive "$fixtures/product.7z" \
  --setup "$fixtures/setup.exe" --output "$fixtures/full.exe" \
  --build-dir "$build/pack" >/dev/null
# The yardstick expands the very cabinet the installer carries.
cabinet="$fixtures/full.SETUP.EX_"
"$build/pack/packer/installer-packer" extract "$fixtures/full.exe" BL SETUP.EX_ \
  --output "$cabinet" >/dev/null

# ---- the prefix, with HOME in the build tree so that Wine's links to the
# user's folders point there too
prefix="$build/wineprefix"
export HOME="$prefix-home"  # where tests/wine/run-in-prefix.sh puts it too
mkdir -p "$HOME"
run_in_prefix() { "$project/tests/wine/run-in-prefix.sh" "$prefix" "$@"; }
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
say "preparing the Wine prefix $prefix"
run_in_prefix reg add 'HKCU\Software\Quenby\Update\ClientState\{3D1F5A27-8C40-4E96-B1D3-7A2C95E0F418}' \
  /v ap /t REG_SZ /d stable /f /reg:32 >/dev/null 2>&1 || true
# The runs call Wine directly, with the settings run-in-prefix.sh uses.
# TMPDIR among them: Wine keeps its server's socket under it, and a
# different one would give the same prefix a second server.
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  WINEARCH=win64 TMPDIR="$HOME/tmp"
unset DISPLAY WAYLAND_DISPLAY STAND_IN_REPORT STAND_IN_INSTALL_TO \
  TarvoSoftwareUpdateIsMachine

# Processor time is counted by cgroup (v2), not by bash. Wine starts every
# Windows program through a double fork and reaps the middle process, so
# measure_run.exe's child (the installer) and the installer's child (the
# setup program) are children of init, and bash's `time`, which adds up
# only the children it reaps, never sees them. A cgroup's cpu.stat counts
# every task that has been in it, and a task stays in its parent's cgroup
# however it is reparented. Each measured command runs in the group "run";
# the Wine server and Wine's own services, which do the run's file and
# process work on its behalf, in the group "wine" (read over the same time).
cgroup_root=$(findmnt -rn -t cgroup2 -o TARGET | head -n 1)
[ -n "$cgroup_root" ] ||
  { echo "bench: needs a cgroup v2 hierarchy (none is mounted)" >&2; exit 1; }
groups="$cgroup_root$(awk -F: '$1 == "0" { print $3 }' /proc/self/cgroup)"
groups="${groups%/}/bench-$$"
mkdir -p "$groups/run" "$groups/wine"
in_group() {  # GROUP COMMAND...: the command and everything it starts
  local group=$1
  shift
  (echo "$BASHPID" >"$groups/$group/cgroup.procs" && "$@")
}
cpu_us() { awk '$1 == "usage_usec" { print $2 }' "$groups/$1/cpu.stat"; }
# A run is over when nothing of it is left; a process that outlives its run
# would otherwise add to the next.
wait_empty() {  # GROUP
  for _ in $(seq 200); do
    grep -qx 'populated 0' "$groups/$1/cgroup.events" && return
    sleep 0.05
  done
  echo "bench: processes of a run outlived it:" >&2
  xargs -r ps -o pid,args -p <"$groups/$1/cgroup.procs" >&2 || true
  exit 1
}

# One wineserver for the whole measurement, so that no run pays for
# starting it; ended (only this prefix's) when the script ends. Its pid is
# kept for the traces.
server_pid=''
# This prefix's server, among those of any other prefix on the machine.
find_server() {
  local pid
  for pid in $(pgrep -x wineserver64 || true); do
    # A server of another prefix may end between the listing and the read.
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null |
        grep -qxF "WINEPREFIX=$prefix"; then
      echo "$pid"
      return
    fi
  done
}
start_server() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  in_group wine setsid "$wineserver" -f -p </dev/null >/dev/null 2>&1 &
  server_pid=''
  for _ in $(seq 100); do
    server_pid=$(find_server)
    [ -n "$server_pid" ] && break
    sleep 0.05
  done
  [ -n "$server_pid" ] || { echo "bench: the Wine server did not start" >&2; exit 1; }
  # The first program of a fresh server also starts Wine's own services;
  # that start belongs to no run.
  in_group wine "$wine" cmd /c exit >/dev/null 2>&1 || true
}
# Every run needs the one server: a server that ended would be started
# again by the next run, inside its group.
server_alive() {
  [ "$(find_server)" = "$server_pid" ] ||
    { echo "bench: the Wine server $server_pid ended during the measurement" >&2; exit 1; }
}
end_server() {
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  for _ in $(seq 100); do
    rmdir "$groups/run" "$groups/wine" "$groups" 2>/dev/null && return
    sleep 0.05
  done
  echo "bench: could not remove $groups" >&2
}
trap end_server EXIT
start_server

stage="$prefix/drive_c/bench"
rm -rf "$stage"
mkdir -p "$stage/full" "$stage/empty" "$stage/yard"
cp "$measure" "$stage/measure_run.exe"
cp "$fixtures/full.exe" "$stage/full/installer.exe"
cp "$installer" "$stage/empty/installer.exe"

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

now_ms() { echo "${EPOCHREALTIME/./}" | awk '{ printf "%.3f", $1 / 1000 }'; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
results="$build/bench-results.txt"

# Runs a command in the group "run" and appends to $results:
#   CASE cpu_ms=... wine_cpu_ms=... reaped_cpu_ms=... [fields it printed]
# cpu_ms is the processor time of everything the command started (its
# group) plus what the Wine server and services used meanwhile; wine_cpu_ms
# is that last part alone. reaped_cpu_ms is what bash's own accounting of
# its reaped children says, which misses every Windows process started by
# another: kept only to show the difference.
timed() {  # CASE COMMAND...
  local case=$1 run_before wine_before reaped_file line
  shift
  server_alive
  reaped_file=$(mktemp)
  run_before=$(cpu_us run)
  wine_before=$(cpu_us wine)
  { TIMEFORMAT='%3U %3S'; time line=$(in_group run "$@"); } 2>"$reaped_file"
  wait_empty run
  local run_us wine_us
  run_us=$(( $(cpu_us run) - run_before ))
  wine_us=$(( $(cpu_us wine) - wine_before ))
  echo "$case $(awk -v run="$run_us" -v wine="$wine_us" '{ printf \
    "cpu_ms=%.1f wine_cpu_ms=%.1f reaped_cpu_ms=%.1f", (run + wine) / 1000, \
    wine / 1000, ($1 + $2) * 1000 }' "$reaped_file") $line" >>"$results"
  rm -f "$reaped_file"
}
measured_run() {  # PROGRAM [ARGUMENTS...]
  (cd "$stage" && "$wine" measure_run.exe "$@" | tr -d '\r')
}
installer_run() { measured_run "$1\\installer.exe"; }  # CASE
# The same work without the installer, each step timed on its own.
yardstick() {
  local t0 t1 t2 t3 t4 t5
  t0=$(now_ms)
  cp "$fixtures/product.7z" "$stage/yard/KORVEN.PACKED.7Z"
  t1=$(now_ms)
  cabextract -q -d "$stage/yard" "$cabinet"
  sync "$stage/yard/setup.exe"
  t2=$(now_ms)
  (cd "$stage" && "$wine" 'C:\bench\yard\setup.exe' \
    '--install-archive=C:\bench\yard\KORVEN.PACKED.7Z') || true
  t3=$(now_ms)
  rm -f "$stage/yard/KORVEN.PACKED.7Z" "$stage/yard/setup.exe"
  t4=$(now_ms)
  echo "wall_ms=$(elapsed "$t0" "$t4") cp_ms=$(elapsed "$t0" "$t1")" \
    "expand_flush_ms=$(elapsed "$t1" "$t2") setup_ms=$(elapsed "$t2" "$t3")" \
    "rm_ms=$(elapsed "$t3" "$t4")"
}

: >"$results"
# The accounting is put to the test first: measure_run.exe starts a copy of
# itself that spins until it has used $spin_ms ms of processor time, a
# Windows child started exactly as the installer is. Its run must count at
# least that.
spin_ms=300
say "checking that processor time counts every process of a run"
timed check measured_run measure_run.exe --spin $spin_ms
read -r check_ms check_reaped_ms < <(awk '$1 == "check" { for (i = 2; i <= NF; ++i) {
    split($i, kv, "="); v[kv[1]] = kv[2] } print v["cpu_ms"] - v["wine_cpu_ms"],
    v["reaped_cpu_ms"] }' "$results")
awk -v got="$check_ms" -v want="$spin_ms" 'BEGIN { exit !(got >= want) }' ||
  { echo "bench: a child spinning $spin_ms ms counted only $check_ms ms" >&2; exit 1; }

# Other work on the machine shows in every figure: its load is printed too.
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
say "warming up (not counted)"
for case in empty full; do
  prime
  line=$(installer_run "$case")
  case $case in
    empty) [[ $line == exit=112\ * ]] || { echo "bench: empty run: $line" >&2; exit 1; } ;;
    full) [[ $line == exit=0\ * ]] || { echo "bench: full run: $line" >&2; exit 1; } ;;
  esac
done
prime
yardstick >/dev/null

for round in $(seq 1 "$runs"); do
  say "round $round of $runs"
  for case in empty full; do
    prime
    timed "$case" installer_run "$case"
  done
  prime
  timed yard yardstick
done

# ---- traced runs: the stages of the full run
traces_dir="$build/traces"
rm -rf "$traces_dir"
mkdir -p "$traces_dir"
stages="$build/bench-stages.txt"
: >"$stages"
# perf trace reads the kernel's syscall tracepoints: the traced processes
# are not stopped at each call, as strace stops them, so a traced run keeps
# about its untraced pace. The Wine server is traced by its pid, the run
# (measure_run.exe and the processes it starts) as perf's workload.
for trace in $(seq 1 "$traces"); do
  say "traced run $trace of $traces"
  prime
  perf trace -T -e mkdir,mkdirat,rmdir,unlink,unlinkat,openat -p "$server_pid" \
    -o "$traces_dir/server-$trace.txt" &
  tracer=$!
  sleep 0.5  # perf attaches before the run starts
  (cd "$stage" && perf trace -T \
    -e clone,clone3,vfork,execve,exit_group,fsync,pread64,sched:sched_process_exit \
    -o "$traces_dir/run-$trace.txt" -- "$wine" measure_run.exe 'full\installer.exe' \
    >/dev/null)
  kill -INT "$tracer"
  wait "$tracer" || true
  python3 "$project/bench/stage_times.py" "$traces_dir/run-$trace.txt" \
    "$traces_dir/server-$trace.txt" >>"$stages"
done

# ---- the tables
values() {  # FILE CASE FIELD: one value a line
  awk -v c="$2" -v f="$3" '$1 == c || c == "" { for (i = 1; i <= NF; ++i) {
      split($i, kv, "="); if (kv[1] == f) print kv[2] } }' "$1"
}
stat_of() {  # median|min|max, values on standard input
  sort -g | awk -v what="$1" '{ v[NR] = $1 } END {
      if (NR == 0) { print "nan"; exit }
      if (what == "min") print v[1]; else if (what == "max") print v[NR];
      else if (NR % 2) print v[(NR + 1) / 2];
      else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
of() { values "$results" "$1" "$2" | stat_of "${3:-median}"; }
stage_of() { values "$stages" "" "$1" | stat_of "${2:-median}"; }
for case in empty full; do
  want=$([ $case = empty ] && echo 112 || echo 0)
  if grep "^$case " "$results" | grep -vq "exit=$want "; then
    echo "bench: a $case run ended with an unexpected exit code:" >&2
    grep "^$case " "$results" >&2
    exit 1
  fi
done
# The ratio of each round: its full, empty and yard lines, in that order.
pair_ratios() {  # FIELD
  awk -v f="$1" '{ for (i = 2; i <= NF; ++i) { split($i, kv, "=");
      if (kv[1] == f) v[$1] = kv[2] } }
    $1 == "yard" { printf "%.3f\n", (v["full"] - v["empty"]) / v["yard"] }' "$results"
}
text_bytes=$(( 16#$("$objdump" -h "$installer" | awk '$2 == ".text" { print $3 }') ))
exe_bytes=$(stat -c %s "$installer")
mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
row() { printf '%-48s %9s %9s %9s %9s\n' "$@"; }
range() { echo "$(of "$1" "$2" min)-$(of "$1" "$2" max)"; }

echo
echo "Installer benchmark: $runs rounds (empty, full, yardstick), all in this invocation"
echo "(Wine $("$wine" --version 2>/dev/null | sed 's/^wine-//'), $(nproc) cores," \
     "$(findmnt -no FSTYPE -T "$stage") file system;" \
     "load average $load_before before the runs, $(cut -d' ' -f1-3 /proc/loadavg) after)"
echo
row "" "wall ms" "range" "cpu ms" "range"
row "installer without payload (exit 112)" "$(of empty wall_ms)" "$(range empty wall_ms)" \
  "$(of empty cpu_ms)" "$(range empty cpu_ms)"
row "installer with the real-size payload" "$(of full wall_ms)" "$(range full wall_ms)" \
  "$(of full cpu_ms)" "$(range full cpu_ms)"
row "yardstick: cp, cabextract, sync, setup, rm" "$(of yard wall_ms)" "$(range yard wall_ms)" \
  "$(of yard cpu_ms)" "$(range yard cpu_ms)"
echo
row "(full - empty) / yardstick, median of rounds" \
  "$(pair_ratios wall_ms | stat_of median)" \
  "$(pair_ratios wall_ms | stat_of min)-$(pair_ratios wall_ms | stat_of max)" \
  "$(pair_ratios cpu_ms | stat_of median)" \
  "$(pair_ratios cpu_ms | stat_of min)-$(pair_ratios cpu_ms | stat_of max)"
row "  target (wall)" "<= 1.25"
echo
echo "Processor time is counted by cgroup, for every process a run starts: a Windows"
echo "child that spun $spin_ms ms counted $check_ms ms (bash's accounting of the processes"
echo "it reaped: $check_reaped_ms ms)."
echo
echo "Where a full run's wall time goes: medians of $traces traced runs (perf trace of"
echo "the run and of the Wine server), beside the same step of the yardstick"
row "" "ms" "range" "yardstick" "step"
stage_row() {  # STAGE LABEL [YARD_FIELD YARD_LABEL]
  local yard='' label=''
  if [ -n "${3:-}" ]; then yard=$(of yard "$3"); label=$4; fi
  row "$2" "$(stage_of "$1")" "$(stage_of "$1" min)-$(stage_of "$1" max)" "$yard" "$label"
}
stage_row start "start, to the work directory"
stage_row archive "archive written" cp_ms cp
stage_row setup_ready "setup program expanded and flushed" expand_flush_ms cabextract+sync
stage_row check "setup program read back twice, compared"
stage_row setup_run "setup program run (its start and end)" setup_ms wine
stage_row cleanup "cleanup" rm_ms rm
stage_row end "report and end"
stage_row total "total (traced)"
echo
row "installer.exe without payload" "$exe_bytes B" \
  "$(awk -v b="$exe_bytes" 'BEGIN { printf "%.1f KiB", b / 1024 }')"
row "  of which code (.text, unpadded)" "$text_bytes B" \
  "$(awk -v b="$text_bytes" 'BEGIN { printf "%.1f KiB", b / 1024 }')"
echo
echo "Peak memory of the installer's process (highest counters seen while it ran):"
row "" "working set" "private"
for case in empty full; do
  row "  $case" "$(mib "$(of $case peak_working_set)")" "$(mib "$(of $case peak_pagefile)")"
done
echo
echo "(all runs: $results; stages: $stages; traces: $traces_dir)"
