#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix that belongs to the
# build tree, creating the prefix on first use. Headless and without
# prompts: no display, and the Mono/Gecko installers are switched off.
#   run-in-prefix.sh PREFIX PROGRAM [ARGS...]
set -euo pipefail
prefix=$1
shift

export WINEPREFIX=$prefix
export WINEDEBUG=-all
# Wine links the prefix's Desktop, Documents and Downloads into HOME and
# writes its menus under it: both stay in the build tree, beside the
# prefix, and so do temporary files.
export HOME="$prefix-home"
export TMPDIR="$prefix-home/tmp"
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
# WINE_EXTRA_DLL_OVERRIDES adds entries for one test (CTest cannot pass a
# ';' inside a variable).
export WINEDLLOVERRIDES="mscoree,mshtml=${WINE_EXTRA_DLL_OVERRIDES:+;$WINE_EXTRA_DLL_OVERRIDES}"
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
if [ ! -x "$wine" ]; then
  echo "wine64 not found: install Debian's wine64 package" >&2
  exit 127
fi

mkdir -p "$(dirname "$prefix")" "$TMPDIR"
# Tests run in parallel; only one of them may create the prefix.
(
  flock 9
  if [ ! -f "$prefix/.ready" ]; then
    rm -rf "$prefix"
    WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i >/dev/null 2>&1
    # A crashing test program must end, not wait for a debugger.
    WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" reg delete \
      'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /f >/dev/null 2>&1 || true
    touch "$prefix/.ready"
  fi
) 9>"$prefix.lock"

exec "$wine" "$@"
