#!/usr/bin/env bash
# The Windows suite as a Windows machine gets it: the zip unpacked into a
# folder of its own and run-suite.cmd run by Wine's cmd.exe, in a Wine
# prefix of its own. Passes when the runner passed, reported every program
# once as passed or skipped with totals that add up (in the window and in
# results\summary.txt alike), and reported every case that only Windows
# can decide as skipped with a reason beginning "Windows only:" (and no
# other case so); and when the prefix's registry and its temporary folder
# are after the run what they were before it, with a product key planted
# before the run back as it was. Those cases are the ones of a GoogleTest
# suite whose name begins with "OnWindows", in the sources below TESTS_DIR.
#   check-suite.sh RUN_IN_PREFIX PREFIX ZIP WORK_DIR "PROGRAM..." TESTS_DIR
set -uo pipefail
run_in_prefix=$1 prefix=$2 zip=$3 work=$4 tests_dir=$6
read -r -a programs <<<"$5"
mapfile -t windows_only < <(grep -rhoE --include='*.cc' \
  '^TEST(_F)?\(OnWindows[A-Za-z0-9_]*, *[A-Za-z0-9_]+\)' "$tests_dir" |
  sed -E 's/^TEST(_F)?\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\)$/\2.\3/')
[ ${#windows_only[@]} -gt 0 ] || { echo "no OnWindows cases in $tests_dir"; exit 1; }

rm -rf "$work" && mkdir -p "$work" || exit 1
(cd "$work" && cmake -E tar xf "$zip") || { echo "cannot unpack $zip"; exit 1; }
runner=$(find "$work" -maxdepth 2 -name run-suite.cmd | head -1)
[ -n "$runner" ] || { echo "no run-suite.cmd in $zip"; exit 1; }

# What a tester's machine holds: the whole registry, as reg.exe exports it,
# and the temporary folder. The first start of a prefix makes what it
# makes; the listing begins after it.
wine_reg() { "$run_in_prefix" "$prefix" reg "$@" >/dev/null 2>&1; }
machine_state() {
  local hive
  for hive in HKCU HKLM; do
    wine_reg export "$hive" "Z:${work//\//\\}\\$hive.reg" /y || echo "cannot export $hive"
    # reg.exe writes UTF-16. Wine's display driver writes a key of a new
    # name under Control\Video whenever its desktop starts, and names it
    # in HARDWARE\DEVICEMAP\VIDEO; no test touches either: left out.
    iconv -f UTF-16 -t UTF-8 "$work/$hive.reg" | tr -d '\r' |
      awk '/^\[/ { skip = index($0, "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video\\") == 1 }
           !skip && !/^"\\\\Device\\\\Video[0-9]+"=/'
  done
  echo "== the temporary folder"
  find "$prefix"/drive_c/users/*/Temp -mindepth 1 -printf '%P %y %s\n' | sort
}
wine_reg query 'HKCU\Software' || true
# Wine starts its debugger for the stand-in's deliberate fault whatever the
# error mode (it does not read it there), and the debugger keeps its
# settings in this key, made empty at its first start.
wine_reg add 'HKCU\Software\Wine\WineDbg' /f
# A product key as an installed product leaves it: the run must put it
# back as it was, deleted by the tests in between.
planted='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvo'
wine_reg add "$planted" /v KorvenInstallerCleanup /t REG_SZ /d kept /f
machine_state >"$work/before.txt"
"$run_in_prefix" "$prefix" cmd /c "Z:${runner//\//\\}" --no-pause \
  >"$work/output.txt" 2>&1
status=$?
machine_state >"$work/after.txt"
wine_reg delete "$planted" /f
# Wine's own client library writes "wine client error:ID: ..." on the
# console of a process that is ended in the middle of a request to the
# Wine server (a test's child ended on purpose), cutting into whatever line
# the runner writes then; it is Wine's, not the runner's.
tr -d '\r' <"$work/output.txt" |
  sed -E 's/wine client error:[0-9a-f]+: [^\n]*(passed|failed|skipped) /\1 /' \
    >"$work/output.lf"
cat "$work/output.lf"
echo "== run-suite.cmd exited with $status"

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
[ "$status" -eq 0 ] || fail "run-suite.cmd exited with $status"
if ! diff "$work/before.txt" "$work/after.txt" >"$work/machine.diff"; then
  cat "$work/machine.diff"
  fail "the registry or the temporary folder differ after the run (above)"
fi
grep -q 'KorvenInstallerCleanup"="kept"' "$work/after.txt" ||
  fail "the planted product key was not put back"
summary="$(dirname "$runner")/results/summary.txt"
if [ -f "$summary" ]; then
  tr -d '\r' <"$summary" >"$work/summary.lf"
  reported='^(passed|failed|skipped) |^ +(skipped|timed out)|^[0-9]+ passed'
  diff <(grep -E "$reported" "$work/output.lf") \
    <(grep -E "$reported" "$work/summary.lf") >/dev/null ||
    fail "results\\summary.txt differs from what the window showed"
else
  fail "no results\\summary.txt"
fi
for program in "${programs[@]}"; do
  count=$(grep -cE "^(passed|skipped) +$program\$" "$work/output.lf")
  [ "$count" -eq 1 ] || fail "$program is not reported once as passed or skipped"
done
for case in "${windows_only[@]}"; do
  grep -qE "^ +skipped $case: Windows only: ." "$work/output.lf" ||
    fail "$case is not reported skipped with a reason beginning 'Windows only:'"
done
reported=$(grep -cE "^ +skipped [A-Za-z0-9_]+\.[A-Za-z0-9_]+: Windows only:" \
  "$work/output.lf")
[ "$reported" -eq ${#windows_only[@]} ] ||
  fail "$reported cases skip as Windows only, ${#windows_only[@]} are known"
totals=$(tail -n 1 "$work/output.lf")
if [[ $totals =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed,\ ([0-9]+)\ skipped$ ]]; then
  sum=$((BASH_REMATCH[1] + BASH_REMATCH[2] + BASH_REMATCH[3]))
  [ "$sum" -eq ${#programs[@]} ] ||
    fail "the totals count $sum programs, the suite has ${#programs[@]}"
else
  fail "no closing line 'N passed, N failed, N skipped'"
fi
# A folder that is not whole stops the run before anything is touched.
rm "$(dirname "$runner")/files/installer/installer.exe"
"$run_in_prefix" "$prefix" cmd /c "Z:${runner//\//\\}" --no-pause \
  >"$work/cut.txt" 2>&1
cut_status=$?
[ "$cut_status" -eq 2 ] && grep -q "^The folder is not whole: 1 file" "$work/cut.txt" &&
  [ -f "$summary" ] ||
  fail "a folder without installer.exe was not stopped by the preflight (exit $cut_status)"
[ "$failures" -eq 0 ] && echo "== the suite ran under Wine as CTest runs it"
exit $((failures > 0))
