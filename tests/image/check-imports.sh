#!/usr/bin/env bash
# What the loader binds in installer.exe before its entry point runs, read
# with LLVM's own reader (not the project's): every imported library and
# function is on the allow-list kept beside this script, with a reason per
# library, and the load configuration asks for the system directory alone
# (DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32, 0x800).
#   check-imports.sh INSTALLER_EXE LLVM_READOBJ
set -u
exe=$1
readobj=${2:-llvm-readobj-14}
allowed="$(dirname "$0")/allowed-imports.txt"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

imports=$("$readobj" --coff-imports "$exe") || { echo "cannot read $exe"; exit 1; }
# "DLL FUNCTION" pairs of the image, and of the list.
imported=$(printf '%s\n' "$imports" | awk '
  /^  Name: / { dll = $2 }
  /^  Symbol: / { print dll, $2 }' | sort)
listed=$(awk '
  /^#/ || /^$/ { next }
  /^[^ ]/ {
    dll = $1; sub(/:$/, "", dll)
    if ($1 !~ /:$/ || NF < 2) { print "NO-REASON", dll; next }
    next
  }
  { print dll, $1 }' "$allowed" | sort)
printf '%s\n' "$listed" | grep -q '^NO-REASON' &&
  fail "a library of $allowed has no reason: $(printf '%s\n' "$listed" | grep '^NO-REASON')"
unlisted=$(comm -23 <(printf '%s\n' "$imported") <(printf '%s\n' "$listed"))
[ -z "$unlisted" ] || fail "imported but not on $allowed:
$unlisted"
[ -n "$imported" ] || fail "no imports read from $exe"

flags=$("$readobj" --coff-load-config "$exe" |
  sed -n 's/^ *DependentLoadFlags: *//p')
[ "$flags" = "0x800" ] ||
  fail "DependentLoadFlags is '${flags:-absent}', not 0x800 (System32 only)"

if [ $failed -eq 0 ]; then
  echo "installer imports: $(printf '%s\n' "$imported" | wc -l) allowed, DependentLoadFlags 0x800"
fi
exit $failed
