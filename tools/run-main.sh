#!/usr/bin/env bash
# The main job: installs what is missing, builds, packs an installer and
# shows it doing its real job under Wine, twice: a first installation, then
# an update along the patch road.
#
#   tools/run-main.sh [--archive FILE.7z --setup SETUP.exe] [--build-dir DIR]
#
# Without --archive/--setup it makes its own payload: a real 7z archive of
# about 150 MB and the stand-in setup program (tests/setup_stand_in). With
# them it packs and runs those instead; the second run then carries a small
# patch for the setup program that the first run installed.
#
# Everything lives in the build directory (default build/main): the build,
# the payload, both packed installers and a Wine prefix that is made afresh
# on every run (build/main/wineprefix). Nothing outside it is touched: the
# Wine prefix is never the user's, and HOME points into the build directory
# while Wine runs, so that Wine's links to the user's folders stay inside.
set -euo pipefail

project=$(cd "$(dirname "$0")/.." && pwd)
build="$project/build/main"
user_archive='' user_setup=''
while [ $# -gt 0 ]; do
  case $1 in
    --archive) user_archive=$(realpath -m -- "$2"); shift 2 ;;
    --setup) user_setup=$(realpath -m -- "$2"); shift 2 ;;
    --build-dir) build=$(realpath -m -- "$2"); shift 2 ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-main: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
if { [ -n "$user_archive" ] && [ -z "$user_setup" ]; } ||
   { [ -z "$user_archive" ] && [ -n "$user_setup" ]; }; then
  echo "run-main: --archive and --setup go together" >&2
  exit 2
fi
for file in "$user_archive" "$user_setup"; do
  [ -z "$file" ] || [ -f "$file" ] || { echo "run-main: '$file' does not exist" >&2; exit 2; }
done

# ---- small helpers
t_job=$EPOCHREALTIME
declare -a stage_names=() stage_ms=()
t_stage=0
begin() { t_stage=$EPOCHREALTIME; printf '\n== %s\n' "$1"; }
end() {
  local ms
  ms=$(awk -v s="$t_stage" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.0f", (e - s) * 1000 }')
  stage_names+=("$1"); stage_ms+=("$ms")
}
seconds() { awk -v ms="$1" 'BEGIN { printf "%.2f s", ms / 1000 }'; }
# Runs a long command in the background and prints a dot a second, so that
# a step of ten seconds does not look like a hang.
with_dots() {  # LABEL COMMAND...
  local label=$1 pid status
  shift
  printf '   %s ' "$label"
  "$@" >"$build/last-step.log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do sleep 1; kill -0 "$pid" 2>/dev/null && printf '.'; done
  status=0
  wait "$pid" || status=$?
  if [ $status -ne 0 ]; then
    printf ' failed\n'
    cat "$build/last-step.log" >&2
    exit $status
  fi
  printf ' done\n'
}

begin "Tools and build"
"$project/tools/install-deps.sh"
mkdir -p "$build"
with_dots "configuring and building installer.exe, the stand-in and start_limited.exe (in $build)" \
  bash -c "cmake -S '$project' -B '$build/project' \
    --toolchain '$project/cmake/mingw-w64-x86_64.cmake' -DCMAKE_BUILD_TYPE=Release &&
    cmake --build '$build/project' --target installer setup_stand_in start_limited -j2"
stand_in="$build/project/tests/setup_stand_in/setup_stand_in.exe"
# Wine gives every process the elevated half of a split token; the runs
# start the installer as a double click does, with the limited half.
start_limited="$build/project/tests/start_limited.exe"
end "build"

# ---- payload
payload="$build/payload"
mkdir -p "$payload"
begin "Payload"
if [ -n "$user_archive" ]; then
  archive=$user_archive setup=$user_setup
  echo "   your archive: $archive ($(stat -c %s "$archive") bytes)"
  echo "   your setup program: $setup ($(stat -c %s "$setup") bytes)"
else
  archive="$payload/korven.7z" setup=$stand_in
  if [ ! -f "$archive" ]; then
    seven_zip=$(command -v 7zz || command -v 7z)
    # A product folder of about 150 MB: a large program and resource packs
    # that are already compressed (random bytes), and text that is not.
    product="$payload/product"
    rm -rf "$product"
    mkdir -p "$product/Korven-Bin/1.0.0.0/Locales"
    echo "   writing a product folder of about 150 MB"
    head -c 104857600 /dev/urandom >"$product/Korven-Bin/korven.exe"
    head -c 41943040 /dev/urandom >"$product/Korven-Bin/1.0.0.0/resources.pak"
    for locale in de en-US fr ja pl; do
      head -c 1048576 /dev/urandom >"$product/Korven-Bin/1.0.0.0/Locales/$locale.pak"
    done
    seq 1 200000 | sed 's/^/licence line /' >"$product/Korven-Bin/1.0.0.0/credits.txt"
    rm -f "$payload/korven.7z.partial"
    with_dots "compressing it into a 7z archive ($(basename "$seven_zip") a -mx1)" \
      bash -c "cd '$product' && '$seven_zip' a -t7z -mx1 -bd '$payload/korven.7z.partial' Korven-Bin"
    mv "$payload/korven.7z.partial" "$archive"
    rm -rf "$product"
  fi
  echo "   archive: $archive ($(stat -c %s "$archive") bytes, $(head -c 6 "$archive" | od -An -tx1 | tr -d ' \n') = 7z signature)"
  echo "   setup program: the stand-in, $setup ($(stat -c %s "$setup") bytes)"
fi
# The second installation carries a patch for the setup program that the
# first one installed, as an update of the product would.
printf 'patch from 1.0.0.0 to 2.0.0.0 of the setup program\n' >"$payload/setup.patch"
end "payload"

begin "Packing (tools/pack-installer.sh: installer-packer around the installer.exe just built)"
first="$build/first/installer.exe" second="$build/second/installer.exe"
mkdir -p "$build/first" "$build/second"
pack() { "$project/tools/pack-installer.sh" --stub "$build/project/installer/installer.exe" \
  --build-dir "$build/pack" --archive "$archive" "$@"; }
with_dots "first installer: archive + setup program (cabinet under \"BL\")" \
  pack --setup "$setup" --output "$first"
with_dots "second installer: archive + patch under \"B7\", previous version 1.0.0.0" \
  pack --setup "$payload/setup.patch" --setup-type PATCH --patched-setup "$setup" \
  --previous-version 1.0.0.0 \
  --output "$second"
"$build/pack/packer/installer-packer" inspect "$first" | sed 's/^/   /'
echo "   $second: $(stat -c %s "$second") bytes"
end "packing"

# ---- a fresh prefix, as the update client leaves it
prefix="$build/wineprefix"
# HOME and TMPDIR where tests/wine/run-in-prefix.sh puts them: Wine keeps
# its server's socket under TMPDIR, so every call here must agree on it to
# reach the one server of this prefix.
export HOME="$prefix-home" TMPDIR="$prefix-home/tmp"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$HOME" "$TMPDIR"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
in_prefix() { "$project/tests/wine/run-in-prefix.sh" "$prefix" "$@"; }
guid='{3D1F5A27-8C40-4E96-B1D3-7A2C95E0F418}'
state_key="HKCU\\Software\\Quenby\\Update\\ClientState\\$guid"
begin "Fresh Wine prefix ($prefix)"
"$wineserver" -k 2>/dev/null || true
rm -rf "$prefix" "$prefix.lock"
with_dots "creating it (wineboot)" in_prefix cmd /c exit 0
user_dir="$prefix/drive_c/users/${USER:-$(id -un)}"
[ -d "$user_dir" ] || user_dir=$(ls -d "$prefix"/drive_c/users/*/ | grep -v Public | head -1)
user_dir=${user_dir%/}
windows_user=$(basename "$user_dir")
downloads="$user_dir/Downloads"
# Wine links Downloads to a folder of HOME; the user's folder is a real one.
[ ! -L "$downloads" ] || rm -f "$downloads"
mkdir -p "$downloads"
# Where the product's setup program installs itself (the stand-in makes only
# the version folder inside).
mkdir -p "$user_dir/AppData/Local/Korven/Application"
win_downloads="C:\\users\\$windows_user\\Downloads"
in_prefix reg add "$state_key" /v ap /t REG_SZ /d x64-stable /f /reg:32 >/dev/null 2>&1
in_prefix reg add "$state_key" /v pv /t REG_SZ /d 0.0.0.0 /f /reg:32 >/dev/null 2>&1
# The stub installer the user downloaded, whose name carries the referral code.
in_prefix reg add 'HKCU\Software\Quenby\Promo' /v StubInstallerPath /t REG_SZ \
  /d "$win_downloads\\KorvenSetup-abc123.exe" /f >/dev/null 2>&1
echo "   ClientState key $state_key: ap = x64-stable, pv = 0.0.0.0"
echo "   HKCU\\Software\\Quenby\\Promo StubInstallerPath = $win_downloads\\KorvenSetup-abc123.exe"
end "prefix"

# ---- the runs
exit_meaning() {
  case $1 in
    0) echo "the setup program succeeded" ;;
    101) echo "the command line could not be split into arguments (or shell32 not loaded)" ;;
    105) echo "a setup command line does not fit" ;;
    107) echo "waiting for a child failed" ;;
    108) echo "a path does not fit" ;;
    109) echo "no work directory could be created" ;;
    110) echo "previous setup program not found" ;;
    111) echo "previous setup program's version does not match" ;;
    112) echo "the archive could not be unpacked" ;;
    115|116) echo "the setup program could not be unpacked or written" ;;
    117) echo "the work directory's access list could not be built" ;;
    118) echo "\"--cleanup\" or \"--korven-frame\" was given: nothing done" ;;
    119|12[0-4]) echo "a setup program could not be started, or was not the one written" ;;
    125) echo "an elevated per-user run would have started what the user's own UninstallString names: nothing started" ;;
    *) echo "the setup program's own exit code" ;;
  esac
}
registry_values() {
  in_prefix reg query "$state_key" /reg:32 2>/dev/null | tr -d '\r' |
    awk 'NF >= 2 && $2 ~ /^REG_/ { name = $1; type = $2; $1 = ""; $2 = "";
      sub(/^ +/, ""); printf "      %-20s %-10s %s\n", name, type, $0 }'
}
# When the work directory appears, when the archive is complete, when the
# setup program is there, when the work directory is gone: watched from the
# Linux side every 10 ms (so each time is within about 10 ms).
watch_folder() {  # FOLDER ARCHIVE_BYTES LOG
  local folder=$1 bytes=$2 log=$3 seen_dir='' seen_archive='' seen_setup='' dir
  : >"$log"
  while :; do
    dir=$(compgen -G "$folder/ZK_*.tmp" | head -1 || true)
    if [ -n "$dir" ] && [ -z "$seen_dir" ]; then seen_dir=1; echo "workdir $EPOCHREALTIME" >>"$log"; fi
    if [ -n "$dir" ] && [ -z "$seen_archive" ] &&
       [ "$(stat -c %s "$dir/KORVEN.PACKED.7Z" 2>/dev/null || echo 0)" = "$bytes" ]; then
      seen_archive=1; echo "archive $EPOCHREALTIME" >>"$log"
    fi
    if [ -n "$dir" ] && [ -z "$seen_setup" ] && [ -e "$dir/setup.exe" ]; then
      seen_setup=1; echo "setup $EPOCHREALTIME" >>"$log"
    fi
    if [ -n "$seen_dir" ] && [ -z "$dir" ]; then echo "gone $EPOCHREALTIME" >>"$log"; break; fi
    sleep 0.01
  done
}
report_lines() {  # REPORT KEY
  [ -f "$1" ] || return 0
  sed -n "s/^$2=//p" "$1" | sed 's/%0D/\r/g; s/%0A/\n/g; s/%25/%/g'
}

declare -a run_codes=()
run_installer() {  # NUMBER INSTALLER TITLE VERSION_INSTALLED
  local number=$1 installer=$2 title=$3 version=$4
  local name="KorvenInstaller.exe" report_win="C:\\main-job\\report$number.txt"
  local report="$prefix/drive_c/main-job/report$number.txt" log="$build/watch$number.log"
  begin "Run $number: $title"
  mkdir -p "$prefix/drive_c/main-job"
  rm -f "$report"
  cp "$installer" "$downloads/$name"
  echo "   registry before ($state_key):"
  registry_values
  echo "   running $win_downloads\\$name from its own folder, with the limited token of a double click ..."
  watch_folder "$downloads" "$(stat -c %s "$archive")" "$log" &
  local watcher=$! start stop code=0
  start=$EPOCHREALTIME
  (cd "$downloads" && STAND_IN_REPORT="$report_win" \
     STAND_IN_INSTALL_TO="C:\\users\\$windows_user\\AppData\\Local\\Korven\\Application" \
     STAND_IN_INSTALL_VERSION="$version" in_prefix "$start_limited" "$win_downloads\\$name") || code=$?
  stop=$EPOCHREALTIME
  sleep 0.05
  kill "$watcher" 2>/dev/null || true
  wait "$watcher" 2>/dev/null || true
  run_codes+=("$code")
  echo "   exit code: $code ($(exit_meaning "$code"))"
  if [ -f "$report" ]; then
    local mode line
    paste -d'\t' <(report_lines "$report" mode) <(report_lines "$report" command_line) |
      while IFS=$'\t' read -r mode line; do
        echo "   setup program's command line ($mode run):"
        echo "      $line"
      done
  else
    echo "   setup program's command line: (no stand-in report; your setup program writes none)"
  fi
  echo "   registry after:"
  registry_values
  echo "   left in $win_downloads: $(cd "$downloads" && ls -A | tr '\n' ' ')"
  local installed="$user_dir/AppData/Local/Korven/Application"
  [ ! -d "$installed" ] || echo "   installed setup programs: $(cd "$installed" && ls -d */setup.exe 2>/dev/null | tr '\n' ' ')"
  # Times inside the run, from the watcher (Linux side, 10 ms steps).
  awk -v s="$start" -v e="$stop" '
    { t[$1] = $2 }
    END {
      printf "   timing (wall clock, watched from outside):\n"
      if ("workdir" in t) printf "      start to work directory       %7.0f ms\n", (t["workdir"] - s) * 1000
      if ("archive" in t) printf "      archive written               %7.0f ms\n", (t["archive"] - t["workdir"]) * 1000
      if ("setup" in t && "archive" in t && t["setup"] > t["archive"])
        printf "      setup program file appears    %7.0f ms\n", (t["setup"] - t["archive"]) * 1000
      last = ("setup" in t) ? t["setup"] : t["archive"]
      if ("gone" in t && last) printf "      setup program ran, cleanup    %7.0f ms\n", (t["gone"] - last) * 1000
      if ("gone" in t) printf "      report and process end        %7.0f ms\n", (e > t["gone"] ? e - t["gone"] : 0) * 1000
      printf "      whole run                     %7.0f ms\n", (e - s) * 1000
    }' "$log"
  end "run $number"
}

run_installer 1 "$first" "first installation" 1.0.0.0
run_installer 2 "$second" "update along the patch road" 2.0.0.0
"$wineserver" -k 2>/dev/null || true

echo
echo "== Stages"
for i in "${!stage_names[@]}"; do
  printf '   %-10s %10s\n' "${stage_names[$i]}" "$(seconds "${stage_ms[$i]}")"
done
printf '   %-10s %10s\n' total "$(seconds "$(awk -v s="$t_job" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.0f", (e - s) * 1000 }')")"
echo
if [ "${run_codes[0]}" = 0 ] && [ "${run_codes[1]}" = 0 ]; then
  echo "Both runs succeeded."
else
  echo "Exit codes: first run ${run_codes[0]}, second run ${run_codes[1]}."
  exit 1
fi
