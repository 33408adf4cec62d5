#!/usr/bin/env bash
# Test-signs a driver image on Linux: makes a throwaway code-signing
# certificate with openssl in OUTDIR, embeds an Authenticode signature in a
# copy of IMAGE with osslsigncode (OUTDIR/<name of IMAGE>), and checks the
# result three ways:
#   - trusting the throwaway certificate, the signature verifies;
#   - trusting only an unrelated certificate, it fails only because its
#     own is self-signed, while the file's digest still matches;
#   - with one byte of the code changed, the digest no longer matches and
#     verification fails.
# The certificate is for test machines only (bcdedit /set testsigning on);
# OUTDIR/test-signing.cer is the form Windows imports.
#
# Usage: scripts/testsign.sh IMAGE OUTDIR
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 IMAGE OUTDIR" >&2
  exit 2
fi
image=$1
outdir=$2
for tool in openssl osslsigncode od dd cmp; do
  command -v "$tool" >/dev/null || { echo "testsign: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done
[ -f "$image" ] || { echo "testsign: no file $image" >&2; exit 2; }

mkdir -p "$outdir"
signed=$outdir/$(basename "$image")
if [ "$(realpath "$image")" = "$(realpath -m "$signed")" ]; then
  echo "testsign: OUTDIR must not be the directory of IMAGE: the signed copy would replace it" >&2
  exit 2
fi

fail() {
  echo "testsign: $1" >&2
  [ -n "${2:-}" ] && [ -f "$2" ] && sed 's/^/  | /' "$2" >&2
  exit 1
}

# Unsigned little-endian integers of the image.
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' \n'; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' \n'; }

# A PE image: "MZ", and "PE\0\0" where e_lfanew points.
[ "$(dd if="$image" bs=1 count=2 2>/dev/null)" = "MZ" ] || fail "$image is not a PE image (no MZ header)"
pe=$(u32 "$image" 60)
[ "$(od -An -tx1 -j "$pe" -N4 "$image" | tr -d ' \n')" = "50450000" ] || fail "$image is not a PE image (no PE signature)"

key=$outdir/test-signing.key
cert=$outdir/test-signing.pem
der=$outdir/test-signing.cer
log=$outdir/testsign.log
tampered=$outdir/.tampered.$$
unrelated=$outdir/.unrelated.$$
trap 'rm -f "$tampered" "$unrelated.key" "$unrelated.pem"' EXIT

# A fresh certificate every run: nothing here is worth keeping.
rm -f "$key" "$cert" "$der" "$signed"
(umask 077 && openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 30 \
  -subj "/CN=Qelmbar Test Signing (throwaway)" \
  -addext "basicConstraints=critical,CA:FALSE" \
  -addext "keyUsage=critical,digitalSignature" \
  -addext "extendedKeyUsage=codeSigning" \
  -keyout "$key" -out "$cert" >"$log" 2>&1) || fail "openssl could not make the certificate" "$log"
openssl x509 -in "$cert" -outform der -out "$der"

osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Qelmbar" \
  -in "$image" -out "$signed" >"$log" 2>&1 || fail "osslsigncode could not sign $image" "$log"

# 1. Trusting the certificate: a good signature, digest and checksum right.
if ! osslsigncode verify -CAfile "$cert" -in "$signed" >"$log" 2>&1; then
  fail "the signature of $signed does not verify with its own certificate trusted" "$log"
fi
grep -q "Signature verification: ok" "$log" || fail "osslsigncode did not report a verified signature" "$log"
if grep -q "MISMATCH" "$log" || grep -qi "invalid PE checksum" "$log"; then
  fail "the signed image's digest or PE checksum does not match" "$log"
fi

# 2. Trusting only an unrelated certificate: refused for the self-signed
# root, and for no other reason, so that step 1 really checked the chain.
(umask 077 && openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 1 -subj "/CN=Unrelated" \
  -keyout "$unrelated.key" -out "$unrelated.pem" >"$log" 2>&1) || fail "openssl could not make a second certificate" "$log"
if osslsigncode verify -CAfile "$unrelated.pem" -in "$signed" >"$log" 2>&1; then
  fail "the signature verified although its certificate was not trusted" "$log"
fi
grep -q "self-signed certificate" "$log" || fail "an untrusted signature was refused for another reason than its self-signed root" "$log"
grep -q "MISMATCH" "$log" && fail "the digest of $signed does not match its signature" "$log"

# 3. One byte of the first section with data changed: the digest breaks.
sections=$(u16 "$signed" $((pe + 6)))
optional=$(u16 "$signed" $((pe + 20)))
table=$((pe + 24 + optional))
offset=
for ((i = 0; i < sections; i++)); do
  size=$(u32 "$signed" $((table + 40 * i + 16)))
  raw=$(u32 "$signed" $((table + 40 * i + 20)))
  if [ "$size" -gt 0 ] && [ "$raw" -gt 0 ]; then
    offset=$((raw + size / 2))
    break
  fi
done
[ -n "$offset" ] || fail "$signed has no section with data to tamper with"
cp "$signed" "$tampered"
byte=$(od -An -tu1 -j "$offset" -N1 "$tampered" | tr -d ' \n')
printf "\\$(printf '%03o' $((byte ^ 0xFF)))" | dd of="$tampered" bs=1 seek="$offset" conv=notrunc 2>/dev/null
[ "$(cmp -l "$signed" "$tampered" | wc -l)" -eq 1 ] || fail "tampering with byte $offset did not change exactly one byte"
if osslsigncode verify -CAfile "$cert" -in "$tampered" >"$log" 2>&1; then
  fail "a copy with byte $offset changed still verifies" "$log"
fi
grep -Eq "Calculated message digest.*MISMATCH" "$log" \
  || fail "the changed copy was refused, but not for its digest" "$log"

rm -f "$log"
echo "testsign: $signed signed and verified (certificate $der, valid 30 days);" \
  "refused untrusted and with byte $offset changed"
