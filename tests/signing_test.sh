#!/usr/bin/env bash
# Signs copies of the built executables with a throwaway certificate, made here, through
# scripts/sign.sh, as a release would be signed; then the signatures must verify against
# that certificate, and the signed executables must still hand over under Wine.
#   tests/signing_test.sh <build folder>
set -euo pipefail
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")/.." && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=relauncher test signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out cert.pem 2>/dev/null
openssl pkcs12 -export -inkey key.pem -in cert.pem -passout pass:throwaway -out cert.p12

# Both in one call, as the release signs them.
cp "$build/relauncher.exe" "$build/relauncherw.exe" "$build/probe.exe" .
RELAUNCHER_SIGN_PKCS12=cert.p12 RELAUNCHER_SIGN_PASSWORD=throwaway "$here/scripts/sign.sh" relauncher.exe relauncherw.exe
status=0
for exe in relauncher.exe relauncherw.exe; do
  if ! osslsigncode verify -CAfile cert.pem -in "$exe" >verify.txt 2>&1; then
    cat verify.txt
    echo "FAILED: the signature of $exe does not verify"
    status=1
  fi
  if cmp -s "$exe" "$build/$exe"; then
    echo "FAILED: $exe was not changed by signing"
    status=1
  fi
  # A real hand-over: nothing to wait for, the program is the probe beside the tool,
  # and its exit code (7) comes back through the signed tool.
  rm -f probe.exe.started
  code=0
  PROBE_probe_EXIT=7 wine "$exe" --wait-pid 1 -- probe.exe </dev/null >/dev/null 2>&1 || code=$?
  if [ "$code" -ne 7 ] || [ ! -e probe.exe.started ]; then
    echo "FAILED: the signed $exe did not hand over (exit $code)"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "both executables signed, verified and handed over"
exit "$status"
