"""Scores through every method of Model, against hand-computed values on the
tiny model and against the native library on the shipped model."""
import os
import random
import struct
import subprocess

import pytest

import quarn

from conftest import GENESIS_ARPA, quiet_config


def f32(x):
    return struct.unpack('f', struct.pack('f', x))[0]


def f32_sum(values):
    total = 0.0
    for value in values:
        total = f32(total + value)
    return total


# (sentence, bos, eos, expected log10 probability), worked out from TINY_ARPA.
HAND_COMPUTED = [
    # p(a|<s>) + p(b|<s> a) + p(</s>|a b)
    ('a b', True, True, -0.4 - 0.2 - 0.3),
    ('a b', True, False, -0.4 - 0.2),
    # p(a) + p(b|a) + p(</s>|a b)
    ('a b', False, True, -0.7 - 0.6 - 0.3),
    ('a b', False, False, -0.7 - 0.6),
    # </s> may be written out.
    ('a b </s>', False, False, -0.7 - 0.6 - 0.3),
    # backoff(<s>) + p(b); backoff(b) + p(a); backoff(a) + p(</s>)
    ('b a', True, True, (-0.5 - 0.9) + (-0.2 - 0.7) + (-0.3 - 1.2)),
    # p(a|<s>); p(a|a) + backoff(<s> a); p(b|a); p(</s>|a b)
    ('a a b', True, True, -0.4 + (-0.8 - 0.1) - 0.6 - 0.3),
    ('', True, True, -0.5 - 1.2),
    ('', True, False, 0.0),
    ('', False, True, -1.2),
    ('', False, False, 0.0),
    # Unknown words, and <unk> itself, score as <unk>.
    ('zzz', True, True, (-0.5 - 1.0) - 1.2),
    ('<unk>', False, True, -1.0 - 1.2),
]


@pytest.mark.parametrize('sentence, bos, eos, expected', HAND_COMPUTED)
def test_hand_computed_scores(tiny, sentence, bos, eos, expected):
    for text in (sentence, sentence.encode()):
        assert tiny.score(text, bos=bos, eos=eos) == pytest.approx(expected, abs=1e-6)
        assert tiny.score(text, bos, eos) == tiny.score(text, bos=bos, eos=eos)
        assert f32_sum(p for p, _, _ in tiny.full_scores(text, bos, eos)) == tiny.score(text, bos, eos)


@pytest.mark.parametrize('bos, eos', [(True, True), (True, False), (False, True), (False, False)])
def test_whitespace_rules(tiny, bos, eos):
    plain = tiny.score('a b', bos, eos)
    # The six whitespace bytes, in runs, count as one separator.
    assert tiny.score(' \t a \n\x0b\x0c\r b \r\n', bos, eos) == plain
    # NO-BREAK SPACE splits a Python str, but not these bytes: "a\xa0b" is
    # one unknown word, whether given as Latin-1 bytes or as str (UTF-8).
    unknown = tiny.score('zzz', bos, eos)
    assert tiny.score(b'a\xa0b', bos, eos) == unknown
    assert tiny.score('a\u00a0b', bos, eos) == unknown
    assert len(list(tiny.full_scores('a\u00a0b', bos, eos))) == 1 + eos


def test_nul_ends_sentence_when_both_boundaries_are_on(tiny):
    assert tiny.score('a b\0zzz a') == tiny.score('a b')
    assert tiny.score(b'a b\0zzz a', bos=True, eos=True) == tiny.score('a b')


def test_nul_cuts_only_its_word_otherwise(tiny):
    # Words a, b (cut at the NUL), a; then </s>:
    # p(a); p(b|a); backoff(b) + backoff(a b) + p(a); backoff(a) + p(</s>)
    expected = -0.7 - 0.6 + (-0.2 - 0.15 - 0.7) + (-0.3 - 1.2)
    assert tiny.score('a b\0zzz a', bos=False) == pytest.approx(expected, abs=1e-6)
    assert [flag for _, _, flag in tiny.full_scores('a b\0zzz a')] == [False, False, False, False]


def test_full_scores_tuples(tiny):
    assert list(tiny.full_scores('a b')) == [(f32(-0.4), 2, False), (f32(-0.2), 3, False), (f32(-0.3), 3, False)]
    assert [n for _, n, _ in tiny.full_scores('a b', eos=False)] == [2, 3]
    assert [oov for _, _, oov in tiny.full_scores('zzz <unk> a')] == [True, True, False, False]
    for value in tiny.full_scores('b'):
        assert type(value[0]) is float and type(value[1]) is int and type(value[2]) is bool


def test_full_scores_is_lazy(tiny):
    generator = tiny.full_scores(5)
    assert generator.__name__ == 'full_scores'
    assert generator.__qualname__ == 'Model.full_scores'
    with pytest.raises(TypeError, match='Cannot convert'):
        next(generator)


def test_full_scores_generators_interleave(tiny):
    first, second = tiny.full_scores('a b'), tiny.full_scores('b a')
    interleaved = [x for pair in zip(first, second) for x in pair]
    assert interleaved[0::2] == list(tiny.full_scores('a b'))
    assert interleaved[1::2] == list(tiny.full_scores('b a'))


@pytest.mark.parametrize('sentence', ['', 'a b', 'zzz a a b b'])
def test_perplexity(tiny, sentence):
    words = len(sentence.split()) + 1
    assert tiny.perplexity(sentence) == 10.0 ** (-tiny.score(sentence) / words)


def test_perplexity_uses_the_subclass_score(tiny_path):
    class Fixed(quarn.Model):
        def score(self, sentence, bos=True, eos=True):
            return -2.0

    assert Fixed(str(tiny_path), quiet_config()).perplexity('a b') == 10.0 ** (2.0 / 3)


def test_incremental_scoring(tiny):
    s, t = quarn.State(), quarn.State()
    tiny.BeginSentenceWrite(s)
    assert tiny.BaseScore(s, '</s>', t) == tiny.score('')
    total = f32(tiny.BaseScore(s, 'a', t))
    total = f32(total + tiny.BaseScore(t, 'b', s))
    total = f32(total + tiny.BaseScore(s, '</s>', t))
    assert total == tiny.score('a b')

    tiny.NullContextWrite(s)
    assert tiny.BaseScore(s, 'a', t) == f32(-0.7)
    assert tiny.BaseScore(out_state=t, word='a', in_state=s) == f32(-0.7)
    assert tiny.BaseFullScore(s, out_state=t, word='a').log_prob == f32(-0.7)
    # A new State is the null context.
    assert tiny.BaseScore(quarn.State(), 'a', s) == f32(-0.7)
    assert s == t


def test_base_full_score(tiny):
    s, t = quarn.State(), quarn.State()
    tiny.BeginSentenceWrite(s)
    ret = tiny.BaseFullScore(s, 'a', t)
    assert type(ret) is quarn.FullScoreReturn
    assert (ret.log_prob, ret.ngram_length, ret.oov) == (f32(-0.4), 2, False)
    ret = tiny.BaseFullScore(t, 'zzz', s)
    assert ret.log_prob == pytest.approx(-0.1 - 0.3 - 1.0, abs=1e-6)
    assert (ret.ngram_length, ret.oov) == (1, True)
    # The word is cut at a NUL, like every word lookup.
    assert tiny.BaseFullScore(quarn.State(), 'a\0b', s).oov is False


def test_same_state_as_input_and_output(tiny):
    separate_in, separate_out = quarn.State(), quarn.State()
    tiny.BeginSentenceWrite(separate_in)
    shared = quarn.State()
    tiny.BeginSentenceWrite(shared)
    for word in ['a', 'b', 'a', 'zzz', 'b']:
        expected = tiny.BaseScore(separate_in, word, separate_out)
        separate_in, separate_out = separate_out, separate_in
        assert tiny.BaseScore(shared, word, shared) == expected
        assert shared == separate_in
    assert tiny.BaseFullScore(shared, '</s>', shared).log_prob == tiny.BaseScore(separate_in, '</s>', separate_out)


# The shipped model: real text, real IRSTLM estimates, pruned n-grams.
GENESIS_SENTENCES = [
    'in the beginning god created the heaven and the earth .',
    'and god said , let there be light : and there was light .',
    'and the serpent said unto the woman , ye shall not surely die',
    'these are the generations of the sons of noah',
    'the quick brown fox jumps over the lazy dog .',
    '',
    'and',
]


def random_sentences(count):
    with open(GENESIS_ARPA) as arpa:
        lines = arpa.read().split('\\1-grams:\n')[1].split('\n\n')[0].splitlines()
    vocabulary = [line.split('\t')[1] for line in lines] + ['unseen', 'words']
    rng = random.Random(4)
    return [' '.join(rng.choice(vocabulary) for _ in range(rng.randrange(1, 25))) for _ in range(count)]


def test_full_scores_sum_to_score(genesis):
    # Long sentences too: the generator scores words in batches.
    long_sentences = [' '.join(GENESIS_SENTENCES[:3] * 7), ' '.join(random_sentences(20))]
    for sentence in GENESIS_SENTENCES + random_sentences(200) + long_sentences:
        for bos, eos in [(True, True), (False, True), (True, False)]:
            scores = [p for p, _, _ in genesis.full_scores(sentence, bos, eos)]
            assert len(scores) == len(sentence.split()) + eos
            assert f32_sum(scores) == genesis.score(sentence, bos, eos)
            assert sum(scores) == pytest.approx(genesis.score(sentence, bos, eos), rel=1e-5, abs=1e-4)


NATIVE = os.environ.get('QUARN_SCORE_SENTENCE_BENCH')


@pytest.mark.skipif(not NATIVE, reason='QUARN_SCORE_SENTENCE_BENCH (bench/score_sentence_bench) not given')
def test_scores_equal_the_native_library(tmp_path):
    sentences = GENESIS_SENTENCES + random_sentences(300)
    text = tmp_path / 'sentences.txt'
    text.write_text('\n'.join(sentences) + '\n')
    binary = tmp_path / 'genesis.binary'

    def native(model_path, *options):
        out = subprocess.run([NATIVE, '--print', *options, str(model_path), str(text)], check=True,
                             capture_output=True, text=True).stdout
        return [f32(float(line)) for line in out.split()]

    from_arpa = native(GENESIS_ARPA, '--binary', str(binary))
    assert len(from_arpa) == len(sentences)
    assert native(binary) == from_arpa
    for path in (GENESIS_ARPA, binary):
        model = quarn.Model(str(path), quiet_config())
        assert [model.score(s) for s in sentences] == from_arpa
    for load_method in range(4):
        config = quiet_config()
        config.load_method = load_method
        model = quarn.Model(str(binary), config)
        assert [model.score(s) for s in sentences] == from_arpa


@pytest.mark.skipif(not NATIVE, reason='QUARN_SCORE_SENTENCE_BENCH (bench/score_sentence_bench) not given')
@pytest.mark.parametrize('model_type', ['rest_probing', 'trie', 'quant_trie', 'array_trie', 'quant_array_trie'])
def test_every_binary_type_scores_as_the_native_model(tmp_path, model_type):
    sentences = GENESIS_SENTENCES + random_sentences(300)
    text = tmp_path / 'sentences.txt'
    text.write_text('\n'.join(sentences) + '\n')
    binary = tmp_path / f'genesis.{model_type}'

    def native(*arguments):
        out = subprocess.run([NATIVE, '--print', *arguments, str(text)], check=True, capture_output=True,
                             text=True).stdout
        return [f32(float(line)) for line in out.split()]

    from_arpa = native('--type', model_type, '--binary', str(binary), str(GENESIS_ARPA))
    assert native(str(binary)) == from_arpa
    for load_method in range(4):
        config = quiet_config()
        config.load_method = load_method
        model = quarn.Model(str(binary), config)
        assert [model.score(s) for s in sentences] == from_arpa
    # Every type stores the same model; only quantization moves the scores.
    probing = quarn.Model(str(GENESIS_ARPA), quiet_config())
    tolerance = 0.5 if model_type.startswith('quant') else 1e-4
    assert [probing.score(s) for s in sentences] == pytest.approx(from_arpa, abs=tolerance)
