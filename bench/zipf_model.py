#!/usr/bin/env python3
"""Writes a large generated backoff model and a text to score with it.

Usage: zipf_model.py OUT_DIR [TOKENS] [VOCABULARY] [ORDER]

Words are drawn with a Zipfian distribution (rank r has weight 1/r) over
VOCABULARY words (default 1000000); half of the time a word follows from the
one before it (one of ten successors of that word, also Zipfian), so that
longer n-grams recur as they do in text.  OUT_DIR/zipf.arpa holds every
n-gram up to ORDER (default 5) of TOKENS (default 8000000) such words, in
sentences of 5 to 40 words, with random log10 probabilities and backoffs;
OUT_DIR/zipf.tok holds 50000 further sentences of the same source, one per
line, whose n-grams the model partly knows.  Fixed seed: the files are the
same on every run.
"""
import bisect
import itertools
import os
import random
import sys


def sentences(rng, count, vocabulary):
    cumulative = list(itertools.accumulate(1.0 / rank for rank in range(1, vocabulary + 1)))
    successors = list(itertools.accumulate(1.0 / rank for rank in range(1, 11)))
    total, follow_total = cumulative[-1], successors[-1]
    for _ in range(count):
        words, word = [], bisect.bisect(cumulative, rng.random() * total)
        for _ in range(rng.randrange(5, 41)):
            if rng.random() < 0.5:
                rank = bisect.bisect(successors, rng.random() * follow_total)
                word = (word * 2654435761 + rank * 40503) % vocabulary
            else:
                word = bisect.bisect(cumulative, rng.random() * total)
            words.append(word)
        yield words


def write_model(path, rng, tokens, vocabulary, order):
    grams = [set() for _ in range(order + 1)]
    seen = 0
    for words in sentences(rng, tokens // 22, vocabulary):
        seen += len(words)
        line = ['<s>'] + [f'w{word}' for word in words] + ['</s>']
        for n in range(1, order + 1):
            grams[n].update(tuple(line[i:i + n]) for i in range(len(line) - n + 1))
    grams[1].add(('<unk>',))
    with open(path, 'w') as arpa:
        arpa.write('\\data\\\n')
        for n in range(1, order + 1):
            arpa.write(f'ngram {n}={len(grams[n])}\n')
        for n in range(1, order + 1):
            arpa.write(f'\n\\{n}-grams:\n')
            for gram in sorted(grams[n]):
                prob = -99.0 if gram == ('<s>',) else -rng.uniform(0.3, 7.0)
                text = ' '.join(gram)
                if n < order and gram[-1] != '</s>':
                    arpa.write(f'{prob:.6f}\t{text}\t{-rng.uniform(0.0, 1.0):.6f}\n')
                else:
                    arpa.write(f'{prob:.6f}\t{text}\n')
        arpa.write('\n\\end\\\n')
    return seen


def main(argv):
    out = argv[1]
    tokens = int(argv[2]) if len(argv) > 2 else 8000000
    vocabulary = int(argv[3]) if len(argv) > 3 else 1000000
    order = int(argv[4]) if len(argv) > 4 else 5
    os.makedirs(out, exist_ok=True)
    rng = random.Random(10)
    seen = write_model(os.path.join(out, 'zipf.arpa'), rng, tokens, vocabulary, order)
    with open(os.path.join(out, 'zipf.tok'), 'w') as text:
        for words in sentences(rng, 50000, vocabulary):
            text.write(' '.join(f'w{word}' for word in words) + '\n')
    print(f'{seen} words of training text')


if __name__ == '__main__':
    main(sys.argv)
