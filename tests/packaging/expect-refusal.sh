#!/usr/bin/env bash
# Runs a packer command that must refuse: it has to end with exit code
# CODE, say why (the message must match PATTERN), and leave the folder
# WATCH as it was (names, sizes and times of what is in it; the folder is
# made when missing).
#   expect-refusal.sh CODE PATTERN WATCH COMMAND [ARGS...]
set -u
code=$1 pattern=$2 watch=$3
shift 3
mkdir -p "$watch"
listing() { ls -lA --time-style=+%s.%N "$watch"; }
before=$(listing)
message=$("$@" 2>&1)
got=$?
echo "$message"
if [ $got -ne "$code" ]; then
  echo "FAIL: exit code $got, not $code"; exit 1
fi
if ! printf '%s\n' "$message" | grep -Eq -- "$pattern"; then
  echo "FAIL: no message matching '$pattern'"; exit 1
fi
after=$(listing)
if [ "$after" != "$before" ]; then
  echo "FAIL: $watch changed:"; diff <(echo "$before") <(echo "$after"); exit 1
fi
echo "ended as expected (exit $got)"
