"""The Dask recipe of python/examples/dask_estimate.py makes, from a text cut
into many partitions (a plain file in blocks, a compressed file whole, an
empty file), the bytes quarn.estimate makes from the whole text on one
machine: on a LocalCluster of two worker processes, and as a binary model
on a cluster reached by its scheduler's address.  A failure gives one line
and no output.  Needs the dask extra (pip install quarn[dask])."""
import gzip
import subprocess
import sys

import pytest

import quarn

from conftest import REPO

pytest.importorskip('dask.bytes')
distributed = pytest.importorskip('dask.distributed')

RECIPE = REPO / 'python' / 'examples' / 'dask_estimate.py'
TEXT = REPO / 'data' / 'kjv-genesis-exodus.txt'


@pytest.fixture(scope='module')
def texts(tmp_path_factory):
    """The text in three files: plain, empty, gzip."""
    directory = tmp_path_factory.mktemp('texts')
    lines = TEXT.read_bytes().splitlines(keepends=True)
    half = len(lines) // 2
    (directory / 'first.txt').write_bytes(b''.join(lines[:half]))
    (directory / 'empty.txt').write_bytes(b'')
    (directory / 'second.txt.gz').write_bytes(gzip.compress(b''.join(lines[half:])))
    return [directory / name for name in ('first.txt', 'empty.txt', 'second.txt.gz')]


def run_recipe(order, texts, output, *options):
    return subprocess.run([sys.executable, str(RECIPE), '-n', '-o', str(order), *map(str, texts), str(output),
                           '--blocksize', '40000', '--memory', '4M', *options], capture_output=True, text=True)


def test_local_cluster_of_two_workers_makes_the_one_machine_model(texts, tmp_path):
    expected = tmp_path / 'expected.arpa'
    result = quarn.estimate(TEXT, 4, expected, show_progress=False)
    output = tmp_path / 'model.arpa'
    run = run_recipe(4, texts, output, '--workers', '2')
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [f'Lines: {result.lines}', f'Tokens: {result.tokens}']
    assert output.read_bytes() == expected.read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ['expected.arpa', 'model.arpa']


def test_binary_model_on_a_cluster_at_a_scheduler_address(texts, tmp_path):
    expected = tmp_path / 'expected.trie'
    quarn.estimate(TEXT, 3, expected, binary='trie', show_progress=False)
    output = tmp_path / 'model.trie'
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster:
        run = run_recipe(3, texts, output, '--binary', 'trie', '--threads', '2', '--scheduler',
                         cluster.scheduler_address)
    assert run.returncode == 0, run.stderr
    assert output.read_bytes() == expected.read_bytes()


def test_a_bad_line_fails_with_one_line_and_no_output(tmp_path):
    text = tmp_path / 'bad.txt'
    text.write_text('a b\nc <s> d\n')
    run = run_recipe(3, [text], tmp_path / 'model.arpa', '--workers', '1')
    assert run.returncode == 1
    [line] = run.stderr.splitlines()
    assert line == f'{RECIPE}: {text}, partition 1 of 1: the lines given line 2: <s> and </s> may not appear in the text'
    assert sorted(p.name for p in tmp_path.iterdir()) == ['bad.txt']
