#!/usr/bin/env bash
# Installs what is missing, configures and builds the cross build, and runs
# every test under Wine (the prefix lives in build/wine/wineprefix).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --workflow --preset wine
