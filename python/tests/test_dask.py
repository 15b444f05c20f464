"""The Dask recipe of python/examples/dask_score.py gives the scores of
Model.score, in order: on a distributed LocalCluster of two worker processes
that map a binary model file, on a cluster reached by its scheduler's
address, and with the local schedulers.  Needs the dask extra
(pip install quarn[dask])."""
import math
import subprocess
import sys

import pytest

from conftest import GENESIS_ARPA, REPO, run_tool
from test_batch import bigram_walks

pytest.importorskip('dask.bag')
distributed = pytest.importorskip('dask.distributed')

# Imported by name, as worker processes import it again to find its functions.
EXAMPLES = REPO / 'python' / 'examples'
sys.path.insert(0, str(EXAMPLES))
import dask_score as recipe  # noqa: E402

LINES = ['in the beginning god created the heaven and the earth .', '', 'unheardof  words\tand god',
         'caf\u00e9 and\u00a0god'] + bigram_walks(300)


@pytest.fixture(scope='module')
def text(tmp_path_factory):
    path = tmp_path_factory.mktemp('dask') / 'text.txt'
    path.write_text('\n'.join(LINES) + '\n')
    return path


@pytest.fixture(scope='module')
def binary_model(tmp_path_factory):
    path = tmp_path_factory.mktemp('dask') / 'genesis.binary'
    run_tool('packmodel', 'probing', str(GENESIS_ARPA), str(path))
    return path


def written_scores(out_dir):
    """The scores in the files of out_dir, in order."""
    return [float(line) for part in sorted(out_dir.glob('*.txt')) for line in part.read_text().splitlines()]


def expected_summary(genesis):
    scores = [genesis.score(line) for line in LINES]
    words = sum(len(line.encode().split()) + 1 for line in LINES)
    return scores, math.fsum(scores), 10.0 ** (-math.fsum(scores) / words)


def run_recipe(model, text, out_dir, *options):
    result = subprocess.run([sys.executable, str(EXAMPLES / 'dask_score.py'), str(model), str(text), str(out_dir),
                             '--blocksize', '3000', *options], capture_output=True, text=True, check=True)
    lines = result.stdout.splitlines()
    assert lines[0] == f'Sentences: {len(LINES)}'
    return float(lines[1].split(': ')[1]), float(lines[2].split(': ')[1])


def test_local_cluster_of_two_worker_processes(genesis, binary_model, text, tmp_path):
    scores, total, perplexity = expected_summary(genesis)
    printed_total, printed_perplexity = run_recipe(binary_model, text, tmp_path, '--workers', '2')
    assert len(list(tmp_path.glob('*.txt'))) > 4
    assert written_scores(tmp_path) == scores
    assert printed_total == pytest.approx(total, rel=1e-6)
    assert printed_perplexity == pytest.approx(perplexity, rel=1e-6)


def test_cluster_at_a_scheduler_address(genesis, binary_model, text, tmp_path):
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster:
        run_recipe(binary_model, text, tmp_path, '--scheduler', cluster.scheduler_address)
    assert written_scores(tmp_path) == expected_summary(genesis)[0]


@pytest.mark.parametrize('scheduler', ['threads', 'sync'])
def test_scores_in_order(genesis, text, scheduler):
    bag = recipe.sentence_scores(str(GENESIS_ARPA), str(text), blocksize=2000)
    assert bag.npartitions > 4
    assert bag.compute(scheduler=scheduler) == [genesis.score(line) for line in LINES]


def test_worker_processes_without_a_cluster(genesis, text, tmp_path):
    scores, total, perplexity = expected_summary(genesis)
    sentences, got_total, got_perplexity = recipe.score_corpus(str(GENESIS_ARPA), str(text), str(tmp_path),
                                                               blocksize=4000, scheduler='processes')
    assert sentences == len(LINES)
    assert written_scores(tmp_path) == scores
    assert got_total == pytest.approx(total, rel=1e-12)
    assert got_perplexity == pytest.approx(perplexity, rel=1e-12)


def broken_model(tmp_path):
    path = tmp_path / 'broken.arpa'
    path.write_text('not a model\n')
    return path


# (model, text, what the one line says: its start, then text in it); the
# files are made in tmp_path.
MODEL_FAILURE = "Cannot read model '{model}' ("
RECIPE_FAILURES = [
    (lambda tmp_path: tmp_path / 'missing.binary', None, MODEL_FAILURE, 'No such file or directory while opening'),
    (lambda tmp_path: tmp_path, None, MODEL_FAILURE, '{model} is a directory'),
    (broken_model, None, MODEL_FAILURE, 'first non-empty line was'),
    (lambda tmp_path: GENESIS_ARPA, lambda tmp_path: tmp_path / 'missing.txt', 'cannot read the text {text}: ',
     'No such file or directory'),
]


@pytest.mark.parametrize('make_model, make_text, start, part', RECIPE_FAILURES,
                         ids=['missing model', 'directory', 'not a model', 'missing text'])
def test_inputs_that_cannot_be_read_fail_with_one_line(text, tmp_path, make_model, make_text, start, part):
    model = make_model(tmp_path)
    text = make_text(tmp_path) if make_text else text
    out_dir = tmp_path / 'out'
    result = subprocess.run([sys.executable, str(EXAMPLES / 'dask_score.py'), str(model), str(text), str(out_dir),
                             '--workers', '1'], capture_output=True, text=True)
    assert result.returncode == 1
    assert result.stdout == ''
    [line] = result.stderr.splitlines()
    assert line.startswith(f'{EXAMPLES / "dask_score.py"}: ' + start.format(model=model, text=text))
    assert part.format(model=model) in line
    assert not out_dir.exists()
