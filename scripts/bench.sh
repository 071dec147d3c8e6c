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
