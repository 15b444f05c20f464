#!/bin/sh
# Builds the text-reader benchmark in Release and runs it on a 1 GB
# ARPA-like file under /tmp (generated on the first run and kept).
# Usage: [BUILD_DIR=dir] bench/file_piece_bench.sh [DATA_FILE]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-"$root/build-bench"}
data=${1:-/tmp/quarn_file_piece_bench.txt}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" --target file_piece_bench -j2
"$build/bench/file_piece_bench" "$data" 1024
