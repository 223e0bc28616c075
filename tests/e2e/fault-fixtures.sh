#!/bin/sh
# Host-side set-up for the fault-injection runs (fault_injection_e2e_test).
#   fault-fixtures.sh small-volume DIR SIZE   a tmpfs of SIZE at DIR (root)
#   fault-fixtures.sh read-only SOURCE VIEW   VIEW shows SOURCE read-only (root)
#   fault-fixtures.sh unmount DIR...          undoes either, where mounted
#   fault-fixtures.sh crowd DIR               DIR/folder full of ZK_*.tmp names
#   fault-fixtures.sh check-crowd DIR         fails when a run changed it
#   fault-fixtures.sh remove DIR              removes what crowd made
# Mounting needs root; without it the set-up says so and succeeds, and the
# tests that need the mount skip themselves.
set -eu

case $1 in
small-volume)
  mkdir -p "$2"
  mountpoint -q "$2" || mount -t tmpfs -o "size=$3" tmpfs "$2" ||
    echo "no tmpfs mounted at $2 (needs root)"
  ;;
read-only)
  mkdir -p "$2" "$3"
  if ! mountpoint -q "$3"; then
    { mount --bind "$2" "$3" && mount -o remount,bind,ro "$3"; } ||
      { mountpoint -q "$3" && umount "$3"; echo "no read-only view at $3 (needs root)"; }
  fi
  ;;
unmount)
  shift
  for dir in "$@"; do
    ! mountpoint -q "$dir" || umount "$dir"
  done
  ;;
crowd)
  # A quarter of all work-directory names (first digit 0 to 3) is taken, in
  # ways a folder shared with others can hold them: directories with a file
  # inside, links to a directory and to a file outside the folder, links
  # that lead nowhere yet (whatever is written through them would appear in
  # the outside directory), second names of an outside file, and plain
  # files. Perl, because a shell loop would fork a quarter of a million
  # times.
  rm -rf "$2"
  mkdir -p "$2/folder" "$2/outside"
  # Links must lead to the same place from wherever they are looked at.
  dir=$(cd "$2" && pwd)
  perl -e '
    my ($dir) = @ARGV;
    my $out = "$dir/outside";
    open(my $f, ">", "$out/keep.txt") or die; print $f "outside\n"; close $f;
    open($f, ">", "$out/file") or die; print $f "the outside file\n"; close $f;
    for my $n (0 .. 0x3FFFF) {
      my $name = sprintf("%s/folder/ZK_%05X.tmp", $dir, $n);
      my $kind = $n >> 12;
      if ($kind == 0) {
        mkdir $name or die "$name: $!";
        open($f, ">", "$name/keep.txt") or die; print $f "inside\n"; close $f;
      } elsif ($kind == 1) {
        symlink("$out", $name) or die "$name: $!";
      } elsif ($kind == 2) {
        symlink("$out/file", $name) or die "$name: $!";
      } elsif ($kind == 3) {
        symlink(sprintf("%s/absent_%05X", $out, $n), $name) or die "$name: $!";
      } elsif ($kind == 4) {
        link("$out/file", $name) or die "$name: $!";
      } else {
        open($f, ">", $name) or die "$name: $!"; close $f;
      }
    }' "$dir"
  ;;
check-crowd)
  # After the runs: every taken name is still there as what it was, no
  # other name is left in the folder, and nothing was written outside.
  perl -e '
    my ($dir) = @ARGV;
    my $out = "$dir/outside";
    my $bad = 0;
    for my $n (0 .. 0x3FFFF) {
      my $name = sprintf("%s/folder/ZK_%05X.tmp", $dir, $n);
      my $kind = $n >> 12;
      my $ok = $kind == 0 ? (-d $name && !-l $name && -f "$name/keep.txt")
             : $kind == 1 ? (readlink($name) // "") eq $out
             : $kind == 2 ? (readlink($name) // "") eq "$out/file"
             : $kind == 3 ? (readlink($name) // "") eq sprintf("%s/absent_%05X", $out, $n)
             : (-f $name && !-l $name);
      if (!$ok) { print "changed: $name\n"; $bad++; }
    }
    opendir(my $d, "$dir/folder") or die;
    my @names = grep { !/^\.\.?$/ } readdir($d);
    if (@names != 0x40000) { print scalar(@names) . " names in the folder, not 262144\n"; $bad++; }
    opendir($d, $out) or die;
    my @outside = sort grep { !/^\.\.?$/ } readdir($d);
    if ("@outside" ne "file keep.txt") { print "outside holds: @outside\n"; $bad++; }
    exit($bad ? 1 : 0);' "$(cd "$2" && pwd)"
  ;;
remove)
  rm -rf "$2"
  ;;
*)
  echo "unknown command $1" >&2
  exit 2
  ;;
esac
