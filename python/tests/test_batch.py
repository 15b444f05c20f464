"""Model.score_batch: bit for bit the scores of Model.score, whatever the
boundaries, the thread count and the Python threads that call it at once."""
import concurrent.futures
import random
import threading

import pytest

import quarn

from conftest import GENESIS_ARPA, quiet_config

EDGE_CASES = [
    '',
    ' \t\n\r\v\f ',
    'in the beginning god created the heaven and the earth .',
    b'  and\tgod \n said ,\r\rlet there be light .  ',
    'unheardof words <unk> </s> <s>',
    'and god\0said let',
    b'\0and god',
    b'and\xa0god',
    'caf\u00e9 and god',
    'the ' * 40,
]


def bigram_walks(count):
    """Random walks along the model's bigrams, so that long n-grams match."""
    with open(GENESIS_ARPA) as arpa:
        lines = arpa.read().split('\\2-grams:\n')[1].split('\n\n')[0].splitlines()
    follow = {}
    for line in lines:
        first, second = line.split('\t')[1].split(' ')
        follow.setdefault(first, []).append(second)
    rng = random.Random(10)
    walks = []
    for _ in range(count):
        word, walk = '<s>', []
        for _ in range(rng.randrange(0, 30)):
            word = rng.choice(follow.get(word) or list(follow))
            walk.append(word if rng.random() > 0.05 else 'unheardof')
        walks.append(' '.join(walk))
    return walks


SENTENCES = EDGE_CASES + bigram_walks(2000)


@pytest.mark.parametrize('bos, eos', [(True, True), (True, False), (False, True), (False, False)])
@pytest.mark.parametrize('threads', [1, 2, 0])
def test_equals_score_bit_for_bit(genesis, bos, eos, threads):
    expected = [genesis.score(sentence, bos, eos) for sentence in SENTENCES]
    assert genesis.score_batch(SENTENCES, bos, eos, threads) == expected
    assert genesis.score_batch(SENTENCES, bos=bos, eos=eos, threads=threads) == expected


def test_takes_any_iterable(tiny):
    expected = [tiny.score('a b'), tiny.score('b')]
    assert tiny.score_batch(iter(['a b', b'b'])) == expected
    assert tiny.score_batch(('a b', 'b')) == expected
    assert tiny.score_batch(sentence for sentence in ['a b', 'b']) == expected
    assert tiny.score_batch([]) == []


@pytest.mark.parametrize('sentences, threads, error, message', [
    ('a b', 1, TypeError, 'not one sentence'),
    (b'a b', 1, TypeError, 'not one sentence'),
    (['a', 5], 1, TypeError, "Cannot convert <class 'int'> to string"),
    (5, 1, TypeError, 'not iterable'),
    (['a'], -1, OverflowError, 'negative'),
])
def test_refuses(tiny, sentences, threads, error, message):
    with pytest.raises(error, match=message):
        tiny.score_batch(sentences, threads=threads)


@pytest.mark.parametrize('sentences, position', [
    ([5], 0),
    (['a', 'b', None], 2),
    (['a', bytearray(b'a b')], 1),
    (['a', 'b \ud800 a'], 1),
    ((sentence for sentence in ['a', 'b', 'a', 3.5, 'b']), 3),
])
def test_bad_item_raises_as_score_with_its_position(tiny, sentences, position):
    sentences = list(sentences)
    with pytest.raises(Exception) as by_score:
        tiny.score(sentences[position])
    with pytest.raises(type(by_score.value)) as by_batch:
        tiny.score_batch(iter(sentences))
    assert type(by_batch.value) is type(by_score.value)
    message = str(by_batch.value)
    assert f'sentence {position}' in message
    assert message.replace(f'sentence {position}: ', '').replace(f' (sentence {position})', '') == str(by_score.value)


def test_model_cannot_be_reloaded_during_a_batch(tiny_path):
    model = quarn.Model(str(tiny_path), quiet_config())

    def sentences():
        yield 'a b'
        model.__init__(str(tiny_path), quiet_config())

    with pytest.raises(RuntimeError, match='cannot be reloaded'):
        model.score_batch(sentences())
    assert model.score_batch(['a b']) == [model.score('a b')]
    model.__init__(str(tiny_path), quiet_config())
    assert model.score_batch(['a b']) == [model.score('a b')]


def test_python_threads_share_one_model(genesis):
    expected = [genesis.score(sentence) for sentence in SENTENCES]
    start = threading.Barrier(4)

    def score(threads):
        start.wait()
        return genesis.score_batch(SENTENCES, threads=threads)

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(score, [1, 1, 2, 0]))
    assert results == [expected] * 4


WALKS = SENTENCES[len(EDGE_CASES):]
LONG_SENTENCES = [' '.join(WALKS[i:i + 20]) for i in range(0, len(WALKS), 20)]


def test_long_sentences_are_scored_alike_on_many_threads(genesis):
    assert min(len(sentence.encode()) for sentence in LONG_SENTENCES[:-1]) > 1000
    arguments = [(sentence, bos, eos) for sentence in LONG_SENTENCES + SENTENCES[:50]
                 for bos, eos in [(True, True), (False, True), (True, False)]]

    def score_all(_):
        return [(genesis.score(*call), list(genesis.full_scores(*call))) for call in arguments]

    expected = score_all(None)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert list(pool.map(score_all, range(4))) == [expected] * 4


def test_model_is_not_replaced_while_a_thread_scores(genesis):
    """A thread scores long sentences, with the lock released, while another
    tries to reload the model: a reload is refused while a score runs, and
    every score stays right."""
    model = quarn.Model(str(GENESIS_ARPA), quiet_config())
    expected = [genesis.score(sentence) for sentence in LONG_SENTENCES]
    done = threading.Event()

    def score():
        try:
            return [[model.score(sentence) for sentence in LONG_SENTENCES] for _ in range(20)]
        finally:
            done.set()

    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        scored = pool.submit(score)
        while not done.is_set():
            try:
                model.__init__(str(GENESIS_ARPA), quiet_config())
            except RuntimeError as error:
                assert 'cannot be reloaded while another thread scores' in str(error)
        assert scored.result() == [expected] * 20
