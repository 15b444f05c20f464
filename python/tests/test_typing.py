"""The type stubs: mypy --strict accepts a program that uses every name of
the module and rejects misuse, stubtest finds the stubs true to the module,
and the values the program gets have the types the stubs declare."""
import pathlib
import subprocess
import sys

import pytest

import typing_example

mypy = pytest.importorskip('mypy')

HERE = pathlib.Path(__file__).resolve().parent

MISUSES = [
    "quarn.Config(1)",
    "model.BaseScore(quarn.State(), b'word', quarn.State())",
    "model.score(3)",
    "model.full_scores('a')[0]",
    "quarn.Model('lm.arpa', 3)",
    "quarn.FullScoreReturn(-1.0, 'two', False)",
    "quarn.State() < 5",
    "x: str = model.path",
]


def run_mypy(tmp_path, *arguments):
    return subprocess.run([sys.executable, '-m', 'mypy', '--strict', '--cache-dir', str(tmp_path / 'cache'),
                           *arguments], capture_output=True, text=True, cwd=tmp_path)


def test_mypy_accepts_every_name(tmp_path):
    result = run_mypy(tmp_path, str(HERE / 'typing_example.py'))
    assert result.returncode == 0, result.stdout


def test_mypy_rejects_misuse(tmp_path):
    program = tmp_path / 'misuse.py'
    program.write_text('import quarn\nmodel = quarn.Model("lm.arpa")\n' + '\n'.join(MISUSES) + '\n')
    result = run_mypy(tmp_path, str(program))
    flagged = {int(line.split(':')[1]) for line in result.stdout.splitlines() if ': error:' in line}
    assert flagged == set(range(3, 3 + len(MISUSES))), result.stdout


def test_stubtest_finds_the_stubs_true(tmp_path):
    result = subprocess.run([sys.executable, '-m', 'mypy.stubtest', 'quarn',
                             '--allowlist', str(HERE / 'stubtest_allowlist.txt')],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_values_have_the_declared_types(tiny_path):
    values = typing_example.use_every_name(str(tiny_path))
    assert [type(value) for value in values] == [
        int, bool, int,
        int, int, bool, bool,
        float, float, float,
        float, float, int, bool, float, list,
        bool, bool, bool, bool, bool, int,
        bytes, bool,
        int, int, int, int, int, int,
    ]
    assert {tuple(map(type, score)) for score in values[15]} == {(float, int, bool)}
