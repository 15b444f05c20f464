// Sorting the n-grams of an ARPA file into temporary files for the trie
// builder.
//
// A trie is written in one pass only if the n-grams of every order arrive in
// its depth-first order.  SortedFiles reads the unigrams into a sorted
// vocabulary and an unigram file, then sorts every higher order with an
// external merge sort whose memory is bounded by a sort buffer.  All files
// are made from a name prefix with util::MakeTemp / util::FMakeTemp; their
// names are removed at creation, so they vanish once closed.  They hold
// records in the machine's byte order, without headers:
//
//   unigram file          lm::ProbBackoff per final word identifier,
//                         counts[0] + 1 records (record 0 is <unk>'s and all
//                         zero bytes when the text lacks <unk>)
//   full file of order n  n word identifiers, then lm::ProbBackoff (middle
//                         orders) or lm::Prob (the highest order), every
//                         n-gram of the order sorted by EntryCompare(n)
//   context file of n     n - 1 word identifiers: the distinct contexts of
//                         the order-n n-grams, sorted by EntryCompare(n - 1)
//
// Records hold their words in reverse text order, the most recent word
// first, so sorting them lexicographically gives the trie's depth-first
// order.  The context of a record is its words after the first.
#ifndef LM_TRIE_SORT_H
#define LM_TRIE_SORT_H

#include "lm/max_order.hh"
#include "lm/weights.hh"
#include "lm/word_index.hh"
#include "util/file.hh"
#include "util/scoped.hh"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace util {
class FilePiece;
}  // namespace util

namespace lm {
namespace ngram {

struct Config;
class SortedVocabulary;

namespace trie {

// Bytes of one record of a full file of `order`: its words and its weights
// (lm::Prob when `highest`, lm::ProbBackoff otherwise).
inline std::size_t RecordSize(unsigned char order, bool highest) {
  return order * sizeof(WordIndex) + (highest ? sizeof(Prob) : sizeof(ProbBackoff));
}

// Orders records by their first `order` word identifiers, compared as
// unsigned 32-bit numbers from the first word on.  Records need not be
// aligned.
class EntryCompare {
 public:
  explicit EntryCompare(unsigned char order) : order_(order) {}

  bool operator()(const void *first, const void *second) const {
    const unsigned char *a = static_cast<const unsigned char *>(first);
    const unsigned char *b = static_cast<const unsigned char *>(second);
    for (unsigned char i = 0; i < order_; ++i, a += sizeof(WordIndex), b += sizeof(WordIndex)) {
      WordIndex word_a, word_b;
      std::memcpy(&word_a, a, sizeof(WordIndex));
      std::memcpy(&word_b, b, sizeof(WordIndex));
      if (word_a != word_b) return word_a < word_b;
    }
    return false;
  }

 private:
  unsigned char order_;
};

// Reads a file of fixed-size records one record at a time and can rewrite
// the current record in place.  The stream is borrowed: the reader flushes
// it, then reads and writes its descriptor directly, in chunks of many
// records, so the stream must not be used while the reader is.  The reader
// owns the chunk and a buffer holding the current record, whose address
// stays the same from record to record.
class RecordReader {
 public:
  RecordReader() : file_(nullptr), valid_(false), entry_size_(0) {}

  // Reads `file` (null: no records) from its start in records of
  // `entry_size` bytes.  Throws util::ErrnoException when the buffers cannot
  // be allocated.
  void Init(std::FILE *file, std::size_t entry_size);

  // The next record; afterwards the reader tests false at the end of the
  // file (a partial record at the end is not read).  A read error throws
  // util::ErrnoException.
  RecordReader &operator++();

  // Whether there is a current record.
  explicit operator bool() const { return valid_; }

  // Back to the first record.
  void Rewind();

  // Writes `amount` bytes at `start`, a position inside Data(), to the same
  // place of the current record in the file.  The caller has changed the
  // buffer already.
  void Overwrite(const void *start, std::size_t amount);

  void *Data() { return data_.get(); }
  const void *Data() const { return data_.get(); }
  std::size_t EntrySize() const { return entry_size_; }

 private:
  // Reads the next chunk; false at the end of the file.
  bool NextChunk();

  std::FILE *file_;
  util::scoped_malloc data_;
  bool valid_;
  std::size_t entry_size_;
  util::scoped_malloc chunk_;
  std::size_t chunk_capacity_ = 0, chunk_fill_ = 0, chunk_position_ = 0;
  // File offsets of the chunk and of the current record.
  uint64_t chunk_offset_ = 0, record_offset_ = 0;
};

// The sorted temporary files of one ARPA text.  Owns every file it made
// until the unigram file is taken.
class SortedFiles {
 public:
  // Reads the rest of the text from `f`, which stands after the counts:
  // the unigrams into `vocab` (set up for counts[0] words) and the unigram
  // file, then every higher order through a sort buffer of at most `buffer`
  // bytes, then the end marker.  The buffer is split into two batches; with
  // config.arpa_threads above 1 a util::Worker sorts and writes one batch
  // while this thread reads the next.  The files, the errors and the
  // complaint (made in the turn of its n-gram) do not depend on the threads.  Adds one to counts[0] when the text lacks
  // <unk>, which holds identifier 0 either way.  counts.size() is the order,
  // at most QUARN_MAX_ORDER.  Temporary files are named `file_prefix`
  // followed by six characters.
  SortedFiles(const Config &config, util::FilePiece &f, std::vector<uint64_t> &counts, std::size_t buffer,
              const std::string &file_prefix, SortedVocabulary &vocab);

  // The streams of order `order` (2 to the model's order), owned by this
  // object; null when the order has no n-grams.
  std::FILE *FullFile(unsigned char order) { return full_[order - 2].get(); }
  std::FILE *ContextFile(unsigned char order) { return context_[order - 2].get(); }

  // Gives up the unigram file's read-write descriptor; this object then
  // holds -1.
  int TakeUnigramFile() { return unigram_.release(); }

 private:
  util::scoped_fd unigram_;
  util::scoped_FILE full_[QUARN_MAX_ORDER - 1];
  util::scoped_FILE context_[QUARN_MAX_ORDER - 1];
};

}  // namespace trie
}  // namespace ngram
}  // namespace lm

#endif  // LM_TRIE_SORT_H
