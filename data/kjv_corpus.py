#!/usr/bin/env python3
"""Turns the output of the `bible` program (Debian package bible-kjv) on
stdin into one tokenized verse per line on stdout.

Verses start with their number ("  12 text") and may continue on later
lines; chapter headings ("Genesis 1") and blank lines separate them.  Each
verse is lower-cased, the punctuation . , ; : ! ? ( ) becomes tokens of its
own, and runs of whitespace become single spaces.
"""
import re
import sys


def verses(lines):
    found, current = [], None
    for line in lines:
        m = re.match(r'^\s+\d+ (.*)$', line)
        if m:
            if current:
                found.append(current)
            current = m.group(1).strip()
        elif line.strip() and current is not None and not re.match(r'^\S.* \d+$', line.strip()):
            current += ' ' + line.strip()
        elif line.strip():
            if current:
                found.append(current)
            current = None
    if current:
        found.append(current)
    return found


def tokenize(verse):
    verse = re.sub(r"([.,;:!?()])", r" \1 ", verse.lower())
    return ' '.join(verse.split())


if __name__ == '__main__':
    for verse in verses(sys.stdin):
        print(tokenize(verse))
