#!/usr/bin/env python3
"""Estimates a model from a text corpus, one sentence per line, on a Dask cluster.

Usage: dask_estimate.py -o ORDER TEXT... OUTPUT [--scheduler ADDRESS] [--workers N]
                        [--blocksize BYTES] [--memory SIZE] [--threads N] [--binary TYPE] [-n]

Writes the interpolated modified Kneser-Ney model of ORDER made from the
lines of the TEXT files, in their order, to OUTPUT: an ARPA file, or with
--binary a binary model file of TYPE (probing, trie, ...).  The model is byte
for byte the one quarn.estimate (or estimatemodel) makes from the whole text
on one machine.

The text is cut at line ends into partitions: an uncompressed file into
blocks of about BLOCKSIZE bytes, a compressed one (gzip, bzip2, xz, known by
its name) whole.  Each partition is counted on a worker with
quarn.estimate(..., counts_only=True) into a count file; one worker then
merges the count files, in the text's order, with quarn.estimate_from_counts
and writes OUTPUT.  Only the names of the count files travel between
workers; the files lie in a directory beside OUTPUT, removed at the end.
Each worker counts and merges within --memory (default 1G), its vocabulary
on top.  A partition is counted on --threads threads (1 or 2; default: the
processors the LocalCluster's workers leave each other, at least 1, so one
worker alone counts on 2 where there are 2; with --scheduler, 1, as every
task of a Dask worker has a processor of its own); the merge, which runs
alone, on 2.

Without --scheduler a distributed LocalCluster of N worker processes
(default: one per processor), one thread each, does the work on this
machine; with it, the cluster whose scheduler listens at ADDRESS does, and
the TEXT files and OUTPUT's directory must have the same paths on every
worker.  Dask's progress bar shows the work unless -n is given.  A failure
(a text that cannot be read, a bad line) ends the program with one line on
standard error (naming the file and its partition, in which the line
number counts) and status 1, and leaves no OUTPUT.
"""
import argparse
import logging
import os
import shutil
import sys
import tempfile

import dask
import dask.bytes
import dask.distributed

import quarn

COMPRESSED = ('.gz', '.bz2', '.xz')


def last_line(error):
    """The user's message of a library error, without its header line."""
    return str(error).splitlines()[-1]


def count_partition(block, where, order, counts_path, memory, threads=1):
    """Counts the lines of `block` (bytes ending at a line end), the
    partition `where` names, into the count file `counts_path` on `threads`
    threads; returns its path."""
    try:
        quarn.estimate(block.split(b'\n'), order, counts_path, counts_only=True, memory=memory, threads=threads,
                       show_progress=False)
    except RuntimeError as error:
        raise RuntimeError(f'{where}: {last_line(error)}') from None
    return counts_path


def merge_counts(counts_paths, output, memory, binary):
    """Merges the count files into the model at `output`; returns its lines
    and tokens."""
    result = quarn.estimate_from_counts(counts_paths, output, memory=memory, binary=binary, show_progress=False)
    return result.lines, result.tokens


def partitions(text_paths, blocksize):
    """The text's partitions in the text's order: (delayed bytes, a name for
    messages)."""
    blocks = []
    for path in text_paths:
        if path.endswith(COMPRESSED):
            _, parts = dask.bytes.read_bytes(path, delimiter=b'\n', blocksize=None, compression='infer',
                                             sample=False)
        else:
            _, parts = dask.bytes.read_bytes(path, delimiter=b'\n', blocksize=blocksize, sample=False)
        blocks.extend((block, f'{path}, partition {i + 1} of {len(parts[0])}') for i, block in enumerate(parts[0]))
    return blocks


def estimate_model(order, text_paths, output, work_dir, blocksize='64MiB', memory='1G', binary=None, threads=1):
    """The delayed model: counts every partition into work_dir on `threads`
    threads and merges them into `output`; computes to (lines, tokens)."""
    count = dask.delayed(count_partition, pure=False)
    counts = [count(block, where, order, os.path.join(work_dir, f'{i:05d}.counts'), memory, threads)
              for i, (block, where) in enumerate(partitions(text_paths, blocksize))]
    return dask.delayed(merge_counts, pure=False)(counts, output, memory, binary)


def check_inputs(text_paths):
    """Exits with one line unless every text reads."""
    for path in text_paths:
        try:
            with open(path, 'rb') as f:
                f.read(1)
        except OSError as error:
            sys.exit(f'{sys.argv[0]}: cannot read the text {path}: {error.strerror}')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('-o', '--order', type=int, required=True)
    parser.add_argument('text', nargs='+')
    parser.add_argument('output')
    parser.add_argument('--scheduler', help='address of a running scheduler; default: a LocalCluster')
    parser.add_argument('--workers', type=int, default=os.cpu_count(), help='worker processes of the LocalCluster')
    parser.add_argument('--blocksize', default='64MiB')
    parser.add_argument('--memory', default='1G', help='memory of each worker for counting and merging')
    parser.add_argument('--threads', type=int, help='threads that count a partition (default: see above)')
    parser.add_argument('--binary', help='write a binary model of this type')
    parser.add_argument('-n', dest='progress', action='store_false', help='no progress bar')
    arguments = parser.parse_args()
    check_inputs(arguments.text)
    if arguments.threads is not None and arguments.threads < 1:
        parser.error(f'--threads takes 1 or more, not {arguments.threads}')
    try:
        lines, tokens = run(arguments)
    except (OSError, RuntimeError, ValueError) as error:
        sys.exit(f'{sys.argv[0]}: {last_line(error)}')
    print(f'Lines: {lines}')
    print(f'Tokens: {tokens}')


def counting_threads(arguments):
    """The threads that count a partition."""
    if arguments.threads is not None:
        return arguments.threads
    if arguments.scheduler:
        return 1
    return max(1, (os.cpu_count() or 1) // arguments.workers)


def run(arguments):
    """estimate_model on the cluster that the arguments name."""
    if arguments.scheduler:
        cluster = None
        client = dask.distributed.Client(arguments.scheduler)
    else:
        # The failure of a task is reported once, here, not also by the worker.
        cluster = dask.distributed.LocalCluster(n_workers=arguments.workers, threads_per_worker=1,
                                                silence_logs=logging.CRITICAL)
        client = dask.distributed.Client(cluster)
    output = os.path.abspath(arguments.output)
    work_dir = tempfile.mkdtemp(prefix=os.path.basename(output) + '.counts.', dir=os.path.dirname(output))
    try:
        with client:
            model = estimate_model(arguments.order, [os.path.abspath(p) for p in arguments.text], output, work_dir,
                                   arguments.blocksize, arguments.memory, arguments.binary,
                                   counting_threads(arguments))
            future = client.compute(model)
            if arguments.progress:
                dask.distributed.progress(future)
            return future.result()
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
        if cluster is not None:
            cluster.close()


if __name__ == '__main__':
    main()
