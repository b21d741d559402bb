#!/usr/bin/env bash
# A throw-away certificate authority and a code-signing certificate it issued, for the signing
# tests; made at each run, valid for two days, never kept.
#   make_test_ca.sh DIR  ->  DIR/ca.pem, DIR/signer.pem, DIR/signer.key,
#                            DIR/signer.pfx with the password in DIR/signer.pass,
#                            DIR/tsa.cnf (a time-stamping authority, for tsa_server.py)
set -euo pipefail
mkdir -p "$1"
cd "$1"
quiet() { "$@" >/dev/null 2>openssl.log || { cat openssl.log >&2; exit 1; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=ZyvInstall test CA" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
quiet openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Kelvora test signer"
leaf='basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n'
printf "${leaf}extendedKeyUsage=codeSigning\n" >signer.ext
quiet openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext \
  -out signer.pem
printf 'throw-away\n' >signer.pass
quiet openssl pkcs12 -export -inkey signer.key -in signer.pem -out signer.pfx -passout file:signer.pass

# A time-stamping authority issued by the same CA, for tsa_server.py (DIR/tsa.cnf is its setup).
quiet openssl req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj "/CN=ZyvInstall test TSA"
printf "${leaf}extendedKeyUsage=critical,timeStamping\n" >tsa.ext
quiet openssl x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile tsa.ext \
  -out tsa.pem
echo 01 >tsa.serial
cat >tsa.cnf <<CONF
[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = $PWD/tsa.serial
signer_cert = $PWD/tsa.pem
certs = $PWD/ca.pem
signer_key = $PWD/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
CONF
