#!/usr/bin/env bash
# A packing whose cabinet tool fails, is missing, or is still running when
# the packing is interrupted, or whose signing tool damages the file: the
# exit code and message that say so, the tool ended with the packing, and
# nothing left in the output's folder.
#   check-tool-failures.sh PACKER STUB ARCHIVE SETUP WORK_DIR
set -u
packer=$1 stub=$2 archive=$3 setup=$4 work=$5
failed=0
fail() { echo "FAIL: $*"; failed=1; }
rm -rf "$work"
mkdir -p "$work/bin" "$work/out"
# A gcab that leaves its process id where GCAB_STARTED says (and its
# parent's beside it), then fails or waits, as GCAB_MODE says.
cat >"$work/bin/gcab" <<'SCRIPT'
#!/bin/sh
echo $PPID >"$GCAB_STARTED.parent"
echo $$ >"$GCAB_STARTED.partial" && mv "$GCAB_STARTED.partial" "$GCAB_STARTED"
[ "$GCAB_MODE" = fail ] && { echo "gcab: cannot compress" >&2; exit 3; }
exec sleep 60
SCRIPT
chmod +x "$work/bin/gcab"
export GCAB_STARTED="$work/gcab.pid"
packing=("$packer" pack --stub "$stub" --archive "$archive" --setup "$setup"
         --output "$work/out/installer.exe")
expect() {  # WHAT CODE GOT PATTERN
  [ "$3" -eq "$2" ] || fail "$1: exit code $3, not $2"
  grep -Eq "$4" "$work/log" || fail "$1: no message matching '$4': $(cat "$work/log")"
  [ -z "$(ls -A "$work/out")" ] || fail "$1: left in the output's folder: $(ls -A "$work/out")"
}

GCAB_MODE=fail PATH="$work/bin:$PATH" "${packing[@]}" 2>"$work/log"
expect "a failing gcab" 4 $? "gcab ended with 3:"
grep -q "cannot compress" "$work/log" || fail "gcab's own message is not passed on"

PATH="$work/nothing" "${packing[@]}" 2>"$work/log"
expect "no gcab" 4 $? "gcab is needed and was not found on PATH \(Debian package gcab"

rm -f "$GCAB_STARTED"
# A simple command in the background: $! is the packer itself.
GCAB_MODE=wait PATH="$work/bin:$PATH" "${packing[@]}" 2>"$work/log" &
packer_pid=$!
for _ in $(seq 100); do [ -f "$GCAB_STARTED" ] && break; sleep 0.1; done
kill -TERM "$packer_pid"
for _ in $(seq 50); do kill -0 "$packer_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$packer_pid" 2>/dev/null; then
  fail "the packing still runs 5 s after it was interrupted"
  kill -KILL "$packer_pid" "$(cat "$GCAB_STARTED")"
fi
wait "$packer_pid"
expect "interrupted while gcab runs" 143 $? "interrupted by signal 15"
! kill -0 "$(cat "$GCAB_STARTED" 2>/dev/null || echo 0)" 2>/dev/null ||
  fail "gcab still runs after the packing ended"

# The same signal while the packer is still coming back from starting gcab,
# every signal held by the C library's spawn (strace keeps it there for
# 2 s): it arrives before the wait begins, and must end it all the same.
rm -f "$GCAB_STARTED"
GCAB_MODE=wait PATH="$work/bin:$PATH" strace -o /dev/null -e trace=clone,clone3 \
  -e inject=clone,clone3:delay_exit=2000000 "${packing[@]}" 2>"$work/log" &
tracer=$!
for _ in $(seq 100); do [ -f "$GCAB_STARTED" ] && break; sleep 0.1; done
kill -TERM "$(cat "$GCAB_STARTED.parent")"
for _ in $(seq 70); do kill -0 "$tracer" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$tracer" 2>/dev/null; then
  fail "the packing still runs 5 s after an interruption that came just after gcab started"
  kill -KILL "$(cat "$GCAB_STARTED.parent")" "$(cat "$GCAB_STARTED")"
fi
wait "$tracer"
expect "interrupted just after gcab started" 143 $? "interrupted by signal 15"

# An osslsigncode that changes a byte of what it signs: the read-back of
# the finished file finds its checksum wrong, and nothing is published.
mkdir -p "$work/signer"
cat >"$work/signer/osslsigncode" <<'SCRIPT'
#!/bin/sh
while [ $# -gt 0 ]; do
  case $1 in -in) in=$2; shift ;; -out) out=$2; shift ;; esac
  shift
done
cp "$in" "$out" && printf 'X' | dd of="$out" bs=1 seek=1000 conv=notrunc 2>/dev/null
SCRIPT
chmod +x "$work/signer/osslsigncode"
PATH="$work/signer:$PATH" "${packing[@]}" --sign-cert "$archive" --sign-key "$setup" 2>"$work/log"
expect "a signing tool that damages the file" 4 $? \
  "fails inspect's checks, so it is not written: its checksum is not the file's"

[ $failed -eq 0 ] && echo "tool failures: 1 passed, 0 failed"
exit $failed
