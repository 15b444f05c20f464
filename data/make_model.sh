#!/bin/sh
# Rebuilds the shipped model data/kjv-genesis.arpa: a trigram model of the
# Book of Genesis in the King James Version (public domain), estimated by
# IRSTLM with improved Kneser-Ney smoothing (IRSTLM calls it improved
# shift-beta), singleton bigrams and trigrams pruned.  About 320 KB.
#
# The text comes from Debian's bible-kjv package (`bible gen1:1-gen50:26`),
# tokenized by bench/bible_corpus.py into one lower-cased verse per line with
# punctuation split off; IRSTLM's add-start-end.sh wraps each verse in
# <s> ... </s> before counting.  Needs the Debian packages bible-kjv and
# irstlm (installed here when missing).
# Usage: data/make_model.sh
set -e
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! command -v bible > /dev/null || [ ! -x /usr/lib/irstlm/bin/build-lm.sh ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y bible-kjv irstlm > /dev/null
fi
export IRSTLM=/usr/lib/irstlm
PATH=$PATH:/usr/lib/irstlm/bin
export PATH

bible gen1:1-gen50:26 | python3 "$here/../bench/bible_corpus.py" kjv > "$work/genesis.tok"
add-start-end.sh < "$work/genesis.tok" > "$work/genesis.se"
build-lm.sh -i "$work/genesis.se" -n 3 -o "$work/genesis.ilm.gz" -k 2 -p -f 0,1,1 \
  -s improved-kneser-ney -t "$work/stat" > /dev/null 2>&1
compile-lm "$work/genesis.ilm.gz" --text=yes "$here/kjv-genesis.arpa" > /dev/null 2>&1
ls -l "$here/kjv-genesis.arpa"
