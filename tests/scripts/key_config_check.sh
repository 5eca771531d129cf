#!/usr/bin/env bash
# Configures the project (without its tests, in a scratch tree) with the
# values of UPDATER_PUBLIC_KEY a maintainer may give, and checks what the
# configuration says: every value that names no readable P-256 public key
# stops it, a key in any point form is embedded with the key id 3ppack
# shows, two keys are both embedded, and no value says that no key is.
# Prints one line per case and "N passed, N failed" last.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# The key id of a public key file: the first 8 bytes of the SHA-256 of its
# uncompressed point, computed with openssl alone.
key_id() {
  openssl pkey -pubin -in "$1" -outform DER -ec_conv_form uncompressed | tail -c 65 |
    openssl dgst -sha256 -r | cut -c1-16
}

# configure NAME EXPECT PATTERN [-DUPDATER_PUBLIC_KEY=...]: EXPECT is ok or
# fail; the output must match the extended regular expression PATTERN.
configure() {
  local name=$1 expect=$2 pattern=$3
  shift 3
  rm -rf "$work/tree"
  local output status
  output=$(cmake -S "$repo" -B "$work/tree" -DUPDATER_TESTS=OFF "$@" 2>&1)
  status=$?
  # CMake wraps its messages: matched as one line of single blanks.
  local joined
  joined=$(tr '\n' ' ' <<<"$output" | tr -s ' ')
  if { [ "$expect" = ok ] && [ $status -ne 0 ]; } || { [ "$expect" = fail ] && [ $status -eq 0 ]; } ||
     ! grep -Eq "$pattern" <<<"$joined"; then
    echo "FAIL $name: exit $status, wanted $expect and /$pattern/"
    grep -E '3pupdate:|Error|UPDATER_PUBLIC_KEY' <<<"$output" | head -5 | sed 's/^/    /'
    failed=$((failed + 1))
  else
    echo "ok   $name"
    passed=$((passed + 1))
  fi
}

openssl ecparam -name prime256v1 -genkey -noout -out "$work/a.key"
openssl ec -in "$work/a.key" -pubout -out "$work/a.pub" 2>/dev/null
openssl ec -in "$work/a.key" -pubout -conv_form compressed -out "$work/a-compressed.pub" 2>/dev/null
openssl ec -in "$work/a.key" -pubout -conv_form hybrid -out "$work/a-hybrid.pub" 2>/dev/null
openssl ecparam -name prime256v1 -genkey -noout -out "$work/b.key"
openssl ec -in "$work/b.key" -pubout -out "$work/b.pub" 2>/dev/null
openssl ecparam -name secp256k1 -genkey -noout -out "$work/k1.key"
openssl ec -in "$work/k1.key" -pubout -out "$work/k1.pub" 2>/dev/null
a=$(key_id "$work/a.pub")
b=$(key_id "$work/b.pub")

configure "no value: no key, and it says so" ok "no public key embedded"
configure "an empty value (an unset shell variable)" fail "set but empty" -DUPDATER_PUBLIC_KEY=
configure "OFF" fail "'OFF' names no key file" -DUPDATER_PUBLIC_KEY=OFF
configure "a find_file that found nothing" fail "names no key file" -DUPDATER_PUBLIC_KEY=KEY-NOTFOUND
configure "a missing file" fail "no such file" "-DUPDATER_PUBLIC_KEY=$work/none.pub"
configure "a file that is no key" fail "not a PEM public key" "-DUPDATER_PUBLIC_KEY=$work/a.key"
configure "a key on another curve" fail "not an ECDSA P-256 public key" "-DUPDATER_PUBLIC_KEY=$work/k1.pub"
for form in uncompressed compressed hybrid; do
  file=$work/a-$form.pub
  [ "$form" = uncompressed ] && file=$work/a.pub
  configure "a key in $form form, with its key id" ok "key 1: key id $a" "-DUPDATER_PUBLIC_KEY=$file"
done
configure "two keys, both embedded" ok "key 2: key id $b" \
  "-DUPDATER_PUBLIC_KEY=$work/a.pub;$work/b.pub"
configure "one key twice" fail "named twice" "-DUPDATER_PUBLIC_KEY=$work/a.pub;$work/a-hybrid.pub"
configure "five keys" fail "at most 4" \
  "-DUPDATER_PUBLIC_KEY=$work/a.pub;$work/b.pub;$work/k1.pub;$work/a.key;$work/b.key"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
