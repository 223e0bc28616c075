#!/usr/bin/env bash
# Packing an installer, against the same work done by hand.
#
#   bench/pack-bench.sh [--runs N] [--build-dir DIR]
#
# Builds installer.exe (the stub), the stand-in setup program and the
# packer (in build/pack-bench by default), makes a payload of the real size
# once (a 7z archive of exactly 149,863,928 bytes; the stand-in padded with
# machine code to 4,393,984 bytes), and then measures N rounds (default 5),
# the contestants taking turns within each round:
#   front   tools/pack-installer.sh --stub installer.exe ...: what a release
#           engineer runs, the front script and installer-packer
#   packer  installer-packer pack ... alone
#   hand    cp of the archive, then gcab -c -z of the setup program (copied
#           as setup.exe with the fixed time first, as the packer does):
#           the same bytes moved and compressed by hand
# and then, in rounds of their own: installer-packer pack signed with a
# throwaway RSA key (osslsigncode), and inspect and verify of the packed
# installer taking turns; last, once, the front's first use in a fresh
# build directory, which builds the packer.
# Every run writes new files beside the others on the same file system. The
# time is taken around the process from bash; the peak memory is what
# /usr/bin/time -v calls "Maximum resident set size" (for a process tree,
# its largest process). It prints medians with min-max, the ratios to
# hand, the packer's peak memory with a tiny archive for comparison, and
# the programs that one packing ran (strace -f, execve). Nothing here is
# part of the test suite.
set -euo pipefail

project=$(cd "$(dirname "$0")/.." && pwd)
runs=5
build="$project/build/pack-bench"
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --build-dir) build=$(realpath -m -- "$2"); shift 2 ;;
    -h|--help) sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "pack-bench: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[[ $runs =~ ^[0-9]+$ ]] && [ "$runs" -ge 1 ] || { echo "pack-bench: --runs N" >&2; exit 2; }
say() { printf '[pack-bench] %s\n' "$*" >&2; }

"$project/tools/install-deps.sh"
seven_zip=$(command -v 7zz || command -v 7z)
cxx=$(command -v x86_64-w64-mingw32-g++-posix || command -v x86_64-w64-mingw32-g++)

say "building installer.exe and the stand-in setup program in $build/project"
cmake -S "$project" -B "$build/project" --toolchain "$project/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DINSTALLER_BUILD_TESTS=ON >/dev/null
cmake --build "$build/project" --target installer setup_stand_in -j2 >/dev/null
stub="$build/project/installer/installer.exe"
stand_in="$build/project/tests/setup_stand_in/setup_stand_in.exe"

payload="$build/payload"
mkdir -p "$payload"
archive="$payload/korven.7z" setup="$payload/setup.exe" tiny="$payload/tiny.7z"
# A stored 7z archive of random bytes (like one that is already
# compressed) of exactly BYTES: a first try tells the format's overhead.
make_archive() {  # FILE BYTES
  local file=$1 bytes=$2 content=$1.content
  [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" -eq "$bytes" ] && return
  say "making $file, $bytes bytes"
  local size=$bytes
  for _ in 1 2; do
    head -c "$size" /dev/urandom >"$content"
    rm -f "$file"
    "$seven_zip" a -mx0 -bd -bso0 "$file" "$content"
    size=$((size - $(stat -c %s "$file") + bytes))
  done
  rm -f "$content"
  [ "$(stat -c %s "$file")" -eq "$bytes" ] || { echo "pack-bench: $file is not $bytes bytes" >&2; exit 1; }
}
make_archive "$archive" 149863928
make_archive "$tiny" 1024
# The stand-in followed by machine code (the cross compiler's C++ runtime),
# so that it compresses about as a real setup program does.
# (cat ends early, when head has enough.)
{ cat "$stand_in" "$("$cxx" -print-file-name=libstdc++-6.dll)" || true; } | head -c 4393984 >"$setup"

say "building the packer (the front does it on first use)"
work="$build/work"
rm -rf "$work"
mkdir -p "$work"
front() { "$project/tools/pack-installer.sh" --build-dir "$build/pack" --stub "$stub" "$@"; }
front --archive "$tiny" --setup "$stand_in" --output "$work/warm.exe" >/dev/null
packer="$build/pack/packer/installer-packer"
stamp=$(date -u -d @946684800 +%Y%m%d%H%M.%S)

results="$build/pack-bench-results.txt"
: >"$results"
run() {  # CASE COMMAND...: one timed run, its output files removed after
  local name=$1 start end
  shift
  rm -rf "$work/out"
  mkdir -p "$work/out"
  start=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null
  end=$EPOCHREALTIME
  echo "$name wall_ms=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", (e - s) * 1000 }')" \
    "peak_kib=$(cat "$work/rss")" >>"$results"
}
by_hand() {
  cp "$archive" "$work/out/KORVEN.PACKED.7Z"
  cp "$setup" "$work/out/setup.exe"
  TZ=UTC touch -t "$stamp" "$work/out/setup.exe"
  TZ=UTC gcab -c -n -z "$work/out/SETUP.EX_" "$work/out/setup.exe"
}
export -f by_hand
export archive setup stamp work
contestants() {  # ROUND: the three, in an order that turns with the round
  local order=(front packer hand) i
  for i in 0 1 2; do
    case ${order[$(( (i + $1) % 3 ))]} in
      front) run front "$project/tools/pack-installer.sh" --build-dir "$build/pack" --stub "$stub" \
               --archive "$archive" --setup "$setup" --output "$work/out/installer.exe" ;;
      packer) run packer "$packer" pack --stub "$stub" --archive "$archive" --setup "$setup" \
                --output "$work/out/installer.exe" ;;
      hand) run hand bash -c by_hand ;;
    esac
  done
}

say "warming up (not counted)"
contestants 0
: >"$results"
for round in $(seq 1 "$runs"); do
  say "round $round of $runs"
  contestants "$round"
done
run tiny "$packer" pack --stub "$stub" --archive "$tiny" --setup "$stand_in" \
  --output "$work/out/installer.exe"

say "signed packing, inspect and verify: $runs rounds"
keep="$work/keep"
mkdir -p "$keep"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keep/key.pem" -out "$keep/cert.pem" \
  -days 2 -subj "/CN=Throwaway Bench Signer" 2>/dev/null
"$packer" pack --stub "$stub" --archive "$archive" --setup "$setup" \
  --output "$keep/installer.exe" >/dev/null
for round in $(seq 1 "$runs"); do
  run signed "$packer" pack --stub "$stub" --archive "$archive" --setup "$setup" \
    --sign-cert "$keep/cert.pem" --sign-key "$keep/key.pem" --sign-time 946684800 \
    --output "$work/out/installer.exe"
  if [ $((round % 2)) -eq 0 ]; then
    run inspect "$packer" inspect "$keep/installer.exe"
    run verify "$packer" verify "$keep/installer.exe" --archive "$archive" --setup "$setup"
  else
    run verify "$packer" verify "$keep/installer.exe" --archive "$archive" --setup "$setup"
    run inspect "$packer" inspect "$keep/installer.exe"
  fi
done
say "the front's first use in a fresh build directory (builds the packer)"
rm -rf "$build/first-use"
run first "$project/tools/pack-installer.sh" --build-dir "$build/first-use" --stub "$stub" \
  --archive "$tiny" --setup "$stand_in" --output "$work/out/installer.exe"

values() { awk -v c="$1" -v f="$2" '$1 == c { for (i = 2; i <= NF; ++i) {
  split($i, kv, "="); if (kv[1] == f) print kv[2] } }' "$results" | sort -g; }
median() { values "$1" "$2" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
  else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() { echo "$(values "$1" "$2" | head -1)-$(values "$1" "$2" | tail -1)"; }
row() { printf '%-44s %12s %18s\n' "$@"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }

echo
echo "Packing benchmark: $runs rounds, all in this invocation ($(nproc) cores," \
  "$(findmnt -no FSTYPE -T "$work") file system)"
echo "payload: $(stat -c %s "$archive")-byte archive, $(stat -c %s "$setup")-byte setup program"
echo
row "" "median (ms)" "min-max (ms)"
row "front: tools/pack-installer.sh --stub" "$(median front wall_ms)" "$(spread front wall_ms)"
row "packer: installer-packer pack" "$(median packer wall_ms)" "$(spread packer wall_ms)"
row "by hand: cp archive + gcab -c -z setup" "$(median hand wall_ms)" "$(spread hand wall_ms)"
ratio() { awk -v a="$(median "$1" wall_ms)" -v b="$(median hand wall_ms)" 'BEGIN { printf "%.2f", a / b }'; }
echo
row "ratio front / by hand (target <= 2)" "$(ratio front)"
row "ratio packer / by hand" "$(ratio packer)"
echo
row "packer, signed (osslsigncode)" "$(median signed wall_ms)" "$(spread signed wall_ms)"
row "inspect of the packed installer" "$(median inspect wall_ms)" "$(spread inspect wall_ms)"
row "verify of the packed installer" "$(median verify wall_ms)" "$(spread verify wall_ms)"
row "front's first use (builds the packer)" "$(median first wall_ms)" "(one run)"
echo
echo "Peak memory (maximum resident set size):"
row "  packer, real-size archive (target <= 64 MiB)" "$(mib "$(median packer peak_kib)")"
row "  packer, 1 KiB archive" "$(mib "$(median tiny peak_kib)")"
row "  front (its largest process)" "$(mib "$(median front peak_kib)")"
row "  by hand (its largest process)" "$(mib "$(median hand peak_kib)")"
row "  signed packing (its largest process)" "$(mib "$(median signed peak_kib)")"
row "  inspect / verify" "$(mib "$(median inspect peak_kib)") / $(mib "$(median verify peak_kib)")"
row "  first use (its largest process)" "$(mib "$(median first peak_kib)")"

echo
if command -v strace >/dev/null; then
  strace -f -qq -e trace=execve -e signal=none -o "$work/exec.log" \
    "$project/tools/pack-installer.sh" --build-dir "$build/pack" --stub "$stub" \
    --archive "$tiny" --setup "$stand_in" --output "$work/out/installer.exe" >/dev/null
  echo "Programs one packing ran (strace -f -e trace=execve):"
  sed -n 's/^[0-9]* *execve("\([^"]*\)".*= 0$/\1/p' "$work/exec.log" | xargs -n1 basename |
    sort | uniq -c | sed 's/^/  /'
else
  echo "(strace not installed: the programs a packing runs are not listed)"
fi
echo "(all runs: $results)"
