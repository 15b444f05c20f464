// ArpaWriter: writes an ARPA file through a large buffer.
//
// Header(counts) writes "\data\" and one "ngram n=<count>" line per order;
// BeginOrder(n) starts the "\n-grams:" section; Entry writes
// "<log10 p>\t<w1> ... <wn>[\t<log10 backoff>]"; Finish writes "\end\" and
// flushes.  Values come in double precision as log10 values and are written
// as the shortest decimal that reads back as the same 32-bit float.  The
// descriptor is borrowed.
#ifndef LM_ESTIMATE_ARPA_WRITER_H
#define LM_ESTIMATE_ARPA_WRITER_H

#include "lm/estimate/ngram_record.hh"
#include "lm/estimate/vocabulary.hh"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace lm {
namespace estimate {

class ArpaWriter {
 public:
  ArpaWriter(int fd, const Vocabulary &vocab);

  void Header(const std::vector<uint64_t> &counts);
  void BeginOrder(unsigned order);

  // `backoff` null: the entry has none.
  void Entry(double log10_prob, const WordId *words, unsigned order, const double *backoff) {
    if (static_cast<std::size_t>(end_ - current_) < kEntryRoom) Flush();
    current_ = Number(log10_prob, current_);
    for (unsigned i = 0; i < order; ++i) {
      *current_++ = i ? ' ' : '\t';
      const StringPiece word = vocab_.Word(words[i]);
      if (static_cast<std::size_t>(end_ - current_) < word.size() + kEntryRoom) {
        LongWord(word);
        continue;
      }
      current_ = CopyWord(word, current_);
    }
    if (backoff) {
      *current_++ = '\t';
      current_ = Number(*backoff, current_);
    }
    *current_++ = '\n';
  }

  void Finish();

 private:
  // Room for a number and the separators around it.
  static constexpr std::size_t kEntryRoom = 64;

  static char *Number(double value, char *to);
  // Words are short: two overlapping copies of fixed size beat a library
  // call.  Reads and writes stay within the word.
  static char *CopyWord(StringPiece word, char *to) {
    const char *from = word.data();
    const std::size_t size = word.size();
    if (size >= 8 && size <= 16) {
      std::memcpy(to, from, 8);
      std::memcpy(to + size - 8, from + size - 8, 8);
    } else if (size >= 4 && size < 8) {
      std::memcpy(to, from, 4);
      std::memcpy(to + size - 4, from + size - 4, 4);
    } else if (size < 4) {
      for (std::size_t i = 0; i < size; ++i) to[i] = from[i];
    } else {
      std::memcpy(to, from, size);
    }
    return to + size;
  }
  void Append(const char *text);
  // Writes a word that does not fit what is left of the buffer.
  void LongWord(StringPiece word);
  void Flush();

  int fd_;
  const Vocabulary &vocab_;
  std::unique_ptr<char[]> buffer_;
  char *current_, *end_;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_ARPA_WRITER_H
