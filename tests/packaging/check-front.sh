#!/usr/bin/env bash
# The command-line front, as a release engineer uses it, in a build
# directory of its own where it builds the packer and the stub itself:
#  1. packing the inputs of a build-time packed installer again gives the
#     same bytes (another build path, another output path);
#  2. with a throwaway self-signed certificate the result carries one
#     Authenticode signature that verifies, covers the payload (a changed
#     payload byte breaks it), and removing it gives back the unsigned file;
#     the signed file keeps the layout and still verifies as that payload;
#     inspect finds the signature's digest to be the file's, and says when
#     it is not (a changed byte) or when the signature is cut off;
#  3. signing again with the same signing time gives the same bytes;
#  4. a signed installer is refused as a stub, and a failed signing leaves
#     nothing behind;
#  5. the signed installer still starts under Wine and ends with 118 for
#     "--cleanup".
#   check-front.sh PROJECT WORK_DIR ARCHIVE SETUP PREVIOUS_VERSION REFERENCE
#                  RUN_IN_PREFIX WINE_PREFIX
set -u
project=$1 work=$2 archive=$3 setup=$4 version=$5 reference=$6
run_in_prefix=$7 prefix=$8
here=$(cd "$(dirname "$0")" && pwd)
packer="$work/build/packer/installer-packer"
stub="$work/build/stub/installer/installer.exe"
failed=0
fail() { echo "FAIL: $*"; failed=1; }
pack() {
  "$project/tools/pack-installer.sh" --archive "$archive" --setup "$setup" \
    --previous-version "$version" --build-dir "$work/build" "$@"
}

rm -rf "$work/out" "$work/refused" "$work/unsigned"
mkdir -p "$work/out"
cd "$work/out" || exit 1

pack --output "$work/out/unsigned.exe" || { echo "FAIL: packing failed"; exit 1; }
cmp -s unsigned.exe "$reference" ||
  fail "packing the same inputs again gave other bytes than $reference"

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem \
  -days 2 -subj "/CN=Throwaway Test Signer" \
  -addext "extendedKeyUsage=codeSigning" 2>/dev/null ||
  { echo "FAIL: no throwaway certificate"; exit 1; }
now=$(date +%s)
pack --output "$work/out/signed.exe" --sign-cert cert.pem --sign-key key.pem \
  --sign-time "$now" || { echo "FAIL: signed packing failed"; exit 1; }

verify=$(osslsigncode verify -CAfile cert.pem -in signed.exe 2>&1)
printf '%s\n' "$verify" | grep -q '^Signature verification: ok' ||
  fail "the signature does not verify: $verify"
printf '%s\n' "$verify" | grep -q '^Number of verified signatures: 1' ||
  fail "not exactly one signature"
osslsigncode remove-signature -in signed.exe -out stripped.exe >/dev/null 2>&1 ||
  fail "the signature cannot be removed"
cmp -s stripped.exe unsigned.exe ||
  fail "without its signature the signed file is not the unsigned one"
"$here/check-layout.py" signed.exe "$stub" "$packer" --archive "$archive" \
  --setup "$setup" --previous-version "$version" --signed || fail "the signed file's layout"
"$packer" verify signed.exe --archive "$archive" --setup "$setup" \
  --previous-version "$version" || fail "the signed file does not verify as its payload"
inspected() {  # FILE PATTERN: inspect's signature line matches
  "$packer" inspect "$1" | grep -Eq "^signature: $2" ||
    fail "inspect $1: $("$packer" inspect "$1" | grep '^signature')"
}
inspected signed.exe "[0-9]+ bytes; its SHA256 digest is the file's as it is"
head -c -100 signed.exe >cut.exe
inspected cut.exe "damaged .*: the file ends [0-9]+ bytes into it"

# A byte of the archive, inside the signed range, changed.
cp signed.exe tampered.exe
offset=$(LC_ALL=C grep -obUaP '7z\xBC\xAF\x27\x1C' tampered.exe | head -1 | cut -d: -f1)
if [ -z "$offset" ]; then
  fail "the archive is not found in the signed file"
else
  printf 'X' | dd of=tampered.exe bs=1 seek=$((offset + 8)) conv=notrunc 2>/dev/null
  osslsigncode verify -CAfile cert.pem -in tampered.exe >/dev/null 2>&1 &&
    fail "a changed payload byte still verifies"
  inspected tampered.exe "[0-9]+ bytes; its SHA256 digest is NOT the file's"
fi

mv signed.exe first-signed.exe
pack --output "$work/out/signed.exe" --sign-cert cert.pem --sign-key key.pem \
  --sign-time "$now" || { echo "FAIL: second signed packing failed"; exit 1; }
cmp -s signed.exe first-signed.exe ||
  fail "signing again with the same time gave other bytes"

"$here/expect-refusal.sh" 3 "is signed; pack the unsigned" "$work/refused" \
  "$packer" pack --stub signed.exe --archive "$archive" --setup "$setup" \
  --output "$work/refused/out.exe" || fail "a signed stub was not refused"
"$here/expect-refusal.sh" 4 "osslsigncode ended with" "$work/unsigned" \
  "$packer" pack --stub "$stub" --archive "$archive" --setup "$setup" \
  --sign-cert cert.pem --sign-key cert.pem --output "$work/unsigned/out.exe" ||
  fail "a failed signing was not reported, or left something behind"

"$run_in_prefix" "$prefix" "$work/out/signed.exe" --cleanup
code=$?
[ $code -eq 118 ] || fail "the signed installer ended with $code, not 118"

if [ $failed -eq 0 ]; then
  echo "front: 1 passed, 0 failed"
  rm -rf "$work/out"
fi
exit $failed
