#!/usr/bin/env python3
"""Scores a large text with Dask, one sentence per line, on every processor.

Usage: dask_score.py MODEL TEXT [--scheduler threads|processes] [--blocksize BYTES]

Prints the number of sentences, the total log10 probability and the
perplexity (every </s> counted as a word).

The text is cut into partitions of about BLOCKSIZE bytes at line ends, and
each partition is scored by one Model.score_batch call.  With the threads
scheduler (the default) all worker threads share one loaded model:
score_batch releases the interpreter lock while it scores, so the threads
run at once.  With the processes scheduler or a dask.distributed cluster,
each worker process loads the model once, by its path, on its first
partition; a binary model file (made with packmodel) loads almost at once
because it is mapped, not parsed.
"""
import argparse
import functools

import dask.bag

import quarn


@functools.lru_cache(maxsize=None)
def load(model_path):
    """The model at model_path, loaded once per process."""
    config = quarn.Config()
    config.show_progress = False
    return quarn.Model(model_path, config)


def score_partition(lines, model_path):
    return load(model_path).score_batch(lines)


def count_words(lines):
    return [len(line.split()) + 1 for line in lines]  # + 1 for </s>


def sentence_scores(model_path, text_path, blocksize='4MiB'):
    """A bag of the log10 probability of every line of the text, in order."""
    lines = dask.bag.read_text(text_path, blocksize=blocksize)
    return lines.map_partitions(score_partition, model_path)


def summary(model_path, text_path, blocksize='4MiB', scheduler='threads'):
    """(sentences, total log10 probability, perplexity) of the text."""
    lines = dask.bag.read_text(text_path, blocksize=blocksize)
    scores = lines.map_partitions(score_partition, model_path)
    words = lines.map_partitions(count_words)
    sentences, total, word_count = dask.compute(scores.count(), scores.sum(), words.sum(), scheduler=scheduler)
    return sentences, total, 10.0 ** (-total / word_count) if word_count else float('nan')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('model')
    parser.add_argument('text')
    parser.add_argument('--scheduler', default='threads', choices=['threads', 'processes'])
    parser.add_argument('--blocksize', default='4MiB')
    arguments = parser.parse_args()
    sentences, total, perplexity = summary(arguments.model, arguments.text, arguments.blocksize, arguments.scheduler)
    print(f'Sentences: {sentences}')
    print(f'Total log10 probability: {total:.7g}')
    print(f'Perplexity: {perplexity:.7g}')


if __name__ == '__main__':
    main()
