#!/usr/bin/env bash
# Test-signs quadhdmi.sys for a Windows machine in test-signing mode (see README.md).
#
# Makes a self-signed code-signing certificate with OpenSSL (once; later runs reuse it, so a test
# machine that trusts it keeps trusting re-signed builds), signs a copy of the image with
# osslsigncode and verifies the signature. The package lands in build/windows/signed/:
#   quadhdmi.sys (signed), quadhdmi.inf, quadhdmi-camera.inf,
#   quadhdmi.pdb                                             the driver package
#   quadhdmi.exe                                             the card's tool (not signed)
#   quadhdmi-test.cer                                        the certificate, for the machine's stores
#   quadhdmi-test.pfx (password: quadhdmi-test)              certificate + key, for signing the catalogue
#   quadhdmi-test.key, quadhdmi-test.pem                     the same for OpenSSL
# The .pfx, .key and .pem hold the private key: they stay on the machine that signs, never on a
# test machine.
# This is a test signature: Windows loads the driver with it only in test-signing mode.
#
# Usage: scripts/sign-test.sh [--image IMAGE] [--out DIR]
#   Without --image it installs what is missing, builds the windows preset and signs its image.
set -euo pipefail
cd "$(dirname "$0")/.."
image=""
out=build/windows/signed
while [ $# -gt 0 ]; do
    case "$1" in
        --image) image=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        *) echo "usage: $0 [--image IMAGE] [--out DIR]" >&2; exit 2 ;;
    esac
done
if [ -z "$image" ]; then
    scripts/deps.sh
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target quadhdmi_sys
    image=build/windows/windows/quadhdmi.sys
fi
dir=$(dirname "$image")
mkdir -p "$out"

key="$out/quadhdmi-test.key"
cert="$out/quadhdmi-test.pem"
if [ ! -f "$key" ] || [ ! -f "$cert" ]; then
    echo "making the test certificate"
    (umask 077 && openssl req -x509 -newkey rsa:3072 -sha256 -days 730 -nodes -keyout "$key" -out "$cert" \
        -subj "/CN=quadhdmi test signing (not for release)" \
        -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" 2>/dev/null)
fi
openssl x509 -in "$cert" -outform DER -out "$out/quadhdmi-test.cer"
# 3DES/SHA-1 protection: the PFX form every signtool and certificate import reads.
openssl pkcs12 -export -inkey "$key" -in "$cert" -out "$out/quadhdmi-test.pfx" -passout pass:quadhdmi-test \
    -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1 -name "quadhdmi test signing"

rm -f "$out/quadhdmi.sys"
osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "quadhdmi capture driver" \
    -in "$image" -out "$out/quadhdmi.sys" >/dev/null
for f in quadhdmi.inf quadhdmi-camera.inf quadhdmi.pdb quadhdmi.exe; do
    if [ -f "$dir/$f" ]; then cp "$dir/$f" "$out/$f"; fi
done
osslsigncode verify -CAfile "$cert" -in "$out/quadhdmi.sys"
echo "signed package: $out"
