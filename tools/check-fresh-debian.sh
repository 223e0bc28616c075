#!/usr/bin/env bash
# Tries the README's two commands where nothing was installed by hand: a
# minimal Debian 12 (debootstrap's minbase: the essential and required
# packages and apt) made anew in the build tree, with a clone of this
# tree's committed HEAD in it. Inside, as root, it runs tools/install-deps.sh
# and then each command; a program that the commands use and
# install-deps.sh does not install fails them there.
#
#   tools/check-fresh-debian.sh [--deps-only] [--root DIR] [--mirror URL]
#
# --deps-only stops after install-deps.sh and a configure of the GCC preset.
# DIR (default build/fresh-debian) is removed and made again. Needs root
# (debootstrap, chroot, mounts) and Debian's package mirror; the chroot
# runs in mount and process namespaces of its own, so its mounts go with it
# and its tests see none of the machine's other processes.
set -euo pipefail
project=$(cd "$(dirname "$0")/.." && pwd)
root="$project/build/fresh-debian"
mirror=http://deb.debian.org/debian
deps_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --deps-only) deps_only=1; shift ;;
    --root) root=$(realpath -m -- "$2"); shift 2 ;;
    --mirror) mirror=$2; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "check-fresh-debian: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "check-fresh-debian: needs root" >&2; exit 2; }
command -v debootstrap >/dev/null || {
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}

step_start=$SECONDS
step() { printf '== %s (%d s so far)\n' "$1" $((SECONDS - step_start)); }

step "debootstrap --variant=minbase bookworm into $root"
rm -rf "$root"
mkdir -p "$root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
  { tail -20 "$root.debootstrap.log" >&2; exit 1; }
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
EOF
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone -q --no-hardlinks "$project" "$root/src"
echo "   $(git -C "$root/src" log -1 --format='%h %s')"

inside='set -e
cd /src
run() { echo "== $* ($((SECONDS)) s so far)"; "$@"; }
run tools/install-deps.sh
if [ "$DEPS_ONLY" = 1 ]; then
  run cmake --preset wine >/dev/null
else
  run tools/run-main.sh
  run tools/run-tests.sh
fi
echo "== passed ($SECONDS s)"'
step "inside: install-deps.sh, then $([ $deps_only = 1 ] && echo 'a configure' || echo 'run-main.sh and run-tests.sh')"
# The mounts are made in the new namespaces, so they go when it ends.
unshare --mount --pid --fork --propagation private bash -c '
  root=$1
  mount --rbind /dev "$root/dev"
  mount -t sysfs sysfs "$root/sys"
  mount -t tmpfs tmpfs "$root/tmp"
  exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 DEPS_ONLY="$2" /bin/bash -c "mount -t proc proc /proc && $3"
' check "$root" "$deps_only" "$inside"
step "done"
