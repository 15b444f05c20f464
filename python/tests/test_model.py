"""Model construction, loading failures, path, repr, pickling, membership,
subclassing and the resources that failed loads leave behind."""
import gc
import os
import pickle

import pytest

import quarn

from conftest import GENESIS_ARPA, quiet_config


def test_path_is_absolute_bytes_and_repr_shows_its_base_name(tiny_path, monkeypatch):
    monkeypatch.chdir(tiny_path.parent)
    model = quarn.Model('tiny.arpa', quiet_config())
    assert model.path == os.fsencode(tiny_path)
    assert repr(model) == "<Model from b'tiny.arpa'>"
    assert model.order == 3


def test_path_property(tiny_path):
    model = quarn.Model(str(tiny_path), quiet_config())
    model.path = b'/elsewhere/other.arpa'
    assert repr(model) == "<Model from b'other.arpa'>"
    with pytest.raises(TypeError, match='^Expected bytes, got str$'):
        model.path = 'other.arpa'
    del model.path
    assert model.path is None
    with pytest.raises(TypeError):
        repr(model)
    # A pickle made now names no file.
    data = pickle.dumps(model)
    with pytest.raises(TypeError, match="^Cannot convert <class 'NoneType'> to string$"):
        pickle.loads(data)


class BytesPath:
    """A path object that gives bytes, as os.PathLike allows."""

    def __init__(self, path):
        self.path = os.fsencode(path)

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize('make', [str, os.fsencode, lambda path: path, BytesPath],
                         ids=['str', 'bytes', 'pathlib.Path', 'bytes path object'])
def test_path_may_be_any_path_object(tiny_path, tiny, make):
    model = quarn.Model(make(tiny_path), quiet_config())
    assert model.path == os.fsencode(tiny_path)
    assert model.score('a b') == tiny.score('a b')


def test_missing_path_object_names_the_path(tmp_path):
    with pytest.raises(OSError, match=f"^Cannot read model '{tmp_path / 'missing.arpa'}' "):
        quarn.Model(tmp_path / 'missing.arpa')


@pytest.mark.parametrize('path, type_name', [(3, 'int'), (None, 'NoneType'), (bytearray(b'x'), 'bytearray'),
                                             (['tiny.arpa'], 'list')])
def test_path_of_another_type_is_refused(path, type_name):
    with pytest.raises(TypeError, match=f"^Cannot convert <class '{type_name}'> to string$"):
        quarn.Model(path)


def test_order_is_read_only(tiny):
    with pytest.raises(AttributeError):
        tiny.order = 2
    assert tiny.order == 3


def test_membership(tiny):
    assert 'a' in tiny and b'a' in tiny
    assert '<s>' in tiny and '</s>' in tiny
    assert '<unk>' not in tiny and 'zzz' not in tiny and '' not in tiny
    # Only the bytes before a NUL take part.
    assert b'a\0zzz' in tiny
    assert b'zzz\0a' not in tiny


def test_pickle_loads_a_new_model(genesis):
    copy = pickle.loads(pickle.dumps(genesis))
    assert type(copy) is quarn.Model and copy is not genesis
    assert copy.path == genesis.path and copy.order == genesis.order
    assert copy.score('in the beginning') == genesis.score('in the beginning')
    assert genesis.__reduce__() == (quarn.Model, (genesis.path,))


def test_language_model_is_a_model(tiny_path, tiny):
    legacy = quarn.LanguageModel(str(tiny_path), config=quiet_config())
    assert isinstance(legacy, quarn.Model)
    assert legacy.score('a b a') == tiny.score('a b a')
    assert list(legacy.full_scores('b b')) == list(tiny.full_scores('b b'))
    assert legacy.__reduce__() == (quarn.Model, (legacy.path,))
    assert type(pickle.loads(pickle.dumps(legacy))) is quarn.Model


def test_subclasses(tiny_path):
    class MyConfig(quarn.Config):
        pass

    class MyModel(quarn.Model):
        def __init__(self, path):
            super().__init__(path, MyConfig())
            self.extra = 'kept'

    model = MyModel(str(tiny_path))
    assert model.extra == 'kept' and model.order == 3
    assert model.score('a b') == pytest.approx(-0.9, abs=1e-6)


def test_default_and_none_config_load(tiny_path, capfd):
    for model in (quarn.Model(str(tiny_path)), quarn.Model(str(tiny_path), None), quarn.Model(str(tiny_path), config=None)):
        assert model.score('a b') == pytest.approx(-0.9, abs=1e-6)
    capfd.readouterr()


def test_config_is_read_only_during_construction(tiny_path):
    config = quiet_config()
    model = quarn.Model(str(tiny_path), config)
    config.load_method = 7
    assert model.score('a') == pytest.approx(-0.4 - 0.1 - 0.3 - 1.2, abs=1e-6)


def test_missing_file(tmp_path):
    missing = tmp_path / 'missing.arpa'
    for path in (str(missing), os.fsencode(missing)):
        with pytest.raises(OSError) as info:
            quarn.Model(path)
        message = str(info.value)
        assert message.startswith("Cannot read model '{}' (".format(path))
        assert message.endswith(')') and '\n' not in message
        assert type(info.value) is OSError
        assert type(info.value.__cause__) is RuntimeError
        assert str(info.value.__cause__).replace('\n', ' ') in message
        assert 'No such file or directory while opening ' + str(missing) in message
    assert "Cannot read model 'b'" in message


def test_broken_arpa_file(tmp_path):
    broken = tmp_path / 'broken.arpa'
    broken.write_text('\\data\\\nngram 1=2\n\n\\1-grams:\n-1\t<s>\nnot a number\n')
    with pytest.raises(OSError) as info:
        quarn.Model(str(broken), quiet_config())
    assert type(info.value.__cause__) is RuntimeError
    assert 'FormatLoadException' in str(info.value.__cause__) or 'ParseNumberException' in str(info.value.__cause__)


@pytest.mark.parametrize('load_method', [5, 2**32 - 1])
def test_unknown_load_method_fails_cleanly(tiny_path, load_method):
    config = quiet_config()
    config.load_method = load_method
    with pytest.raises(OSError) as info:
        quarn.Model(str(tiny_path), config)
    assert type(info.value.__cause__) is RuntimeError
    assert 'Unknown load method ' in str(info.value)
    assert 'Unknown load method 5' in str(info.value) or load_method != 5


def test_unloaded_model_refuses_queries(tmp_path, tiny_path):
    model = quarn.Model.__new__(quarn.Model)
    assert model.path is None
    failed = quarn.Model(str(tiny_path), quiet_config())
    with pytest.raises(OSError):
        failed.__init__(str(tmp_path / 'missing'))
    assert failed.path == os.fsencode(tmp_path / 'missing')
    state = quarn.State()
    for unloaded in (model, failed):
        for query in (lambda: unloaded.score('a'), lambda: unloaded.score('a', bos=False),
                      lambda: list(unloaded.full_scores('a')), lambda: unloaded.perplexity('a'),
                      lambda: unloaded.BeginSentenceWrite(state), lambda: unloaded.NullContextWrite(state),
                      lambda: unloaded.BaseScore(state, 'a', state), lambda: unloaded.BaseFullScore(state, 'a', state),
                      lambda: 'a' in unloaded, lambda: unloaded.order):
            with pytest.raises(RuntimeError, match='^The model was not loaded$'):
                query()


def test_reinitialising_replaces_the_model(tiny_path):
    model = quarn.Model(str(tiny_path), quiet_config())
    scores = model.full_scores('in the beginning')
    next(scores)
    model.__init__(str(GENESIS_ARPA), quiet_config())
    assert model.path == os.fsencode(GENESIS_ARPA)
    assert 'beginning' in model
    # The running generator never touches the released model.
    assert len(list(scores)) == 3
    # A path that cannot be converted leaves the loaded model alone.
    with pytest.raises(TypeError):
        model.__init__(5)
    assert model.path == os.fsencode(GENESIS_ARPA) and 'beginning' in model


def resident_kb():
    with open('/proc/self/status') as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])


def test_failed_loads_leak_nothing(tmp_path):
    # Large enough tables that leaking one region per load would show: the
    # file ends without \end\, after every n-gram has been stored.
    words = ['w{}'.format(i) for i in range(400)]
    bigrams = [(a, b) for a in words[:40] for b in words[:100]]
    lines = ['\\data\\', 'ngram 1={}'.format(len(words) + 3), 'ngram 2={}'.format(len(bigrams)), '',
             '\\1-grams:', '-1\t<unk>', '-1\t<s>\t-0.5', '-1\t</s>']
    lines += ['-2\t{}\t-0.25'.format(w) for w in words]
    lines += ['', '\\2-grams:'] + ['-1\t{} {}'.format(a, b) for a, b in bigrams] + ['']
    broken = tmp_path / 'truncated.arpa'
    broken.write_text('\n'.join(lines))
    config = quiet_config()

    def load_many(count):
        for _ in range(count):
            try:
                quarn.Model(str(broken), config)
            except OSError as exception:
                assert 'End of file' in str(exception)
            else:
                raise AssertionError('loaded a truncated file')

    load_many(100)
    gc.collect()
    fds, rss = len(os.listdir('/proc/self/fd')), resident_kb()
    load_many(1000)
    gc.collect()
    assert len(os.listdir('/proc/self/fd')) == fds
    assert resident_kb() - rss < 1024
