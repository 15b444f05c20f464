"""estimatemodel as installed by pip: it writes what quarn.estimate writes,
from files, standard input and compressed text, as ARPA or binary; every
failure gives a clear message, the right exit status and no stray file; a
signal while it reads leaves nothing behind."""
import gzip
import os
import signal
import subprocess
import time

import pytest

import quarn

from conftest import REPO, SCRIPTS, quiet_config, run_tool

TEXT = REPO / 'data' / 'kjv-genesis-exodus.txt'


@pytest.fixture(scope='module')
def reference(tmp_path_factory):
    """quarn.estimate's order-3 model of TEXT."""
    path = tmp_path_factory.mktemp('reference') / 'model.arpa'
    quarn.estimate(TEXT, 3, path, show_progress=False)
    return path.read_bytes()


def test_files_standard_input_and_compressed_text_give_the_module_s_model(tmp_path, reference):
    lines = TEXT.read_bytes().splitlines(keepends=True)
    half = len(lines) // 2
    (tmp_path / 'first.txt').write_bytes(b''.join(lines[:half]))
    (tmp_path / 'second.gz').write_bytes(gzip.compress(b''.join(lines[half:])))
    runs = {
        'one file': run_tool('estimatemodel', '-n', '-o', '3', TEXT, tmp_path / 'a.arpa'),
        'two files, one compressed': run_tool('estimatemodel', '-n', '-o', '3', '-S', '1M', tmp_path / 'first.txt',
                                              tmp_path / 'second.gz', tmp_path / 'b.arpa'),
        'standard input': run_tool('estimatemodel', '-n', '-o', '3', tmp_path / 'c.arpa', stdin=TEXT.read_text()),
        'one thread': run_tool('estimatemodel', '-n', '-t', '1', '-o', '3', '-S', '1M', TEXT, tmp_path / 'd.arpa'),
        'one per processor': run_tool('estimatemodel', '-n', '-t', '0', '-o', '3', TEXT, tmp_path / 'e.arpa'),
    }
    for name, result in runs.items():
        assert result.returncode == 0, (name, result.stderr)
    for output in 'abcde':
        assert (tmp_path / f'{output}.arpa').read_bytes() == reference
    # The summary: counts and discounts per order, time and memory per stage.
    assert 'Order 3:' in runs['one file'].stderr and 'Stage counting' in runs['one file'].stderr


def test_binary_output_takes_the_structure_options(tmp_path):
    output = tmp_path / 'model.trie'
    result = run_tool('estimatemodel', '-n', '-o', '3', '--binary', 'trie', '-q', '9', '-a', '20', TEXT, output)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ['model.trie']
    model = quarn.Model(output, quiet_config())
    assert model.order == 3 and model.score('and moses said unto the lord') < 0


def test_the_fallback_with_and_without_values(tmp_path):
    text = tmp_path / 'small.txt'
    text.write_text('a b c\na b d\nb c d\n')
    refused = run_tool('estimatemodel', '-n', '-o', '2', text, tmp_path / 'refused.arpa')
    assert refused.returncode == 1 and '--discount-fallback' in refused.stderr
    assert run_tool('estimatemodel', '-n', '-o', '2', '--discount-fallback', text, tmp_path / 'a.arpa').returncode == 0
    given = run_tool('estimatemodel', '-n', '-o', '2', '--discount-fallback', '0.4', '0.9', '1.2', text,
                     tmp_path / 'b.arpa')
    assert given.returncode == 0 and '0.4 0.9 1.2' in given.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ['a.arpa', 'b.arpa', 'small.txt']


def test_pruning_and_a_word_list_write_the_module_s_model(tmp_path):
    words = tmp_path / 'words.txt'
    words.write_text('and the lord\nsaid unto moses god\n')
    result = run_tool('estimatemodel', '-n', '-o', '4', '--prune', '0', '1', '--limit-vocab', words,
                      '--discount-fallback', TEXT, tmp_path / 'tool.arpa')
    assert result.returncode == 0, result.stderr
    quarn.estimate(TEXT, 4, tmp_path / 'module.arpa', prune=[0, 1], limit_vocab=words, discount_fallback=True,
                   show_progress=False)
    assert (tmp_path / 'tool.arpa').read_bytes() == (tmp_path / 'module.arpa').read_bytes()


def test_counted_pieces_merge_into_the_whole_text_s_model(tmp_path, reference):
    """Cut at line ends into pieces (one empty, one a single line, one
    compressed), counted one by one and merged, the text gives the bytes of
    its model, as ARPA and as binary."""
    lines = TEXT.read_bytes().splitlines(keepends=True)
    third = len(lines) // 3
    pieces = {'a.txt': b''.join(lines[:third]), 'empty.txt': b'', 'one.txt': lines[third],
              'b.gz': gzip.compress(b''.join(lines[third + 1:]))}
    counts = []
    for name, data in pieces.items():
        (tmp_path / name).write_bytes(data)
        counts.append(tmp_path / f'{name}.counts')
        result = run_tool('estimatemodel', '-n', '--counts-only', '-o', '3', '-S', '2M', tmp_path / name, counts[-1])
        assert result.returncode == 0, result.stderr
    merged = run_tool('estimatemodel', '-n', '--from-counts', '-S', '1M', *counts, tmp_path / 'merged.arpa')
    assert merged.returncode == 0, merged.stderr
    assert (tmp_path / 'merged.arpa').read_bytes() == reference
    assert f'Lines {len(lines)},' in merged.stderr and 'Stage merging counts' in merged.stderr
    binary = run_tool('estimatemodel', '-n', '--from-counts', '-o', '3', '--binary', 'probing', *counts,
                      tmp_path / 'merged.probing')
    assert binary.returncode == 0, binary.stderr
    assert quarn.Model(tmp_path / 'merged.probing', quiet_config()).order == 3


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / 'text.txt').write_text('a b c\nb c a\n')
    (tmp_path / 'bad.txt').write_text('a b\nc <s> d\n')
    (tmp_path / 'empty.txt').write_text('')
    (tmp_path / 'blank.txt').write_text('\n  \n')
    (tmp_path / 'cut.gz').write_bytes(gzip.compress(TEXT.read_bytes())[:5000])
    (tmp_path / 'folder').mkdir()
    for order in (2, 3):
        subprocess.run([SCRIPTS / 'estimatemodel', '-n', '--counts-only', '-o', str(order), tmp_path / 'text.txt',
                        tmp_path / f'{order}.counts'], check=True, capture_output=True)
    (tmp_path / 'cut.counts').write_bytes((tmp_path / '3.counts').read_bytes()[:-8])
    return tmp_path


# (arguments, exit status, text in the message); status 2 also shows the usage.
FAILURES = [
    (['-o', '3', 'bad.txt', 'out'], 1, 'bad.txt line 2: <s> and </s> may not appear in the text'),
    (['-o', '3', 'empty.txt', 'out'], 1, 'holds no word'),
    (['-o', '3', 'blank.txt', 'out'], 1, 'holds no word'),
    (['-o', '3', 'cut.gz', 'out'], 1, 'cut.gz ends inside gzip data: the file is truncated'),
    (['-o', '3', 'missing.txt', 'out'], 1, 'No such file or directory while opening missing.txt'),
    (['-o', '3', 'folder', 'out'], 1, 'folder'),
    (['-o', '3', 'text.txt', 'nodir/out'], 1, 'cannot create a file beside nodir/out'),
    (['-o', '3', '-T', 'nodir/tmp', 'text.txt', 'out'], 1, 'nodir/tmp'),
    (['-o', '3', 'text.txt', 'text.txt'], 1, 'OUTPUT text.txt is the text file text.txt'),
    (['-o', '3', '--discount-fallback', '0.5', '2.5', '1.5', 'text.txt', 'out'], 1,
     'D2=2.5 is not strictly between 0 and 2'),
    (['-o', '2', '--binary', 'trie', '-q', '40', 'text.txt', 'out'], 1, 'quantizing probability supports at most'),
    (['-o', '0', 'text.txt', 'out'], 2, "-o takes an order from 1 to 12, not '0'"),
    (['-o', '13', 'text.txt', 'out'], 2, "-o takes an order from 1 to 12, not '13'"),
    (['text.txt', 'out'], 2, '-o ORDER is required'),
    (['-o', '3'], 2, 'expected [TEXT...] OUTPUT'),
    (['-o', '7', '--binary', 'probing', 'text.txt', 'out'], 2, '--binary needs an order from 2 to'),
    (['-o', '3', '--binary', 'hashed', 'text.txt', 'out'], 2, "TYPE is probing or trie, not 'hashed'"),
    (['-o', '3', '--binary'], 2, '--binary needs a TYPE'),
    (['-o', '3', '--binary', 'probing', '-q', '8', 'text.txt', 'out'], 2, '-q, -b and -a need TYPE trie'),
    (['-o', '3', '-p', '2', 'text.txt', 'out'], 2, '-p, -r, -R, -q, -b and -a need --binary TYPE'),
    (['-o', '3', '--discount-fallback', '0.5', '1', 'text.txt', 'out'], 2, 'takes three discounts D1 D2 D3 or none'),
    (['-o', '3', '--prune', 'text.txt', 'out'], 2, '--prune takes one or more thresholds T2 T3'),
    (['-o', '3', '--prune', '2', '1', 'text.txt', 'out'], 1, 'pruning thresholds must not decrease with the order'),
    (['-o', '3', '--prune', '0', '1', '1', 'text.txt', 'out'], 1, 'a model of order 3 takes at most 2 pruning'),
    (['-o', '3', '--limit-vocab', 'missing.txt', 'text.txt', 'out'], 1, 'while opening missing.txt'),
    (['-o', '3', 'text.txt', 'out', '--limit-vocab'], 2, '--limit-vocab needs a FILE'),
    (['-o', '3', '-S', '3Q', 'text.txt', 'out'], 2, 'the allowed suffixes are bKMGTPEZY%'),
    (['-o', '3', '-t', 'two', 'text.txt', 'out'], 2, "-t takes a thread count from 0 to"),
    (['--from-counts', '3.counts', '2.counts', 'out'], 1,
     'the count file 2.counts has order 2, but 3.counts has order 3'),
    (['--from-counts', 'cut.counts', 'out'], 1, 'the count file cut.counts is truncated'),
    (['--from-counts', 'text.txt', 'out'], 1, 'the count file text.txt is not a count file (wrong magic)'),
    (['--from-counts', '-o', '2', '3.counts', 'out'], 1, '-o 2 differs from the order 3 of the count file 3.counts'),
    (['--from-counts', '3.counts', '3.counts'], 1, 'OUTPUT 3.counts is the count file 3.counts'),
    (['--from-counts', 'out'], 2, '--from-counts expects COUNTS... OUTPUT'),
    (['--counts-only', 'text.txt', 'out'], 2, '-o ORDER is required'),
    (['--counts-only', '-o', '3', '--binary', 'trie', 'text.txt', 'out'], 2, 'it takes no --binary'),
    (['--counts-only', '--from-counts', '-o', '3', 'text.txt', 'out'], 2, 'exclude each other'),
]


@pytest.mark.parametrize('arguments, status, message', FAILURES, ids=[' '.join(f[0]) for f in FAILURES])
def test_failures(inputs, arguments, status, message):
    before = sorted(inputs.iterdir())
    result = run_tool('estimatemodel', '-n', *arguments, cwd=inputs)
    assert result.returncode == status, result.stderr
    assert message in result.stderr
    assert result.stderr.startswith('estimatemodel: ')
    # The user's message, without the library's header line.
    assert ' threw ' not in result.stderr
    assert ('Usage: estimatemodel' in result.stderr) == (status == 2)
    assert sorted(inputs.iterdir()) == before


def test_verbose_failures_show_the_library_s_header(inputs):
    result = run_tool('estimatemodel', '-n', '-v', '-o', '3', 'bad.txt', 'out', cwd=inputs)
    assert result.returncode == 1 and ' threw ' in result.stderr


def test_a_full_temporary_directory_fails_cleanly(tmp_path):
    full = tmp_path / 'full'
    full.mkdir()
    if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=256k', 'tmpfs', str(full)],
                      capture_output=True).returncode:
        pytest.skip('mounting a small tmpfs needs root')
    try:
        result = run_tool('estimatemodel', '-n', '-o', '5', '-S', '64K', '-T', full / 'tmp', TEXT,
                          tmp_path / 'out.arpa')
        assert result.returncode == 1
        assert 'No space left on device' in result.stderr
        assert list(full.iterdir()) == []
        assert sorted(p.name for p in tmp_path.iterdir()) == ['full']
    finally:
        subprocess.run(['umount', str(full)], check=True)


@pytest.mark.parametrize('signal_number', [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_while_reading_leaves_no_file(tmp_path, signal_number):
    """The text comes through standard input, which stops half-way, so the
    tool is still counting when the signal comes."""
    output = tmp_path / 'out.arpa'
    tool = subprocess.Popen([str(SCRIPTS / 'estimatemodel'), '-n', '-o', '3', '-S', '64K', '-T',
                             str(tmp_path / 'tmp'), str(output)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=True)
    try:
        lines = TEXT.read_bytes().splitlines(keepends=True)
        tool.stdin.write(b''.join(lines[:len(lines) // 2]))
        tool.stdin.flush()
        deadline = time.monotonic() + 60
        while not list(tmp_path.glob('out.arpa.*')):
            assert time.monotonic() < deadline and tool.poll() is None, tool.stderr.read()
            time.sleep(0.01)
        time.sleep(0.3)
        tool.send_signal(signal_number)
        _, stderr = tool.communicate(timeout=60)
    finally:
        if tool.poll() is None:
            tool.kill()
    assert tool.returncode == 128 + signal_number, stderr
    assert list(tmp_path.iterdir()) == []


def test_help():
    result = run_tool('estimatemodel', '-h')
    assert result.returncode == 0
    assert result.stdout.startswith('Usage: estimatemodel [options] -o ORDER [TEXT...] OUTPUT\n')
    assert '--discount-fallback' in result.stdout and '-q BITS' in result.stdout


def test_merged_counts_prune_as_the_whole_text_does(tmp_path):
    """Pruning and the word list compose with counting in pieces: the word
    list is given when counting, the thresholds when merging."""
    words = tmp_path / 'words.txt'
    words.write_text('and the lord\nsaid unto moses god\n')
    whole = run_tool('estimatemodel', '-n', '-o', '3', '--prune', '0', '1', '--limit-vocab', words,
                     '--discount-fallback', TEXT, tmp_path / 'whole.arpa')
    assert whole.returncode == 0, whole.stderr
    lines = TEXT.read_bytes().splitlines(keepends=True)
    counts = []
    for i, piece in enumerate((lines[:len(lines) // 2], lines[len(lines) // 2:])):
        (tmp_path / f'{i}.txt').write_bytes(b''.join(piece))
        counts.append(tmp_path / f'{i}.counts')
        result = run_tool('estimatemodel', '-n', '--counts-only', '-o', '3', '--limit-vocab', words,
                          tmp_path / f'{i}.txt', counts[-1])
        assert result.returncode == 0, result.stderr
    merged = run_tool('estimatemodel', '-n', '--from-counts', '--prune', '0', '1', '--discount-fallback', *counts,
                      tmp_path / 'merged.arpa')
    assert merged.returncode == 0, merged.stderr
    assert (tmp_path / 'merged.arpa').read_bytes() == (tmp_path / 'whole.arpa').read_bytes()
    refused = [
        (['--counts-only', '-o', '3', '--prune', '0', '1', TEXT, tmp_path / 'x.counts'], 'pruning applies to the model'),
        (['--from-counts', '--limit-vocab', words, *counts, tmp_path / 'x.arpa'], 'a word list applies to counting'),
    ]
    for args, message in refused:
        result = run_tool('estimatemodel', '-n', *args)
        assert result.returncode == 1 and message in result.stderr, result.stderr
        assert not (tmp_path / 'x.counts').exists() and not (tmp_path / 'x.arpa').exists()
