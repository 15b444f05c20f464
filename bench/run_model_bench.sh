#!/bin/sh
# Builds the model benchmark in Release and runs it, next to IRSTLM, on the
# models of bench/make_models.sh (made first when missing).  Each model's
# table goes to standard output.
# Usage: [BUILD_DIR=dir] [REPEAT=n] bench/run_model_bench.sh [MODEL_DIR]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-"$root/build-bench"}
models=${1:-/tmp/quarn_models}
repeat=${REPEAT:-3}
"$root/bench/make_models.sh" "$models" > /dev/null
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" --target model_bench -j2
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(free -g | awk '/^Mem:/ {print $2}') GiB"
echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for pair in kjv5:kjv bible5:bible bible3:bible; do
  model=${pair%%:*}
  text=${pair#*:}
  echo
  "$build/bench/model_bench" "$models/$model.arpa" "$models/$text.tok" --repeat "$repeat"
done
