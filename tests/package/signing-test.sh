#!/bin/sh
# tools/sign: with no key in the environment it makes a throw-away test CA
# (private keys 0600) and says so; with QUORVEX_SIGN_PKCS12 and
# QUORVEX_SIGN_PASSWORD it signs with that key. Every kind of file the
# packages carry verifies against the CA, and a changed byte fails.
#   signing-test.sh X64-BUILD-DIR
set -eu
build=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
for f in "$build/bin/Quorvex.dll" "$build/bin/quorvex-host.exe" "$build/resource_libraries/VestrelRes_en.dll"; do
  [ -f "$f" ] || { echo "signing tests skipped: ${f#$build/} not built"; exit 77; }
done
for tool in osslsigncode openssl msibuild; do
  command -v "$tool" >/dev/null || { echo "signing tests skipped: $tool is not installed"; exit 77; }
done
unset QUORVEX_SIGN_PKCS12 QUORVEX_SIGN_PASSWORD QUORVEX_SIGN_TIMESTAMP_URL
work=$(mktemp -d "$build/signing-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
verify() { osslsigncode verify -CAfile "$work/ca/ca.crt" -in "$1" >"$work/verify.txt" 2>&1; }
files() { # fresh unsigned copies of a DLL, a program, a resource library and a package
  rm -rf "$work/files" && mkdir "$work/files"
  cp "$build/bin/Quorvex.dll" "$build/bin/quorvex-host.exe" "$build/resource_libraries/VestrelRes_en.dll" "$work/files/"
  msibuild "$work/files/empty.msi" -s Quorvex >/dev/null
}

files
"$top/tools/sign" "$work/ca" "$work"/files/* 2>"$work/said.txt" || fail "tools/sign with the test CA"
grep -q 'made a throw-away test CA' "$work/said.txt" || fail "it did not say it made a test CA: $(cat "$work/said.txt")"
for key in ca.key cs.key; do
  [ "$(stat -c %a "$work/ca/$key")" = 600 ] || fail "$key has mode $(stat -c %a "$work/ca/$key")"
done
for f in "$work"/files/*; do
  verify "$f" || { cat "$work/verify.txt"; fail "$(basename "$f") does not verify"; }
  # One byte changed well inside the file (past the headers).
  cp "$f" "$work/changed"
  size=$(stat -c %s "$f")
  printf 'Q' | dd of="$work/changed" bs=1 seek=$((size / 3)) conv=notrunc 2>/dev/null
  ! verify "$work/changed" || fail "$(basename "$f") with a changed byte still verifies"
done
echo "test CA: $(ls "$work/files" | tr '\n' ' ')verify; each with a changed byte fails"

# A PKCS#12 key from the environment (here the test CA's signer).
openssl pkcs12 -export -inkey "$work/ca/cs.key" -in "$work/ca/cs.crt" -out "$work/signer.p12" \
  -passout pass:'two words$' 2>/dev/null
files
QUORVEX_SIGN_PKCS12="$work/signer.p12" QUORVEX_SIGN_PASSWORD='two words$' \
  "$top/tools/sign" "$work/none" "$work"/files/* 2>"$work/said.txt" || fail "tools/sign with a PKCS#12 key: $(cat "$work/said.txt")"
[ ! -e "$work/none" ] || fail "a test CA was made although a PKCS#12 key was given"
for f in "$work"/files/*; do verify "$f" || fail "$(basename "$f") signed with the PKCS#12 key does not verify"; done
files
cp "$work/files/Quorvex.dll" "$work/unsigned.dll"
! QUORVEX_SIGN_PKCS12="$work/signer.p12" QUORVEX_SIGN_PASSWORD='wrong' \
  "$top/tools/sign" "$work/none" "$work/files/Quorvex.dll" 2>/dev/null || fail "signed with a wrong password"
cmp -s "$work/files/Quorvex.dll" "$work/unsigned.dll" || fail "a failed signing changed the file"
echo "PKCS#12 from the environment: every file verifies; a wrong password signs nothing"
