#!/usr/bin/env bash
# The release signing step: a throwaway self-signed code-signing
# certificate signs the Windows programs (scripts/sign-release.sh), each
# signed copy verifies against it and fails against another certificate,
# and the unsigned programs are left byte for byte as they were. Prints
# "N passed, N failed" last.
set -uo pipefail
cd "$(dirname "$0")/../.."

work=$(mktemp -d build/sign-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
# A copy of the Windows programs, so that the build's own tree is untouched.
build=$work/tree
mkdir -p "$build/bin" && cp build/win32/bin/3pupdate.exe build/win32/bin/3ppack.exe "$build/bin/"
passed=0 failed=0
result() { if [ "$1" = 0 ]; then passed=$((passed + 1)); echo "ok   $2"; else failed=$((failed + 1)); echo "FAIL $2"; fi; }

make_cert() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2" -keyout "$work/$1.key" -out "$work/$1.pem" \
    -addext "keyUsage=digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
}
make_cert vendor "3pupdate test vendor"
make_cert stranger "someone else"
before=$(sha256sum "$build/bin/3pupdate.exe" "$build/bin/3ppack.exe")

bash scripts/sign-release.sh "$work/vendor.pem" "$work/vendor.key" "$build" >/dev/null
result $? "sign-release.sh signs and verifies both programs"
for program in 3pupdate.exe 3ppack.exe; do
  osslsigncode verify -CAfile "$work/vendor.pem" -in "$build/signed/$program" >/dev/null 2>&1
  result $? "$program verifies against the signing certificate"
  ! osslsigncode verify -CAfile "$work/stranger.pem" -in "$build/signed/$program" >/dev/null 2>&1
  result $? "$program does not verify against another certificate"
done
[ "$before" = "$(sha256sum "$build/bin/3pupdate.exe" "$build/bin/3ppack.exe")" ]
result $? "the unsigned programs are unchanged"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
