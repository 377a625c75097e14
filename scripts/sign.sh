#!/usr/bin/env bash
# Authenticode-signs Windows executables in place with osslsigncode, from a PKCS#12
# certificate given through the environment:
#   RELAUNCHER_SIGN_PKCS12         the .p12/.pfx file (required)
#   RELAUNCHER_SIGN_PASSWORD       its password (may be empty)
#   RELAUNCHER_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional; without one the
#                                  signature is valid only as long as the certificate is)
#   scripts/sign.sh <file.exe>...
set -euo pipefail
: "${RELAUNCHER_SIGN_PKCS12:?the certificate file (RELAUNCHER_SIGN_PKCS12) is not set}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# The password goes through a private file, never on a command line that others can list.
umask 077
printf '%s' "${RELAUNCHER_SIGN_PASSWORD:-}" >"$scratch/password"
for file in "$@"; do
  rm -f "$scratch/signed.exe"  # osslsigncode will not overwrite its output
  options=(-pkcs12 "$RELAUNCHER_SIGN_PKCS12" -readpass "$scratch/password" -h sha256 -n relauncher)
  if [ -n "${RELAUNCHER_SIGN_TIMESTAMP_URL:-}" ]; then
    options+=(-ts "$RELAUNCHER_SIGN_TIMESTAMP_URL")
  fi
  osslsigncode sign "${options[@]}" -in "$file" -out "$scratch/signed.exe" >"$scratch/output" 2>&1 ||
    { cat "$scratch/output" >&2; echo "==> signing $file failed" >&2; exit 1; }
  cat "$scratch/signed.exe" >"$file"
done
