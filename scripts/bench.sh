#!/usr/bin/env bash
# Builds the Linux host and prints the benchmark tables (medians, with the
# floor programs measured in the same run).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages cmake make g++ nlohmann-json3-dev googletest libgtest-dev
cmake --preset native >/dev/null
cmake --build --preset native
build/native/bench/ping-bench build/native/nimbra-native-host build/native/bench/floor-host 200 2000 \
  build/native/tools/standin
echo
# Streams 64 and 256 MiB through the host in 900,000-character chunks, with
# the stand-in application confirming the import, beside the floor program.
build/native/bench/blob-bench build/native/nimbra-native-host build/native/bench/blob-floor \
  build/native/tools/standin 64 256 --runs 3
# With --soak, last: one host serves 1,000,000 pings and then a 4 GiB
# transfer while its resident set is sampled: on a busy 2-core machine about
# a minute natively, and 6 to 9 minutes under wine, which runs when this run
# has a wine prefix and the Windows build. The 4 GiB data file needs that much
# free space under /tmp (or the prefix) and is removed at the end.
if [ "${1:-}" = "--soak" ]; then
  echo
  build/native/bench/soak-bench build/native/nimbra-native-host build/native/tools/standin
  if [ -n "${WINEPREFIX:-}" ] && [ -f build/windows/nimbra-native-host.exe ]; then
    echo
    build/native/bench/soak-bench --wine build/windows/nimbra-native-host.exe build/windows/tools/standin.exe
  fi
fi
