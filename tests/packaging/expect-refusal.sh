#!/usr/bin/env bash
# Runs a packing command that must refuse its input: it has to fail, say
# why (the message must match PATTERN), and leave no installer behind.
#   expect-refusal.sh PATTERN OUTPUT_FILE COMMAND [ARGS...]
set -u
pattern=$1 output=$2
shift 2
rm -f -- "$output"
message=$("$@" 2>&1)
code=$?
echo "$message"
if [ $code -eq 0 ]; then
  echo "FAIL: the command succeeded"; exit 1
fi
if ! printf '%s\n' "$message" | grep -Eq -- "$pattern"; then
  echo "FAIL: no message matching '$pattern'"; exit 1
fi
if [ -e "$output" ]; then
  echo "FAIL: $output was written anyway"; exit 1
fi
echo "refused as expected (exit $code)"
