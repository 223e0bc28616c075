#!/usr/bin/env bash
# Builds libFuzzer targets natively with clang (fuzz/CMakeLists.txt) and
# runs each for a while.
#
#   tools/fuzz.sh [--seconds N] [--build-dir DIR] [--seeds-from BUILD]
#                 [TARGET...]
#
# N is the time per target (default 60); TARGET is one of the installer's
# text functions, wide_buf, argument_tail or referral_code, or one of the
# packer's readers, pe_image, version_block or cabinet (default: all).
# Each run starts from the seeds in fuzz/corpus/TARGET and keeps what it
# learns in DIR/corpus/TARGET (DIR defaults to build/fuzz), so the tree's
# seeds stay small. The packer's targets start from what a build of the
# tests made (BUILD, default build/wine): its packed installers and the
# files made for the packer's tests, their version blocks and cabinets.
# A crash or a failed check stops with a non-zero status and leaves the
# input in DIR/artifacts/; replay it with DIR/TARGET_fuzzer FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=60
build_dir=$root/build/fuzz
seeds_from=$root/build/wine
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --seeds-from) seeds_from=$(realpath -m -- "$2"); shift 2 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] ||
  targets=(wide_buf argument_tail referral_code pe_image version_block cabinet
    installer_reading)

tools/install-deps.sh
cmake -S fuzz -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build_dir" -j2 --target "${targets[@]/%/_fuzzer}" >/dev/null

# Seeds of the packer's targets from BUILD: whole files (under 1 MiB, so
# that a run gets through many), the version blocks the packer extracts
# from them, and the cabinets.
build_seeds() {  # TARGET DIR
  local packer=$seeds_from/pack/packer/installer-packer file
  local tests=$seeds_from/tests
  rm -rf "$2"
  mkdir -p "$2"
  case $1 in
    pe_image|installer_reading)
      find "$tests" "$tests/packaging-crafted" -maxdepth 1 -name '*.exe' \
        -size -1024k \( -name 'packed_*' -o -path '*crafted*' \) -exec cp {} "$2" \; ;;
    version_block)
      for file in "$tests"/packed_*.exe "$tests"/packaging-crafted/stub-*.exe; do
        "$packer" extract "$file" 16 1 --output "$2/$(basename "$file" .exe)" \
          >/dev/null 2>&1 || true
      done ;;
    cabinet)
      cp "$tests"/packed_bl.payload/SETUP.EX_ "$tests"/cabinet-fixtures/*.cab "$2" \
        2>/dev/null || true ;;
  esac
}

mkdir -p "$build_dir/artifacts"
summary=()
for target in "${targets[@]}"; do
  binary=$build_dir/${target}_fuzzer
  [ -x "$binary" ] || { echo "no target $target" >&2; exit 2; }
  seeds=()
  [ -d "$root/fuzz/corpus/$target" ] && seeds+=("$root/fuzz/corpus/$target")
  case $target in
    pe_image|version_block|cabinet|installer_reading)
      build_seeds "$target" "$build_dir/seeds/$target"
      [ -n "$(ls -A "$build_dir/seeds/$target")" ] || {
        echo "no seeds for $target in $seeds_from: build its tests first" \
          "(cmake --workflow --preset wine) or give --seeds-from" >&2
        exit 2
      }
      seeds+=("$build_dir/seeds/$target") ;;
  esac
  corpus=$build_dir/corpus/$target
  log=$build_dir/$target.log
  mkdir -p "$corpus"
  echo "== $target: ${seconds}s"
  # -timeout only catches a hang: one input takes microseconds.
  if ! "$binary" "$corpus" "${seeds[@]}" \
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
