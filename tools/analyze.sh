#!/usr/bin/env bash
# Static analysis of the product (installer/) with Debian's clang-tidy-14 and
# the checks chosen in .clang-tidy. It reads compile_commands.json of the
# clang cross build (preset "analyze", build/analyze, configured only), so
# it parses every file as clang-14 compiles it for x86_64-w64-mingw32:
# mingw-w64 headers, the product's own defines. Any finding fails the run.
#
#   tools/analyze.sh [FILE...]      (default: every installer/*.cc)
set -euo pipefail
cd "$(dirname "$0")/.."

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard \
    -- 'installer/*.cc')
fi
command -v clang-tidy-14 >/dev/null || tools/install-deps.sh
cmake --preset analyze >/dev/null

log=build/analyze/clang-tidy.log
# Two files at a time, like every other step on this two-core machine; the
# count of warnings clang-tidy generated (and did not show) is noise.
status=0
printf '%s\n' "${files[@]}" |
  xargs -P 2 -n 1 clang-tidy-14 -p build/analyze --quiet >"$log" 2>&1 ||
  status=$?
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" || true
if [ $status -ne 0 ]; then
  echo "analysis: findings above (fix them, or suppress a check that is" \
       "wrong for the line with // NOLINT(check) and the reason)" >&2
  exit 1
fi
echo "analysis: clang-tidy found nothing in ${#files[@]} files"
