// The abstract interfaces through which every query enters the library.
//
// lm::base::Vocabulary maps words to identifiers; lm::base::Model scores a
// word after a state.  States are passed as untyped pointers to the concrete
// model's state record (lm::ngram::State for every model here); in_state and
// out_state must be different records.  lm::base::ModelFacade adapts a
// concrete model's typed FullScore and FullScoreForgotState to the virtual
// operations.  Models are deleted through the virtual destructor.
// BaseScoreBatch scores whole sentences on the calling thread; callers use
// lm::base::ScoreBatch (lm/score_batch.hh), which shares them among threads.
#ifndef LM_VIRTUAL_INTERFACE_H
#define LM_VIRTUAL_INTERFACE_H

#include "lm/return.hh"
#include "lm/word_index.hh"
#include "util/string_piece.hh"

#include <cstdint>
#include <cstring>
#include <string>

namespace lm {
namespace base {

struct BatchOptions;

class Vocabulary {
 public:
  virtual ~Vocabulary();

  WordIndex BeginSentenceIndex() const { return begin_sentence_; }
  WordIndex EndSentenceIndex() const { return end_sentence_; }
  WordIndex UnknownIndex() const { return not_found_; }

  // The identifier of `word`, or the not-found index (0).
  virtual WordIndex Index(const StringPiece &word) const = 0;
  // Counts embedded NUL bytes.
  virtual WordIndex Index(const std::string &word) const { return Index(StringPiece(word)); }
  // Stops at the first NUL; a null pointer looks up the empty word.
  virtual WordIndex Index(const char *word) const { return Index(StringPiece(word)); }

 protected:
  Vocabulary() : begin_sentence_(0), end_sentence_(0), not_found_(0) {}
  Vocabulary(const Vocabulary &) = delete;
  Vocabulary &operator=(const Vocabulary &) = delete;

  void SetSpecial(WordIndex begin_sentence, WordIndex end_sentence, WordIndex not_found) {
    begin_sentence_ = begin_sentence;
    end_sentence_ = end_sentence;
    not_found_ = not_found;
  }

  WordIndex begin_sentence_, end_sentence_, not_found_;
};

class Model {
 public:
  virtual ~Model();

  uint64_t StateBytes() const { return state_size_; }
  const void *BeginSentenceRecord() const { return begin_sentence_memory_; }
  const void *NullContextRecord() const { return null_context_memory_; }
  void BeginSentenceWrite(void *to) const { std::memcpy(to, begin_sentence_memory_, state_size_); }
  void NullContextWrite(void *to) const { std::memcpy(to, null_context_memory_, state_size_); }
  unsigned char Order() const { return order_; }
  const Vocabulary &VocabularyView() const { return *base_vocab_; }

  virtual float BaseScore(const void *in_state, WordIndex new_word, void *out_state) const = 0;
  virtual FullScoreReturn BaseFullScore(const void *in_state, WordIndex new_word, void *out_state) const = 0;
  virtual FullScoreReturn BaseFullScoreForgotState(const WordIndex *context_rbegin, const WordIndex *context_rend,
                                                   WordIndex new_word, void *out_state) const = 0;
  // scores[i] = log10 p(begin[i]) for the sentences [begin, end), as
  // lm::base::ScoreBatch defines it; options.threads is not consulted.
  virtual void BaseScoreBatch(const StringPiece *begin, const StringPiece *end, const BatchOptions &options,
                              float *scores) const = 0;

 protected:
  explicit Model(uint64_t state_size)
      : state_size_(state_size), begin_sentence_memory_(nullptr), null_context_memory_(nullptr),
        base_vocab_(nullptr), order_(0) {}
  Model(const Model &) = delete;
  Model &operator=(const Model &) = delete;

  const uint64_t state_size_;
  const void *begin_sentence_memory_, *null_context_memory_;
  const Vocabulary *base_vocab_;
  unsigned char order_;
};

// Derived supplies FullScore and FullScoreForgotState over StateRecord.
template <class Derived, class StateRecord, class VocabularyT>
class ModelFacade : public Model {
 public:
  typedef StateRecord State;
  typedef VocabularyT Vocabulary;

  float BaseScore(const void *in_state, WordIndex new_word, void *out_state) const override {
    return Child().FullScore(*static_cast<const State *>(in_state), new_word, *static_cast<State *>(out_state)).prob;
  }

  FullScoreReturn BaseFullScore(const void *in_state, WordIndex new_word, void *out_state) const override {
    return Child().FullScore(*static_cast<const State *>(in_state), new_word, *static_cast<State *>(out_state));
  }

  FullScoreReturn BaseFullScoreForgotState(const WordIndex *context_rbegin, const WordIndex *context_rend,
                                           WordIndex new_word, void *out_state) const override {
    return Child().FullScoreForgotState(context_rbegin, context_rend, new_word, *static_cast<State *>(out_state));
  }

  const State &BeginSentenceState() const { return begin_sentence_; }
  const State &NullContextState() const { return null_context_; }
  const Vocabulary &GetVocabulary() const { return *static_cast<const Vocabulary *>(base_vocab_); }

 protected:
  ModelFacade() : Model(sizeof(State)) {}
  virtual ~ModelFacade() {}

  // Called once by the concrete constructor after loading.
  void Init(const State &begin_sentence, const State &null_context, const Vocabulary &vocab, unsigned char order) {
    begin_sentence_ = begin_sentence;
    null_context_ = null_context;
    begin_sentence_memory_ = &begin_sentence_;
    null_context_memory_ = &null_context_;
    base_vocab_ = &vocab;
    order_ = order;
  }

 private:
  const Derived &Child() const { return *static_cast<const Derived *>(this); }

  State begin_sentence_, null_context_;
};

}  // namespace base
}  // namespace lm

#endif  // LM_VIRTUAL_INTERFACE_H
