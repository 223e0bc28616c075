#!/usr/bin/env bash
# Builds the libFuzzer targets of the installer's pure text functions
# natively with clang (fuzz/CMakeLists.txt) and runs each for a while.
#
#   tools/fuzz.sh [--seconds N] [--build-dir DIR] [TARGET...]
#
# N is the time per target (default 60); TARGET is wide_buf, argument_tail
# or referral_code (default: all). Each run starts from the seeds in
# fuzz/corpus/TARGET and keeps what it learns in DIR/corpus/TARGET (DIR
# defaults to build/fuzz), so the tree's seeds stay small. A crash or a
# failed check stops with a non-zero status and leaves the input in
# DIR/artifacts/; replay it with DIR/TARGET_fuzzer FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=60
build_dir=$root/build/fuzz
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(wide_buf argument_tail referral_code)

tools/install-deps.sh
cmake -S fuzz -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build_dir" -j2 >/dev/null

mkdir -p "$build_dir/artifacts"
summary=()
for target in "${targets[@]}"; do
  binary=$build_dir/${target}_fuzzer
  seeds=$root/fuzz/corpus/$target
  [ -x "$binary" ] && [ -d "$seeds" ] || { echo "no target $target" >&2; exit 2; }
  corpus=$build_dir/corpus/$target
  log=$build_dir/$target.log
  mkdir -p "$corpus"
  echo "== $target: ${seconds}s"
  # -timeout only catches a hang: one input takes microseconds.
  if ! "$binary" "$corpus" "$seeds" \
      -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$build_dir/artifacts/$target-" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "FAILED: $target (log $log, input in $build_dir/artifacts/)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
  line="$target: ${runs:-?} runs in ${secs:-?} s, ${cov:-cov: ?}, corpus $(ls "$corpus" | wc -l) files"
  echo "$line"
  summary+=("$line")
done
echo "== all fuzz targets passed"
printf '%s\n' "${summary[@]}"
