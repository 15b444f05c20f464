#!/usr/bin/env python3
"""Cost of the Python layer of quarn.

Usage: python_bench.py NATIVE [MODEL] [--sentences N] [--words W] [--rounds R] [--turns T]

NATIVE is the program bench/score_sentence_bench (built in Release); MODEL
defaults to the shipped data/kjv-genesis.arpa.  N sentences of W words
(default 1000 of 20) are made by a seeded random walk over the model's
bigrams, so that they hit bigrams and trigrams as text does.  Every figure is
the best, per call, of T turns (default 4) in which NATIVE scores all
sentences for 5 x 0.2 s and then each Python loop below runs over all
sentences R times (default 50), the loops taking turns:

  score        model.score(s), as a caller writes it
  native       lm::base::ScoreSentence on the same sentences (NATIVE)
  overhead     score - native: the Python layer's own cost per call
  full_scores  list(model.full_scores(s))
  ratio        full_scores / score
and, measured in the same run for scale:
  empty loop             for s in sentences: pass
  trivial method call    model.BeginSentenceWrite(state) (one type check and
                         a copy of the state record)
  trivial property       model.order
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

import quarn

HERE = os.path.dirname(os.path.abspath(__file__))


def bigram_walk(arpa_path, count, words, seed=20):
    successors = {}
    with open(arpa_path) as arpa:
        section = None
        for line in arpa:
            line = line.strip()
            if line.startswith('\\'):
                section = line
            elif section == '\\2-grams:' and line:
                first, second = line.split('\t')[1].split()
                successors.setdefault(first, []).append(second)
    rng = random.Random(seed)
    vocabulary = [w for w in successors if w not in ('<s>', '</s>')]
    sentences = []
    for _ in range(count):
        sentence, previous = [], '<s>'
        while len(sentence) < words:
            options = [w for w in successors.get(previous, ()) if w not in ('<s>', '</s>')]
            previous = rng.choice(options) if options else rng.choice(vocabulary)
            sentence.append(previous)
        sentences.append(' '.join(sentence))
    return sentences


def best_ns_per_item(loops, items, rounds):
    """Best time per item of each loop; the loops take turns, so that a busy
    machine disturbs them alike."""
    best = [float('inf')] * len(loops)
    for _ in range(rounds):
        for index, loop in enumerate(loops):
            start = time.perf_counter_ns()
            loop()
            best[index] = min(best[index], (time.perf_counter_ns() - start) / items)
    return best


def native_ns(native, model_path, sentences, rounds):
    with tempfile.NamedTemporaryFile('w', suffix='.txt') as text:
        text.write('\n'.join(sentences) + '\n')
        text.flush()
        out = subprocess.run([native, '--repeat', str(rounds), model_path, text.name], check=True,
                             capture_output=True, text=True).stdout
    figures = dict(line.split() for line in out.splitlines())
    return float(figures['ns_per_sentence'])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('native')
    parser.add_argument('model', nargs='?', default=os.path.join(HERE, '..', 'data', 'kjv-genesis.arpa'))
    parser.add_argument('--sentences', type=int, default=1000)
    parser.add_argument('--words', type=int, default=20)
    parser.add_argument('--rounds', type=int, default=50)
    parser.add_argument('--turns', type=int, default=4)
    args = parser.parse_args()

    config = quarn.Config()
    config.show_progress = False
    config.arpa_complain = quarn.ARPALoadComplain.NONE
    model = quarn.Model(args.model, config)
    sentences = bigram_walk(args.model, args.sentences, args.words)
    n, rounds = len(sentences), args.rounds
    state = quarn.State()

    def score_loop():
        for s in sentences:
            model.score(s)

    def full_scores_loop():
        for s in sentences:
            list(model.full_scores(s))

    def empty_loop():
        for s in sentences:
            pass

    def method_loop():
        for s in sentences:
            model.BeginSentenceWrite(state)

    def property_loop():
        for s in sentences:
            model.order

    # Native and Python measurements take turns too, so that each finds the
    # machine's quiet moments.
    native = score = full = empty = method = prop = float('inf')
    for _ in range(args.turns):
        native = min(native, native_ns(args.native, args.model, sentences, 5))
        figures = best_ns_per_item([score_loop, full_scores_loop, empty_loop, method_loop, property_loop], n, rounds)
        score, full, empty, method, prop = (min(a, b) for a, b in zip((score, full, empty, method, prop), figures))

    print('model {} ({}-gram), {} sentences of {} words, Python {}.{}'.format(
        os.path.basename(args.model), model.order, n, args.words, *sys.version_info[:2]))
    print('| measure | ns per call |')
    print('|---|---:|')
    print('| model.score(s) | {:.0f} |'.format(score))
    print('| native lm::base::ScoreSentence | {:.0f} |'.format(native))
    print('| **Python layer overhead (score - native)** | **{:.0f}** |'.format(score - native))
    print('| list(model.full_scores(s)) | {:.0f} |'.format(full))
    print('| **full_scores / score** | **{:.2f}** |'.format(full / score))
    print('| empty loop (for s in sentences: pass) | {:.0f} |'.format(empty))
    print('| trivial Cython method call model.BeginSentenceWrite(state) | {:.0f} |'.format(method))
    print('| trivial Cython property model.order | {:.0f} |'.format(prop))


if __name__ == '__main__':
    main()
