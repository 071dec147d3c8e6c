#!/usr/bin/env bash
# Builds both targets and prints the benchmark tables: medians, each program
# beside the floor programs of its own target measured in the same run. The
# Windows build and its floors run under wine, in a prefix of this run's own.
#
# What wine does not let us separate: every Windows figure includes wine's
# own code. File and pipe calls go through wine's ntdll and often its
# wineserver; the heap is wine's; the shell's known-folder lookup, which the
# host makes again whenever the registry's record of the folder changes (and
# the "+ lookups" blob floor for every request), reads and rewrites registry
# keys through the wineserver under wine. Host and floor pay the
# same for the same calls, so the ratios show what the host does beyond its
# floor, but how much of either figure is wine's and how much Windows would
# charge cannot be told apart here.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages "${BUILD_PACKAGES[@]}"
build_all
trap stop_wine EXIT
start_wine
echo
build/native/bench/ping-bench build/native/nimbra-native-host build/native/bench/floor-host 200 2000 \
  build/native/tools/standin
echo
build/native/bench/ping-bench --wine build/windows/nimbra-native-host.exe build/windows/bench/floor-host.exe \
  100 1000 build/windows/tools/standin.exe
echo
# Streams 64 and 256 MiB through each host in 900,000-character chunks, with
# the stand-in application confirming the import, beside its floor programs.
build/native/bench/blob-bench --runs 7 --sizes 64,256 \
  --native linux build/native/nimbra-native-host build/native/bench/blob-floor build/native/tools/standin \
  --wine windows build/windows/nimbra-native-host.exe build/windows/bench/blob-floor.exe build/windows/tools/standin.exe
# With --soak, last: one host serves 1,000,000 pings and then a 4 GiB
# transfer while its resident set is sampled, natively (about a minute) and
# then the Windows build under wine (5 minutes on a busy machine, over 15 on
# an idle one, where each of wine's wake-ups is slow). The 4 GiB data file
# needs that much free space under /tmp and the wine prefix, and is removed
# at the end.
if [ "${1:-}" = "--soak" ]; then
  echo
  build/native/bench/soak-bench build/native/nimbra-native-host build/native/tools/standin
  echo
  build/native/bench/soak-bench --wine build/windows/nimbra-native-host.exe build/windows/tools/standin.exe
fi
