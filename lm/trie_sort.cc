#include "lm/trie_sort.hh"

#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/read_arpa.hh"
#include "lm/sorted_vocab.hh"
#include "lm/sorted_vocab_lookup.hh"
#include "lm/vocab.hh"
#include "lm/weights.hh"
#include "util/exception.hh"
#include "util/file_piece.hh"
#include "util/hand_off.hh"
#include "util/mmap.hh"
#include "util/sized_iterator.hh"
#include "util/worker.hh"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <utility>

namespace lm {
namespace ngram {
namespace trie {

namespace {

// Bytes a RecordReader reads at once, rounded down to whole records.
constexpr std::size_t kChunkBytes = 1 << 20;

}  // namespace

void RecordReader::Init(std::FILE *file, std::size_t entry_size) {
  data_.reset(std::malloc(entry_size));
  UTIL_THROW_IF(!data_.get(), util::ErrnoException, "Failed to malloc read buffer");
  chunk_capacity_ = std::max<std::size_t>(1, kChunkBytes / entry_size) * entry_size;
  chunk_.reset(std::malloc(chunk_capacity_));
  UTIL_THROW_IF(!chunk_.get(), util::ErrnoException, "Failed to malloc read buffer");
  file_ = file;
  entry_size_ = entry_size;
  Rewind();
}

bool RecordReader::NextChunk() {
  chunk_offset_ += chunk_fill_;
  chunk_position_ = 0;
  chunk_fill_ = 0;
  unsigned char *chunk = static_cast<unsigned char *>(chunk_.get());
  while (chunk_fill_ < chunk_capacity_) {
    const ssize_t ret = pread(fileno(file_), chunk + chunk_fill_, chunk_capacity_ - chunk_fill_,
                              static_cast<off_t>(chunk_offset_ + chunk_fill_));
    if (ret == 0) break;
    if (ret < 0 && errno == EINTR) continue;
    UTIL_THROW_IF_TEXT(ret < 0, "ret < 0", util::ErrnoException, , "Error reading temporary file");
    chunk_fill_ += static_cast<std::size_t>(ret);
  }
  chunk_fill_ -= chunk_fill_ % entry_size_;
  return chunk_fill_ != 0;
}

RecordReader &RecordReader::operator++() {
  valid_ = chunk_position_ < chunk_fill_ || NextChunk();
  if (!valid_) return *this;
  std::memcpy(data_.get(), static_cast<const unsigned char *>(chunk_.get()) + chunk_position_, entry_size_);
  record_offset_ = chunk_offset_ + chunk_position_;
  chunk_position_ += entry_size_;
  return *this;
}

void RecordReader::Rewind() {
  if (!file_) {
    valid_ = false;
    return;
  }
  UTIL_THROW_IF(std::fflush(file_), util::ErrnoException, "Couldn't flush temporary file");
  chunk_offset_ = chunk_fill_ = chunk_position_ = 0;
  ++*this;
}

void RecordReader::Overwrite(const void *start, std::size_t amount) {
  const std::size_t internal =
      static_cast<std::size_t>(static_cast<const unsigned char *>(start) - static_cast<const unsigned char *>(data_.get()));
  util::ErsatzPWrite(fileno(file_), start, amount, record_offset_ + internal);
}

namespace {

// The sort buffer is split into kBatches batches, whatever the threads.
constexpr std::size_t kBatches = 2;

// The bytes of one batch: a share of the `given` sort buffer, but no more
// than the largest order needs and at least one record of the highest order
// (the largest kind), so that every batch holds a record.
std::size_t BatchSize(const std::vector<uint64_t> &counts, std::size_t given) {
  const unsigned char order = static_cast<unsigned char>(counts.size());
  uint64_t need = 0;
  for (unsigned char n = 2; n <= order; ++n) need = std::max<uint64_t>(need, RecordSize(n, n == order) * counts[n - 1]);
  return static_cast<std::size_t>(std::max<uint64_t>(std::min<uint64_t>(given / kBatches, need), RecordSize(order, true)));
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

// One batch of n-grams of one order, handed from the reading side to the
// sorting side.  The reading side fills `records` and the fields; the sorting
// side empties the batch again.
struct SortBatch {
  explicit SortBatch(std::size_t bytes) : records(static_cast<unsigned char *>(std::malloc(bytes))), bytes(bytes) {
    if (!records) UTIL_THROW(util::ErrnoException, "malloc failed for sort buffer size " << bytes);
  }

  unsigned char *Records() { return records.get(); }

  struct Free {
    void operator()(unsigned char *p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char, Free> records;
  std::size_t bytes;
  unsigned char order = 0;
  bool highest = false;
  // The order's last batch: the sorting side merges the order's runs after
  // it.
  bool last = false;
  // Reading failed inside the batch: the sorting side only makes its
  // complaint.
  bool failed = false;
  std::size_t size = 0;
  // The complaint noted while reading the batch, if any.
  bool complain = false;
  float complain_prob = 0.0f;
};

// The sorting side: sorts each batch, refuses duplicates, writes it as a
// run with its distinct contexts, and merges the runs of an order after its
// last batch into the order's files.
class BatchSorter {
 public:
  BatchSorter(const std::string &prefix, PositiveProbWarn &warn, util::scoped_FILE *full, util::scoped_FILE *context)
      : prefix_(prefix), warn_(warn), full_(full), context_(context) {}

  void operator()(SortBatch &batch);

 private:
  void SortRecords(SortBatch &batch, std::size_t count);
  void FinishOrder(unsigned char order);

  const std::string &prefix_;
  PositiveProbWarn &warn_;
  util::scoped_FILE *full_;
  util::scoped_FILE *context_;
  std::unique_ptr<RunQueue> runs_, contexts_;
};

void BatchSorter::operator()(SortBatch &batch) {
  if (batch.complain) warn_.Warn(batch.complain_prob);
  const std::size_t size = batch.size;
  const bool last = batch.last;
  batch.complain = batch.last = false;
  batch.size = 0;
  if (batch.failed) return;
  if (size) SortRecords(batch, size);
  if (last) FinishOrder(batch.order);
}

void BatchSorter::FinishOrder(unsigned char order) {
  while (runs_->Size() > 1) {
    runs_->MergeFront();
    contexts_->MergeFront();
  }
  full_[order - 2] = runs_->TakeFront();
  context_[order - 2] = contexts_->TakeFront();
  runs_.reset();
  contexts_.reset();
}

// Sorts the records of the batch, refuses a duplicate, writes them as a run;
// then sorts their contexts and writes the distinct ones.
void BatchSorter::SortRecords(SortBatch &batch, std::size_t count) {
  const unsigned char order = batch.order;
  const std::size_t entry_size = RecordSize(order, batch.highest);
  const unsigned char context_order = static_cast<unsigned char>(order - 1);
  const std::size_t context_size = context_order * sizeof(WordIndex);
  if (!runs_) {
    runs_ = std::make_unique<RunQueue>(prefix_, entry_size, order, false);
    contexts_ = std::make_unique<RunQueue>(prefix_, context_size, context_order, true);
  }
  unsigned char *records = batch.Records();
  util::SizedSort(records, records + count * entry_size, entry_size, EntryCompare(order));
  const std::size_t words = order * sizeof(WordIndex);
  for (std::size_t i = 1; i < count; ++i) {
    const unsigned char *record = records + i * entry_size;
    if (!std::memcmp(record - entry_size, record, words)) ThrowDuplicate(record, order);
  }
  util::scoped_fd run(util::MakeTemp(prefix_));
  util::WriteOrThrow(run.get(), records, count * entry_size);
  runs_->Push(util::scoped_FILE(util::FDOpenOrThrow(run)));

  // The contexts, packed to the front of the buffer (each moves down, never
  // over one not yet moved), sort as plain blocks of bytes.
  for (std::size_t i = 0; i < count; ++i)
    std::memmove(records + i * context_size, records + i * entry_size + sizeof(WordIndex), context_size);
  util::SizedSort(records, records + count * context_size, context_size, EntryCompare(context_order));
  util::scoped_FILE out(util::FMakeTemp(prefix_));
  const unsigned char *written = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char *context = records + i * context_size;
    if (written && !std::memcmp(written, context, context_size)) continue;
    util::WriteOrThrow(out.get(), context, context_size);
    written = context;
  }
  contexts_->Push(std::move(out));
}

// Batches of SortBatch::bytes bytes on their way to a BatchSorter.
typedef util::HandOff<SortBatch, std::function<void(SortBatch &)>> SortHandOff;

// The reading side: reads the n-grams of every order into batches.
class NGramReader {
 public:
  NGramReader(util::FilePiece &f, const SortedVocabLookup &vocab, const PositiveProbWarn &warn)
      : f_(f), vocab_(vocab), warn_(warn) {}

  // Reads the section of order `order` with its `count` n-grams.
  void Read(unsigned char order, uint64_t count, bool highest, SortHandOff &hand_off);

 private:
  template <class Weights> void ReadBatch(SortBatch &batch, std::size_t count);

  util::FilePiece &f_;
  const SortedVocabLookup &vocab_;
  NotedPositiveProbWarn warn_;
};

void NGramReader::Read(unsigned char order, uint64_t count, bool highest, SortHandOff &hand_off) {
  ReadNGramHeader(f_, order);
  const std::size_t entry_size = RecordSize(order, highest);
  for (uint64_t done = 0; done < count;) {
    SortBatch &batch = hand_off.Current();
    const std::size_t size = static_cast<std::size_t>(std::min<uint64_t>(batch.bytes / entry_size, count - done));
    batch.order = order;
    batch.highest = highest;
    if (highest) {
      ReadBatch<Prob>(batch, size);
    } else {
      ReadBatch<ProbBackoff>(batch, size);
    }
    done += size;
    batch.last = done == count;
    hand_off.Hand();
  }
}

template <class Weights> void NGramReader::ReadBatch(SortBatch &batch, std::size_t count) {
  const unsigned char order = batch.order;
  const std::size_t entry_size = RecordSize(order, batch.highest);
  VocabLookAhead<SortedVocabLookup> ahead(vocab_, order);
  try {
    for (std::size_t i = 0; i < count; ++i) {
      WordIndex *words = reinterpret_cast<WordIndex *>(batch.Records() + i * entry_size);
      Weights *weights = reinterpret_cast<Weights *>(words + order);
      ahead.Ahead(f_);
      ReadNGram(f_, order, vocab_, std::reverse_iterator<WordIndex *>(words + order), *weights, warn_);
      if (warn_.TakeNoted(batch.complain_prob)) batch.complain = true;
    }
  } catch (...) {
    if (warn_.TakeNoted(batch.complain_prob)) batch.complain = true;
    batch.failed = true;
    throw;
  }
  batch.size = count;
}

}  // namespace

SortedFiles::SortedFiles(const Config &config, util::FilePiece &f, std::vector<uint64_t> &counts, std::size_t buffer,
                         const std::string &file_prefix, SortedVocabulary &vocab) {
  PositiveProbWarn warn(config.positive_log_probability);
  unigram_.reset(util::MakeTemp(file_prefix));
  ReadUnigrams(f, counts[0], unigram_.get(), vocab, warn);
  CheckSpecialWords(config, vocab, counts);

  const unsigned char order = static_cast<unsigned char>(counts.size());
  const SortedVocabLookup lookup(vocab);
  // With two threads, one batch sorts while the next is read.  The batches
  // are the same either way, and so are the runs and what is refused.
  const std::unique_ptr<util::Worker> worker(config.arpa_threads > 1 ? new util::Worker() : nullptr);
  const std::size_t batch_bytes = BatchSize(counts, buffer);
  BatchSorter sorter(file_prefix, warn, full_, context_);
  SortHandOff hand_off(
      worker.get(), kBatches, [batch_bytes] { return SortBatch(batch_bytes); },
      [&sorter](SortBatch &batch) { sorter(batch); });
  NGramReader reader(f, lookup, warn);
  hand_off.Run([&](SortHandOff &) {
    for (unsigned char n = 2; n <= order; ++n) reader.Read(n, counts[n - 1], n == order, hand_off);
    ReadEnd(f);
  });
}

}  // namespace trie
}  // namespace ngram
}  // namespace lm
