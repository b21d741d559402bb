#!/usr/bin/env bash
# A throw-away certificate authority and a code-signing certificate it issued, for the signing
# tests; made at each run, valid for two days, never kept.
#   make_test_ca.sh DIR  ->  DIR/ca.pem, DIR/signer.pem, DIR/signer.key,
#                            DIR/signer.pfx with the password in DIR/signer.pass
set -euo pipefail
mkdir -p "$1"
cd "$1"
quiet() { "$@" >/dev/null 2>openssl.log || { cat openssl.log >&2; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=ZyvInstall test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
quiet openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Kelvora test signer"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
quiet openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext \
  -out signer.pem
printf 'throw-away\n' >signer.pass
quiet openssl pkcs12 -export -inkey signer.key -in signer.pem -out signer.pfx -passout file:signer.pass
