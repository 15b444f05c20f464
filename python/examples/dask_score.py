#!/usr/bin/env python3
"""Scores a text corpus, one sentence per line, on a Dask cluster.

Usage: dask_score.py MODEL TEXT OUT_DIR [--scheduler ADDRESS] [--workers N] [--blocksize BYTES]

Writes the log10 probability of every line of TEXT to OUT_DIR, one per
line, in the files 00000.txt, 00001.txt, ... whose concatenation follows the
lines of TEXT, and prints the number of sentences, the total log10
probability and the perplexity of the corpus (every </s> counted as a word).

Without --scheduler a distributed LocalCluster of N worker processes
(default: one per processor), one thread each, does the work on this
machine; with it, the cluster whose scheduler listens at ADDRESS does, and
MODEL, TEXT and OUT_DIR must have the same paths on every worker.  TEXT is
cut at line ends into partitions of about BLOCKSIZE bytes.  Each worker
opens the model once, by its path, and scores each partition with one
Model.score_batch call.  The model is opened with LoadMethod.LAZY: a binary
model file (made with packmodel) is mapped, not read, so the workers of one
machine share its pages in the page cache instead of holding a copy each.
An ARPA file would be parsed by every worker into a copy of its own: pack it
first.

A MODEL that does not load or a TEXT that cannot be read ends the program
with one line on standard error and status 1, before any cluster starts or
OUT_DIR is made: the model is opened here once first (at the cost of one
more parse for an ARPA file).
"""
import argparse
import functools
import os
import sys

import dask
import dask.bag
import dask.distributed

import quarn


def model_config():
    config = quarn.Config()
    config.show_progress = False
    config.load_method = quarn.LoadMethod.LAZY
    return config


@functools.lru_cache(maxsize=None)
def load(model_path):
    """The model at model_path, opened once per worker process."""
    return quarn.Model(model_path, model_config())


def score_partition(lines, model_path):
    return load(model_path).score_batch(lines)


def count_words(lines):
    """Words of each line as score splits them, + 1 for </s>."""
    return [len(line.encode('utf8').split()) + 1 for line in lines]


def sentence_scores(model_path, text_path, blocksize='64MiB'):
    """A bag of the log10 probability of every line of the text, in order."""
    lines = dask.bag.read_text(text_path, blocksize=blocksize)
    return lines.map_partitions(score_partition, model_path)


def score_corpus(model_path, text_path, out_dir, blocksize='64MiB', scheduler=None):
    """Writes the score of every line to out_dir (see the module's
    documentation) and returns (sentences, total log10 probability,
    perplexity).  scheduler as dask.compute takes it; None: the current
    distributed client."""
    lines = dask.bag.read_text(text_path, blocksize=blocksize)
    scores = lines.map_partitions(score_partition, model_path)
    writes = scores.map(repr).to_textfiles(os.path.join(out_dir, '*.txt'), name_function='{:05d}'.format,
                                           compute=False, last_endline=True)
    words = lines.map_partitions(count_words)
    _, sentences, total, word_count = dask.compute(writes, scores.count(), scores.sum(), words.sum(),
                                                   scheduler=scheduler)
    return sentences, total, 10.0 ** (-total / word_count) if word_count else float('nan')


def check_inputs(model_path, text_path):
    """Exits with one line unless the text reads and the model loads."""
    try:
        with open(text_path, 'rb') as f:
            f.read(1)
    except OSError as error:
        sys.exit(f'{sys.argv[0]}: cannot read the text {text_path}: {error.strerror}')
    config = model_config()
    config.arpa_complain = quarn.ARPALoadComplain.NONE
    try:
        quarn.Model(model_path, config)
    except OSError as error:
        sys.exit(f'{sys.argv[0]}: {error}')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('model')
    parser.add_argument('text')
    parser.add_argument('out_dir')
    parser.add_argument('--scheduler', help='address of a running scheduler; default: a LocalCluster')
    parser.add_argument('--workers', type=int, default=os.cpu_count(), help='worker processes of the LocalCluster')
    parser.add_argument('--blocksize', default='64MiB')
    arguments = parser.parse_args()
    check_inputs(arguments.model, arguments.text)
    try:
        sentences, total, perplexity = run(arguments)
    except OSError as error:
        # The model failed to load on a worker (a file that changed meanwhile,
        # or paths that differ between machines).
        sys.exit(f'{sys.argv[0]}: {error}')
    print(f'Sentences: {sentences}')
    print(f'Total log10 probability: {total:.7g}')
    print(f'Perplexity: {perplexity:.7g}')


def run(arguments):
    """score_corpus on the cluster that the arguments name."""
    if arguments.scheduler:
        cluster = None
        client = dask.distributed.Client(arguments.scheduler)
    else:
        cluster = dask.distributed.LocalCluster(n_workers=arguments.workers, threads_per_worker=1)
        client = dask.distributed.Client(cluster)
    try:
        with client:
            # The tasks name this file's functions by module, so that each
            # worker keeps one cache of models: the workers get the file as
            # that module.
            client.upload_file(__file__)
            import dask_score
            return dask_score.score_corpus(arguments.model, arguments.text, arguments.out_dir, arguments.blocksize)
    finally:
        if cluster is not None:
            cluster.close()


if __name__ == '__main__':
    main()
