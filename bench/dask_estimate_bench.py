#!/usr/bin/env python3
"""Estimation on a Dask cluster (python/examples/dask_estimate.py) on one and
two workers, against one process.

Usage: dask_estimate_bench.py TEXT ORDER OUT_DIR [BLOCKSIZE] [MEMORY]

First estimatemodel makes the model of TEXT in one process (its counting
stage timed apart); then, for a LocalCluster of 1 and of 2 worker processes
(one thread each), the recipe's partitions of BLOCKSIZE (default 64MiB) are
counted on the workers (timed alone), and the count files are merged into
the model on one worker (timed alone).  Prints, for each run, the counting
and total wall seconds, the counting speed-up of 2 workers over 1, the bytes
the workers sent each other (Dask's transfer counter: only count file names
travel, the partitions are read where they are counted), the count files'
size, and each worker's peak resident memory beside MEMORY (default 1G, the
-S of counting and merging), and checks that every model is byte for byte
the one-process model.  The fallback discounts are allowed throughout (a
generated text's 1-grams can lack a count of counts).  The models and count
files go to OUT_DIR.
"""
import os
import pathlib
import re
import resource
import subprocess
import sys
import time

import dask
import dask.distributed

RECIPE = pathlib.Path(__file__).resolve().parents[1] / 'python' / 'examples' / 'dask_estimate.py'


def peak_rss():
    """This process's peak resident memory in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def sent_bytes(dask_worker):
    """The bytes this worker has sent to other workers."""
    return getattr(dask_worker, 'transfer_outgoing_bytes_total', 0)


def one_process(text, order, out_dir, memory):
    """estimatemodel (beside this Python) on the whole text: the model and
    the counting stage's and the whole run's wall seconds."""
    tool = os.path.join(os.path.dirname(sys.executable), 'estimatemodel')
    output = os.path.join(out_dir, 'one.arpa')
    start = time.perf_counter()
    run = subprocess.run([tool, '-o', str(order), '-S', memory, '--discount-fallback', text, output], stderr=subprocess.PIPE, text=True,
                         check=True)
    total = time.perf_counter() - start
    counting = float(re.search(r'Stage counting: (\S+) s wall', run.stderr).group(1))
    return output, counting, total


def merge_with_fallback(paths, output, memory):
    """The recipe's merge, with the fallback discounts allowed."""
    import quarn
    quarn.estimate_from_counts(paths, output, memory=memory, discount_fallback=True, show_progress=False)


def on_cluster(workers, text, order, out_dir, blocksize, memory):
    sys.path.insert(0, str(RECIPE.parent))
    import dask_estimate
    work_dir = os.path.join(out_dir, f'counts-{workers}')
    os.makedirs(work_dir, exist_ok=True)
    output = os.path.join(out_dir, f'dask-{workers}.arpa')
    with dask.distributed.LocalCluster(n_workers=workers, threads_per_worker=1) as cluster, \
            dask.distributed.Client(cluster) as client:
        client.upload_file(str(RECIPE))
        count = dask.delayed(dask_estimate.count_partition, pure=False)
        counts = [count(block, where, order, os.path.join(work_dir, f'{i:05d}.counts'), memory)
                  for i, (block, where) in enumerate(dask_estimate.partitions([text], blocksize))]
        start = time.perf_counter()
        paths = client.gather(client.compute(counts))
        counting = time.perf_counter() - start
        merged = client.submit(merge_with_fallback, paths, output, memory, pure=False)
        merged.result()
        total = time.perf_counter() - start
        sent = sum(client.run(sent_bytes).values())
        peaks = sorted(client.run(peak_rss).values())
    count_bytes = sum(os.path.getsize(p) for p in paths)
    return output, counting, total, sent, count_bytes, len(paths), peaks


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    text, order, out_dir = os.path.abspath(sys.argv[1]), int(sys.argv[2]), os.path.abspath(sys.argv[3])
    blocksize = sys.argv[4] if len(sys.argv) > 4 else '64MiB'
    memory = sys.argv[5] if len(sys.argv) > 5 else '1G'
    os.makedirs(out_dir, exist_ok=True)
    reference, counting, total = one_process(text, order, out_dir, memory)
    print(f'{text}: order {order}, blocks of {blocksize}, memory {memory}')
    print(f'one process: counting {counting:.1f} s, total {total:.1f} s')
    expected = pathlib.Path(reference).read_bytes()
    rates = {}
    for workers in (1, 2):
        output, counting, total, sent, count_bytes, partitions, peaks = on_cluster(
            workers, text, order, out_dir, blocksize, memory)
        rates[workers] = counting
        same = pathlib.Path(output).read_bytes() == expected
        print(f'{workers} worker(s), {partitions} partitions: counting {counting:.1f} s, total {total:.1f} s; '
              f'sent by the workers {sent} bytes; count files {count_bytes / 2**20:.1f} MiB; '
              f'peak RSS per worker {", ".join(f"{p / 2**20:.0f}" for p in peaks)} MiB; '
              f'model {"identical" if same else "DIFFERS"}')
        if not same:
            sys.exit(1)
    print(f'counting speed-up, 2 workers over 1: {rates[1] / rates[2]:.2f}x')


if __name__ == '__main__':
    main()
