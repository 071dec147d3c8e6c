#!/usr/bin/env bash
# Signs Windows executables and installers in place (Authenticode, SHA-256,
# through osslsigncode) with the release's code-signing certificate:
#
#   NIMBRA_SIGN_PFX            the certificate with its private key (PKCS#12)
#   NIMBRA_SIGN_PASSWORD       the PFX file's password
#   NIMBRA_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamping server, so
#                              the signatures outlive the certificate
#
#   packaging/windows/sign.sh FILE...
#
# Without NIMBRA_SIGN_PFX it leaves the files unsigned and says so; with it,
# any failure (a wrong password, an unreachable server) is an error rather
# than an unsigned release.
set -euo pipefail

if [ -z "${NIMBRA_SIGN_PFX:-}" ]; then
  echo "  not signed (NIMBRA_SIGN_PFX is not set):$(printf ' %s' "${@##*/}")"
  exit 0
fi
if [ ! -f "$NIMBRA_SIGN_PFX" ]; then
  echo "sign.sh: NIMBRA_SIGN_PFX names no file: $NIMBRA_SIGN_PFX" >&2
  exit 1
fi
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is not installed" >&2; exit 1; }

timestamp=()
if [ -n "${NIMBRA_SIGN_TIMESTAMP_URL:-}" ]; then timestamp=(-ts "$NIMBRA_SIGN_TIMESTAMP_URL"); fi

for file in "$@"; do
  # The password travels through a pipe, never on a command line that any
  # user's process list shows.
  osslsigncode sign -pkcs12 "$NIMBRA_SIGN_PFX" -readpass <(printf '%s' "${NIMBRA_SIGN_PASSWORD:-}") \
    -h sha256 -n "Velisto Download Manager browser connector" "${timestamp[@]}" \
    -in "$file" -out "$file.signing" >/dev/null ||
    { rm -f "$file.signing"; echo "sign.sh: could not sign $file" >&2; exit 1; }
  mv "$file.signing" "$file"
  echo "  signed ${file##*/}"
done
