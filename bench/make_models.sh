#!/bin/sh
# Builds the benchmark models from public-domain Bible texts with IRSTLM.
#
#   kjv5.arpa    5-gram over the King James Version (Debian bible-kjv)
#   bible5.arpa  5-gram over the King James Version and the World English
#                Bible with Deuterocanon (Debian sword-text-web)
#   bible3.arpa  3-gram over the same two texts
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

# build_model TEXT ORDER NAME: NAME.arpa, an improved Kneser-Ney model.
build_model() {
  [ -s "$3.arpa" ] && return
  add-start-end.sh < "$1" > "$3.se"
  rm -rf "$3.stat"
  build-lm.sh -i "$3.se" -n "$2" -o "$3.ilm.gz" -k 2 -s improved-kneser-ney -t "$3.stat"
  compile-lm "$3.ilm.gz" --text=yes "$3.arpa"
  rm -rf "$3.stat" "$3.se" "$3.ilm.gz"
}

build_model kjv.tok 5 kjv5
build_model bible.tok 5 bible5
build_model bible.tok 3 bible3
ls -l "$out"
