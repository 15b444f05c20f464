#!/usr/bin/env bash
# Writes the binary half of the seed corpus, fuzz/corpus/binary: a few of the
# ARPA seeds built into every binary model type by packmodel.  Quantization
# and pointer compression use few bits so that tiny models exercise them.
#   fuzz/make_binary_corpus.sh PACKMODEL
set -euo pipefail
cd "$(dirname "$0")"
packmodel=$1
out=corpus/binary
rm -rf "$out"
mkdir -p "$out"
for seed in trigram no_unk sixgram pruned; do
  arpa=corpus/arpa/$seed.arpa
  # The hash tables refuse the pruned model.
  if [ "$seed" != pruned ]; then
    "$packmodel" -n probing "$arpa" "$out/$seed.probing"
    "$packmodel" -n -R probing "$arpa" "$out/$seed.rest"
  fi
  "$packmodel" -n -T "$out/tmp" trie "$arpa" "$out/$seed.trie"
  "$packmodel" -n -T "$out/tmp" -q 4 -b 3 trie "$arpa" "$out/$seed.quant"
  "$packmodel" -n -T "$out/tmp" -a 2 trie "$arpa" "$out/$seed.array"
  "$packmodel" -n -T "$out/tmp" -q 4 -b 3 -a 2 trie "$arpa" "$out/$seed.quant_array"
done
