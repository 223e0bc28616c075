#!/usr/bin/env bash
# The cabinet "SETUP.EX_" as another cabinet reader sees it: exactly one
# file, "setup.exe", holding the setup program unchanged, with the fixed
# time that keeps packing reproducible.
#   check-cabinet.sh SETUP.EX_ SETUP_PROGRAM
set -u
cabinet=$1 setup=$2
failed=0
fail() { echo "FAIL: $*"; failed=1; }

listing=$(cabextract -l "$cabinet") || { echo "FAIL: cabextract cannot read $cabinet"; exit 1; }
entries=$(printf '%s\n' "$listing" | grep -E '^ *[0-9]+ \|' )
[ "$(printf '%s\n' "$entries" | wc -l)" -eq 1 ] || fail "not exactly one file: $entries"
printf '%s\n' "$entries" | grep -Eq '\| setup\.exe$' || fail "the file is not setup.exe: $entries"
printf '%s\n' "$entries" | grep -q '01.01.2000 00:00:00' ||
  fail "the file time is not the fixed one: $entries"
cabextract -q -p -F setup.exe "$cabinet" | cmp -s - "$setup" ||
  fail "setup.exe in the cabinet differs from $setup"

[ $failed -eq 0 ] && echo "cabinet: 1 passed, 0 failed"
exit $failed
