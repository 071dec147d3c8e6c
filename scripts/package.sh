#!/usr/bin/env bash
# Makes the packages from the existing build trees (scripts/demo.sh or
# scripts/test.sh build them): the Windows zip and the per-user and
# per-machine installers from build/windows, the Debian package from
# build/native, and prints where they are. With NIMBRA_SIGN_PFX and
# NIMBRA_SIGN_PASSWORD set (and optionally NIMBRA_SIGN_TIMESTAMP_URL) the
# Windows executables and the installers are signed; without, they are not,
# and it says so.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages wixl msitools osslsigncode

for tree in native windows; do
  if [ ! -f "build/$tree/CMakeCache.txt" ]; then
    echo "build/$tree does not exist yet: run bash scripts/test.sh, or" >&2
    echo "  cmake --preset $tree && cmake --build --preset $tree" >&2
    exit 1
  fi
done

made=()
# CPack brings the tree up to date first, but one job at a time; the preset
# builds with two.
make_package() {
  local tree=$1 generator=$2 log="build/$1/packages.log"
  echo "== packaging build/$tree ($generator)"
  cmake --build --preset "$tree" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
  if ! (cd "build/$tree" && cpack -G "$generator") >>"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
  made+=("$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log" | tail -n 1)")
}

make_package windows ZIP
make_package native DEB
# From the tree the zip was just made of, with the manifest written by the
# Linux tree's nimbra-register.
echo "== packaging build/windows (MSI)"
packaging/windows/make-msi.sh | tee build/windows/msi.log
while read -r file; do made+=("$ROOT/$file"); done < <(sed -n 's/^  made //p' build/windows/msi.log)

echo "== packages"
for file in "${made[@]}"; do
  echo "  ${file#"$ROOT/"} ($(du -h "$file" | cut -f1))"
done
if [ -n "${NIMBRA_SIGN_PFX:-}" ]; then
  echo "== the Windows executables and the installers are signed with $NIMBRA_SIGN_PFX"
else
  echo "== unsigned: no code-signing certificate given (NIMBRA_SIGN_PFX; see the README)"
fi
