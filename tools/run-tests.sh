#!/usr/bin/env bash
# Installs what is missing, then runs every check CI runs, each to its end
# even when one before it failed, and sums them up: the format check, the
# static analysis, and the cross build with its tests under Wine, once with
# GCC (build/wine) and once with clang (build/wine-clang; the tests whose
# outcome does not depend on the compiler run in the GCC suite only). Each
# Wine prefix lives in its build directory. Fails when any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh || exit 1

summary=()
failed=0
step() {
  local name=$1
  shift
  echo "== $name: $*"
  local start=$SECONDS status=passed
  "$@" || { status=FAILED; failed=1; }
  summary+=("$(printf '%-7s %-12s %5d s' "$status" "$name" $((SECONDS - start)))")
}
step format tools/format.sh
step analysis tools/analyze.sh
step gcc cmake --workflow --preset wine
step clang cmake --workflow --preset wine-clang
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $failed
