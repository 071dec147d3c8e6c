#!/usr/bin/env bash
# Installs what is missing, builds both targets, and shows the host at work:
# a browser's requests framed into the Linux host and the Windows host under
# wine, each request and reply printed.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
build_all

DEMO="$(mktemp -d /tmp/nimbra-demo.XXXXXX)"
cleanup() { rm -rf "$DEMO"; }
trap cleanup EXIT
export XDG_DATA_HOME="$DEMO/data"

echo
echo "== the Linux host, as a browser would start it"
tools/simulator/nimbra-sim \
  '{"type":"ping","extension_version":"1.0.0","source":"Mozilla/5.0 Chrome/131.0"}' \
  '{"type":"add_download","url":"ftp://example.invalid/file.zip"}' \
  '{"type":"no_such_request"}' \
  -- build/native/nimbra-native-host
echo
echo "== heartbeat files it wrote in $XDG_DATA_HOME/Velisto/Nimbra"
for f in "$XDG_DATA_HOME"/Velisto/Nimbra/*.json; do
  [ -f "$f" ] && { echo "-- $(basename "$f")"; cat "$f"; echo; }
done

echo
echo "== the Windows host under wine"
start_wine
tools/simulator/nimbra-sim '{"type":"ping"}' -- wine build/windows/nimbra-native-host.exe
