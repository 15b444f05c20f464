#!/bin/sh
# Rebuilds data/kjv-genesis-exodus.txt, the real text that the estimation
# tests hold the streaming estimate to: Genesis and Exodus of the King James
# Version (public domain), one lower-cased verse per line with punctuation
# split off by bench/bible_corpus.py; 2746 lines, about 370 KB.  Needs
# Debian's bible-kjv package (installed here when missing).
# Usage: data/make_kjv_text.sh
set -e
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v bible > /dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y bible-kjv > /dev/null
fi
bible gen1:1-exo40:38 | python3 "$here/../bench/bible_corpus.py" kjv > "$here/kjv-genesis-exodus.txt"
ls -l "$here/kjv-genesis-exodus.txt"
