#!/usr/bin/env python3
"""Model.score_batch against a Python loop of Model.score, on one model.

Usage: batch_python_bench.py MODEL TEXT [REPEAT]

TEXT has one sentence per line.  Prints words per second (</s> counted) of
[model.score(s) for s in lines], of model.score_batch(lines) with 1 and all
native threads, and of score_batch on two Python threads, each scoring half
of the lines, and whether every result equals the loop's; the best of REPEAT
turns (default 5) counts.
"""
import concurrent.futures
import os
import sys
import time

import quarn


def best(repeat, run):
    seconds = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        seconds.append(time.perf_counter() - start)
    return min(seconds), result


def main(argv):
    model_path, text_path = argv[1], argv[2]
    repeat = int(argv[3]) if len(argv) > 3 else 5
    config = quarn.Config()
    config.show_progress = False
    model = quarn.Model(model_path, config)
    with open(text_path) as text:
        lines = text.read().splitlines()
    words = sum(len(line.split()) + 1 for line in lines)
    half = len(lines) // 2
    pool = concurrent.futures.ThreadPoolExecutor(2)

    def two_python_threads():
        first, second = pool.map(model.score_batch, [lines[:half], lines[half:]])
        return first + second

    loop_seconds, expected = best(repeat, lambda: [model.score(line) for line in lines])
    print(f'{model_path}: {len(lines)} sentences, {words} words; best of {repeat}; '
          f'load average {os.getloadavg()[0]:.2f}')
    print(f'{"loop of model.score":40} {words / loop_seconds / 1e6:6.2f} M words/s')
    for name, run in [('score_batch(lines)', lambda: model.score_batch(lines)),
                      ('score_batch(lines, threads=0)', lambda: model.score_batch(lines, threads=0)),
                      ('score_batch on two Python threads', two_python_threads)]:
        seconds, result = best(repeat, run)
        print(f'{name:40} {words / seconds / 1e6:6.2f} M words/s  {loop_seconds / seconds:5.2f}x  '
              f'identical: {"yes" if result == expected else "NO"}')
    pool.shutdown()


if __name__ == '__main__':
    main(sys.argv)
