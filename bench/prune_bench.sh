#!/bin/sh
# Pruning benchmark: the KJV 5-gram unpruned and at a few --prune settings,
# each estimated from nine verses in ten and scored on the tenth (as the
# held-out set-up of bench/estimate_bench.sh): n-grams per order, the ARPA
# file, the probing and the quantized trie (packmodel trie -q 8 -b 8) file
# sizes, and the held-out perplexity by querymodel.
# Usage: [BUILD_DIR=dir] [ORDER=5] [SETTINGS="none|0 1 1 1|0 0 1 2|1"]
#        bench/prune_bench.sh [OUT_DIR]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-"$root/build-bench"}
out=${1:-/tmp/quarn_prune_bench}
order=${ORDER:-5}
settings=${SETTINGS:-"none|0 1 1 1|0 0 1 2|1"}
mkdir -p "$out"

command -v bible > /dev/null || apt-get install -y bible-kjv > /dev/null
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" --target estimatemodel packmodel querymodel -j2 > /dev/null

[ -s "$out/kjv.tok" ] || bible gen1:1-rev22:21 | python3 "$root/bench/bible_corpus.py" kjv > "$out/kjv.tok"
awk 'NR % 10 != 0' "$out/kjv.tok" > "$out/train.tok"
awk 'NR % 10 == 0' "$out/kjv.tok" > "$out/test.tok"

cpu() { lscpu | sed -n "s/^$1: *//p"; }
echo "Machine: $(cpu 'Model name'), $(nproc) cores; L2 $(cpu 'L2 cache'), L3 $(cpu 'L3 cache'); $(date -u +%F); load $(cut -d' ' -f1 /proc/loadavg)"
echo
echo "| --prune | n-grams (orders 1 to $order) | ARPA MB | probing MB | quantized trie MB | perplexity incl. OOVs | excl. OOVs |"
echo "|---|---|---:|---:|---:|---:|---:|"
mb() { stat -c %s "$1" | awk '{ printf "%.1f", $1 / 1e6 }'; }
echo "$settings" | tr '|' '\n' | while read -r setting; do
  flags=
  [ "$setting" = none ] || flags="--prune $setting"
  # shellcheck disable=SC2086
  "$build/estimatemodel" -n -o "$order" $flags "$out/train.tok" "$out/model.arpa" > "$out/log" 2>&1 || { cat "$out/log"; exit 1; }
  counts=$(sed -n 's/^ngram [0-9]*=//p' "$out/model.arpa" | head -n "$order" | tr '\n' ' ' | sed 's/ $//')
  "$build/packmodel" -S 1G probing "$out/model.arpa" "$out/model.probing" > /dev/null 2>&1
  "$build/packmodel" -S 1G -q 8 -b 8 trie "$out/model.arpa" "$out/model.qtrie" > /dev/null 2>&1
  perplexity=$("$build/querymodel" -s "$out/model.arpa" "$out/test.tok" 2>/dev/null |
    awk '/including OOVs/ { including = $NF } /excluding OOVs/ { excluding = $NF }
         END { printf "%s | %s", including, excluding }')
  echo "| $setting | $counts | $(mb "$out/model.arpa") | $(mb "$out/model.probing") | $(mb "$out/model.qtrie") | $perplexity |"
done
rm -f "$out/model.arpa" "$out/model.probing" "$out/model.qtrie" "$out/log"
