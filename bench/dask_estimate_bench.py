#!/usr/bin/env python3
"""Estimation on a Dask cluster (python/examples/dask_estimate.py) on one and
two workers, against one process.

Usage: dask_estimate_bench.py TEXT ORDER OUT_DIR [BLOCKSIZE] [MEMORY]

First estimatemodel makes the model of TEXT in one process (its counting
stage timed apart) and then, again in one process, only its count file
(--counts-only: counting and writing the counts, the work the workers share).
Then the recipe's partitions of BLOCKSIZE (default 64MiB) are counted on a
LocalCluster (timed alone) of: 1 worker counting on 2 threads (the recipe's
choice for one worker on two processors), 1 worker on 1 thread, and 2
workers on 1 thread each (its choice for two); for the first and the last,
the count files are merged into the model on one worker (timed alone) and
the model is checked to be byte for byte the one-process model.  Prints,
for each run, the counting and total wall seconds, the counting speed-ups,
the bytes the workers sent each other (Dask's transfer counter: only count
file names travel, the partitions are read where they are counted), the
count files' size, and each worker's peak resident memory while counting
and while merging (VmHWM of /proc, reset before each stage) beside MEMORY
(default 1G, the -S of counting and merging).  The fallback discounts are
allowed throughout (a generated text's 1-grams can lack a count of counts).
The models and count files go to OUT_DIR.
"""
import os
import pathlib
import re
import subprocess
import sys
import time

import dask
import dask.distributed

RECIPE = pathlib.Path(__file__).resolve().parents[1] / 'python' / 'examples' / 'dask_estimate.py'


def reset_peak():
    """Starts this process's peak resident memory afresh."""
    with open('/proc/self/clear_refs', 'w') as f:
        f.write('5')


def peak_rss():
    """This process's peak resident memory in bytes since reset_peak."""
    with open('/proc/self/status') as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith('VmHWM:'))


def sent_bytes(dask_worker):
    """The bytes this worker has sent to other workers."""
    return getattr(dask_worker, 'transfer_outgoing_bytes_total', 0)


def one_process(text, order, out_dir, memory):
    """estimatemodel (beside this Python) on the whole text: the model, the
    counting stage's and the whole run's wall seconds, and the wall seconds
    of writing the text's count file alone."""
    tool = os.path.join(os.path.dirname(sys.executable), 'estimatemodel')
    output = os.path.join(out_dir, 'one.arpa')
    start = time.perf_counter()
    run = subprocess.run([tool, '-o', str(order), '-S', memory, '--discount-fallback', text, output],
                         stderr=subprocess.PIPE, text=True, check=True)
    total = time.perf_counter() - start
    counting = float(re.search(r'Stage counting: (\S+) s wall', run.stderr).group(1))
    start = time.perf_counter()
    subprocess.run([tool, '-n', '--counts-only', '-o', str(order), '-S', memory, text,
                    os.path.join(out_dir, 'one.counts')], check=True)
    counts_only = time.perf_counter() - start
    return output, counting, total, counts_only


def merge_with_fallback(paths, output, memory):
    """The recipe's merge, with the fallback discounts allowed."""
    import quarn
    quarn.estimate_from_counts(paths, output, memory=memory, discount_fallback=True, show_progress=False)


class Run:
    """One configuration of the cluster and what it measured."""

    def __init__(self, workers, threads, merge):
        self.workers, self.threads, self.merge = workers, threads, merge
        self.name = f'{workers} worker(s) x {threads} thread(s)'
        self.output = None
        self.total = None
        self.merge_peaks = []

    def measure(self, text, order, out_dir, blocksize, memory):
        sys.path.insert(0, str(RECIPE.parent))
        import dask_estimate
        work_dir = os.path.join(out_dir, f'counts-{self.workers}-{self.threads}')
        os.makedirs(work_dir, exist_ok=True)
        with dask.distributed.LocalCluster(n_workers=self.workers, threads_per_worker=1) as cluster, \
                dask.distributed.Client(cluster) as client:
            client.upload_file(str(RECIPE))
            count = dask.delayed(dask_estimate.count_partition, pure=False)
            counts = [count(block, where, order, os.path.join(work_dir, f'{i:05d}.counts'), memory, self.threads)
                      for i, (block, where) in enumerate(dask_estimate.partitions([text], blocksize))]
            client.run(reset_peak)
            start = time.perf_counter()
            paths = client.gather(client.compute(counts))
            self.counting = time.perf_counter() - start
            self.count_peaks = sorted(client.run(peak_rss).values())
            if self.merge:
                self.output = os.path.join(out_dir, f'dask-{self.workers}.arpa')
                client.run(reset_peak)
                client.submit(merge_with_fallback, paths, self.output, memory, pure=False).result()
                self.total = time.perf_counter() - start
                self.merge_peaks = [max(client.run(peak_rss).values())]
            self.sent = sum(client.run(sent_bytes).values())
        self.count_bytes = sum(os.path.getsize(p) for p in paths)
        self.partitions = len(paths)
        for path in paths:
            os.remove(path)

    def report(self, expected):
        def mib(peaks):
            return ', '.join(f'{p / 2**20:.0f}' for p in peaks)
        line = (f'{self.name}, {self.partitions} partitions: counting {self.counting:.1f} s'
                f'{f", total {self.total:.1f} s" if self.total else ""}; sent by the workers {self.sent} bytes; '
                f'count files {self.count_bytes / 2**20:.1f} MiB; peak RSS per worker counting {mib(self.count_peaks)} '
                f'MiB{f", merging {mib(self.merge_peaks)} MiB" if self.merge_peaks else ""}')
        if self.output is None:
            print(line)
            return True
        same = pathlib.Path(self.output).read_bytes() == expected
        print(f'{line}; model {"identical" if same else "DIFFERS"}')
        return same


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    text, order, out_dir = os.path.abspath(sys.argv[1]), int(sys.argv[2]), os.path.abspath(sys.argv[3])
    blocksize = sys.argv[4] if len(sys.argv) > 4 else '64MiB'
    memory = sys.argv[5] if len(sys.argv) > 5 else '1G'
    os.makedirs(out_dir, exist_ok=True)
    reference, counting, total, counts_only = one_process(text, order, out_dir, memory)
    print(f'{text}: order {order}, blocks of {blocksize}, memory {memory}')
    print(f'one process: counting stage {counting:.1f} s, total {total:.1f} s; '
          f'--counts-only (counting and writing the counts) {counts_only:.1f} s')
    expected = pathlib.Path(reference).read_bytes()
    one_two, one_one, two_one = Run(1, 2, True), Run(1, 1, False), Run(2, 1, True)
    same = True
    for run in (one_two, one_one, two_one):
        run.measure(text, order, out_dir, blocksize, memory)
        same = run.report(expected) and same
    print(f'counting speed-up of 2 workers x 1 thread over 1 worker x 1 thread: '
          f'{one_one.counting / two_one.counting:.2f}x; over 1 worker x 2 threads: '
          f'{one_two.counting / two_one.counting:.2f}x; over one process --counts-only: '
          f'{counts_only / two_one.counting:.2f}x')
    if not same:
        sys.exit(1)


if __name__ == '__main__':
    main()
