"""Shared fixtures: the shipped Genesis model, a tiny hand-made trigram
model whose scores the tests work out by hand, and a runner of the installed
command-line tools."""
import os
import pathlib
import subprocess
import sysconfig

import pytest

import quarn

REPO = pathlib.Path(__file__).resolve().parents[2]
GENESIS_ARPA = REPO / 'data' / 'kjv-genesis.arpa'
# Where pip put the command-line tools, beside the interpreter, unless
# QUARN_TOOLS_DIR names another build of them.
SCRIPTS = pathlib.Path(os.environ.get('QUARN_TOOLS_DIR') or sysconfig.get_path('scripts'))

# Every expected score of the tiny model in these tests comes from these
# numbers.  "<s> a", "a b" and all unigrams but </s> and <unk> have backoffs.
TINY_ARPA = """\\data\\
ngram 1=5
ngram 2=4
ngram 3=2

\\1-grams:
-1.0\t<unk>
-99\t<s>\t-0.5
-1.2\t</s>
-0.7\ta\t-0.3
-0.9\tb\t-0.2

\\2-grams:
-0.4\t<s> a\t-0.1
-0.6\ta b\t-0.15
-0.5\tb </s>
-0.8\ta a

\\3-grams:
-0.2\t<s> a b
-0.3\ta b </s>

\\end\\
"""


def quiet_config():
    config = quarn.Config()
    config.show_progress = False
    config.arpa_complain = quarn.ARPALoadComplain.NONE
    return config


@pytest.fixture(scope='session')
def tiny_path(tmp_path_factory):
    path = tmp_path_factory.mktemp('tiny') / 'tiny.arpa'
    path.write_text(TINY_ARPA)
    return path


@pytest.fixture(scope='session')
def tiny(tiny_path):
    return quarn.Model(str(tiny_path), quiet_config())


@pytest.fixture(scope='session')
def genesis():
    return quarn.Model(str(GENESIS_ARPA), quiet_config())


def run_tool(tool, *arguments, stdin='', cwd=None):
    """Runs the installed packmodel or querymodel."""
    return subprocess.run([str(SCRIPTS / tool), *map(str, arguments)], input=stdin, capture_output=True,
                          text=True, cwd=cwd)
