#!/usr/bin/env bash
# The main job: installs what is missing, builds installer.exe and runs it
# once under Wine in the build tree's own prefix, printing its exit code.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset wine >/dev/null
cmake --build --preset wine --target installer
exe=build/wine/installer/installer.exe
echo "built $exe ($(stat -c %s "$exe") bytes)"
set +e
tests/wine/run-in-prefix.sh "$PWD/build/wine/wineprefix" "$exe" "$@"
code=$?
set -e
echo "installer.exe exited with $code"
