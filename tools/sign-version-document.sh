#!/usr/bin/env bash
# Signs a version document for the update server: RSA with SHA-256 and PKCS#1 v1.5
# padding, written as hexadecimal text into <document>.sig beside the document.
#
#   sign-version-document.sh <private-key.pem> <document> [<public-key.pem>]
#
# With a public key given, the new signature is checked against it first, so a release
# cannot publish a signature that the built program would refuse.
set -euo pipefail

if [[ $# -lt 2 || $# -gt 3 ]]; then
    echo "usage: $(basename "$0") <private-key.pem> <document> [<public-key.pem>]" >&2
    exit 2
fi
key=$1
document=$2
public_key=${3:-}
[[ -r $key ]] || { echo "cannot read private key: $key" >&2; exit 1; }
[[ -r $document ]] || { echo "cannot read document: $document" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl dgst -sha256 -sign "$key" -sigopt rsa_padding_mode:pkcs1 -out "$work/signature.bin" "$document"
if [[ -n $public_key ]]; then
    if ! openssl dgst -sha256 -verify "$public_key" -sigopt rsa_padding_mode:pkcs1 \
        -signature "$work/signature.bin" "$document" >/dev/null; then
        echo "the signature does not verify with $public_key: wrong key pair" >&2
        exit 1
    fi
fi
od -An -v -tx1 "$work/signature.bin" | tr -d ' \n' >"$work/signature.hex"
mv "$work/signature.hex" "$document.sig"
echo "$document.sig"
