#include "lm/trie_sort.hh"

#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/read_arpa.hh"
#include "lm/sorted_vocab.hh"
#include "lm/vocab.hh"
#include "lm/weights.hh"
#include "util/exception.hh"
#include "util/file_piece.hh"
#include "util/mmap.hh"
#include "util/sized_iterator.hh"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <utility>

namespace lm {
namespace ngram {
namespace trie {

void RecordReader::Init(std::FILE *file, std::size_t entry_size) {
  data_.reset(std::malloc(entry_size));
  UTIL_THROW_IF(!data_.get(), util::ErrnoException, "Failed to malloc read buffer");
  file_ = file;
  entry_size_ = entry_size;
  Rewind();
}

RecordReader &RecordReader::operator++() {
  valid_ = std::fread(data_.get(), entry_size_, 1, file_) == 1;
  UTIL_THROW_IF_TEXT(!valid_ && !std::feof(file_), "!feof(file_)", util::ErrnoException, ,
                     "Error reading temporary file");
  return *this;
}

void RecordReader::Rewind() {
  if (!file_) {
    valid_ = false;
    return;
  }
  std::rewind(file_);
  ++*this;
}

void RecordReader::Overwrite(const void *start, std::size_t amount) {
  const long internal = static_cast<const unsigned char *>(start) - static_cast<const unsigned char *>(data_.get());
  const long entry_size = static_cast<long>(entry_size_);
  UTIL_THROW_IF_TEXT(std::fseek(file_, internal - entry_size, SEEK_CUR), "fseek(file_, internal - entry_size_, 1)",
                     util::ErrnoException, , "Couldn't seek backwards for revision");
  util::WriteOrThrow(file_, start, amount);
  // Seeking even when the bytes ended at the record's end: the stream must
  // not go from writing to reading without a seek.
  const long forward = entry_size - internal - static_cast<long>(amount);
  UTIL_THROW_IF_TEXT(std::fseek(file_, forward, SEEK_CUR), "fseek(file_, forward, 1)", util::ErrnoException, ,
                     "Couldn't seek forwards past revision");
}

namespace {

// The sort buffer: `given` bytes, but no more than the largest order needs
// and at least one record of the highest order (the largest kind), so that
// every batch holds a record.
std::size_t SortBufferSize(const std::vector<uint64_t> &counts, std::size_t given) {
  const unsigned char order = static_cast<unsigned char>(counts.size());
  uint64_t need = 0;
  for (unsigned char n = 2; n <= order; ++n) need = std::max<uint64_t>(need, RecordSize(n, n == order) * counts[n - 1]);
  return static_cast<std::size_t>(std::max<uint64_t>(std::min<uint64_t>(given, need), RecordSize(order, true)));
}

// Reads the 1-gram section into `vocab` and into a zero-filled mapping of
// the unigram file `fd`, which finishing the vocabulary leaves indexed by
// final identifier.
void ReadUnigrams(util::FilePiece &f, uint64_t count, int fd, SortedVocabulary &vocab, PositiveProbWarn &warn) {
  const std::size_t size = static_cast<std::size_t>((count + 1) * sizeof(ProbBackoff));
  util::scoped_mmap mapped(util::MapZeroedWrite(fd, size), size);
  ProbBackoff *unigrams = static_cast<ProbBackoff *>(mapped.get());
  ReadNGramHeader(f, 1);
  for (uint64_t i = 0; i < count; ++i) Read1Gram(f, vocab, unigrams, warn);
  vocab.FinishedLoading(unigrams);
}

// Applies the policies for missing special words.  <unk> holds identifier
// 0 either way, so counts[0] grows by one when the text lacked it.
void CheckSpecialWords(const Config &config, const SortedVocabulary &vocab, std::vector<uint64_t> &counts) {
  if (!vocab.SawUnk()) MissingUnknown(config);
  if (vocab.BeginSentenceIndex() == vocab.UnknownIndex()) MissingSentenceMarker(config, "<s>");
  if (vocab.EndSentenceIndex() == vocab.UnknownIndex()) MissingSentenceMarker(config, "</s>");
  if (!vocab.SawUnk()) ++counts[0];
}

// Thrown without a location: the message is for the author of the file.
[[noreturn]] void ThrowDuplicate(const void *record, unsigned char order) {
  FormatLoadException e;
  e << "Duplicate n-gram detected with vocab ids";
  const WordIndex *words = static_cast<const WordIndex *>(record);
  for (unsigned char i = 0; i < order; ++i) e << ' ' << words[i];
  throw e;
}

// Sorted runs of one kind of record, merged pairwise first in, first out.
// A record found in both runs of a merge is refused (n-grams) or written
// once (contexts).  Closes the runs it holds when it goes away.
class RunQueue {
 public:
  RunQueue(const std::string &prefix, std::size_t entry_size, unsigned char words, bool collapse_duplicates)
      : prefix_(prefix), entry_size_(entry_size), words_(words), less_(words), collapse_(collapse_duplicates) {}

  void Push(util::scoped_FILE run) { runs_.push_back(std::move(run)); }
  std::size_t Size() const { return runs_.size(); }

  // Merges the first two runs into a new run at the back.
  void MergeFront();

  // The first run, or null when there is none.
  util::scoped_FILE TakeFront() { return runs_.empty() ? util::scoped_FILE() : std::move(runs_.front()); }

 private:
  void CopyRecord(RecordReader &from, std::FILE *to) const {
    util::WriteOrThrow(to, from.Data(), entry_size_);
    ++from;
  }

  const std::string &prefix_;
  const std::size_t entry_size_;
  const unsigned char words_;
  const EntryCompare less_;
  const bool collapse_;
  std::deque<util::scoped_FILE> runs_;
};

void RunQueue::MergeFront() {
  util::scoped_FILE out(util::FMakeTemp(prefix_));
  RecordReader first, second;
  first.Init(runs_[0].get(), entry_size_);
  second.Init(runs_[1].get(), entry_size_);
  while (first && second) {
    if (less_(first.Data(), second.Data())) {
      CopyRecord(first, out.get());
    } else if (less_(second.Data(), first.Data())) {
      CopyRecord(second, out.get());
    } else {
      if (!collapse_) ThrowDuplicate(first.Data(), words_);
      CopyRecord(first, out.get());
      ++second;
    }
  }
  while (first) CopyRecord(first, out.get());
  while (second) CopyRecord(second, out.get());
  runs_.push_back(std::move(out));
  runs_.pop_front();
  runs_.pop_front();
}

// Sorts the n-grams of one order after another through one sort buffer:
// batches that fit the buffer are read, sorted and written as runs, which
// are then merged.
class NGramSorter {
 public:
  NGramSorter(util::FilePiece &f, const SortedVocabulary &vocab, PositiveProbWarn &warn, const std::string &prefix,
              std::size_t buffer_size);

  // Reads the section of order `order` with its `count` n-grams and leaves
  // them sorted in `full` and their distinct contexts in `context`; both
  // stay null when there are none.
  void Sort(unsigned char order, uint64_t count, bool highest, util::scoped_FILE &full, util::scoped_FILE &context);

 private:
  template <class Weights> void ReadBatch(unsigned char order, std::size_t count, std::size_t entry_size);

  // The sorted batch holds each n-gram once: equal records sit side by side.
  void RefuseDuplicates(unsigned char order, std::size_t count, std::size_t entry_size);
  util::scoped_FILE WriteRun(std::size_t bytes) const;

  // Sorts the contexts of the batch in place, moving only their bytes, and
  // writes each distinct one once.  The buffer no longer holds whole records
  // afterwards.
  util::scoped_FILE WriteContexts(unsigned char order, std::size_t count, std::size_t entry_size);

  unsigned char *Buffer() { return static_cast<unsigned char *>(buffer_.get()); }

  util::FilePiece &f_;
  const SortedVocabulary &vocab_;
  PositiveProbWarn &warn_;
  const std::string &prefix_;
  const std::size_t buffer_size_;
  util::scoped_malloc buffer_;
};

NGramSorter::NGramSorter(util::FilePiece &f, const SortedVocabulary &vocab, PositiveProbWarn &warn,
                         const std::string &prefix, std::size_t buffer_size)
    : f_(f), vocab_(vocab), warn_(warn), prefix_(prefix), buffer_size_(buffer_size),
      buffer_(std::malloc(buffer_size)) {
  if (!buffer_.get()) UTIL_THROW(util::ErrnoException, "malloc failed for sort buffer size " << buffer_size);
}

void NGramSorter::Sort(unsigned char order, uint64_t count, bool highest, util::scoped_FILE &full,
                       util::scoped_FILE &context) {
  ReadNGramHeader(f_, order);
  const std::size_t entry_size = RecordSize(order, highest);
  const std::size_t capacity = buffer_size_ / entry_size;
  const unsigned char context_order = static_cast<unsigned char>(order - 1);
  RunQueue runs(prefix_, entry_size, order, false);
  RunQueue contexts(prefix_, context_order * sizeof(WordIndex), context_order, true);
  for (uint64_t done = 0; done < count;) {
    const std::size_t batch = static_cast<std::size_t>(std::min<uint64_t>(capacity, count - done));
    if (highest) {
      ReadBatch<Prob>(order, batch, entry_size);
    } else {
      ReadBatch<ProbBackoff>(order, batch, entry_size);
    }
    util::SizedSort(Buffer(), Buffer() + batch * entry_size, entry_size, EntryCompare(order));
    RefuseDuplicates(order, batch, entry_size);
    runs.Push(WriteRun(batch * entry_size));
    contexts.Push(WriteContexts(order, batch, entry_size));
    done += batch;
  }
  while (runs.Size() > 1) {
    runs.MergeFront();
    contexts.MergeFront();
  }
  full = runs.TakeFront();
  context = contexts.TakeFront();
}

template <class Weights> void NGramSorter::ReadBatch(unsigned char order, std::size_t count, std::size_t entry_size) {
  VocabLookAhead<SortedVocabulary> ahead(vocab_, order);
  for (std::size_t i = 0; i < count; ++i) {
    WordIndex *words = reinterpret_cast<WordIndex *>(Buffer() + i * entry_size);
    Weights *weights = reinterpret_cast<Weights *>(words + order);
    ahead.Ahead(f_);
    ReadNGram(f_, order, vocab_, std::reverse_iterator<WordIndex *>(words + order), *weights, warn_);
  }
}

void NGramSorter::RefuseDuplicates(unsigned char order, std::size_t count, std::size_t entry_size) {
  const std::size_t words = order * sizeof(WordIndex);
  for (std::size_t i = 1; i < count; ++i) {
    const unsigned char *record = Buffer() + i * entry_size;
    if (!std::memcmp(record - entry_size, record, words)) ThrowDuplicate(record, order);
  }
}

util::scoped_FILE NGramSorter::WriteRun(std::size_t bytes) const {
  util::scoped_fd run(util::MakeTemp(prefix_));
  util::WriteOrThrow(run.get(), buffer_.get(), bytes);
  return util::scoped_FILE(util::FDOpenOrThrow(run));
}

util::scoped_FILE NGramSorter::WriteContexts(unsigned char order, std::size_t count, std::size_t entry_size) {
  const std::size_t context_size = (order - 1) * sizeof(WordIndex);
  unsigned char *first = Buffer() + sizeof(WordIndex);
  util::ProxySort(util::PartialViewProxy(first, context_size, entry_size), count,
                  EntryCompare(static_cast<unsigned char>(order - 1)));
  util::scoped_FILE out(util::FMakeTemp(prefix_));
  const unsigned char *written = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char *context = first + i * entry_size;
    if (written && !std::memcmp(written, context, context_size)) continue;
    util::WriteOrThrow(out.get(), context, context_size);
    written = context;
  }
  return out;
}

}  // namespace

SortedFiles::SortedFiles(const Config &config, util::FilePiece &f, std::vector<uint64_t> &counts, std::size_t buffer,
                         const std::string &file_prefix, SortedVocabulary &vocab) {
  PositiveProbWarn warn(config.positive_log_probability);
  unigram_.reset(util::MakeTemp(file_prefix));
  ReadUnigrams(f, counts[0], unigram_.get(), vocab, warn);
  CheckSpecialWords(config, vocab, counts);

  const unsigned char order = static_cast<unsigned char>(counts.size());
  NGramSorter sorter(f, vocab, warn, file_prefix, SortBufferSize(counts, buffer));
  for (unsigned char n = 2; n <= order; ++n) sorter.Sort(n, counts[n - 1], n == order, full_[n - 2], context_[n - 2]);
  ReadEnd(f);
}

}  // namespace trie
}  // namespace ngram
}  // namespace lm
