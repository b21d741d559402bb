#!/usr/bin/env bash
# The installer signed as scripts/package signs it, with a throw-away certificate: osslsigncode
# accepts the signature against the test's CA, the signed file still carries its payload, and it
# installs (the first-install scenario of the end-to-end suite, run on the signed copy).
#   signed_install.sh SOURCE INSTALLER WORK E2E_SCRIPT E2E_ARGS...
set -euo pipefail
source=$1 installer=$2 work=$3
shift 3
rm -rf "$work"
bash "$source/tests/make_test_ca.sh" "$work/ca"
signed=$work/ZyvInstall.exe
osslsigncode sign -h sha256 -n Kelvora -certs "$work/ca/signer.pem" -key "$work/ca/signer.key" \
  -in "$installer" -out "$signed" >"$work/sign.log" 2>&1 || { cat "$work/sign.log" >&2; exit 1; }
osslsigncode verify -CAfile "$work/ca/ca.pem" -in "$signed" >"$work/verify.log" 2>&1 ||
  { cat "$work/verify.log" >&2; exit 1; }
echo "signed and verified: $signed"
# The scenario script takes the last of each option given; its screenshots go beside the signed copy.
exec /usr/bin/python3 "$@" --installer "$signed" --damaged "$signed" --artifacts "$work/artifacts" \
  Scenarios.test_first_install
