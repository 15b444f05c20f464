"""The Dask recipe of python/examples/dask_score.py gives the scores of
Model.score, in order, with worker threads sharing one model and with worker
processes that each load it.  Needs the dask extra (pip install quarn[dask])."""
import math
import subprocess
import sys

import pytest

from conftest import GENESIS_ARPA, REPO
from test_batch import bigram_walks

pytest.importorskip('dask.bag')

# Imported by name, as worker processes import it again to find its functions.
EXAMPLES = REPO / 'python' / 'examples'
sys.path.insert(0, str(EXAMPLES))
import dask_score as recipe  # noqa: E402

LINES = ['in the beginning god created the heaven and the earth .', '', 'unheardof  words\tand god'] + bigram_walks(300)


@pytest.fixture(scope='module')
def text(tmp_path_factory):
    path = tmp_path_factory.mktemp('dask') / 'text.txt'
    path.write_text('\n'.join(LINES) + '\n')
    return path


@pytest.mark.parametrize('scheduler', ['threads', 'sync'])
def test_scores_in_order(genesis, text, scheduler):
    bag = recipe.sentence_scores(str(GENESIS_ARPA), str(text), blocksize=2000)
    assert bag.npartitions > 4
    assert bag.compute(scheduler=scheduler) == [genesis.score(line) for line in LINES]


def test_summary_with_worker_processes(genesis, text):
    sentences, total, perplexity = recipe.summary(str(GENESIS_ARPA), str(text), blocksize=4000,
                                                  scheduler='processes')
    scores = [genesis.score(line) for line in LINES]
    words = sum(len(line.split()) + 1 for line in LINES)
    assert sentences == len(LINES)
    assert total == pytest.approx(math.fsum(scores), rel=1e-12)
    assert perplexity == pytest.approx(10.0 ** (-math.fsum(scores) / words), rel=1e-12)


def test_command_line(text):
    result = subprocess.run([sys.executable, str(EXAMPLES / 'dask_score.py'), str(GENESIS_ARPA), str(text), '--blocksize', '3000'],
                            capture_output=True, text=True, check=True)
    assert result.stdout.startswith(f'Sentences: {len(LINES)}\nTotal log10 probability: ')
