"""querymodel as installed by pip: its per-word results, sentence totals and
summary agree with quarn.Model on the same text, in text and JSON output,
whatever the options; failures give a clear message and the right exit
status."""
import gzip
import json
import math
import struct
import subprocess

import pytest

import quarn

from conftest import GENESIS_ARPA, REPO, SCRIPTS, TINY_ARPA, quiet_config, run_tool

# Known and unknown words, an empty line, blank runs, and words that JSON
# must escape.
TEXT = ('in the beginning god created the heaven and the earth .\n'
        'and  unheardof\twords too\n'
        '\n'
        'and god said , let there be light : and there was light .\n'
        'say "hi" \\ back \x01 \u00e9t\u00e9\n')


def f32(x):
    return struct.unpack('f', struct.pack('f', x))[0]


def query(*arguments, stdin=TEXT):
    result = run_tool('querymodel', '-n', *arguments, stdin=stdin)
    assert result.returncode == 0, result.stderr
    return result


def json_lines(*arguments, stdin=TEXT):
    return [json.loads(line) for line in query('-j', *arguments, stdin=stdin).stdout.splitlines()]


def expected_summary(model, lines, bos_eos):
    """The summary worked out from full_scores."""
    scores = [score for line in lines for score in model.full_scores(line, bos_eos, bos_eos)]
    in_vocabulary = [log_prob for log_prob, _, oov in scores if not oov]
    total = sum(log_prob for log_prob, _, _ in scores)
    return {'sentences': len(lines), 'words': sum(len(line.encode().split()) for line in lines),
            'oovs': len(scores) - len(in_vocabulary), 'total': total,
            'perplexity': 10 ** (-total / len(scores)),
            'perplexity_excluding_oovs': 10 ** (-sum(in_vocabulary) / len(in_vocabulary))}


@pytest.fixture(scope='module')
def genesis_binary(tmp_path_factory):
    path = tmp_path_factory.mktemp('querymodel') / 'genesis.binary'
    assert run_tool('packmodel', '-n', GENESIS_ARPA, path).returncode == 0
    return path


@pytest.mark.parametrize('fragments', [False, True], ids=['sentences', 'fragments'])
@pytest.mark.parametrize('model_file', ['arpa', 'binary'])
def test_json_agrees_with_the_module(genesis, genesis_binary, model_file, fragments):
    path = GENESIS_ARPA if model_file == 'arpa' else genesis_binary
    *sentences, summary = json_lines(*(['-f'] if fragments else []), path)
    lines = TEXT.splitlines()
    assert len(sentences) == len(lines)
    for line, sentence in zip(lines, sentences):
        words = line.split() + ([] if fragments else ['</s>'])
        expected = list(genesis.full_scores(line, not fragments, not fragments))
        assert [w['word'] for w in sentence['words']] == words
        assert [(f32(w['log_prob']), w['ngram_length'], w['oov']) for w in sentence['words']] == expected
        assert f32(sentence['total']) == genesis.score(line, not fragments, not fragments)
        assert sentence['oovs'] == sum(oov for _, _, oov in expected)
        assert sentence['type'] == 'sentence'
    expected = expected_summary(genesis, lines, not fragments)
    assert {key: summary[key] for key in expected} == pytest.approx(expected, rel=1e-9)
    assert summary['oovs'] > 0
    assert summary['type'] == 'summary'
    assert summary['load_seconds'] > 0 and summary['query_seconds'] > 0


def parse_text(output):
    """Per-sentence lists of (word, log10 probability, n-gram length, OOV)
    with their total lines, and the summary as a dict."""
    sentences, words = [], []
    summary = {}
    for line in output.splitlines():
        if line.startswith('Total: '):
            sentences.append((words, line))
            words = []
        elif '\t' in line:
            word, log_prob, length, *oov = line.split('\t')
            words.append((word, f32(float(log_prob)), int(length), oov == ['OOV']))
        else:
            key, value = line.split(': ')
            summary[key] = value
    assert words == []
    return sentences, summary


def test_text_output_shows_what_json_does(genesis_binary):
    sentences, summary = parse_text(query(genesis_binary).stdout)
    *json_sentences, json_summary = json_lines(genesis_binary)
    for (words, total_line), sentence in zip(sentences, json_sentences):
        assert words == [(w['word'], f32(w['log_prob']), w['ngram_length'], w['oov']) for w in sentence['words']]
        total, oovs = total_line.split('\t')
        assert f32(float(total.split()[1])) == f32(sentence['total'])
        assert oovs == f"OOVs: {sentence['oovs']}"
    assert len(sentences) == len(json_sentences)
    assert [summary[key] for key in ('Sentences', 'Words', 'OOVs')] == [
        str(json_summary[key]) for key in ('sentences', 'words', 'oovs')]
    for key, json_key in [('Total log10 probability', 'total'), ('Perplexity including OOVs', 'perplexity'),
                          ('Perplexity excluding OOVs', 'perplexity_excluding_oovs')]:
        assert float(summary[key]) == pytest.approx(json_summary[json_key], rel=1e-8)
    assert summary['Load time'].endswith(' s') and summary['Query time'].endswith(' s')


def test_summary_only(genesis_binary):
    text = query('-s', genesis_binary).stdout.splitlines()
    assert [line.split(': ')[0] for line in text] == [
        'Sentences', 'Words', 'OOVs', 'Total log10 probability', 'Perplexity including OOVs',
        'Perplexity excluding OOVs', 'Load time', 'Query time']
    [summary] = json_lines('-s', genesis_binary)
    assert summary['type'] == 'summary' and summary['sentences'] == len(TEXT.splitlines())


def without_times(output):
    return [line for line in output.splitlines() if 'time' not in line and '_seconds' not in line]


# More lines than one block of the threaded scorer holds (16384), in blocks
# split among the threads, with the lines of TEXT among them.
MANY_LINES = (TEXT + (REPO / 'data' / 'kjv-genesis-exodus.txt').read_text()) * 7


@pytest.mark.parametrize('output', [['-s'], ['-S'], ['-s', '-j'], ['-S', '-j'], ['-S', '-f']],
                         ids=' '.join)
def test_threads_give_the_same_totals_bit_for_bit(genesis_binary, output):
    one = without_times(query(*output, genesis_binary, stdin=MANY_LINES).stdout)
    for threads in ['0', '2', '3']:
        assert without_times(query('-t', threads, *output, genesis_binary, stdin=MANY_LINES).stdout) == one


def test_sentence_totals_agree_with_the_module(genesis, genesis_binary):
    *sentences, summary = json_lines('-S', '-t', '2', genesis_binary, stdin=MANY_LINES)
    lines = MANY_LINES.splitlines()
    assert len(sentences) == len(lines)
    for line, sentence in zip(lines, sentences):
        assert 'words' not in sentence
        assert f32(sentence['total']) == genesis.score(line)
    assert summary['sentences'] == len(lines)
    text_totals = [line for line in query('-S', genesis_binary, stdin=TEXT).stdout.splitlines()
                   if line.startswith('Total: ')]
    assert len(text_totals) == len(TEXT.splitlines())


def test_per_word_output_ignores_threads(genesis_binary):
    assert without_times(query('-t', '2', genesis_binary).stdout) == without_times(query(genesis_binary).stdout)


@pytest.mark.parametrize('method', ['lazy', 'populate-or-lazy', 'populate-or-read', 'read'])
def test_every_load_method_gives_the_same_scores(genesis_binary, method):
    assert json_lines('-l', method, genesis_binary)[:-1] == json_lines(genesis_binary)[:-1]


def test_files_and_standard_input_are_read_in_order(tmp_path, genesis_binary):
    first = tmp_path / 'first.txt'
    first.write_text('and god said\n')
    sentences = json_lines(genesis_binary, first, '-', first, stdin='let there be light\n')[:-1]
    assert [[w['word'] for w in s['words']] for s in sentences] == [
        ['and', 'god', 'said', '</s>'], ['let', 'there', 'be', 'light', '</s>'], ['and', 'god', 'said', '</s>']]


def test_nothing_to_score(genesis_binary):
    [summary] = json_lines(genesis_binary, stdin='')
    assert summary['sentences'] == summary['words'] == 0
    assert summary['perplexity'] is None and summary['perplexity_excluding_oovs'] is None
    text = query(genesis_binary, stdin='').stdout
    assert 'Perplexity including OOVs: nan\n' in text


def test_progress_bar_unless_n():
    shown = run_tool('querymodel', GENESIS_ARPA, stdin='')
    silent = run_tool('querymodel', '-n', GENESIS_ARPA, stdin='')
    assert '----5---10' in shown.stderr
    assert '----5---10' not in silent.stderr


@pytest.fixture
def inputs(tmp_path, genesis_binary):
    (tmp_path / 'text.gz').write_bytes(gzip.compress(TEXT.encode()))
    (tmp_path / 'tiny.arpa.gz').write_bytes(gzip.compress(TINY_ARPA.encode()))
    (tmp_path / 'folder').mkdir()
    return tmp_path


# The library's refusal of compressed input, and what to do.
GZIP_ADVICE = 'gzip support was not compiled in.\nquerymodel: decompress it first (for example gunzip -k FILE)\n'

# (arguments, exit status, text in the message); status 2 also shows the usage.
# Loading ARPA text may print its notice first.
FAILURES = [
    (['missing.binary'], 1, 'No such file or directory while opening missing.binary'),
    (['tiny.arpa.gz'], 1, GZIP_ADVICE),
    (['folder'], 1, 'folder is a directory, not a language model file.'),
    (['GENESIS', 'missing.txt'], 1, 'No such file or directory while opening missing.txt'),
    (['GENESIS', 'text.gz'], 1, GZIP_ADVICE),
    (['GENESIS', 'folder'], 1, 'folder is a directory, not a text file\n'),
    ([], 2, 'no MODEL given'),
    (['-l', 'sometimes', 'GENESIS'], 2, "-l takes one of lazy, populate-or-lazy, populate-or-read, read, "
                                        "not 'sometimes'"),
    (['-z', 'GENESIS'], 2, 'unknown option -z'),
    (['GENESIS', '-l'], 2, '-l needs a value'),
    (['-t', '1025', 'GENESIS'], 2, "-t takes a thread count from 0 to 1024, not '1025'"),
    (['-t', 'two', 'GENESIS'], 2, "-t takes a thread count from 0 to 1024, not 'two'"),
]


@pytest.mark.parametrize('arguments, status, message', FAILURES, ids=[' '.join(f[0]) or 'none' for f in FAILURES])
def test_failures(inputs, genesis_binary, arguments, status, message):
    arguments = [genesis_binary if a == 'GENESIS' else a for a in arguments]
    before = sorted(inputs.iterdir())
    result = run_tool('querymodel', '-n', *arguments, stdin=TEXT, cwd=inputs)
    assert result.returncode == status
    assert message in result.stderr.split('querymodel: ', 1)[1]
    # The lines a person acts on, without the library's header line.
    assert ' threw ' not in result.stderr
    assert ('Usage: querymodel' in result.stderr) == (status == 2)
    assert result.stdout == ''
    assert sorted(inputs.iterdir()) == before


def test_help():
    result = run_tool('querymodel', '-h')
    assert result.returncode == 0
    assert result.stdout.startswith('Usage: querymodel [options] MODEL [FILE...]\n')
    assert 'per-word output is scored on\n             one thread' in result.stdout


def test_v_shows_where_the_library_raised(tmp_path):
    plain = run_tool('querymodel', '-n', tmp_path / 'missing.binary')
    verbose = run_tool('querymodel', '-n', '-v', tmp_path / 'missing.binary')
    assert plain.returncode == verbose.returncode == 1
    assert plain.stderr == f'querymodel: No such file or directory while opening {tmp_path / "missing.binary"}\n'
    header, message = verbose.stderr.split('\n', 1)
    assert header.startswith('querymodel: util/file:') and ' threw ErrnoException because ' in header
    assert plain.stderr == 'querymodel: ' + message


def test_an_empty_text_file_has_no_sentences(tmp_path, genesis_binary):
    empty = tmp_path / 'empty.txt'
    empty.write_bytes(b'')
    [summary] = json_lines(genesis_binary, empty)
    assert summary['sentences'] == 0
    with open(empty, 'rb') as stdin:
        result = subprocess.run([str(SCRIPTS / 'querymodel'), '-n', '-j', str(genesis_binary)], stdin=stdin,
                                capture_output=True)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)['sentences'] == 0


# Words that are not UTF-8: lone continuation bytes, a truncated sequence, an
# overlong form, a surrogate, a code point above U+10FFFF, Latin-1, and valid
# text between them.
INVALID_UTF8 = [b'\x80', b'ab\xbf\xbfcd', b'\xe2\x82', b'\xe2\x82x', b'\xc0\xaf', b'\xed\xa0\x80',
                b'\xf4\x90\x80\x80', b'caf\xe9', b'\xf0\x9f\x98', b'\xf0\x9f\x98\x80\xff', b'\xfe\xff',
                b'ok\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80']


def test_json_is_valid_for_any_bytes(genesis_binary):
    text = b'\n'.join([b' '.join(INVALID_UTF8), *INVALID_UTF8, b'"\\\x01\x7f'])
    result = subprocess.run([str(SCRIPTS / 'querymodel'), '-n', '-j', str(genesis_binary)], input=text + b'\n',
                            capture_output=True)
    assert result.returncode == 0, result.stderr
    # Strict UTF-8 and strict JSON throughout.
    lines = result.stdout.decode('utf-8').splitlines()
    sentences = [json.loads(line) for line in lines[:-1]]
    expected = [line.split() for line in text.split(b'\n')]
    assert [[w['word'] for w in s['words']][:-1] for s in sentences] == [
        [word.decode('utf-8', 'replace') for word in words] for words in expected]
    assert '\ufffd' in sentences[1]['words'][0]['word']


def test_help_says_what_json_does_with_bytes():
    assert 'U+FFFD' in run_tool('querymodel', '-h').stdout
