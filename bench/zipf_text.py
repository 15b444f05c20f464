#!/usr/bin/env python3
"""Writes a generated text for the estimation benchmark.

Usage: zipf_text.py OUT_FILE TOKENS [VOCABULARY] [SEED]

The sentences come from the same source as zipf_model.py's (Zipfian words
over VOCABULARY words, default 1000000, half of them following the word
before), one per line, words spelled w<rank>, until TOKENS words are
written.  Fixed seed (default 10): the file is the same on every run.
"""
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zipf_model import sentences  # noqa: E402


def main(argv):
    out, tokens = argv[1], int(argv[2])
    vocabulary = int(argv[3]) if len(argv) > 3 else 1000000
    rng = random.Random(int(argv[4]) if len(argv) > 4 else 10)
    written = 0
    with open(out + '.part', 'w') as text:
        # Far more sentences than needed; the loop stops at TOKENS words.
        for words in sentences(rng, tokens, vocabulary):
            text.write(' '.join(f'w{word}' for word in words) + '\n')
            written += len(words)
            if written >= tokens:
                break
    os.replace(out + '.part', out)
    print(f'{written} words in {out}')


if __name__ == '__main__':
    main(sys.argv)
