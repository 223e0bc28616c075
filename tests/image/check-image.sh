#!/usr/bin/env bash
# What the loader sees in installer.exe: a GUI program that imports nothing
# but the system libraries kernel32 and advapi32 (shell32, cabinet.dll and,
# where Windows has it, cryptbase.dll are loaded by full path from the
# system directory at run time), with ASLR (high entropy), NX and its
# relocations kept.
#   check-image.sh INSTALLER_EXE OBJDUMP
set -u
exe=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
headers=$("$objdump" -p "$exe") || { echo "cannot read $exe"; exit 1; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }

dlls=$(printf '%s\n' "$headers" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
[ "$dlls" = "ADVAPI32.DLL KERNEL32.DLL " ] ||
  fail "imports are '$dlls', expected ADVAPI32.DLL KERNEL32.DLL only"

printf '%s\n' "$headers" | grep -Eq '^Subsystem\s+00000002' ||
  fail "subsystem is not Windows GUI (2)"
for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT; do
  printf '%s\n' "$headers" | grep -Eq "^\s+$flag\$" || fail "missing $flag"
done
printf '%s\n' "$headers" | grep -q 'relocations stripped' &&
  fail "relocations are stripped"
"$objdump" -h "$exe" | grep -Eq '\s\.reloc\s' || fail "no .reloc section"
printf '%s\n' "$headers" | grep -Eq '^Time/Date\s+Thu Jan  1 00:00:00 1970' ||
  fail "the header carries a build timestamp"

# The manifest, icon and version block are present.
"$objdump" -h "$exe" | grep -Eq '\s\.rsrc\s' || fail "no resources"
for text in asInvoker Microsoft.Windows.Common-Controls \
    e2011457-1546-43c5-a5fe-008deee3d3f0 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  grep -aq "$text" "$exe" || fail "manifest lacks $text"
done
LC_ALL=C grep -aqP 'V\x00S\x00_\x00V\x00E\x00R\x00S\x00I\x00O\x00N\x00_\x00I\x00N\x00F\x00O' "$exe" ||
  fail "no version block"

if [ $failed -eq 0 ]; then echo "installer image: 1 passed, 0 failed"; fi
exit $failed
