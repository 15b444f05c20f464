# Declarations of the C++ library interfaces that the quarn module calls.
from libc.stdint cimport uint32_t, uint64_t
from libcpp cimport bool as cbool
from libcpp.optional cimport optional
from libcpp.string cimport string
from libcpp.vector cimport vector

cdef extern from "util/mmap.hh" namespace "util" nogil:
    cdef enum LoadMethod:
        LAZY
        POPULATE_OR_LAZY
        POPULATE_OR_READ
        READ
        PARALLEL_READ

cdef extern from "util/string_piece.hh" nogil:
    cdef cppclass StringPiece:
        StringPiece()
        StringPiece(const char *data, size_t length)

cdef extern from "util/split_words.hh" namespace "util" nogil:
    cdef enum class NulByte:
        kEndsSentence
        kEndsWord
    # Splits at the six ASCII whitespace bytes that bytes.split() uses.
    cbool NextWord(const char *&at, const char *end, NulByte nul, StringPiece &word)

cdef extern from "lm/word_index.hh" namespace "lm" nogil:
    ctypedef uint32_t WordIndex

cdef extern from "lm/return.hh" namespace "lm" nogil:
    cdef struct FullScoreReturn:
        float prob
        unsigned char ngram_length

cdef extern from "lm/state.hh" namespace "lm::ngram" nogil:
    # A class, not a struct, so that Cython never converts it to a Python
    # object (State objects refuse pickling).
    cdef cppclass State:
        int Compare(const State &other)
        unsigned char length

    uint64_t hash_value(const State &state)

cdef extern from "lm/virtual_interface.hh" namespace "lm::base" nogil:
    cdef cppclass Vocabulary:
        WordIndex Index(const char *word)
        WordIndex Index(const StringPiece &word)
        WordIndex BeginSentenceIndex()
        WordIndex EndSentenceIndex()
        WordIndex UnknownIndex()

    cdef cppclass Model:
        uint64_t StateBytes()
        void BeginSentenceWrite(void *to)
        void NullContextWrite(void *to)
        unsigned char Order()
        const Vocabulary &VocabularyView()
        float BaseScore(const void *in_state, WordIndex new_word, void *out_state)
        FullScoreReturn BaseFullScore(const void *in_state, WordIndex new_word, void *out_state)

cdef extern from "lm/score_sentence.hh" namespace "lm::base" nogil:
    float ScoreSentence(const Model *model, const char *sentence)

cdef extern from "lm/score_batch.hh" namespace "lm::base" nogil:
    cdef cppclass BatchOptions:
        cbool bos
        cbool eos
        unsigned int threads

    void ScoreBatch(const Model &model, const StringPiece *begin, const StringPiece *end,
                    const BatchOptions &options, float *scores) except +

cdef extern from "lm/config.hh" namespace "lm::ngram" nogil:
    cdef cppclass Config:
        Config()
        cbool show_progress
        ARPALoadComplain arpa_complain
        LoadMethod load_method
        uint64_t sort_memory
        string temp_prefix
        const char *binary_output_path

    cdef enum ARPALoadComplain "lm::ngram::Config::ARPALoadComplain":
        ALL "lm::ngram::Config::ALL"
        EXPENSIVE "lm::ngram::Config::EXPENSIVE"
        NONE "lm::ngram::Config::NONE"

cdef extern from "lm/model_type.hh" namespace "lm::ngram" nogil:
    cdef enum ModelType:
        PROBING

    optional[ModelType] TypeNamed(StringPiece name)

cdef extern from "lm/max_order.hh":
    const int QUARN_MAX_ORDER

cdef extern from "lm/model.hh" namespace "lm::ngram" nogil:
    Model *LoadVirtual(const char *file_name, const Config &config, ModelType model_type) except +

cdef extern from "<iostream>" namespace "std" nogil:
    cdef cppclass ostream:
        pass
    ostream cerr

cdef extern from "util/usage.hh" namespace "util" nogil:
    uint64_t ParseSize(const string &text) except +

cdef extern from "util/file.hh" namespace "util" nogil:
    int MakeTemp(const StringPiece &name_prefix) except +

cdef extern from "util/scoped.hh" namespace "util" nogil:
    cdef cppclass scoped_fd:
        scoped_fd(int fd)
        int get()

cdef extern from "util/pending_file.hh" namespace "util" nogil:
    cdef cppclass PendingFile:
        PendingFile(const string &output) except +
        int Descriptor()
        const char *Path()
        void Commit() except +

cdef extern from "lm/estimate/line_source.hh" namespace "lm::estimate" nogil:
    cdef cppclass LineSource:
        pass

cdef extern from "lm/estimate/text_source.hh" namespace "lm::estimate" nogil:
    cdef cppclass FileLineSource(LineSource):
        FileLineSource(vector[string] paths) except +

    ctypedef int (*NextLineCallback)(void *context, const char **data, size_t *size) noexcept

    cdef cppclass CallbackLineSource(LineSource):
        CallbackLineSource(NextLineCallback next, void *context, string name) except +

cdef extern from "lm/estimate/estimate.hh" namespace "lm::estimate" nogil:
    cdef struct Discounts:
        double amount[3]

    cdef cppclass EstimateOptions:
        unsigned order
        uint64_t memory
        string temp_prefix
        cbool discount_fallback
        Discounts fallback
        string limit_vocab
        vector[uint64_t] prune
        unsigned threads
        ostream *messages
        cbool show_progress

    cdef cppclass OrderSummary:
        uint64_t ngrams
        uint64_t count_of_counts[4]
        Discounts discounts
        cbool fallback_used

    cdef cppclass EstimateResult:
        uint64_t lines
        uint64_t tokens
        uint64_t vocabulary
        vector[OrderSummary] orders

    EstimateResult Estimate(LineSource &text, const EstimateOptions &options, const string &arpa_path) except +
    EstimateResult Estimate(LineSource &text, const EstimateOptions &options, int arpa_fd,
                            const string &temp_prefix) except +
    EstimateResult CountOnly(LineSource &text, const EstimateOptions &options, const string &counts_path) except +
    EstimateResult EstimateFromCounts(const vector[string] &counts_paths, const EstimateOptions &options,
                                      const string &arpa_path) except +
    EstimateResult EstimateFromCounts(const vector[string] &counts_paths, const EstimateOptions &options,
                                      int arpa_fd, const string &temp_prefix) except +

cdef extern from "lm/estimate/count_file.hh" namespace "lm::estimate" nogil:
    unsigned CountFileOrder(const string &path) except +
