#!/usr/bin/env bash
# Signs the Windows release programs with Authenticode, from the
# maintainer's code-signing certificate and its private key (PEM files):
#
#   scripts/sign-release.sh CERT KEY [WIN32_BUILD_DIR]
#
# Writes signed copies of 3pupdate.exe and 3ppack.exe to
# WIN32_BUILD_DIR/signed/ (default build/win32/signed/) and verifies each
# against CERT; the unsigned programs in bin/ stay as the build made them.
# SIGN_TIMESTAMP_URL, when set, names a time-stamping server, so that the
# signature stays valid after the certificate expires. SIGN_PASS_FILE names
# a file that holds the key's passphrase, if it has one.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: scripts/sign-release.sh CERT KEY [WIN32_BUILD_DIR]" >&2
  exit 2
fi
cert=$1
key=$2
build=${3:-$(dirname "$0")/../build/win32}
command -v osslsigncode >/dev/null || { echo "sign-release.sh: osslsigncode is missing (scripts/install-deps.sh)" >&2; exit 1; }

mkdir -p "$build/signed"
for program in 3pupdate.exe 3ppack.exe; do
  unsigned=$build/bin/$program
  signed=$build/signed/$program
  [ -f "$unsigned" ] || { echo "sign-release.sh: $unsigned is not built (cmake --build --preset win32)" >&2; exit 1; }
  options=(-certs "$cert" -key "$key" -h sha256 -n "${program%.exe}" -in "$unsigned" -out "$signed.part")
  [ -n "${SIGN_PASS_FILE:-}" ] && options+=(-readpass "$SIGN_PASS_FILE")
  [ -n "${SIGN_TIMESTAMP_URL:-}" ] && options+=(-ts "$SIGN_TIMESTAMP_URL")
  rm -f "$signed.part"
  osslsigncode sign "${options[@]}" >/dev/null
  mv "$signed.part" "$signed"
  osslsigncode verify -CAfile "$cert" -in "$signed" >/dev/null ||
    { echo "sign-release.sh: $signed does not verify against $cert" >&2; exit 1; }
  echo "$signed: signed and verified"
done
