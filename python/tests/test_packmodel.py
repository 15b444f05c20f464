"""packmodel as installed by pip: every option reaches the configuration,
the binary files it writes load in Python and score as the ARPA file, and
every failure gives a clear message, the right exit status and no stray
file."""
import gzip
import os
import signal
import struct
import subprocess
import time

import pytest

import quarn

from conftest import GENESIS_ARPA, SCRIPTS, TINY_ARPA, quiet_config, run_tool

# The header fields after the 88 bytes of magic and test values.
MULTIPLIER_OFFSET = 92
MODEL_TYPE_OFFSET = 96

SENTENCES = ['a b', 'b a', 'a a b', '', 'b b a a', 'a c b', 'in the beginning god created the heaven',
             'and god said , let there be light : and there was light .', 'unheardof words']

# Lower-order models of TINY_ARPA for rest costs, listing its words in its order.
TINY_UNIGRAMS = """\\data\\
ngram 1=5

\\1-grams:
-1.0\t<unk>
-99\t<s>
-1.1\t</s>
-0.6\ta
-0.8\tb

\\end\\
"""

TINY_BIGRAMS = """\\data\\
ngram 1=5
ngram 2=3

\\1-grams:
-1.0\t<unk>
-99\t<s>\t-0.4
-1.1\t</s>
-0.6\ta\t-0.2
-0.8\tb\t-0.1

\\2-grams:
-0.5\t<s> a
-0.7\ta b
-0.6\tb </s>

\\end\\
"""


def tiny_variant(old, new):
    assert old in TINY_ARPA
    return TINY_ARPA.replace(old, new)


# TINY_ARPA without </s>, with a positive log probability, without <unk>.
NO_END = tiny_variant('ngram 1=5', 'ngram 1=4').replace('-1.2\t</s>\n', '').replace(
    'ngram 2=4', 'ngram 2=3').replace('-0.5\tb </s>\n', '').replace('ngram 3=2', 'ngram 3=1').replace(
    '-0.3\ta b </s>\n', '')
POSITIVE = tiny_variant('-0.6\ta b\t-0.15', '0.25\ta b\t-0.15')
NO_UNK = tiny_variant('ngram 1=5', 'ngram 1=4').replace('-1.0\t<unk>\n', '')


def write(path, text):
    path.write_text(text)
    return path


def header_field(path, offset, code):
    with open(path, 'rb') as f:
        f.seek(offset)
        return struct.unpack(code, f.read(struct.calcsize(code)))[0]


def scores(path):
    model = quarn.Model(str(path), quiet_config())
    return [list(model.full_scores(sentence)) for sentence in SENTENCES]


def pack(*arguments, cwd=None):
    result = run_tool('packmodel', '-n', *arguments, cwd=cwd)
    assert result.returncode == 0, result.stderr
    return result


@pytest.fixture
def lower_files(tmp_path):
    return f'{write(tmp_path / "uni.arpa", TINY_UNIGRAMS)} {write(tmp_path / "bi.arpa", TINY_BIGRAMS)}'


# (options, the ModelType stored in the file, whether scores are quantized)
TYPES = [
    ([], 0, False),
    (['probing'], 0, False),
    (['-R'], 1, False),
    (['-r', 'LOWER'], 1, False),
    (['trie'], 2, False),
    (['trie', '-q', '8'], 3, True),
    (['trie', '-b', '6'], 3, True),
    (['trie', '-a', '10'], 4, False),
    (['trie', '-q', '6', '-b', '4', '-a', '10'], 5, True),
]


# The lower-order files are those of the tiny model.
BUILDS = [pytest.param(arpa, *build, id=f"{name} {' '.join(build[0]) or 'default'}")
          for name, arpa in [('tiny', TINY_ARPA), ('genesis', GENESIS_ARPA)]
          for build in TYPES if arpa is TINY_ARPA or 'LOWER' not in build[0]]


@pytest.mark.parametrize('arpa, options, model_type, quantized', BUILDS)
def test_every_type_loads_in_python_and_scores_as_the_arpa_file(tmp_path, lower_files, arpa, options,
                                                                  model_type, quantized):
    source = arpa if arpa is GENESIS_ARPA else write(tmp_path / 'tiny.arpa', arpa)
    options = [lower_files if option == 'LOWER' else option for option in options]
    binary = tmp_path / 'model.binary'
    pack(*options, source, binary)
    assert header_field(binary, MODEL_TYPE_OFFSET, 'I') == model_type
    expected = scores(source)
    if quantized:
        def log_probs(all_scores):
            return [log_prob for sentence in all_scores for log_prob, _, _ in sentence]
        assert log_probs(scores(binary)) == pytest.approx(log_probs(expected), abs=0.3)
    else:
        assert scores(binary) == expected


def test_probing_multiplier_is_stored_and_sizes_the_tables(tmp_path):
    default, wider = tmp_path / 'default.binary', tmp_path / 'wider.binary'
    pack(GENESIS_ARPA, default)
    pack('-p', '2.0', GENESIS_ARPA, wider)
    assert header_field(default, MULTIPLIER_OFFSET, 'f') == 1.5
    assert header_field(wider, MULTIPLIER_OFFSET, 'f') == 2.0
    assert wider.stat().st_size > default.stat().st_size * 1.2


def test_quantization_bits_size_the_trie(tmp_path):
    sizes = {}
    for bits in ('4', '8'):
        pack('trie', '-q', bits, '-b', bits, GENESIS_ARPA, tmp_path / bits)
        sizes[bits] = (tmp_path / bits).stat().st_size
    assert sizes['4'] < sizes['8']


def test_rest_kinds_write_different_rest_costs(tmp_path, lower_files):
    tiny = write(tmp_path / 'tiny.arpa', TINY_ARPA)
    pack('-R', tiny, tmp_path / 'max')
    pack('-r', lower_files, tiny, tmp_path / 'lower')
    assert (tmp_path / 'max').read_bytes() != (tmp_path / 'lower').read_bytes()
    result = run_tool('packmodel', '-n', '-r', str(tmp_path / 'uni.arpa'), tiny, tmp_path / 'one')
    assert result.returncode == 1
    assert 'there should be 2 lower-order models' in result.stderr


@pytest.mark.parametrize('model_type', ['probing', 'trie'])
def test_write_modes_write_the_same_file(tmp_path, model_type):
    pack('-w', 'after', model_type, GENESIS_ARPA, tmp_path / 'after')
    pack('-w', 'mmap', model_type, GENESIS_ARPA, tmp_path / 'mmap')
    assert (tmp_path / 'after').read_bytes() == (tmp_path / 'mmap').read_bytes()


def test_missing_sentence_end_fails_unless_s(tmp_path):
    arpa = write(tmp_path / 'no_end.arpa', NO_END)
    refused = run_tool('packmodel', '-n', arpa, tmp_path / 'out')
    assert refused.returncode == 1
    assert 'missing </s>' in refused.stderr and 'packmodel -s' in refused.stderr
    accepted = pack('-s', arpa, tmp_path / 'out')
    assert 'Missing special word </s>' in accepted.stderr
    assert quarn.Model(str(tmp_path / 'out'), quiet_config()).order == 3


def test_positive_log_probability_fails_unless_i(tmp_path):
    arpa = write(tmp_path / 'positive.arpa', POSITIVE)
    refused = run_tool('packmodel', '-n', arpa, tmp_path / 'out')
    assert refused.returncode == 1
    assert 'Positive log probability 0.25' in refused.stderr and 'pass -i to packmodel' in refused.stderr
    accepted = pack('-i', arpa, tmp_path / 'out')
    assert 'positive log probability 0.25' in accepted.stderr
    # p(b | a) is the repaired 0.
    assert quarn.Model(str(tmp_path / 'out'), quiet_config()).score('a b', bos=False, eos=False) == pytest.approx(-0.7)


@pytest.mark.parametrize('options, unk_log_prob', [([], -100.0), (['-u', '-5.5'], -5.5)])
def test_missing_unk_gets_the_u_log_probability(tmp_path, options, unk_log_prob):
    arpa = write(tmp_path / 'no_unk.arpa', NO_UNK)
    pack(*options, arpa, tmp_path / 'out')
    model = quarn.Model(str(tmp_path / 'out'), quiet_config())
    assert model.score('unheardof', bos=False, eos=False) == unk_log_prob


def test_sort_files_go_where_t_says(tmp_path):
    (tmp_path / 'sort').mkdir()
    pack('-T', tmp_path / 'sort' / 'part', 'trie', GENESIS_ARPA, tmp_path / 'out')
    result = run_tool('packmodel', '-n', '-T', tmp_path / 'nowhere' / 'part', 'trie', GENESIS_ARPA, tmp_path / 'bad')
    assert result.returncode == 1
    assert str(tmp_path / 'nowhere' / 'part') in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ['out', 'sort']


@pytest.mark.parametrize('size', ['1', '512M', '1.5G', '80%'])
def test_sort_memory_takes_the_library_size_forms(tmp_path, size):
    pack('-S', size, 'trie', GENESIS_ARPA, tmp_path / 'out')
    assert scores(tmp_path / 'out') == scores(GENESIS_ARPA)


def test_progress_bars_unless_n(tmp_path):
    shown = run_tool('packmodel', 'trie', GENESIS_ARPA, tmp_path / 'out')
    silent = run_tool('packmodel', '-n', 'trie', GENESIS_ARPA, tmp_path / 'out')
    assert shown.returncode == silent.returncode == 0
    assert '----5---10' in shown.stderr and '*' * 100 in shown.stderr
    assert silent.stderr == ''


def test_without_output_prints_the_memory_estimate(tmp_path):
    default = run_tool('packmodel', GENESIS_ARPA, cwd=tmp_path)
    assert default.returncode == 0
    assert default.stderr == ''
    lines = default.stdout.splitlines()
    assert lines[0] == 'Memory estimate for binary LM:'
    assert [line.split()[0] for line in lines[2:]] == ['probing'] * 2 + ['trie'] * 4
    assert lines[2].endswith('assuming -p 1.5')
    custom = run_tool('packmodel', '-p', '2', '-q', '4', '-b', '6', '-a', '10', GENESIS_ARPA)
    assert custom.returncode == 0
    assert 'assuming -p 2\n' in custom.stdout
    assert 'assuming -a 10 -q 4 -b 6 array pointer compression and quantization' in custom.stdout
    assert int(custom.stdout.splitlines()[2].split()[1]) > int(lines[2].split()[1])
    assert list(tmp_path.iterdir()) == []


def test_failed_build_keeps_the_old_output(tmp_path):
    output = write(tmp_path / 'out', 'the previous model')
    arpa = write(tmp_path / 'positive.arpa', POSITIVE)
    assert run_tool('packmodel', '-n', arpa, output).returncode == 1
    assert output.read_text() == 'the previous model'
    assert sorted(p.name for p in tmp_path.iterdir()) == ['out', 'positive.arpa']


@pytest.fixture
def inputs(tmp_path):
    """The tiny model as ARPA text, gzipped and as a binary file."""
    write(tmp_path / 'tiny.arpa', TINY_ARPA)
    (tmp_path / 'tiny.arpa.gz').write_bytes(gzip.compress(TINY_ARPA.encode()))
    pack(tmp_path / 'tiny.arpa', tmp_path / 'tiny.binary')
    (tmp_path / 'link.arpa').symlink_to('tiny.arpa')
    os.link(tmp_path / 'tiny.arpa', tmp_path / 'hard.arpa')
    return tmp_path


# The library's refusal of compressed input, and what to do.
GZIP_ADVICE = 'gzip support was not compiled in.\npackmodel: decompress it first (for example gunzip -k FILE)\n'

# (arguments, exit status, text in the message); status 2 also shows the usage.
FAILURES = [
    (['missing.arpa', 'out'], 1, 'No such file or directory while opening missing.arpa'),
    (['tiny.arpa', 'nodir/out'], 1, 'No such file or directory cannot create a file beside nodir/out'),
    (['tiny.arpa', 'tiny.binary/out'], 1, 'Not a directory'),
    (['tiny.arpa.gz', 'out'], 1, GZIP_ADVICE),
    # OUTPUT is INPUT under some name: the input stays as it was.
    (['tiny.arpa', 'tiny.arpa'], 1, 'OUTPUT tiny.arpa is the input file tiny.arpa; name another file'),
    (['trie', 'tiny.arpa', './tiny.arpa'], 1, 'OUTPUT ./tiny.arpa is the input file tiny.arpa'),
    (['tiny.arpa', 'link.arpa'], 1, 'OUTPUT link.arpa is the input file tiny.arpa'),
    (['link.arpa', 'tiny.arpa'], 1, 'OUTPUT tiny.arpa is the input file link.arpa'),
    (['tiny.arpa', 'hard.arpa'], 1, 'OUTPUT hard.arpa is the input file tiny.arpa'),
    # Settings are refused before any input is read, missing or not.
    (['-p', '0.5', 'missing.arpa', 'out'], 1, 'packmodel: probing multiplier must be > 1.0\n'),
    (['-p', '0.5', 'missing.arpa'], 1, 'packmodel: probing multiplier must be > 1.0\n'),
    (['trie', '-q', '40', 'missing.arpa', 'out'], 1, 'quantizing probability supports at most 25 bits'),
    (['-q', '0', 'missing.arpa'], 1, "You can't quantize probability to zero"),
    (['tiny.binary', 'out'], 1, 'tiny.binary is already a binary model file'),
    (['-p', '0.5', 'tiny.arpa', 'out'], 1, 'probing multiplier must be > 1.0'),
    (['trie', '-q', '30', 'tiny.arpa', 'out'], 1, 'quantizing probability supports at most'),
    (['hashed', 'tiny.arpa', 'out'], 2, "TYPE is probing or trie, not 'hashed'"),
    (['trie', 'tiny.arpa'], 2, 'a TYPE needs INPUT.arpa and OUTPUT'),
    ([], 2, 'expected [TYPE] INPUT.arpa [OUTPUT]'),
    (['-p', 'abc', 'tiny.arpa', 'out'], 2, "-p takes a number, not 'abc'"),
    (['-u', '1e99', 'tiny.arpa', 'out'], 2, "-u takes a number, not '1e99'"),
    (['-q', '300', 'trie', 'tiny.arpa', 'out'], 2, '-q takes a number of bits from 0 to 255'),
    (['-S', '3Q', 'trie', 'tiny.arpa', 'out'], 2, 'the allowed suffixes are bKMGTPEZY%'),
    (['-w', 'sideways', 'tiny.arpa', 'out'], 2, "-w takes one of after, mmap, not 'sideways'"),
    (['-z', 'tiny.arpa', 'out'], 2, 'unknown option -z'),
    (['tiny.arpa', 'out', '-p'], 2, '-p needs a value'),
    (['-q', '4', 'tiny.arpa', 'out'], 2, '-q, -b and -a need TYPE trie'),
    (['-R', 'trie', 'tiny.arpa', 'out'], 2, '-r and -R need TYPE probing'),
    (['-R', '-r', 'x', 'tiny.arpa', 'out'], 2, '-r and -R exclude each other'),
]


@pytest.mark.parametrize('arguments, status, message', FAILURES, ids=[' '.join(f[0]) or 'none' for f in FAILURES])
def test_failures(inputs, arguments, status, message):
    before = sorted(inputs.iterdir())
    result = run_tool('packmodel', '-n', *arguments, cwd=inputs)
    assert result.returncode == status
    assert result.stderr.startswith('packmodel: ')
    assert message in result.stderr
    # The lines a person acts on, without the library's header line.
    assert ' threw ' not in result.stderr and 'Byte: ' not in result.stderr
    assert ('Usage: packmodel' in result.stderr) == (status == 2)
    assert result.stdout == ''
    assert sorted(inputs.iterdir()) == before


def test_v_shows_where_the_library_raised(tmp_path):
    plain = run_tool('packmodel', '-n', '-p', '0.5', GENESIS_ARPA, tmp_path / 'out')
    verbose = run_tool('packmodel', '-n', '-v', '-p', '0.5', GENESIS_ARPA, tmp_path / 'out')
    assert plain.returncode == verbose.returncode == 1
    assert plain.stderr == 'packmodel: probing multiplier must be > 1.0\n'
    header, message = verbose.stderr.split('\n', 1)
    assert header.startswith('packmodel: lm/model:') and ' threw ConfigException because ' in header
    assert plain.stderr == 'packmodel: ' + message
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize('signal_number', [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
@pytest.mark.parametrize('write_mode', ['after', 'mmap'])
@pytest.mark.parametrize('model_type', ['probing', 'trie'])
def test_a_signal_while_building_leaves_no_file(tmp_path, signal_number, write_mode, model_type):
    """The ARPA text comes through a pipe that stops half-way, so packmodel is
    still building when the signal comes."""
    fifo = tmp_path / 'model.arpa'
    os.mkfifo(fifo)
    (tmp_path / 'sort').mkdir()
    output = tmp_path / 'out'
    tool = subprocess.Popen([str(SCRIPTS / 'packmodel'), '-n', '-w', write_mode, '-S', '1', '-T',
                             str(tmp_path / 'sort' / 'part'), model_type, str(fifo), str(output)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    # Opened for reading too, the pipe never lacks a reader or a writer while
    # packmodel opens it again and again.
    pipe = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
    try:
        # Two thirds of the text: into the bigrams, which the trie sorts.
        text = GENESIS_ARPA.read_bytes()
        text = memoryview(text)[:len(text) * 2 // 3]
        deadline = time.monotonic() + 60
        while text or not list(tmp_path.glob('out.*')):
            assert time.monotonic() < deadline and tool.poll() is None, tool.stderr.read()
            try:
                text = text[os.write(pipe, text):]
            except BlockingIOError:
                time.sleep(0.01)
        # Reading is under way, and waits for the rest.
        time.sleep(0.3)
        tool.send_signal(signal_number)
        _, stderr = tool.communicate(timeout=60)
    finally:
        os.close(pipe)
        if tool.poll() is None:
            tool.kill()
    assert tool.returncode == 128 + signal_number, stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ['model.arpa', 'sort']
    assert list((tmp_path / 'sort').iterdir()) == []


def test_help():
    result = run_tool('packmodel', '-h')
    assert result.returncode == 0
    assert result.stdout.startswith('Usage: packmodel [options] [TYPE] INPUT.arpa OUTPUT\n')
