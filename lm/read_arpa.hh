// The strict ARPA reader: free functions that parse an ARPA file piece by
// piece from a util::FilePiece, in file order.
//
// A load calls ReadARPACounts; then ReadNGramHeader(in, 1) and Read1Gram once
// per declared 1-gram; then, for each order n from 2 up, ReadNGramHeader(in, n)
// and ReadNGram once per declared n-gram; finally ReadEnd.  One
// PositiveProbWarn serves the whole load.
//
// Every error the reader raises itself is an lm::FormatLoadException.  Errors
// raised while one entry is read (by the reader, the text reader or the
// vocabulary) get " in the <n>-gram at byte <offset>" appended.  A file that
// ends early fails with util::EndOfFileException.
//
// Stored backoffs: an absent backoff and a zero one (either sign) are stored
// as negative zero, the no-extension marker of lm/blank.hh.  A positive log
// probability is reported through PositiveProbWarn and stored as 0.
//
// Entry lines are read token by token straight out of the reader's buffer and
// allocate nothing; words are views into that buffer, valid only until the
// next read.
#ifndef LM_READ_ARPA_H
#define LM_READ_ARPA_H

#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/weights.hh"
#include "lm/word_index.hh"
#include "util/file_piece.hh"
#include "util/string_piece.hh"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lm {

// The smallest buffer the text reader is given for an ARPA file.
constexpr std::size_t kARPAReaderBuffer = 1 << 20;

// Empties `counts`, passes over the preamble (blank lines and lines beginning
// with '#'), requires "\data\" and reads the counts lines up to the first
// blank line, one count per order (index 0 for 1-grams).  Recognises gzip,
// binary model and IRSTLM files and says so.
void ReadARPACounts(util::FilePiece &in, std::vector<uint64_t> &counts);

// Passes over blank lines and requires the next line to be "\<order>-grams:".
void ReadNGramHeader(util::FilePiece &in, unsigned int order);

// Beyond this count the sizes computed from counts could overflow.
constexpr uint64_t kMaxCount = uint64_t{1} << 44;

// Refuses a count above kMaxCount, and 1-grams too many for their word
// identifiers (and <unk>'s) to fit a WordIndex.  ReadARPACounts applies it;
// a binary file's header needs it too.
void CheckCountRange(const std::vector<uint64_t> &counts);

// The backoff part of a highest-order entry: nothing, or a tab and a number
// that must be zero.  After the number nothing is consumed.
void ReadBackoff(util::FilePiece &in, Prob &weights);
// The backoff part of a lower-order entry: a tab, a finite number and a line
// end, or just a line end.  Stores the backoff in `backoff`.
void ReadBackoff(util::FilePiece &in, float &backoff);
inline void ReadBackoff(util::FilePiece &in, ProbBackoff &weights) { ReadBackoff(in, weights.backoff); }
inline void ReadBackoff(util::FilePiece &in, RestWeights &weights) { ReadBackoff(in, weights.backoff); }

// Requires the next byte to be a newline.
void ConsumeNewline(util::FilePiece &in);

// Passes over blank lines, requires "\end\" and then only blank lines up to
// the end of the file.
void ReadEnd(util::FilePiece &in);

// What a load does about a positive log probability: throw (THROW_ERROR, the
// default), complain once on std::cerr and then stay silent (COMPLAIN), or
// nothing (SILENT).
class PositiveProbWarn {
 public:
  PositiveProbWarn() : action_(THROW_ERROR) {}
  explicit PositiveProbWarn(WarnPolicy action) : action_(action) {}

  void Warn(float prob);

  // What the next Warn does.
  WarnPolicy Action() const { return action_; }

 private:
  WarnPolicy action_;
};

// The policy of a PositiveProbWarn, for a reader that runs ahead of the
// thread that uses what it reads: THROW_ERROR throws at once, as
// PositiveProbWarn does; the complaint of COMPLAIN is only noted, so that
// the using thread can make it (PositiveProbWarn::Warn with TakeNoted's
// probability) when it reaches the entry, in the entry's turn.
class NotedPositiveProbWarn {
 public:
  explicit NotedPositiveProbWarn(const PositiveProbWarn &warn) : action_(warn.Action()) {}

  void Warn(float prob) {
    if (action_ == THROW_ERROR) PositiveProbWarn().Warn(prob);
    if (action_ != COMPLAIN) return;
    noted_ = true;
    prob_ = prob;
    action_ = SILENT;
  }

  // Whether Warn noted a complaint since the last call; if so, its
  // probability goes to `prob`.
  bool TakeNoted(float &prob) {
    if (!noted_) return false;
    noted_ = false;
    prob = prob_;
    return true;
  }

 private:
  WarnPolicy action_;
  bool noted_ = false;
  float prob_ = 0.0f;
};

// Tab, newline, carriage return and space: the bytes that separate the tokens
// of an entry line.  Vertical tab and form feed may be part of a word.
extern const bool kARPASpaces[256];

// Reads one 1-gram entry: probability, tab, word, backoff part.  Inserts the
// word into `vocab` and fills unigrams[identifier].
template <class Voc, class Weights>
void Read1Gram(util::FilePiece &f, Voc &vocab, Weights *unigrams, PositiveProbWarn &warn) {
  try {
    float prob = f.ReadFloat();
    if (prob > 0.0f) {
      warn.Warn(prob);
      prob = 0.0f;
    }
    UTIL_THROW_IF(f.get() != '\t', FormatLoadException, "Expected tab after probability");
    f.SkipDelimiters(kARPASpaces);
    const StringPiece word = f.ReadUntilDelimiter(kARPASpaces);
    // A binary file lists the words separated by NUL bytes, so a word may not
    // contain one.
    UTIL_THROW_IF(std::memchr(word.data(), '\0', word.size()), FormatLoadException,
                  "A word contains a NUL byte");
    Weights &weights = unigrams[vocab.Insert(word)];
    weights.prob = prob;
    ReadBackoff(f, weights.backoff);
  } catch (util::Exception &e) {
    e << " in the 1-gram at byte " << f.ByteOffset();
    throw;
  }
}

// Looks ahead of the entries of order `n` being read: before each entry,
// Ahead starts fetching the vocabulary entries of the words of the lines up
// to kBytes past it that are already in the reader's buffer, so that their
// lookups by ReadNGram wait for memory together instead of one after the
// other.  It only reads the buffer: what ReadNGram does and throws is the
// same with or without it.  `Voc` has Prefetch(word).
template <class Voc> class VocabLookAhead {
 public:
  static constexpr uint64_t kBytes = 512;

  VocabLookAhead(const Voc &vocab, unsigned char n) : vocab_(vocab), n_(n) {}

  void Ahead(const util::FilePiece &f) {
    const uint64_t at = f.ByteOffset();
    const StringPiece buffered = f.Buffered();
    if (cursor_ < at) cursor_ = at;
    while (cursor_ < at + kBytes && cursor_ - at < buffered.size()) {
      const char *line = buffered.data() + (cursor_ - at);
      const char *end = static_cast<const char *>(std::memchr(line, '\n', buffered.end() - line));
      if (!end) return;
      PrefetchWords(line, end);
      cursor_ += static_cast<uint64_t>(end + 1 - line);
    }
  }

 private:
  // The words are the n tokens after the probability.  Always inlined: a
  // call that only prefetches would be dropped.
  [[gnu::always_inline]] void PrefetchWords(const char *at, const char *end) const {
    for (unsigned char i = 0; i <= n_ && at != end; ++i) {
      const char *token = Skip(at, end, false);
      if (i) vocab_.Prefetch(StringPiece(at, static_cast<std::size_t>(token - at)));
      at = Skip(token, end, true);
    }
  }

  // Past the bytes that are (`spaces`) or are not delimiters.
  static const char *Skip(const char *at, const char *end, bool spaces) {
    while (at != end && kARPASpaces[static_cast<unsigned char>(*at)] == spaces) ++at;
    return at;
  }

  const Voc &vocab_;
  const unsigned char n_;
  uint64_t cursor_ = 0;
};

// Reads one entry of order `n`: probability, n words, backoff part.  Looks
// each word up in `vocab` and writes its identifier through `indices_out` in
// file order; a word the vocabulary lacks is refused unless it is "<unk>" or
// "<UNK>" (identifier 0).  `warn` is a PositiveProbWarn or a
// NotedPositiveProbWarn.
template <class Voc, class Weights, class Iterator, class Warn>
void ReadNGram(util::FilePiece &f, const unsigned char n, const Voc &vocab, Iterator indices_out, Weights &weights,
               Warn &warn) {
  try {
    weights.prob = f.ReadFloat();
    if (weights.prob > 0.0f) {
      warn.Warn(weights.prob);
      weights.prob = 0.0f;
    }
    for (unsigned char i = 0; i < n; ++i, ++indices_out) {
      f.SkipDelimiters(kARPASpaces);
      StringPiece word(f.ReadUntilDelimiter(kARPASpaces));
      WordIndex index = vocab.Index(word);
      *indices_out = index;
      UTIL_THROW_IF(index == 0 && (word != StringPiece("<unk>", 5)) && (word != StringPiece("<UNK>", 5)),
                    FormatLoadException,
                    "Word " << util::Excerpt(word)
                            << " was not seen in the unigrams (which are supposed to list the entire vocabulary) "
                               "but appears");
    }
    ReadBackoff(f, weights);
  } catch (util::Exception &e) {
    e << " in the " << static_cast<unsigned int>(n) << "-gram at byte " << f.ByteOffset();
    throw;
  }
}

}  // namespace lm

#endif  // LM_READ_ARPA_H
