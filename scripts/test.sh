#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test: unit and
# host-level tests natively and under wine, the executable checks, the fuzz
# targets briefly, the fault sweep under strace, and the Chromium and Firefox
# end-to-end suites.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev chromium firefox-esr openssl strace \
                wixl msitools osslsigncode
build_all
echo "== building the Linux host with ASan and UBSan (build/sanitize)"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize

# A few seconds of each fuzz target over its seed corpus; longer runs:
# scripts/fuzz.sh <seconds each>.
scripts/fuzz.sh 5

start_wine
trap stop_wine EXIT

# One CTest run over every build tree, so the last line counts everything.
mkdir -p build/all
{
  echo "subdirs(\"$ROOT/build/native\")"
  echo "subdirs(\"$ROOT/build/windows\")"
  echo "subdirs(\"$ROOT/build/sanitize\")"
} > build/all/CTestTestfile.cmake
echo "== running the tests"
# A test that fails is run once more before it counts: a wine process now and
# then fails to start on a loaded machine, which says nothing of the host.
ctest --test-dir build/all -j2 --output-on-failure --timeout 600 --repeat until-pass:2
