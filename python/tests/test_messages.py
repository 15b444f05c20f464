"""Every failure of the Python layer: exception type and exact message."""
import copy
import pickle

import pytest

import quarn

from conftest import quiet_config


class BytesSubclass(bytes):
    pass


class StrSubclass(str):
    pass


class EncodesToStr(str):
    def encode(self, *args):
        return str(self)


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError('no truth')


def S():
    return quarn.State()


def setter(obj, name, value):
    return lambda: setattr(obj, name, value)


def deleter(obj, name):
    return lambda: delattr(obj, name)


def cases(tiny, tiny_path):
    path = str(tiny_path)
    config = quarn.Config()
    fsr = quarn.FullScoreReturn(-1.0, 1, False)
    wrong_type = "Argument '{}' has incorrect type (expected {}, got {})".format
    cannot_convert = "Cannot convert {} to string".format
    return [
        # Model construction and the Model class
        (lambda: quarn.Model(), TypeError, '__init__() takes at least 1 positional argument (0 given)'),
        (lambda: quarn.Model(config=quiet_config()), TypeError,
         '__init__() takes at least 1 positional argument (0 given)'),
        (lambda: quarn.Model(path, quiet_config(), 3), TypeError,
         '__init__() takes at most 2 positional arguments (3 given)'),
        (lambda: quarn.Model(path, unknown=1), TypeError, "__init__() got an unexpected keyword argument 'unknown'"),
        (lambda: quarn.Model(path, path=path), TypeError, "__init__() got multiple values for keyword argument 'path'"),
        (lambda: quarn.Model(path, 5), TypeError, wrong_type('config', 'quarn.Config', 'int')),
        (lambda: quarn.Model(path, config=quarn.State()), TypeError, wrong_type('config', 'quarn.Config', 'quarn.State')),
        (lambda: quarn.Model(5), TypeError, cannot_convert("<class 'int'>")),
        (lambda: quarn.Model(None), TypeError, cannot_convert("<class 'NoneType'>")),
        (lambda: quarn.Model(BytesSubclass(b'x')), TypeError, 'Expected bytes, got BytesSubclass'),
        (lambda: quarn.Model(EncodesToStr('x')), TypeError, 'Expected bytes, got str'),
        (lambda: quarn.Model('\udcff'), UnicodeEncodeError, None),
        (setter(tiny, 'path', 'x'), TypeError, 'Expected bytes, got str'),
        (setter(tiny, 'path', BytesSubclass(b'x')), TypeError, 'Expected bytes, got BytesSubclass'),
        (setter(tiny, 'order', 2), AttributeError, None),
        (lambda: 5 in tiny, TypeError, cannot_convert("<class 'int'>")),
        (lambda: BytesSubclass(b'a') in tiny, TypeError, 'Expected bytes, got BytesSubclass'),
        # Scoring methods
        (lambda: tiny.score(5), TypeError, cannot_convert("<class 'int'>")),
        (lambda: tiny.score(5, bos=False), TypeError, cannot_convert("<class 'int'>")),
        (lambda: tiny.perplexity([]), TypeError, cannot_convert("<class 'list'>")),
        (lambda: next(tiny.full_scores(5)), TypeError, cannot_convert("<class 'int'>")),
        (lambda: tiny.BaseScore(S(), StrSubclass('a'), S()), TypeError, wrong_type('word', 'str', 'StrSubclass')),
        (lambda: tiny.score(), TypeError, 'score() takes at least 1 positional argument (0 given)'),
        (lambda: tiny.score('a', True, True, True), TypeError, 'score() takes at most 3 positional arguments (4 given)'),
        (lambda: tiny.score(bos=False), TypeError, 'score() takes at least 1 positional argument (0 given)'),
        (lambda: tiny.full_scores(), TypeError, 'full_scores() takes at least 1 positional argument (0 given)'),
        (lambda: tiny.full_scores('a', 1, 1, 1), TypeError,
         'full_scores() takes at most 3 positional arguments (4 given)'),
        (lambda: tiny.BaseScore(S(), 'a'), TypeError, 'BaseScore() takes exactly 3 positional arguments (2 given)'),
        (lambda: tiny.BaseScore(in_state=S(), word='a'), TypeError,
         'BaseScore() takes exactly 3 positional arguments (0 given)'),
        (lambda: tiny.BaseFullScore(S(), 'a', S(), S()), TypeError,
         'BaseFullScore() takes exactly 3 positional arguments (4 given)'),
        (lambda: tiny.score('a', sentence='a'), TypeError, "score() got multiple values for keyword argument 'sentence'"),
        (lambda: tiny.full_scores('a', eos=1, beginning=0), TypeError,
         "full_scores() got an unexpected keyword argument 'beginning'"),
        (lambda: tiny.BaseScore(S(), 'a', S(), word='a'), TypeError,
         "BaseScore() got multiple values for keyword argument 'word'"),
        (lambda: tiny.BaseScore(S(), word='a'), TypeError, 'BaseScore() takes exactly 3 positional arguments (1 given)'),
        (lambda: tiny.BaseFullScore(S(), state='a'), TypeError,
         "BaseFullScore() got an unexpected keyword argument 'state'"),
        (lambda: tiny.BaseScore(quarn.Config(), 'a', S()), TypeError, wrong_type('in_state', 'quarn.State', 'quarn.Config')),
        (lambda: tiny.BaseScore(S(), b'a', S()), TypeError, wrong_type('word', 'str', 'bytes')),
        (lambda: tiny.BaseFullScore(S(), 5, S()), TypeError, wrong_type('word', 'str', 'int')),
        (lambda: tiny.BaseScore(S(), None, S()), TypeError, wrong_type('word', 'str', 'NoneType')),
        (lambda: tiny.BaseScore(5, b'a', 5), TypeError, wrong_type('in_state', 'quarn.State', 'int')),
        (lambda: tiny.BaseScore(S(), b'a', 5), TypeError, wrong_type('word', 'str', 'bytes')),
        (lambda: tiny.BaseFullScore(S(), 'a', 5), TypeError, wrong_type('out_state', 'quarn.State', 'int')),
        (lambda: tiny.BaseScore(None, 'a', S()), TypeError, wrong_type('in_state', 'quarn.State', 'NoneType')),
        (lambda: tiny.BaseFullScore(S(), 'a', None), TypeError, wrong_type('out_state', 'quarn.State', 'NoneType')),
        (lambda: tiny.BeginSentenceWrite(5), TypeError, wrong_type('state', 'quarn.State', 'int')),
        (lambda: tiny.BeginSentenceWrite(None), TypeError, wrong_type('state', 'quarn.State', 'NoneType')),
        (lambda: tiny.NullContextWrite(None), TypeError, wrong_type('state', 'quarn.State', 'NoneType')),
        (lambda: tiny.score('a', bos=BadTruth()), ZeroDivisionError, 'no truth'),
        (lambda: tiny.score('a', eos=BadTruth()), ZeroDivisionError, 'no truth'),
        (lambda: next(tiny.full_scores('a', bos=BadTruth())), ZeroDivisionError, 'no truth'),
        # State
        (lambda: S() == 5, TypeError, wrong_type('qb', 'quarn.State', 'int')),
        (lambda: S() < 'a', TypeError, wrong_type('qb', 'quarn.State', 'str')),
        (lambda: S() == None, TypeError, wrong_type('qb', 'quarn.State', 'NoneType')),  # noqa: E711
        (lambda: S() >= None, TypeError, wrong_type('qb', 'quarn.State', 'NoneType')),
        (lambda: pickle.dumps(S()), TypeError, 'self._c_state cannot be converted to a Python object for pickling'),
        (lambda: S().__reduce__(), TypeError, 'self._c_state cannot be converted to a Python object for pickling'),
        (lambda: S().__setstate__(None), TypeError,
         'self._c_state cannot be converted to a Python object for pickling'),
        # FullScoreReturn
        (lambda: quarn.FullScoreReturn(-1.0, 2**40, False), OverflowError, 'value too large to convert to int'),
        (lambda: quarn.FullScoreReturn(-1.0, -2**31 - 1, False), OverflowError, 'value too large to convert to int'),
        (lambda: quarn.FullScoreReturn(-1.0, '2', False), TypeError, 'an integer is required'),
        (lambda: quarn.FullScoreReturn(-1.0, 2), TypeError, '__cinit__() takes exactly 3 positional arguments (2 given)'),
        (lambda: quarn.FullScoreReturn(), TypeError, '__cinit__() takes exactly 3 positional arguments (0 given)'),
        (lambda: pickle.dumps(fsr), TypeError, 'no default __reduce__ due to non-trivial __cinit__'),
        (lambda: copy.copy(fsr), TypeError, 'no default __reduce__ due to non-trivial __cinit__'),
        (lambda: fsr.__setstate__(None), TypeError, 'no default __reduce__ due to non-trivial __cinit__'),
        # Config
        (lambda: quarn.Config(1), TypeError, '__init__() takes exactly 0 positional arguments (1 given)'),
        (lambda: quarn.Config(show_progress=False), TypeError,
         "__init__() got an unexpected keyword argument 'show_progress'"),
        (setter(config, 'load_method', -1), OverflowError, 'value too large to convert to enum util::LoadMethod'),
        (setter(config, 'load_method', 2**32), OverflowError, 'value too large to convert to enum util::LoadMethod'),
        (setter(config, 'load_method', -0.5 - 1), OverflowError, 'value too large to convert to enum util::LoadMethod'),
        (setter(config, 'load_method', '1'), TypeError, 'an integer is required'),
        (setter(config, 'load_method', None), TypeError, 'an integer is required'),
        (setter(config, 'arpa_complain', -1), OverflowError,
         'value too large to convert to enum lm::ngram::Config::ARPALoadComplain'),
        (setter(config, 'arpa_complain', 2**64), OverflowError,
         'value too large to convert to enum lm::ngram::Config::ARPALoadComplain'),
        (setter(config, 'arpa_complain', b'1'), TypeError, 'an integer is required'),
        (deleter(config, 'load_method'), NotImplementedError, '__del__'),
        (deleter(config, 'show_progress'), NotImplementedError, '__del__'),
        (deleter(config, 'arpa_complain'), NotImplementedError, '__del__'),
        (lambda: pickle.dumps(config), TypeError, 'self._c_config cannot be converted to a Python object for pickling'),
        (lambda: copy.copy(config), TypeError, 'self._c_config cannot be converted to a Python object for pickling'),
        (lambda: config.__setstate__(None), TypeError,
         'self._c_config cannot be converted to a Python object for pickling'),
    ]


def test_failure_table(tiny, tiny_path):
    table = cases(tiny, tiny_path)
    for index, (call, exception, message) in enumerate(table):
        with pytest.raises(exception) as info:
            call()
        assert type(info.value) is exception, index
        if message is not None:
            assert str(info.value) == message, index
    # The model is as it was.
    assert tiny.score('a b') == pytest.approx(-0.9, abs=1e-6)


def test_full_scores_checks_its_sentence_only_when_iterated(tiny):
    generator = tiny.full_scores(5, bos=BadTruth())
    with pytest.raises(TypeError):
        next(generator)
