#!/usr/bin/env bash
# Builds both Windows installers, the per-user and the per-machine one, from a
# built windows tree (it builds nothing itself: scripts/package.sh brings the
# trees up to date first).
#
#   packaging/windows/make-msi.sh [--version VERSION] [--out-dir DIR]
#                                 [--windows-tree DIR] [--manifest-tool FILE]
#
# VERSION: the project's version (CMake's project VERSION, as the tree was
#   configured with it) unless given; another one packs the same files as that
#   version, which is how an upgrade is tried without touching the project.
# DIR: <windows tree>/packages, which gets velisto-nimbra-host-VERSION-x64.msi
#   (per user) and velisto-nimbra-host-VERSION-x64-allusers.msi (per machine).
# The manifest comes from nimbra-register (the Linux tree's by default), so
# the installed one says what the tool would write, with a relative path.
# With NIMBRA_SIGN_PFX set, the executables and the installer are signed
# (sign.sh).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
tree="$root/build/windows"
manifest_tool="$root/build/native/tools/nimbra-register"
version=""
out_dir=""
while (($#)); do
  case "$1" in
    --version | --out-dir | --windows-tree | --manifest-tool)
      (($# >= 2)) || { echo "make-msi.sh: $1 needs a value" >&2; exit 2; }
      case "$1" in
        --version) version=$2 ;;
        --out-dir) out_dir=$2 ;;
        --windows-tree) tree=$2 ;;
        --manifest-tool) manifest_tool=$2 ;;
      esac
      shift 2 ;;
    *) echo "usage: make-msi.sh [--version VERSION] [--out-dir DIR] [--windows-tree DIR] [--manifest-tool FILE]" >&2
       exit 2 ;;
  esac
done

if [ ! -f "$tree/CMakeCache.txt" ]; then
  echo "make-msi.sh: $tree is not a configured windows tree" >&2
  exit 1
fi
if [ -z "$version" ]; then
  version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")"
fi
# Windows Installer compares three fields: major and minor up to 255, build up to 65535.
if ! [[ "$version" =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,5})$ ]] ||
   ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 || BASH_REMATCH[3] > 65535)); then
  echo "make-msi.sh: not an installer version (major.minor.build): '$version'" >&2
  exit 2
fi
out_dir="${out_dir:-$tree/packages}"
for program in wixl msiinfo msibuild "$manifest_tool"; do
  command -v "$program" >/dev/null || { echo "make-msi.sh: $program is missing" >&2; exit 1; }
done

stage="$(mktemp -d "${TMPDIR:-/tmp}/nimbra-msi.XXXXXX")"
trap 'rm -rf "$stage"' EXIT

# Stripped like the zip's copies, and stripped before any signature.
cmake --install "$tree" --prefix "$stage" --strip >/dev/null
for file in nimbra-native-host.exe nimbra-register.exe; do
  [ -f "$stage/$file" ] || { echo "make-msi.sh: $tree installs no $file: build it first" >&2; exit 1; }
done
"$manifest_tool" manifest --host nimbra-native-host.exe >"$stage/com.velisto.nimbra.json"
"$manifest_tool" manifest --firefox --host nimbra-native-host.exe >"$stage/com.velisto.nimbra.firefox.json"
"$here/sign.sh" "$stage/nimbra-native-host.exe" "$stage/nimbra-register.exe"

cp "$root/resources/nimbra.ico" "$stage/"

# wixl reads the files from the folder it runs in. It skips attributes it
# does not know with no more than a warning: any word from it fails the
# build, so nothing in the source is silently lost.
mkdir -p "$out_dir"
for scope in perUser:x64 perMachine:x64-allusers; do
  name="velisto-nimbra-host-$version-${scope#*:}.msi"
  (cd "$stage" && wixl -a x64 -D Version="$version" -D Scope="${scope%%:*}" -o "$name" \
     "$here/velisto-nimbra-host.wxs") >"$stage/wixl.log" 2>&1 || { cat "$stage/wixl.log" >&2; exit 1; }
  if [ -s "$stage/wixl.log" ]; then
    cat "$stage/wixl.log" >&2
    exit 1
  fi
  # wixl knows no Secure attribute: INSTALLDIR joins the properties it made
  # secure, so a value given on the command line reaches an elevated install.
  secure="$(msiinfo export "$stage/$name" Property | sed -n 's/^SecureCustomProperties\t//p')"
  msibuild "$stage/$name" -q "UPDATE \`Property\` SET \`Value\` = 'INSTALLDIR;$secure' WHERE \`Property\` = 'SecureCustomProperties'"
  "$here/sign.sh" "$stage/$name"
  mv "$stage/$name" "$out_dir/$name"
  echo "  made ${out_dir#"$root/"}/$name"
done
