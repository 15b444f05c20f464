#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each of them for a bounded time on
# the seed corpus and the regression files, both targets at once.  Fails on
# any finding: the crashing input is left in the build directory.
#   fuzz/run.sh [SECONDS per target (default 90)] [BUILD directory (default build-fuzz)]
# FUZZ_RUNS=N runs N inputs per target instead of a time limit (a campaign).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-90}
build=${2:-build-fuzz}

scripts/setup
if ! command -v clang++ > /dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends clang
fi
# libFuzzer ships with clang's runtime libraries, a package of its own in
# newer Debian releases.
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2> /dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  version=$(clang++ -dumpversion | cut -d. -f1)
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "libclang-rt-$version-dev"
fi

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQUARN_BUILD_FUZZERS=ON \
  -DQUARN_BUILD_TESTS=OFF -DQUARN_BUILD_BENCHMARKS=OFF -DQUARN_BUILD_TOOLS=OFF -DQUARN_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_CXX_FLAGS="-O1 -g $sanitize" -DCMAKE_EXE_LINKER_FLAGS="$sanitize"
cmake --build "$build" -j"$(nproc)" --target arpa_fuzz binary_fuzz

if [ -n "${FUZZ_RUNS:-}" ]; then
  limit=(-runs="$FUZZ_RUNS")
else
  limit=(-max_total_time="$seconds")
fi
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1
pids=()
for target in arpa binary; do
  # New inputs go to a working corpus in the build directory; the seeds and
  # regression files are only read.
  work="$build/corpus-$target"
  mkdir -p "$work"
  options=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/$target-")
  [ "$target" = arpa ] && options+=(-dict=fuzz/arpa.dict)
  "$build/${target}_fuzz" "${options[@]}" "${limit[@]}" "$work" "fuzz/corpus/$target" "fuzz/regressions/$target" \
    > "$build/$target.log" 2>&1 &
  pids+=($!)
done
status=0
targets=(arpa binary)
for i in 0 1; do
  target=${targets[$i]}
  if wait "${pids[$i]}"; then
    echo "${target}_fuzz: no finding"
    grep -E 'cov: [0-9]+' "$build/$target.log" | tail -1 || true
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
      "$build/$target.log" || true
  else
    status=1
    echo "${target}_fuzz: FINDING"
    tail -60 "$build/$target.log"
  fi
  # The targets keep their scratch files (fuzz/scratch_files.hh) under their
  # process id; libFuzzer's exit skips the destructor that removes them.
  rm -f "/dev/shm/quarn_fuzz_${pids[$i]}".* "${TMPDIR:-/tmp}/quarn_fuzz_${pids[$i]}".*
done
exit $status
