#!/usr/bin/env bash
# Checks that every C++ file git knows of (tracked, or new and not ignored)
# is formatted as .clang-format says, with Debian's clang-format-14; with
# --fix, formats them in place instead.
#
#   tools/format.sh [--fix] [FILE...]
#
# FILE is relative to the top of the tree; without FILE, every .cc and .h
# file. Exits 1 and names the files (and the fix) when any is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
files=()
while [ $# -gt 0 ]; do
  case $1 in
    --fix) fix=1; shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
  esac
done
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard \
    -- '*.cc' '*.h' | sort -u)
fi
command -v clang-format-14 >/dev/null || tools/install-deps.sh

if [ $fix -eq 1 ]; then
  clang-format-14 -i "${files[@]}"
  exit 0
fi

# One diagnostic per misplaced spot; only the count per file is shown, the
# fix shows the rest.
report=$(clang-format-14 --dry-run -Werror "${files[@]}" 2>&1 >/dev/null) && {
  echo "format: all ${#files[@]} C++ files are formatted"
  exit 0
}
bad=$(printf '%s\n' "$report" | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: .*/\1/p' |
  sort | uniq -c)
if [ -z "$bad" ]; then
  printf '%s\n' "$report" >&2
  exit 1
fi
echo "format: $(printf '%s\n' "$bad" | wc -l) of ${#files[@]} files are not formatted (spots per file):" >&2
printf '%s\n' "$bad" >&2
echo "fix: tools/format.sh --fix   (then review and commit the change)" >&2
exit 1
