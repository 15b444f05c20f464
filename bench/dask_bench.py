#!/usr/bin/env python3
"""The Dask recipe (python/examples/dask_score.py) on one and two workers.

Usage: dask_bench.py MODEL TEXT [BLOCKSIZE] [REPEAT]

For a LocalCluster of 1 and then 2 worker processes (one thread each):
scores TEXT once to open the model and warm the page cache, then REPEAT
times (default 3), and prints the words per second of the best turn and the
memory of the workers together after it: resident (RSS, which counts every
mapped page in every process that touches it) and proportional (PSS, which
splits a page shared by k processes k ways), beside the size of MODEL.
BLOCKSIZE (default 1MiB) is the size of a partition of TEXT.
"""
import os
import pathlib
import sys
import tempfile
import time

import dask.distributed

RECIPE = pathlib.Path(__file__).resolve().parents[1] / 'python' / 'examples' / 'dask_score.py'


def memory():
    """(RSS, PSS) of this process in bytes."""
    fields = {}
    with open('/proc/self/smaps_rollup') as rollup:
        for line in rollup:
            parts = line.split()
            if len(parts) == 3 and parts[2] == 'kB':
                fields[parts[0].rstrip(':')] = int(parts[1]) * 1024
    return fields['Rss'], fields['Pss']


def measure(workers, model, text, blocksize, repeat, words):
    with dask.distributed.LocalCluster(n_workers=workers, threads_per_worker=1) as cluster, \
            dask.distributed.Client(cluster) as client, tempfile.TemporaryDirectory() as out:
        client.upload_file(str(RECIPE))
        import dask_score
        dask_score.score_corpus(model, text, out, blocksize)
        seconds = []
        for _ in range(repeat):
            start = time.perf_counter()
            dask_score.score_corpus(model, text, out, blocksize)
            seconds.append(time.perf_counter() - start)
        rss, pss = (sum(values) for values in zip(*client.run(memory).values()))
    return words / min(seconds), rss, pss


def main(argv):
    model, text = argv[1], argv[2]
    blocksize = argv[3] if len(argv) > 3 else '1MiB'
    repeat = int(argv[4]) if len(argv) > 4 else 3
    sys.path.insert(0, str(RECIPE.parent))
    with open(text, 'rb') as lines:
        words = sum(len(line.split()) + 1 for line in lines)
    size = os.path.getsize(model)
    print(f'{model}: {size / 2**20:.0f} MiB; {text}: {words} words; load average {os.getloadavg()[0]:.2f}')
    single = None
    for workers in (1, 2):
        rate, rss, pss = measure(workers, model, text, blocksize, repeat, words)
        single = single or rate
        print(f'{workers} worker(s): {rate / 1e6:6.2f} M words/s ({rate / single:4.2f}x); workers together: '
              f'RSS {rss / 2**20:6.0f} MiB ({rss / size:4.2f}x the model), PSS {pss / 2**20:6.0f} MiB '
              f'({pss / size:4.2f}x)')


if __name__ == '__main__':
    main(sys.argv)
