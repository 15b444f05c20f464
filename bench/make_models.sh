#!/bin/sh
# Builds the benchmark models from public-domain Bible texts with IRSTLM.
#
#   kjv5.arpa    5-gram over the King James Version (Debian bible-kjv)
#   bible5.arpa  5-gram over the King James Version and the World English
#                Bible with Deuterocanon (Debian sword-text-web)
#   bible3.arpa  3-gram over the same two texts
#   kjv5p.arpa   a heavily pruned 5-gram over the King James Version:
#                singletons pruned while counting (build-lm.sh -p), then
#                prune-lm drops 3- and 4-grams whose backed-off probability
#                differs little while every 5-gram whose context stays is
#                kept, so that many 5-grams lose their 4-gram suffix
#
# and the tokenized texts kjv.tok and bible.tok (one verse per line) that the
# benchmark scores.  Everything goes to OUT_DIR (default /tmp/quarn_models);
# existing files are kept, so a second run only fills in what is missing.
# Usage: bench/make_models.sh [OUT_DIR]
set -e
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-/tmp/quarn_models}
mkdir -p "$out"
cd "$out"

have_tools() {
  command -v bible > /dev/null && command -v diatheke > /dev/null && [ -x /usr/lib/irstlm/bin/build-lm.sh ] &&
    diatheke -b system -k modulelist | grep -q engWEB2015eb
}
have_tools || apt-get install -y irstlm bible-kjv sword-text-web diatheke > /dev/null

export IRSTLM=/usr/lib/irstlm
PATH=$PATH:/usr/lib/irstlm/bin
export PATH

[ -s kjv.tok ] || bible gen1:1-rev22:21 | python3 "$here/bible_corpus.py" kjv > kjv.tok
[ -s web.tok ] || diatheke -b engWEB2015eb -f plain -k "Gen 1:1-Rev 22:21" | python3 "$here/bible_corpus.py" sword > web.tok
[ -s bible.tok ] || cat kjv.tok web.tok > bible.tok

# build_model TEXT ORDER NAME [BUILD-LM OPTION...]: NAME.arpa, an improved
# Kneser-Ney model.
build_model() {
  [ -s "$3.arpa" ] && return
  text=$1 order=$2 name=$3
  shift 3
  add-start-end.sh < "$text" > "$name.se"
  rm -rf "$name.stat"
  build-lm.sh -i "$name.se" -n "$order" -o "$name.ilm.gz" -k 2 -s improved-kneser-ney -t "$name.stat" \
    "$@"
  compile-lm "$name.ilm.gz" --text=yes "$name.arpa"
  rm -rf "$name.stat" "$name.se" "$name.ilm.gz"
}

# The pruning thresholds are for the 2-, 3-, 4- and 5-grams.
build_pruned() {
  [ -s kjv5p.arpa ] && return
  build_model kjv.tok 5 kjv5s -p
  prune-lm --threshold=0,5e-6,5e-6,0 kjv5s.arpa kjv5p.arpa
  rm -f kjv5s.arpa
}

build_model kjv.tok 5 kjv5
build_model bible.tok 5 bible5
build_model bible.tok 3 bible3
build_pruned
ls -l "$out"
