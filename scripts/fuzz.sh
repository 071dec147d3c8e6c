#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan, UBSan) in build/fuzz and runs
# each one for a while over a copy of its seed corpus in tests/fuzz/corpus.
# Fails when any target finds a crash, a leak or a failed check.
#
#   scripts/fuzz.sh                 # every target, 5 seconds each
#   scripts/fuzz.sh 600             # every target, 10 minutes each
#   scripts/fuzz.sh 60 base64       # one target
#
# Crash inputs are left in build/fuzz/findings/<target>/; the grown corpora in
# build/fuzz/corpus/<target>/ (never the committed seeds).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SECONDS_EACH="${1:-5}"
shift || true
ensure_packages cmake make clang libclang-rt-14-dev nlohmann-json3-dev

BUILD=build/fuzz
FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
CONFIGURE=(-S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
           -DCMAKE_CXX_COMPILER=clang++ "-DCMAKE_CXX_FLAGS=$FLAGS"
           -DNIMBRA_FUZZ=ON -DNIMBRA_SANITIZE=ON -DNIMBRA_BUILD_TESTS=OFF)
if grep -q 'tests/fuzz' CMakeLists.txt; then
  CONFIGURE+=(-UCMAKE_PROJECT_INCLUDE)
else
  CONFIGURE+=("-DCMAKE_PROJECT_INCLUDE=$ROOT/tests/fuzz/attach.cmake")
fi
echo "== building the fuzz targets ($BUILD)"
cmake "${CONFIGURE[@]}" >/dev/null
cmake --build "$BUILD" -j2 --target nimbra-fuzz >/dev/null

if (($#)); then
  TARGETS=("$@")
else
  TARGETS=()
  for source in tests/fuzz/fuzz_*.cpp; do
    name="$(basename "$source" .cpp)"
    TARGETS+=("${name#fuzz_}")
  done
fi

failed=0
for target in "${TARGETS[@]}"; do
  program="$BUILD/tests/fuzz/fuzz_$target"
  seeds="tests/fuzz/corpus/$target"
  corpus="$BUILD/corpus/$target"
  findings="$BUILD/findings/$target"
  mkdir -p "$corpus" "$findings"
  [ -d "$seeds" ] || seeds=""
  echo "== fuzz_$target for ${SECONDS_EACH}s"
  log="$BUILD/fuzz_$target.log"
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     "$program" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$findings/" "$corpus" $seeds >"$log" 2>&1; then
    execs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)"
    speed="$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)"
    units="$(find "$corpus" -type f | wc -l)"
    echo "   ok: ${execs:-?} runs, ${speed:-?} execs/s, corpus $units files"
  else
    failed=1
    echo "   FAILED: see $log and $findings/"
    grep -E 'ERROR|SUMMARY|deadly signal' "$log" | head -5 || true
  fi
done
exit "$failed"
