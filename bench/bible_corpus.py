#!/usr/bin/env python3
"""Turns a Bible text dump on stdin into one tokenized verse per line.

Usage: bible_corpus.py kjv   < output of `bible gen1:1-rev22:21`
       bible_corpus.py sword < output of `diatheke -f plain -k ...`

Verses are lower-cased, punctuation becomes tokens of its own and runs of
whitespace become single spaces.  Both texts are in the public domain.
"""
import re
import sys

PUNCTUATION = re.compile(r"([.,;:!?()\[\]\"“”‘—])")


def kjv_verses(lines):
    """Verses of the `bible` program: "  12 text", continued on later lines;
    chapter headings ("Genesis 1") and blank lines separate them."""
    verses, current = [], None
    for line in lines:
        m = re.match(r'^\s+\d+ (.*)$', line)
        if m:
            if current:
                verses.append(current)
            current = m.group(1).strip()
        elif line.strip() and current is not None and not re.match(r'^\S.* \d+$', line.strip()):
            current += ' ' + line.strip()
        elif not line.strip():
            pass
        else:
            if current:
                verses.append(current)
            current = None
    if current:
        verses.append(current)
    return verses


def sword_verses(lines):
    """Verses of diatheke's plain output: "Book 1:2: text" (possibly indented), continued on later
    lines; the module name in parentheses ends the dump."""
    verses, current = [], None
    for line in lines:
        m = re.match(r'^\s*\S.*? \d+:\d+: ?(.*)$', line)
        if m:
            if current:
                verses.append(current)
            current = m.group(1).strip()
        elif re.match(r'^\([^ ]+\)$', line.strip()):
            break
        elif line.strip() and current is not None:
            current += ' ' + line.strip()
    if current:
        verses.append(current)
    return verses


def tokenize(verse):
    return ' '.join(PUNCTUATION.sub(r' \1 ', verse.lower()).split())


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in ('kjv', 'sword'):
        sys.exit(__doc__)
    lines = sys.stdin.read().splitlines()
    verses = kjv_verses(lines) if sys.argv[1] == 'kjv' else sword_verses(lines)
    for verse in verses:
        tokens = tokenize(verse)
        if tokens:
            print(tokens)


if __name__ == '__main__':
    main()
