"""quarn.estimate: the same model from a path, an iterable of str or bytes
lines and compressed text; binary models that score as the ARPA file; the
result that describes the model; and errors that raise, leave no file and
keep the iterable's own exception."""
import bz2
import gzip
import lzma
import os
import pathlib

import pytest

import quarn

from conftest import REPO, quiet_config

TEXT = REPO / 'data' / 'kjv-genesis-exodus.txt'
SENTENCES = ['in the beginning god created the heaven and the earth .', 'and moses said unto the lord',
             'unheardof words here']


@pytest.fixture(scope='module')
def reference(tmp_path_factory):
    """The order-3 model of TEXT, estimated from its path."""
    path = tmp_path_factory.mktemp('reference') / 'model.arpa'
    result = quarn.estimate(str(TEXT), 3, str(path), show_progress=False)
    return path, result


def test_the_result_describes_the_arpa_file(reference):
    path, result = reference
    lines = TEXT.read_text().splitlines()
    assert result.lines == len(lines)
    assert result.tokens == sum(len(line.split()) for line in lines)
    header = [line for line in path.read_text().splitlines()[1:4]]
    assert header == [f'ngram {n + 1}={order.ngrams}' for n, order in enumerate(result.orders)]
    assert result.vocabulary == result.orders[0].ngrams
    for order in result.orders:
        assert len(order.count_of_counts) == 4 and all(t > 0 for t in order.count_of_counts)
        assert all(0 < d < k for k, d in zip((1, 2, 3), order.discounts))
        assert not order.fallback_used


@pytest.mark.parametrize('how', ['path object', 'str lines', 'bytes lines', 'generator', 'gzip', 'bzip2', 'xz',
                                 'one thread'])
def test_every_kind_of_text_gives_the_same_bytes(tmp_path, reference, how):
    data = TEXT.read_bytes()
    compressors = {'gzip': gzip.compress, 'bzip2': bz2.compress, 'xz': lzma.compress}
    if how in compressors:
        text = tmp_path / 'text.compressed'
        text.write_bytes(compressors[how](data))
    elif how in ('path object', 'one thread'):
        text = TEXT
    elif how == 'str lines':
        text = data.decode().splitlines(keepends=True)
    elif how == 'bytes lines':
        text = data.splitlines()
    else:
        text = (line for line in data.decode().splitlines())
    output = tmp_path / 'model.arpa'
    quarn.estimate(text, 3, output, memory=1 << 20, threads=1 if how == 'one thread' else 2, show_progress=False)
    assert output.read_bytes() == reference[0].read_bytes()


@pytest.mark.parametrize('binary', ['probing', 'trie', 'quant_array_trie'])
def test_binary_models_score_as_the_arpa_file(tmp_path, reference, binary):
    output = tmp_path / 'model.binary'
    result = quarn.estimate(TEXT, 3, output, binary=binary, temp_prefix=tmp_path / 'tmp', show_progress=False)
    assert result == reference[1]
    assert sorted(p.name for p in tmp_path.iterdir()) == ['model.binary']
    arpa, packed = quarn.Model(str(reference[0]), quiet_config()), quarn.Model(output, quiet_config())
    # 8-bit quantized values are within a few hundredths of their own per word.
    per_word = 0.04 if binary.startswith('quant') else 1e-6
    for sentence in SENTENCES:
        tolerance = per_word * (len(sentence.split()) + 1)
        assert packed.score(sentence) == pytest.approx(arpa.score(sentence), abs=tolerance)


def test_the_fallback_replaces_discounts_that_cannot_be_estimated(tmp_path):
    lines = ['a b c', 'a b d', 'b c d']
    with pytest.raises(RuntimeError, match='--discount-fallback'):
        quarn.estimate(lines, 2, tmp_path / 'refused.arpa', show_progress=False)
    default = quarn.estimate(lines, 2, tmp_path / 'default.arpa', discount_fallback=True, show_progress=False)
    assert any(order.fallback_used for order in default.orders)
    given = quarn.estimate(lines, 2, tmp_path / 'given.arpa', discount_fallback=(0.4, 0.9, 1.2),
                           show_progress=False)
    used = [order.discounts for order in given.orders if order.fallback_used]
    assert used and all(discounts == (0.4, 0.9, 1.2) for discounts in used)
    assert sorted(p.name for p in tmp_path.iterdir()) == ['default.arpa', 'given.arpa']


def test_a_pruned_model_is_smaller_and_loads_as_every_type(tmp_path, reference):
    pruned = quarn.estimate(TEXT, 3, tmp_path / 'pruned.arpa', prune=[1], show_progress=False)
    full = reference[1]
    assert pruned.orders[0].ngrams == full.orders[0].ngrams
    assert all(p.ngrams < f.ngrams for p, f in zip(pruned.orders[1:], full.orders[1:]))
    # Count-of-counts and discounts are those of every n-gram, before pruning.
    assert [o.discounts for o in pruned.orders] == [o.discounts for o in full.orders]
    arpa = quarn.Model(tmp_path / 'pruned.arpa', quiet_config())
    for binary in ['probing', 'trie', 'quant_array_trie']:
        output = tmp_path / f'pruned.{binary}'
        assert quarn.estimate(TEXT, 3, output, prune=[1], binary=binary, show_progress=False) == pruned
        per_word = 0.04 if binary.startswith('quant') else 1e-6
        packed = quarn.Model(output, quiet_config())
        for sentence in SENTENCES:
            tolerance = per_word * (len(sentence.split()) + 1)
            assert packed.score(sentence) == pytest.approx(arpa.score(sentence), abs=tolerance)


def test_a_word_list_makes_the_other_words_unknown(tmp_path):
    words = tmp_path / 'words.txt'
    words.write_text('a b\n<s>\tzebra\n')
    lines = ['a b c', 'b c d a', 'a a e']
    limited = quarn.estimate(lines, 2, tmp_path / 'limited.arpa', limit_vocab=words, discount_fallback=True,
                             show_progress=False)
    mapped = [' '.join(w if w in {'a', 'b'} else '<unk>' for w in line.split()) for line in lines]
    same = quarn.estimate(mapped, 2, tmp_path / 'mapped.arpa', discount_fallback=True, show_progress=False)
    assert limited == same and limited.vocabulary == 5
    assert (tmp_path / 'limited.arpa').read_bytes() == (tmp_path / 'mapped.arpa').read_bytes()


def failing_lines():
    yield 'a b c'
    raise KeyError('the iterable failed')


# (text, keyword arguments, exception, text in its message)
FAILURES = [
    (['a <s> b'], {}, RuntimeError, 'the lines given line 1: <s> and </s> may not appear'),
    (['a b', 'c </s>'], {}, RuntimeError, 'the lines given line 2'),
    ([b'a\0b'], {}, RuntimeError, 'NUL'),
    ([], {}, RuntimeError, 'holds no word'),
    (['', '  \t'], {}, RuntimeError, 'holds no word'),
    ('missing.txt', {}, RuntimeError, 'missing.txt'),
    (failing_lines(), {}, KeyError, 'the iterable failed'),
    ([b'a', 3], {}, TypeError, 'Cannot convert'),
    (['a b'], {'order': 0}, RuntimeError, 'the order must be 1 to 12, not 0'),
    (['a b'], {'order': 13}, RuntimeError, 'the order must be 1 to 12, not 13'),
    (['a b'], {'order': 7, 'binary': 'probing'}, ValueError, 'a binary model needs an order from 2 to'),
    (['a b'], {'binary': 'hashed'}, ValueError, "not 'hashed'"),
    (['a b'], {'discount_fallback': (0.5, 2.5, 1.5)}, RuntimeError, 'D2=2.5 is not strictly between 0 and 2'),
    (['a b'], {'discount_fallback': (0.5, 1)}, ValueError, 'three discounts'),
    (['a b'], {'prune': (2, 1)}, RuntimeError, 'pruning thresholds must not decrease with the order'),
    (['a b'], {'prune': (0, 1, 1)}, RuntimeError, 'a model of order 3 takes at most 2 pruning thresholds'),
    (['a b'], {'prune': (1, -1)}, ValueError, 'prune takes counts of 0 or more, not -1'),
    (['a b'], {'threads': -1}, ValueError, 'threads takes a count of 0'),
    (['a b'], {'limit_vocab': 'nowords.txt'}, RuntimeError, 'nowords.txt'),
    (['a b'], {'memory': '3Q'}, RuntimeError, '3Q'),
    (['a b'], {'temp_prefix': 'nodir/tmp'}, RuntimeError, 'nodir/tmp'),
    (['a b'], {'output': 'nodir/model.arpa'}, RuntimeError, 'cannot create a file beside nodir/model.arpa'),
]


@pytest.mark.parametrize('text, arguments, error, message', FAILURES,
                         ids=[f'{i}-{f[3][:30]}' for i, f in enumerate(FAILURES)])
def test_failures_raise_and_leave_no_file(tmp_path, monkeypatch, text, arguments, error, message):
    monkeypatch.chdir(tmp_path)
    arguments = {'order': 3, 'output': 'model.arpa', 'discount_fallback': True, 'show_progress': False,
                 **arguments}
    order, output = arguments.pop('order'), arguments.pop('output')
    with pytest.raises(error, match=message.replace('(', r'\(')):
        quarn.estimate(text, order, output, **arguments)
    assert list(pathlib.Path('.').iterdir()) == []


def test_progress_and_summary_go_to_standard_error(tmp_path, capfd):
    quarn.estimate(SENTENCES * 20, 2, tmp_path / 'model.arpa', discount_fallback=True)
    err = capfd.readouterr().err
    assert 'Order 2:' in err and 'Stage counting' in err
    quarn.estimate(SENTENCES * 20, 2, tmp_path / 'quiet.arpa', discount_fallback=True, show_progress=False)
    assert capfd.readouterr().err == ''


def test_a_model_of_many_lines_in_little_memory_loads_and_scores(tmp_path):
    lines = TEXT.read_text().splitlines()
    output = tmp_path / 'model.arpa'
    backwards = [' '.join(reversed(line.split())) for line in lines]
    quarn.estimate(lines + backwards, 4, output, memory=64 << 10, show_progress=False)
    model = quarn.Model(output, quiet_config())
    assert model.order == 4
    assert os.path.getsize(output) > 0
    assert all(model.score(sentence) < 0 for sentence in SENTENCES)


def pieces_of(lines, sizes):
    """`lines` cut into consecutive pieces of `sizes` lines."""
    pieces, begin = [], 0
    for size in sizes:
        pieces.append(lines[begin:begin + size])
        begin += size
    assert begin == len(lines)
    return pieces


@pytest.mark.parametrize('binary', [None, 'trie'])
def test_counted_pieces_merge_into_the_whole_text_s_model(tmp_path, reference, binary):
    lines = TEXT.read_text().splitlines()
    half = len(lines) // 2
    counts = []
    for i, piece in enumerate(pieces_of(lines, [0, half, 1, 0, len(lines) - half - 1])):
        counts.append(tmp_path / f'{i}.counts')
        counted = quarn.estimate(piece, 3, counts[-1], counts_only=True, memory='2M', threads=1 + i % 2,
                                 show_progress=False)
        assert (counted.lines, counted.orders) == (len(piece), [])
    output = tmp_path / 'merged.model'
    result = quarn.estimate_from_counts(counts, output, memory='1M', binary=binary, temp_prefix=tmp_path / 'tmp',
                                        show_progress=False)
    assert result == reference[1]
    if binary is None:
        assert output.read_bytes() == reference[0].read_bytes()
    else:
        expected = tmp_path / 'whole.model'
        quarn.estimate(TEXT, 3, expected, binary=binary, show_progress=False)
        assert output.read_bytes() == expected.read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([c.name for c in counts] + [output.name] +
                                                                ([] if binary is None else ['whole.model']))


@pytest.fixture
def count_files(tmp_path):
    for order in (2, 3):
        quarn.estimate(['a b c', 'b c a'], order, tmp_path / f'{order}.counts', counts_only=True,
                       show_progress=False)
    (tmp_path / 'cut.counts').write_bytes((tmp_path / '3.counts').read_bytes()[:-8])
    (tmp_path / 'empty.counts').write_bytes(b'')
    quarn.estimate([''], 3, tmp_path / 'blank.counts', counts_only=True, show_progress=False)
    return tmp_path


# (count files, keyword arguments, exception, text in its message)
COUNT_FAILURES = [
    (['3.counts', '2.counts'], {}, RuntimeError, 'the count file 2.counts has order 2, but 3.counts has order 3'),
    (['cut.counts'], {}, RuntimeError, 'the count file cut.counts is truncated'),
    (['empty.counts'], {}, RuntimeError, 'the count file empty.counts is truncated'),
    (['blank.counts'], {}, RuntimeError, 'the count files hold no word'),
    (['missing.counts'], {}, RuntimeError, 'missing.counts'),
    ([], {}, ValueError, 'at least one count file'),
    (['2.counts'], {'binary': 'hashed'}, ValueError, "not 'hashed'"),
]


@pytest.mark.parametrize('counts, arguments, error, message', COUNT_FAILURES,
                         ids=[f'{i}-{f[3][:30]}' for i, f in enumerate(COUNT_FAILURES)])
def test_count_file_failures_raise_and_leave_no_file(count_files, monkeypatch, counts, arguments, error, message):
    monkeypatch.chdir(count_files)
    before = sorted(count_files.iterdir())
    with pytest.raises(error, match=message):
        quarn.estimate_from_counts(counts, 'model.arpa', show_progress=False, **arguments)
    assert sorted(count_files.iterdir()) == before


def test_counts_only_takes_no_binary(tmp_path):
    with pytest.raises(ValueError, match='takes no binary'):
        quarn.estimate(['a b'], 3, tmp_path / 'x.counts', counts_only=True, binary='trie')
    assert list(tmp_path.iterdir()) == []
