#!/usr/bin/env bash
# Installs what is missing, builds both targets, and shows the host at work:
# a browser's requests framed into the Linux host and into the Windows host
# under wine, each request and reply printed. A stand-in for the desktop
# application sits beside each host; the host starts it on the first
# download, and it answers the jobs.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
build_all

DEMO="$(mktemp -d /tmp/nimbra-demo.XXXXXX)"
# The stand-ins end once this file is gone.
export NIMBRA_STANDIN_RUN_WHILE="$DEMO/keep-running"
touch "$NIMBRA_STANDIN_RUN_WHILE"
cleanup() {
  rm -f "$NIMBRA_STANDIN_RUN_WHILE"
  sleep 1
  stop_wine
  rm -rf "$DEMO"
}
trap cleanup EXIT

# A small "browser-generated" file to stream.
head -c 3000000 /dev/urandom > "$DEMO/report.bin"

requests=(
  '{"type":"ping","extension_version":"2.3.0","source":"Mozilla/5.0 (X11; Linux x86_64) Chrome/131.0.0.0"}'
  '{"type":"add_download","url":"ftp://example.invalid/file.zip"}'
  '{"type":"add_download","url":"https://example.invalid/file.zip","filename":"file.zip","referrer":"https://example.invalid/"}'
  '{"type":"open_app"}'
  '{"type":"no_such_request"}'
)

show_data_dir() {
  echo
  echo "== what the host left in $1"
  (cd "$1" && find . -type f | sort | while read -r f; do
     case "$f" in
       *.json) echo "-- $f"; cat "$f"; echo ;;
       *) echo "-- $f ($(stat -c %s "$f") bytes)" ;;
     esac
   done)
}

echo
echo "== the Linux host beside a stand-in desktop application"
mkdir -p "$DEMO/linux"
cp build/native/nimbra-native-host "$DEMO/linux/"
cp build/native/tools/standin "$DEMO/linux/velisto-download-manager"
export XDG_DATA_HOME="$DEMO/data"
tools/simulator/nimbra-sim "${requests[@]}" --blob "$DEMO/report.bin" --content-type application/octet-stream \
  -- "$DEMO/linux/nimbra-native-host"
show_data_dir "$XDG_DATA_HOME/Velisto/Nimbra"

echo
echo "== the Windows host under wine, the same way"
start_wine
app_data="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local"
mkdir -p "$WINEPREFIX/drive_c/nimbra-demo"
cp build/windows/nimbra-native-host.exe "$WINEPREFIX/drive_c/nimbra-demo/"
cp build/windows/tools/standin.exe "$WINEPREFIX/drive_c/nimbra-demo/velisto-download-manager.exe"
tools/simulator/nimbra-sim "${requests[@]}" --blob "$DEMO/report.bin" \
  -- wine "$WINEPREFIX/drive_c/nimbra-demo/nimbra-native-host.exe"
show_data_dir "$app_data/Velisto/Nimbra"
