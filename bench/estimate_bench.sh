#!/bin/sh
# Estimation benchmark: estimatemodel next to IRSTLM's build-lm.sh on the same
# text, order and machine in one run, then estimatemodel alone on larger
# generated texts, then the held-out perplexity of both KJV models.
#
# Texts (made in OUT_DIR when missing): kjv.tok, the King James Version, one
# verse per line (Debian bible-kjv, bench/bible_corpus.py); zipfN.txt, N
# million generated tokens (bench/zipf_text.py).  Each run is timed by GNU
# time: wall and processor seconds, peak resident memory.  IRSTLM counts
# with build-lm.sh (-k 2 splits, improved Kneser-Ney, the text wrapped by
# add-start-end.sh, which is timed with it); its iARPA output is not turned
# into ARPA (that would add compile-lm's time to its side).
# Usage: [BUILD_DIR=dir] [ORDER=5] [MEMORY=2G] [PEER_SIZES="10"] [ALONE_SIZES="10 30 100"]
#        bench/estimate_bench.sh [OUT_DIR]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-"$root/build-bench"}
out=${1:-/tmp/quarn_estimate_bench}
order=${ORDER:-5}
memory=${MEMORY:-2G}
peer_sizes=${PEER_SIZES:-10}
alone_sizes=${ALONE_SIZES:-"10 30 100"}
mkdir -p "$out"

[ -x /usr/lib/irstlm/bin/build-lm.sh ] && command -v bible > /dev/null && [ -x /usr/bin/time ] ||
  apt-get install -y irstlm bible-kjv time > /dev/null
export IRSTLM=/usr/lib/irstlm
PATH=$PATH:/usr/lib/irstlm/bin
export PATH
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" --target estimatemodel querymodel -j2 > /dev/null

[ -s "$out/kjv.tok" ] || bible gen1:1-rev22:21 | python3 "$root/bench/bible_corpus.py" kjv > "$out/kjv.tok"
for size in $peer_sizes $alone_sizes; do
  [ -s "$out/zipf$size.txt" ] || python3 "$root/bench/zipf_text.py" "$out/zipf$size.txt" "${size}000000" > /dev/null
done

cpu() { lscpu | sed -n "s/^$1: *//p"; }
echo "Machine: $(cpu 'Model name'), $(nproc) cores; L2 $(cpu 'L2 cache'), L3 $(cpu 'L3 cache'); $(date -u +%F)"

# timed NAME COMMAND...: prints NAME, wall s, processor s, peak MiB.
timed() {
  name=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$out/time" "$@" > "$out/log" 2>&1 || { cat "$out/log"; exit 1; }
  awk -v name="$name" '{ printf "| %s | %.2f | %.2f | %.0f |\n", name, $1, $2 + $3, $4 / 1024 }' "$out/time"
}

# IRSTLM's estimate of TEXT ($1) into OUTPUT ($2), as one command to time.
irstlm='add-start-end.sh < "$1" > "$2.se" && rm -rf "$2.stat" &&
  build-lm.sh -i "$2.se" -n "$3" -o "$2" -k 2 -s improved-kneser-ney -t "$2.stat" && rm -rf "$2.stat" "$2.se"'

echo
echo "Order $order, estimatemodel -S $memory, next to IRSTLM build-lm.sh:"
echo
echo "| text, program | wall s | processor s | peak MiB |"
echo "|---|---:|---:|---:|"
for text in kjv $(for size in $peer_sizes; do echo "zipf$size"; done); do
  file="$out/$text.tok"
  [ -s "$file" ] || file="$out/$text.txt"
  timed "$text, estimatemodel" "$build/estimatemodel" -n -o "$order" -S "$memory" "$file" "$out/$text.arpa"
  timed "$text, IRSTLM" sh -c "$irstlm" irstlm "$file" "$out/$text.ilm.gz" "$order"
done

echo
echo "estimatemodel alone, order $order, -S $memory (tokens per second of the whole run; temporary disk at its peak):"
echo
echo "| text | tokens | wall s | processor s | peak MiB | M tokens/s |"
echo "|---|---:|---:|---:|---:|---:|"
for size in $alone_sizes; do
  file="$out/zipf$size.txt"
  tokens=$(wc -w < "$file")
  row=$(timed "zipf$size" "$build/estimatemodel" -n -o "$order" -S "$memory" "$file" "$out/zipf$size.arpa")
  echo "$row" | awk -v tokens="$tokens" -F'|' '{ printf "|%s| %d |%s|%s|%s| %.2f |\n", $2, tokens, $3, $4, $5, tokens / $3 / 1e6 }'
  rm -f "$out/zipf$size.arpa"
done

# Held-out perplexity: every tenth verse of the KJV held out, the rest
# trained on by both programs; both ARPA files scored by querymodel.
echo
echo "Held-out perplexity, KJV, order $order (every tenth verse held out):"
echo
awk 'NR % 10 != 0' "$out/kjv.tok" > "$out/kjv-train.tok"
awk 'NR % 10 == 0' "$out/kjv.tok" > "$out/kjv-test.tok"
"$build/estimatemodel" -n -o "$order" "$out/kjv-train.tok" "$out/kjv-train.arpa" > /dev/null 2>&1
sh -c "$irstlm" irstlm "$out/kjv-train.tok" "$out/kjv-train.ilm.gz" "$order" > /dev/null 2>&1
compile-lm "$out/kjv-train.ilm.gz" --text=yes "$out/kjv-train.irstlm.arpa" > /dev/null 2>&1
echo "| model | perplexity including OOVs | excluding OOVs |"
echo "|---|---:|---:|"
for model in kjv-train kjv-train.irstlm; do
  "$build/querymodel" -s "$out/$model.arpa" "$out/kjv-test.tok" 2>/dev/null |
    awk -v name="$model" '/including OOVs/ { including = $NF } /excluding OOVs/ { excluding = $NF }
                          END { printf "| %s | %s | %s |\n", name, including, excluding }'
done
