#!/usr/bin/env bash
# The settings failure through the real installer.exe. The system's
# command-line splitter fails only when memory runs out, so this case gets a
# Wine prefix of its own whose system shell32.dll is a stand-in that always
# fails, and which Wine loads only for a program of one name. The installer
# must end with 101 and touch nothing: no work directory, no registry value.
#   settings-failure.sh INSTALLER_EXE FAILING_SHELL32 PREFIX SCRATCH
set -u
installer=$1 fake=$2 prefix=$3 scratch=$4
here=$(cd "$(dirname "$0")/.." && pwd)
run() { "$here/wine/run-in-prefix.sh" "$prefix" "$@"; }
wine_reg() { run reg "$@" >/dev/null 2>&1; }
state='HKCU\Software\Quenby\Update\ClientState\{3D1F5A27-8C40-4E96-B1D3-7A2C95E0F418}'

run cmd /c exit >/dev/null 2>&1  # creates the prefix on first use
cp "$fake" "$prefix/drive_c/windows/system32/shell32.dll" || exit 1
wine_reg add 'HKCU\Software\Wine\AppDefaults\settings-failure.exe\DllOverrides' \
  /v shell32 /d native /f || exit 1
wine_reg delete 'HKCU\Software\Quenby' /f /reg:32
wine_reg add "$state" /v ap /d stable /f /reg:32 || exit 1

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
cp "$installer" "$scratch/settings-failure.exe" || exit 1
run "$scratch/settings-failure.exe" --korven-beta --system-level
code=$?

failed=0
[ "$code" -eq 101 ] || { echo "FAIL: exit code $code, expected 101"; failed=1; }
left=$(ls -A "$scratch")
[ "$left" = "settings-failure.exe" ] ||
  { echo "FAIL: the run left: $left"; failed=1; }
values=$(run reg query "$state" /reg:32 2>/dev/null | tr -d '\r' | grep -E '^\s+\S+\s+REG_' | awk '{print $1"="$3}' | tr '\n' ' ')
[ "$values" = "ap=stable " ] ||
  { echo "FAIL: ClientState values are '$values', expected only ap=stable"; failed=1; }
[ $failed -eq 0 ] && echo "settings failure: 1 passed, 0 failed"
exit $failed
