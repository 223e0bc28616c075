#!/usr/bin/env bash
# Runs a test program in a Wine prefix of its own whose drive X: is marked
# as a network drive: GetDriveTypeW answers DRIVE_REMOTE for it, while its
# volume reports persistent access lists and no remote device, as a mapped
# drive may. Wine's mount manager reads the drive types from the registry
# file when the prefix's server starts, and the server writes that file
# a few seconds after it ended (3 s here): the program starts only once
# the file holds the type.
#   network-drive.sh RUN_IN_PREFIX PREFIX FOLDER PROGRAM [ARGS...]
# FOLDER becomes X:\; the program finds X:\ in NETWORK_DRIVE_FOLDER.
set -eu
run_in_prefix=$1 prefix=$2 folder=$3
shift 3
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver

"$run_in_prefix" "$prefix" cmd /c exit >/dev/null 2>&1  # creates the prefix
rm -rf "$folder" && mkdir -p "$folder"
ln -sfn "$folder" "$prefix/dosdevices/x:"
WINEDEBUG=-all "$run_in_prefix" "$prefix" reg add 'HKLM\Software\Wine\Drives' \
  /v x: /d network /f >/dev/null 2>&1
WINEPREFIX=$prefix "$wineserver" -w
for _ in $(seq 60); do
  ! grep -q '^"x:"="network"' "$prefix/system.reg" || break
  sleep 0.5
done
grep -q '^"x:"="network"' "$prefix/system.reg" ||
  { echo "the prefix's registry never took the network drive"; exit 1; }
export NETWORK_DRIVE_FOLDER='X:\'
exec "$run_in_prefix" "$prefix" "$@"
