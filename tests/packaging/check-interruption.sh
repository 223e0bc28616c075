#!/usr/bin/env bash
# Ctrl-C and an ordinary kill end every command of the packer in the
# middle of its work: inspect, verify and extract of a sparse installer
# whose archive is a gigabyte of zeros. Each command is signalled once it
# has read or written 64 MiB (/proc/PID/io), must end with 128 + the
# signal's number and leave nothing in the output's folder; the time from
# the signal to its end is printed, not judged.
#   check-interruption.sh PACKER CRAFT WORK_DIR
set -u
packer=$1 craft=$2 work=$3
failed=0
fail() { echo "FAIL: $*"; failed=1; }
rm -rf "$work"
mkdir -p "$work/out"
size=1000000000
"$craft" --big "$work/big.exe" $size || { echo "FAIL: no sparse installer"; exit 1; }
truncate -s $size "$work/archive.7z"
touch "$work/setup.exe"

moved() {  # PID: bytes read and written so far
  awk '/^(rchar|wchar):/ { sum += $2 } END { print sum + 0 }' "/proc/$1/io" 2>/dev/null || echo 0
}
for case in "INT|inspect|$work/big.exe" \
    "TERM|verify|$work/big.exe;--archive;$work/archive.7z;--setup;$work/setup.exe" \
    "INT|extract|$work/big.exe;B7;KORVEN.PACKED.7Z;--output;$work/out/archive.7z"; do
  IFS='|' read -r signal command arguments <<<"$case"
  IFS=';' read -r -a arguments <<<"$arguments"
  "$packer" "$command" "${arguments[@]}" >/dev/null 2>"$work/log" &
  pid=$!
  for _ in $(seq 1000); do
    [ "$(moved $pid)" -gt $((64 << 20)) ] || ! kill -0 $pid 2>/dev/null && break
    sleep 0.01
  done
  start=$EPOCHREALTIME
  kill -"$signal" $pid
  wait $pid
  code=$?
  took=$(awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%d", (e - s) * 1000 }')
  number=$(kill -l "$signal")
  [ $code -eq $((128 + number)) ] || fail "$command: exit code $code, not $((128 + number)): $(cat "$work/log")"
  grep -q "interrupted by signal $number" "$work/log" || fail "$command: $(cat "$work/log")"
  [ -z "$(ls -A "$work/out")" ] || fail "$command: left $(ls -A "$work/out")"
  echo "$command: ended ${took} ms after SIG$signal, with $code"
done
rm -f "$work/big.exe" "$work/archive.7z"
[ $failed -eq 0 ] && echo "interruptions: 1 passed, 0 failed"
exit $failed
