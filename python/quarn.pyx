# cython: language_level=3, autotestdict=False, always_allow_keywords=False, auto_pickle=False
#
# The quarn extension module: thin Python wrappers around the model library.
# A Model owns one lm::base::Model and reaches it only through that abstract
# interface; a State holds one lm::ngram::State and a Config one
# lm::ngram::Config.  Library exceptions become RuntimeError through Cython's
# C++ exception translation, and a failed load is re-raised as IOError
# chained to it.  None is refused wherever a State or a word is required, so
# no call ever reads or writes a record that does not exist.
cimport cython
from cpython.bytes cimport PyBytes_AS_STRING, PyBytes_GET_SIZE
from cpython.object cimport Py_EQ, Py_GT, Py_LE, Py_LT, Py_NE, Py_TYPE
from cpython.unicode cimport PyUnicode_AsUTF8AndSize
from libc.stdint cimport int64_t
from libc.string cimport strlen
from libcpp.string cimport string
from libcpp.vector cimport vector

cimport _quarn

import os


# Converts a word, sentence or path to bytes: bytes pass unchanged, str is
# encoded as UTF-8, anything else is refused.
cdef bytes as_str(data):
    if isinstance(data, bytes):
        return data
    elif isinstance(data, str):
        return data.encode('utf8')
    raise TypeError('Cannot convert %s to string' % type(data))


# The bytes that as_str(data) gives, without copying them when data is
# exactly a str (whose UTF-8 form the interpreter caches) or bytes: points
# text and length at them and returns the object that owns them, which must
# stay alive while they are used.  The bytes are followed by a NUL.
cdef object text_bytes(data, const char **text, Py_ssize_t *length):
    if type(data) is str:
        text[0] = PyUnicode_AsUTF8AndSize(data, length)
        return data
    cdef bytes converted = as_str(data)
    text[0] = PyBytes_AS_STRING(converted)
    length[0] = PyBytes_GET_SIZE(converted)
    return converted


# Finds the next word of the text from at[0] to end, splitting as
# bytes.split() does (at runs of the six ASCII whitespace bytes) with a word
# cut at its first NUL (util::NextWord's NulByte.kEndsWord), looks it up and
# moves at[0] past it.  Returns False when no word is left.
cdef inline bint next_word(const _quarn.Vocabulary *vocab, const char **at, const char *end,
                           _quarn.WordIndex *wid) noexcept nogil:
    cdef _quarn.StringPiece word
    if not _quarn.NextWord(at[0], end, _quarn.NulByte.kEndsWord, word):
        return False
    wid[0] = vocab.Index(word)
    return True


# The value of a 32-bit unsigned enumeration field: ints as they are, other
# numbers through their integer conversion; anything else is refused.
cdef unsigned int enum_value(to, str enum_name) except? 0:
    if not isinstance(to, int):
        if not (hasattr(type(to), '__int__') or hasattr(type(to), '__index__')):
            raise TypeError('an integer is required')
        to = int(to)
    if to < 0 or to > 0xFFFFFFFF:
        raise OverflowError('value too large to convert to enum ' + enum_name)
    return to


# The interpreter's name of an object's type, as argument errors show it.
cdef str type_name(obj):
    return Py_TYPE(obj).tp_name.decode('utf-8')


cdef object _missing = object()


# The arguments (in_state, word, out_state) of BaseScore and BaseFullScore,
# given by position or keyword and checked in that order.  A missing argument
# is reported with the number of positional arguments given.
cdef tuple state_word_state(str method, tuple args, dict kwargs):
    cdef Py_ssize_t given = len(args)
    if given > 3:
        raise TypeError('{}() takes exactly 3 positional arguments ({} given)'.format(method, given))
    names = ('in_state', 'word', 'out_state')
    values = list(args) + [_missing] * (3 - given)
    for name, value in kwargs.items():
        if name not in names:
            raise TypeError("{}() got an unexpected keyword argument '{}'".format(method, name))
        if names.index(name) < given:
            raise TypeError("{}() got multiple values for keyword argument '{}'".format(method, name))
        values[names.index(name)] = value
    if any(value is _missing for value in values):
        raise TypeError('{}() takes exactly 3 positional arguments ({} given)'.format(method, given))
    for name, value in zip(names, values):
        if name == 'word':
            if type(value) is not str:
                raise TypeError("Argument 'word' has incorrect type (expected str, got {:.200})".format(
                    type_name(value)))
        elif not isinstance(value, State):
            raise TypeError("Argument '{}' has incorrect type (expected quarn.State, got {:.200})".format(
                name, type_name(value)))
    return tuple(values)


@cython.no_gc
cdef class FullScoreReturn:
    """
    Wrapper around FullScoreReturn.

    Notes:
        `prob` has been renamed to `log_prob`
        `oov` has been added to flag whether the word is OOV
    """
    cdef readonly float log_prob
    cdef readonly int ngram_length
    cdef readonly bint oov

    def __cinit__(self, log_prob, ngram_length, oov):
        self.log_prob = log_prob
        self.ngram_length = ngram_length
        self.oov = oov

    def __reduce__(self):
        raise TypeError('no default __reduce__ due to non-trivial __cinit__')

    def __setstate__(self, state):
        raise TypeError('no default __reduce__ due to non-trivial __cinit__')

    def __repr__(self):
        return '{0}({1}, {2}, {3})'.format(
            self.__class__.__name__, repr(self.log_prob), repr(self.ngram_length), repr(self.oov))


@cython.no_gc
cdef class State:
    """
    Wrapper around lm::ngram::State so that python code can make incremental queries.

    Notes:
        * rich comparisons
        * hashable
    """
    # Zeroed on allocation: length 0, the null context of any model.
    cdef _quarn.State _c_state

    def __richcmp__(State qa, State qb not None, int op):
        cdef int r = qa._c_state.Compare(qb._c_state)
        if op == Py_LT:
            return r < 0
        elif op == Py_LE:
            return r <= 0
        elif op == Py_EQ:
            return r == 0
        elif op == Py_NE:
            return r != 0
        elif op == Py_GT:
            return r > 0
        else:
            return r >= 0

    def __hash__(self):
        return <int64_t>_quarn.hash_value(self._c_state)

    def __copy__(self):
        cdef State ret = State()
        ret._c_state = self._c_state
        return ret

    def __deepcopy__(self, memo=None):
        return self.__copy__()

    def __reduce__(self):
        raise TypeError('self._c_state cannot be converted to a Python object for pickling')

    def __setstate__(self, state):
        raise TypeError('self._c_state cannot be converted to a Python object for pickling')


@cython.no_gc
cdef class Config:
    """
    Wrapper around lm::ngram::Config.
    Pass this to Model's constructor to set configuration options.
    """
    cdef _quarn.Config _c_config

    def __init__(self):
        self._c_config = _quarn.Config()

    property load_method:
        def __get__(self):
            return <unsigned int>self._c_config.load_method

        def __set__(self, to):
            self._c_config.load_method = <_quarn.LoadMethod>enum_value(to, 'util::LoadMethod')

    property show_progress:
        def __get__(self):
            return self._c_config.show_progress

        def __set__(self, bint to):
            self._c_config.show_progress = to

    property arpa_complain:
        def __get__(self):
            return <unsigned int>self._c_config.arpa_complain

        def __set__(self, to):
            self._c_config.arpa_complain = <_quarn.ARPALoadComplain>enum_value(
                to, 'lm::ngram::Config::ARPALoadComplain')

    def __reduce__(self):
        raise TypeError('self._c_config cannot be converted to a Python object for pickling')

    def __setstate__(self, state):
        raise TypeError('self._c_config cannot be converted to a Python object for pickling')


# The library model of a Model, or RuntimeError when its construction did
# not succeed.
cdef inline const _quarn.Model *loaded(Model self) except NULL:
    if self.model == NULL:
        raise RuntimeError('The model was not loaded')
    return self.model


# The Python ints 0 to 255, the values of an n-gram length.
cdef tuple _small_ints = tuple(range(256))


cdef enum:
    # Words that full_scores scores between resumptions of its body.
    kFullScoresBatch = 64
    # Sentences from this many bytes on are scored by score and full_scores
    # with the interpreter lock released.  Below, giving the lock away and
    # taking it back (which waits for the thread that took it when others
    # run Python) costs more than scoring the words meanwhile gains:
    # bench/RESULTS.md has the measurements.
    kReleaseBytes = 80


# Sums the log10 probabilities of the words of the text from text to end,
# scored from states[0], and of </s> after them when eos is true.
cdef float score_words(const _quarn.Model *model, const _quarn.Vocabulary *vocab, const char *text,
                       const char *end, _quarn.State *states, bint eos) noexcept nogil:
    cdef _quarn.WordIndex wid
    cdef int current = 0
    cdef float total = 0
    while next_word(vocab, &text, end, &wid):
        total += model.BaseScore(&states[current], wid, &states[1 - current])
        current = 1 - current
    if eos:
        total += model.BaseScore(&states[current], vocab.EndSentenceIndex(), &states[1 - current])
    return total


# Scores the next words of the text from at[0] to end, at most
# kFullScoresBatch of them, from states[current[0]] into returns; at[0] and
# current[0] move on.  Returns how many were scored, 0 when none is left.
cdef int full_scores_words(const _quarn.Model *model, const _quarn.Vocabulary *vocab, const char **at,
                           const char *end, _quarn.State *states, int *current,
                           _quarn.FullScoreReturn *returns, bint *oov) noexcept nogil:
    cdef _quarn.WordIndex wid
    cdef int i = current[0], count = 0
    while count < kFullScoresBatch and next_word(vocab, at, end, &wid):
        returns[count] = model.BaseFullScore(&states[i], wid, &states[1 - i])
        oov[count] = wid == 0
        i = 1 - i
        count += 1
    current[0] = i
    return count


# The tuples (log10 probability, n-gram length, out-of-vocabulary flag) of
# Model.full_scores for the next words of the text from at[0] to end, at most
# kFullScoresBatch of them, scored from states[current[0]]; at[0] and
# current[0] move on.  Empty when no word is left.  Scores with the
# interpreter lock released when at least kReleaseBytes of text are left.
cdef list full_scores_batch(Model self, const char **at, const char *end, _quarn.State *states, int *current):
    cdef const _quarn.Model *model = loaded(self)
    cdef _quarn.FullScoreReturn returns[kFullScoresBatch]
    cdef bint oov[kFullScoresBatch]
    cdef int count
    if end - at[0] < kReleaseBytes:
        count = full_scores_words(model, self.vocab, at, end, states, current, returns, oov)
    else:
        self.scoring += 1
        with nogil:
            count = full_scores_words(model, self.vocab, at, end, states, current, returns, oov)
        self.scoring -= 1
    return [(returns[i].prob, _small_ints[returns[i].ngram_length], oov[i]) for i in range(count)]


# Adds the position of the sentence that caused `error` to its message.
cdef void at_sentence(error, Py_ssize_t index):
    if isinstance(error, UnicodeError):
        error.reason = f'{error.reason} (sentence {index})'
    else:
        error.args = (f'sentence {index}: {error}',)


@cython.no_gc
cdef class Model:
    """
    Wrapper around lm::ngram::Model.
    """
    cdef _quarn.Model *model
    cdef public bytes path
    cdef const _quarn.Vocabulary *vocab
    # Calls scoring with the interpreter lock released, which keep the model
    # from being replaced.  Nothing else can free it meanwhile: each such
    # call holds a reference to this object.
    cdef int scoring

    def __init__(self, path, Config config=None):
        """
        Load the language model.

        :param path: path to an arpa file or a quarn binary file.
        :param config: configuration options (see lm/config for documentation)
        """
        if config is None:
            config = _default_config
        if self.scoring:
            raise RuntimeError('The model cannot be reloaded while another thread scores with it')
        # A path object (os.PathLike, such as pathlib.Path) gives its str
        # or bytes; any other type is left to as_str, which refuses it.
        absolute = os.path.abspath(as_str(os.fspath(path) if isinstance(path, os.PathLike) else path))
        # A second __init__ on the same object replaces the model it holds.
        self.vocab = NULL
        del self.model
        self.model = NULL
        self.path = absolute
        try:
            self.model = _quarn.LoadVirtual(self.path, config._c_config, _quarn.PROBING)
        except RuntimeError as exception:
            exception_message = str(exception).replace('\n', ' ')
            raise IOError('Cannot read model \'{}\' ({})'.format(path, exception_message)) from exception
        self.vocab = &self.model.VocabularyView()

    def __dealloc__(self):
        del self.model

    def score(self, sentence, bos = True, eos = True):
        """
        Return the log10 probability of a string.  By default, the string is
        treated as a sentence.  
          return log10 p(sentence </s> | <s>)

        If you do not want to condition on the beginning of sentence, pass
          bos = False
        Never include <s> as part of the string.  That would be predicting the
        beginning of sentence.  Language models are only supposed to condition
        on it as context.

        Similarly, the end of sentence token </s> can be omitted with
          eos = False
        Since language models explicitly predict </s>, it can be part of the
        string.

        Examples:

        #Good: returns log10 p(this is a sentence . </s> | <s>)
        model.score("this is a sentence .")
        #Good: same as the above but more explicit
        model.score("this is a sentence .", bos = True, eos = True)

        #Bad: never include <s>
        model.score("<s> this is a sentence")
        #Bad: never include <s>, even if bos = False.
        model.score("<s> this is a sentence", bos = False)

        #Good: returns log10 p(a fragment)
        model.score("a fragment", bos = False, eos = False)

        #Good: returns log10 p(a fragment </s>)
        model.score("a fragment", bos = False, eos = True)

        #Ok, but bad practice: returns log10 p(a fragment </s>)
        #Unlike <s>, the end of sentence token </s> can appear explicitly.
        model.score("a fragment </s>", bos = False, eos = False)
        """
        cdef const _quarn.Model *model = loaded(self)
        cdef const char *text
        cdef Py_ssize_t length
        cdef _quarn.State states[2]
        cdef bint with_bos = bos, with_eos = eos
        cdef float total
        owner = text_bytes(sentence, &text, &length)
        if with_bos and with_eos:
            if length < kReleaseBytes:
                return _quarn.ScoreSentence(model, text)
            self.scoring += 1
            with nogil:
                total = _quarn.ScoreSentence(model, text)
            self.scoring -= 1
            return total
        if with_bos:
            model.BeginSentenceWrite(&states[0])
        else:
            model.NullContextWrite(&states[0])
        if length < kReleaseBytes:
            return score_words(model, self.vocab, text, text + length, states, with_eos)
        self.scoring += 1
        with nogil:
            total = score_words(model, self.vocab, text, text + length, states, with_eos)
        self.scoring -= 1
        return total

    def score_batch(self, sentences, bos = True, eos = True, unsigned int threads = 1):
        """
        Return the list of score(sentence, bos, eos) for the sentences of an
        iterable of str or bytes, each bit for bit what score gives.

        The sentences are converted first; then they are scored with the
        interpreter lock released, so other Python threads (several
        score_batch calls on the same model among them) run meanwhile.  With
        threads > 1 the batch itself is shared among that many native
        threads; threads = 0 means one per processor.  An item that score
        refuses raises what score raises for it, with its position (counted
        from 0) in the message.
        """
        if isinstance(sentences, (str, bytes)):
            raise TypeError('score_batch takes an iterable of sentences, not one sentence')
        cdef const _quarn.Model *model = loaded(self)
        cdef _quarn.BatchOptions options
        options.bos = bos
        options.eos = eos
        options.threads = threads
        cdef const char *text
        cdef Py_ssize_t length
        cdef vector[_quarn.StringPiece] pieces
        cdef vector[float] scores
        # The objects that own the sentences' bytes.
        cdef list owners = []
        self.scoring += 1
        try:
            for index, sentence in enumerate(sentences):
                try:
                    owners.append(text_bytes(sentence, &text, &length))
                except (TypeError, UnicodeError) as error:
                    at_sentence(error, index)
                    raise
                if options.bos and options.eos:
                    # As in score: the sentence ends at its first NUL.
                    length = strlen(text)
                pieces.push_back(_quarn.StringPiece(text, length))
            scores.resize(pieces.size())
            with nogil:
                _quarn.ScoreBatch(model[0], pieces.data(), pieces.data() + pieces.size(), options, scores.data())
        finally:
            self.scoring -= 1
        return scores

    def perplexity(self, sentence):
        """
        Compute perplexity of a sentence.
        @param sentence One full sentence to score.  Do not include <s> or </s>.
        """
        words = len(as_str(sentence).split()) + 1  # </s>
        return 10.0**(-self.score(sentence) / words)

    def full_scores(self, sentence, bos = True, eos = True):
        """
        full_scores(sentence, bos = True, eos = True) -> generate full scores (prob, ngram length, oov)
        @param sentence is a string (do not use boundary symbols)
        @param bos should quarn add a bos state
        @param eos should quarn add an eos state
        """
        # Words are scored in batches: within a batch the generator hands out
        # tuples without resuming its body.
        cdef const char *text
        cdef const char *end
        cdef Py_ssize_t length
        cdef _quarn.State states[2]
        cdef int current = 0
        cdef _quarn.FullScoreReturn ret
        owner = text_bytes(sentence, &text, &length)
        end = text + length
        if bos:
            loaded(self).BeginSentenceWrite(&states[0])
        else:
            loaded(self).NullContextWrite(&states[0])
        while True:
            batch = full_scores_batch(self, &text, end, states, &current)
            if not batch:
                break
            yield from batch
        if eos:
            ret = loaded(self).BaseFullScore(&states[current], self.vocab.EndSentenceIndex(), &states[1 - current])
            yield (ret.prob, ret.ngram_length, False)

    def BeginSentenceWrite(self, State state not None):
        """Change the given state to a BOS state."""
        loaded(self).BeginSentenceWrite(&state._c_state)

    def NullContextWrite(self, State state not None):
        """Change the given state to a NULL state."""
        loaded(self).NullContextWrite(&state._c_state)

    def BaseScore(self, *args, **kwargs):
        """
        Return p(word|in_state) and update the output state.
        Wrapper around model.BaseScore(in_state, Index(word), out_state)

        :param word: the suffix
        :param state: the context (defaults to NullContext)
        :returns: p(word|state)
        """
        cdef State in_state, out_state
        in_state, word, out_state = state_word_state('BaseScore', args, kwargs)
        cdef const _quarn.Model *model = loaded(self)
        cdef bytes text = as_str(word)
        # The library needs two distinct records; in_state may be out_state.
        cdef _quarn.State context = in_state._c_state
        return model.BaseScore(&context, self.vocab.Index(text), &out_state._c_state)

    def BaseFullScore(self, *args, **kwargs):
        """
        Wrapper around model.BaseFullScore(in_state, Index(word), out_state)

        :param word: the suffix
        :param state: the context (defaults to NullContext)
        :returns: FullScoreReturn(word|state)
        """
        cdef State in_state, out_state
        in_state, word, out_state = state_word_state('BaseFullScore', args, kwargs)
        cdef const _quarn.Model *model = loaded(self)
        cdef bytes text = as_str(word)
        cdef _quarn.WordIndex wid = self.vocab.Index(text)
        cdef _quarn.State context = in_state._c_state
        cdef _quarn.FullScoreReturn ret = model.BaseFullScore(&context, wid, &out_state._c_state)
        return FullScoreReturn(ret.prob, ret.ngram_length, wid == 0)

    def __reduce__(self):
        return (Model, (self.path,))

    @property
    def order(self):
        return loaded(self).Order()

    def __contains__(self, word):
        loaded(self)
        cdef bytes text = as_str(word)
        return self.vocab.Index(text) != 0

    def __repr__(self):
        return '<Model from {0}>'.format(os.path.basename(self.path))


class LoadMethod:
    LAZY = 0
    POPULATE_OR_LAZY = 1
    POPULATE_OR_READ = 2
    READ = 3
    PARALLEL_READ = 4


class ARPALoadComplain:
    ALL = 0
    EXPENSIVE = 1
    NONE = 2


# The configuration of every Model constructed without one.
cdef Config _default_config = Config()


class LanguageModel(Model):
    """Backwards compatability stub.  Use Model."""


# ---------------------------------------------------------------- estimation

from collections import namedtuple as _namedtuple

EstimateOrder = _namedtuple('EstimateOrder', 'ngrams count_of_counts discounts fallback_used')
EstimateOrder.__doc__ = """One order of an estimated model: its n-grams in the model, the
count-of-counts t1..t4 of its adjusted counts, the discounts D1, D2, D3+,
and whether they are the fallback's."""
EstimateResult = _namedtuple('EstimateResult', 'lines tokens vocabulary orders')
EstimateResult.__doc__ = """What estimate() made: the lines that held words, their words, the
vocabulary size |V| (with <s>, </s> and <unk>), and an EstimateOrder per
order, unigrams first (none when only counts were written)."""


del _namedtuple

# The lines of a Python iterable for the library's CallbackLineSource.  The
# context is a list [iterator, the bytes of the line last handed over (alive
# until the next one), what the iterable or a conversion raised].
cdef int _next_line(void *context, const char **data, size_t *size) noexcept with gil:
    cdef list feed = <list>context
    cdef Py_ssize_t length
    try:
        feed[1] = text_bytes(next(feed[0]), data, &length)
    except StopIteration:
        return 0
    except BaseException as error:
        feed[2] = error
        return -1
    size[0] = length
    return 1


cdef _quarn.EstimateOptions estimate_options(order, memory, temp_prefix, discount_fallback, limit_vocab, prune,
                                             threads, bint show_progress) except *:
    cdef _quarn.EstimateOptions options
    options.order = order
    if not isinstance(threads, int) or threads < 0:
        raise ValueError(f'threads takes a count of 0 (one per processor) or more, not {threads!r}')
    options.threads = threads if threads else max(1, os.cpu_count() or 1)
    options.memory = memory if isinstance(memory, int) else _quarn.ParseSize(as_str(memory))
    if temp_prefix is not None:
        options.temp_prefix = as_str(os.fspath(temp_prefix))
    if discount_fallback is not None and discount_fallback is not False:
        options.discount_fallback = True
        if discount_fallback is not True:
            discounts = [float(d) for d in discount_fallback]
            if len(discounts) != 3:
                raise ValueError('discount_fallback takes three discounts D1, D2, D3')
            for k in range(3):
                options.fallback.amount[k] = discounts[k]
    if limit_vocab is not None:
        options.limit_vocab = as_str(os.fspath(limit_vocab))
    if prune is not None:
        for threshold in prune:
            if not isinstance(threshold, int) or threshold < 0:
                raise ValueError(f'prune takes counts of 0 or more, not {threshold!r}')
            options.prune.push_back(threshold)
    options.show_progress = show_progress
    options.messages = &_quarn.cerr if show_progress else NULL
    return options


cdef _quarn.ModelType binary_type(name) except *:
    cdef bytes spelled = as_str(name)
    found = _quarn.TypeNamed(_quarn.StringPiece(spelled, len(spelled)))
    if not found.has_value():
        raise ValueError(f'binary takes a model type such as probing or trie, not {name!r}')
    return found.value()


# Estimates into an unnamed temporary ARPA file named from `prefix` (from
# `text`, or when it is NULL from the count files `counts`) and builds the
# binary model of `model_type` from it into `binary_path`.
cdef _quarn.EstimateResult estimate_binary(_quarn.LineSource *text, const vector[string] *counts,
                                           const _quarn.EstimateOptions *options,
                                           bytes prefix, _quarn.ModelType model_type,
                                           const char *binary_path) except *:
    cdef _quarn.EstimateResult result
    cdef _quarn.Config config
    cdef string temp_prefix = prefix
    cdef int arpa = _quarn.MakeTemp(_quarn.StringPiece(prefix, len(prefix)))
    cdef bytes arpa_path = b'/proc/self/fd/%d' % arpa
    cdef const char *arpa_name = arpa_path
    cdef _quarn.Model *model
    try:
        with nogil:
            if text != NULL:
                result = _quarn.Estimate(text[0], options[0], arpa, temp_prefix)
            else:
                result = _quarn.EstimateFromCounts(counts[0], options[0], arpa, temp_prefix)
        config.show_progress = options.show_progress
        config.sort_memory = options.memory
        config.temp_prefix = temp_prefix
        config.binary_output_path = binary_path
        with nogil:
            model = _quarn.LoadVirtual(arpa_name, config, model_type)
            del model
    finally:
        os.close(arpa)
    return result


cdef _result(_quarn.EstimateResult result):
    return EstimateResult(result.lines, result.tokens, result.vocabulary, [
        EstimateOrder(summary.ngrams, tuple(summary.count_of_counts), tuple(summary.discounts.amount),
                      summary.fallback_used) for summary in result.orders])


cdef _quarn.ModelType checked_binary_type(binary, order) except *:
    model_type = binary_type(binary)
    if not 2 <= order <= _quarn.QUARN_MAX_ORDER:
        raise ValueError(f'a binary model needs an order from 2 to {_quarn.QUARN_MAX_ORDER}, not {order}')
    return model_type


def estimate(text, order, output, *, memory='1G', temp_prefix=None, discount_fallback=None,
             limit_vocab=None, prune=None, threads=2, show_progress=True, binary=None, counts_only=False):
    """
    Estimate an interpolated modified Kneser-Ney model of `order` and write it
    to `output` as an ARPA file, or with `binary` (a model type as the tools
    spell it: 'probing', 'trie', 'quant_trie', ...) as a binary model file.
    The output appears only once complete.

    :param text: a path (str, bytes or path object; gzip, bzip2 and xz text is
        decompressed) or an iterable of lines (str or bytes)
    :param memory: bytes for counting and sorting, an int or a size such as
        '2G' or '50%'
    :param temp_prefix: prefix of the temporary files (default: beside output)
    :param discount_fallback: True, or three discounts D1, D2, D3, for orders
        whose discounts cannot be estimated (default 0.5, 1, 1.5)
    :param limit_vocab: a path to a file of words (separated by blanks or
        lines): the words of the text that it lacks are read as <unk>
    :param prune: thresholds T2, T3, ...: the n-grams of order n >= 2 whose
        adjusted count is at most Tn are dropped (0 keeps all; orders beyond
        the last take the last; none below the one before), except those a
        kept longer n-gram needs as context or suffix
    :param threads: 1, or 2 for a second thread that counts, sorts and
        computes beside the first (0: one per processor; more than 2 are not
        used)
    :param show_progress: progress bars, warnings and the summary on
        standard error
    :param counts_only: write to `output` not the model but the count file
        of `text` for a model of `order`, which estimate_from_counts merges
        with the count files of other pieces of a text; `text` may then hold
        no word
    :return: EstimateResult (with counts_only: no orders)
    """
    cdef _quarn.EstimateOptions options = estimate_options(order, memory, temp_prefix, discount_fallback,
                                                           limit_vocab, prune, threads, show_progress)
    cdef _quarn.ModelType model_type = _quarn.PROBING
    if counts_only and binary is not None:
        raise ValueError('counts_only writes counts, not a binary model: it takes no binary')
    if binary is not None:
        model_type = checked_binary_type(binary, order)
    cdef bytes out = as_str(os.fspath(output))
    cdef string out_path = out
    cdef list feed = None
    cdef _quarn.LineSource *source
    cdef vector[string] paths
    if isinstance(text, (str, bytes, os.PathLike)):
        paths.push_back(as_str(os.fspath(text)))
        source = new _quarn.FileLineSource(paths)
    else:
        feed = [iter(text), None, None]
        source = new _quarn.CallbackLineSource(_next_line, <void *>feed, b'the lines given')
    cdef _quarn.PendingFile *pending = NULL
    cdef _quarn.EstimateResult result
    try:
        if counts_only:
            with nogil:
                result = _quarn.CountOnly(source[0], options, out_path)
        elif binary is None:
            with nogil:
                result = _quarn.Estimate(source[0], options, out_path)
        else:
            pending = new _quarn.PendingFile(out_path)
            prefix = as_str(os.fspath(temp_prefix)) if temp_prefix is not None else out + b'.'
            result = estimate_binary(source, NULL, &options, prefix, model_type, pending.Path())
            pending.Commit()
    except RuntimeError:
        if feed is not None and feed[2] is not None:
            raise feed[2]
        raise
    finally:
        del pending
        del source
    return _result(result)


def estimate_from_counts(counts, output, *, memory='1G', temp_prefix=None, discount_fallback=None,
                         prune=None, threads=2, show_progress=True, binary=None):
    """
    Merge the count files `counts` (that estimate(..., counts_only=True)
    wrote, all of one order) and write the model of their order to `output`
    as estimate() does.  Given the count files of the pieces of a text cut at
    line ends, in the text's order, the model is byte for byte the one
    estimate() makes from the whole text.

    :param counts: paths of count files (str, bytes or path objects)
    :param output: as for estimate()
    :param memory: bytes for merging and sorting, an int or a size such as
        '2G' or '50%'
    :param temp_prefix: prefix of the temporary files (default: beside output)
    :param discount_fallback: as for estimate()
    :param prune: as for estimate()
    :param threads: as for estimate()
    :param show_progress: progress bars, warnings and the summary on
        standard error
    :param binary: as for estimate()
    :return: EstimateResult, its lines and tokens summed over the files
    """
    cdef vector[string] paths
    for path in counts:
        paths.push_back(as_str(os.fspath(path)))
    if paths.empty():
        raise ValueError('estimate_from_counts needs at least one count file')
    cdef _quarn.EstimateOptions options = estimate_options(1, memory, temp_prefix, discount_fallback, None, prune,
                                                           threads, show_progress)
    cdef _quarn.ModelType model_type = _quarn.PROBING
    if binary is not None:
        model_type = checked_binary_type(binary, _quarn.CountFileOrder(paths[0]))
    cdef bytes out = as_str(os.fspath(output))
    cdef string out_path = out
    cdef _quarn.PendingFile *pending = NULL
    cdef _quarn.EstimateResult result
    try:
        if binary is None:
            with nogil:
                result = _quarn.EstimateFromCounts(paths, options, out_path)
        else:
            pending = new _quarn.PendingFile(out_path)
            prefix = as_str(os.fspath(temp_prefix)) if temp_prefix is not None else out + b'.'
            result = estimate_binary(NULL, &paths, &options, prefix, model_type, pending.Path())
            pending.Commit()
    finally:
        del pending
    return _result(result)
