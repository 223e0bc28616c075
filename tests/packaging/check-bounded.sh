#!/usr/bin/env bash
# A 488 KB file whose 4,032 resources share one name of 65,535 units and
# one 64 KiB range of data: inspect, verify and extract read it in time
# and memory that follow its size (each name read once, each range hashed
# once). The peak memory must stay under 64 MiB (reading each name anew
# took a gigabyte); the times are printed, not judged.
#   check-bounded.sh PACKER CRAFTED_FILE WORK_DIR
set -u
packer=$1 file=$2 work=$3
failed=0
rm -rf "$work"
mkdir -p "$work"
for case in "0|inspect|$file" "1|verify|$file;--archive;$file;--setup;$file" \
    "0|extract|$file;4032;$(printf 'N%.0s' $(seq 65535));--output;$work/data"; do
  IFS='|' read -r code command arguments <<<"$case"
  IFS=';' read -r -a arguments <<<"$arguments"
  /usr/bin/time -f "%e %M" -o "$work/time" "$packer" "$command" "${arguments[@]}" \
    >"$work/out" 2>&1
  got=$?
  read -r seconds kib < <(tail -n 1 "$work/time")
  echo "$command: exit $got, $seconds s, peak $((kib / 1024)) MiB, $(wc -c <"$work/out") bytes of output"
  [ $got -eq "$code" ] || { echo "FAIL: $command: exit $got, not $code: $(tail -c 300 "$work/out")"; failed=1; }
  [ "$kib" -lt 65536 ] || { echo "FAIL: $command: peak memory $kib KiB"; failed=1; }
done
[ $failed -eq 0 ] && echo "bounded work: 1 passed, 0 failed"
exit $failed
