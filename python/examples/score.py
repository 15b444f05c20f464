#!/usr/bin/env python3
"""Scores sentences with a quarn model, word by word.

Usage: score.py [MODEL] [SENTENCE ...]
MODEL defaults to the shipped data/kjv-genesis.arpa; without sentences a few
examples are scored.  For each sentence, every word (and the end of sentence
</s>) is printed with its log10 probability, the length of the n-gram that
matched and whether it is out of the vocabulary; then the total log10
probability and the perplexity.
"""
import os
import sys

import quarn

EXAMPLES = [
    'in the beginning god created the heaven and the earth .',
    'and god said , let there be light : and there was light .',
    'and the serpent said unto the woman , ye shall not surely die',
    'the quick brown fox jumps over the lazy dog .',
]


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    model_path = argv[1] if len(argv) > 1 else os.path.join(here, '..', '..', 'data', 'kjv-genesis.arpa')
    sentences = argv[2:] or EXAMPLES

    config = quarn.Config()
    config.show_progress = False
    config.arpa_complain = quarn.ARPALoadComplain.NONE
    model = quarn.Model(model_path, config)
    print('{} is a {}-gram model'.format(model, model.order))

    for sentence in sentences:
        print()
        print(sentence)
        # quarn splits the UTF-8 bytes at ASCII whitespace only.
        words = [word.decode('utf8', 'replace') for word in sentence.encode('utf8').split()] + ['</s>']
        for word, (log_prob, ngram_length, oov) in zip(words, model.full_scores(sentence)):
            print('  {:>12} {:9.4f}  {}-gram{}'.format(word, log_prob, ngram_length, '  (OOV)' if oov else ''))
        print('  total log10 p = {:.4f}, perplexity = {:.2f}'.format(model.score(sentence),
                                                                     model.perplexity(sentence)))


if __name__ == '__main__':
    main(sys.argv)
