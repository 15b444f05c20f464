"""State, FullScoreReturn and Config."""
import copy
import struct

import pytest

import quarn


def state_after(model, words, bos=True):
    s, t = quarn.State(), quarn.State()
    (model.BeginSentenceWrite if bos else model.NullContextWrite)(s)
    for word in words:
        model.BaseScore(s, word, t)
        s, t = t, s
    return s


def test_new_states_are_equal_and_hash_alike():
    a, b = quarn.State(), quarn.State()
    assert a == b and not a != b and a <= b and a >= b and not a < b and not a > b
    assert hash(a) == hash(b)


def test_ordering_length_first(tiny):
    new, begin = quarn.State(), state_after(tiny, [])
    assert new != begin and new < begin and new <= begin and begin > new and begin >= new
    assert state_after(tiny, ['b']) > new
    # [a, <s>] is longer than [b]
    assert state_after(tiny, ['a']) > state_after(tiny, ['b'])


def test_states_compare_by_kept_context(tiny):
    # After "b" only b is kept, whatever came before: "<s> b" and "zzz b"
    # are no bigrams.
    from_begin = state_after(tiny, ['b'])
    from_null = state_after(tiny, ['b'], bos=False)
    after_unknown = state_after(tiny, ['zzz', 'b'])
    assert from_begin == from_null == after_unknown
    assert hash(from_begin) == hash(from_null) == hash(after_unknown)
    assert state_after(tiny, ['a', 'b']) != from_begin
    assert len({from_begin, from_null, after_unknown, quarn.State()}) == 2
    # The null context state is the new state.
    assert state_after(tiny, [], bos=False) == quarn.State()


def test_hash_is_murmur_over_the_kept_words(tiny):
    def python_hash(value):
        value = value - 2**64 if value >= 2**63 else value
        return -2 if value == -1 else value

    assert hash(quarn.State()) == python_hash(murmur_hash_64a(b''))
    # The state after "a b" keeps [b, a]: two of the five word identifiers.
    two_words = {python_hash(murmur_hash_64a(struct.pack('=II', x, y))) for x in range(5) for y in range(5)}
    assert hash(state_after(tiny, ['a', 'b'])) in two_words
    assert hash(state_after(tiny, ['a', 'b'])) != hash(state_after(tiny, ['b', 'a']))


def murmur_hash_64a(data, seed=0):
    """MurmurHash64A, written out from its published definition."""
    m, r, mask = 0xc6a4a7935bd1e995, 47, 2**64 - 1
    h = (seed ^ (len(data) * m)) & mask
    whole = len(data) // 8 * 8
    for i in range(0, whole, 8):
        k = int.from_bytes(data[i:i + 8], 'little')
        k = (k * m) & mask
        k ^= k >> r
        k = (k * m) & mask
        h ^= k
        h = (h * m) & mask
    rest = data[whole:]
    if rest:
        h ^= int.from_bytes(rest, 'little')
        h = (h * m) & mask
    h ^= h >> r
    h = (h * m) & mask
    h ^= h >> r
    return h


def test_copies(tiny):
    state = state_after(tiny, ['a'])
    for duplicate in (copy.copy(state), copy.deepcopy(state), state.__copy__(), state.__deepcopy__({})):
        assert duplicate == state and duplicate is not state and type(duplicate) is quarn.State

    class MyState(quarn.State):
        pass

    mine = MyState()
    tiny.BeginSentenceWrite(mine)
    assert type(copy.copy(mine)) is quarn.State and copy.copy(mine) == mine
    assert tiny.BaseScore(mine, 'a', MyState()) == tiny.BaseScore(state_after(tiny, []), 'a', quarn.State())


def test_state_constructor_ignores_arguments():
    assert quarn.State(1, 'two', three=3) == quarn.State()


def test_full_score_return():
    ret = quarn.FullScoreReturn(-1.5, 2, 0)
    assert (ret.log_prob, ret.ngram_length, ret.oov) == (-1.5, 2, False)
    assert repr(ret) == 'FullScoreReturn(-1.5, 2, False)'
    ret = quarn.FullScoreReturn(log_prob=0.1, ngram_length=2.9, oov=[1])
    assert (ret.log_prob, ret.ngram_length, ret.oov) == (0.10000000149011612, 2, True)
    assert repr(ret) == 'FullScoreReturn(0.10000000149011612, 2, True)'
    for name in ('log_prob', 'ngram_length', 'oov'):
        with pytest.raises(AttributeError):
            setattr(ret, name, 1)

    class Mine(quarn.FullScoreReturn):
        pass

    assert repr(Mine(-1, 3, False)) == 'Mine(-1.0, 3, False)'


def test_config_defaults_and_fields():
    config = quarn.Config()
    assert (config.load_method, config.show_progress, config.arpa_complain) == (2, True, 0)
    assert config.load_method == quarn.LoadMethod.POPULATE_OR_READ
    assert config.arpa_complain == quarn.ARPALoadComplain.ALL
    config.load_method = 7  # not checked against the named methods
    config.show_progress = []
    config.arpa_complain = 2.9
    assert (config.load_method, config.show_progress, config.arpa_complain) == (7, False, 2)
    config.load_method = 2**32 - 1
    assert config.load_method == 2**32 - 1
    assert type(config.load_method) is int and type(config.show_progress) is bool
    config.__init__()
    assert (config.load_method, config.show_progress, config.arpa_complain) == (2, True, 0)


def test_constants():
    assert {k: v for k, v in vars(quarn.LoadMethod).items() if not k.startswith('_')} == {
        'LAZY': 0, 'POPULATE_OR_LAZY': 1, 'POPULATE_OR_READ': 2, 'READ': 3, 'PARALLEL_READ': 4}
    assert {k: v for k, v in vars(quarn.ARPALoadComplain).items() if not k.startswith('_')} == {
        'ALL': 0, 'EXPENSIVE': 1, 'NONE': 2}
