#!/usr/bin/env python3
"""Where releasing the interpreter lock in Model.score starts to pay.

Usage: release_bench.py MODULE_DIR

Imports quarn from MODULE_DIR (a build of the module, e.g. one installed
with pip install --target, whose lock threshold kReleaseBytes in quarn.pyx
was set to 0 to release always or very high to release never) and prints
the words per second (</s> counted) of a loop of model.score on one thread
and on two threads at once, over random sentences of 4 to 256 words of the
shipped model's vocabulary; best of 3.  Comparing the two builds gives the
sentence length from which releasing the lock pays.
"""
import pathlib
import random
import sys
import threading
import time

sys.path.insert(0, sys.argv[1])
import quarn  # noqa: E402

MODEL = pathlib.Path(__file__).resolve().parents[1] / 'data' / 'kjv-genesis.arpa'


def words_per_second(model, lines, words, threads):
    def loop():
        for line in lines:
            model.score(line)

    workers = [threading.Thread(target=loop) for _ in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return threads * words / (time.perf_counter() - start)


def main():
    config = quarn.Config()
    config.show_progress = False
    model = quarn.Model(str(MODEL), config)
    unigrams = MODEL.read_text().split('\\1-grams:\n')[1].split('\n\n')[0].splitlines()
    vocabulary = [line.split('\t')[1] for line in unigrams if '<' not in line]
    rng = random.Random(1)
    for length in [4, 8, 16, 32, 64, 128, 256]:
        lines = [' '.join(rng.choice(vocabulary) for _ in range(length)) for _ in range(max(2000, 200000 // length))]
        size = sum(map(len, lines)) / len(lines)
        words = len(lines) * (length + 1)
        one, two = (max(words_per_second(model, lines, words, threads) for _ in range(3)) for threads in (1, 2))
        print(f'{length:4d} words ({size:5.0f} bytes): 1 thread {one / 1e6:6.2f}, 2 threads {two / 1e6:6.2f} M words/s')


if __name__ == '__main__':
    main()
