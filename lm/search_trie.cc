// Building the trie from the sorted temporary files.
//
// Two passes visit every n-gram of every order in the trie's depth-first
// order, merged from the per-order files by a priority queue.  Pass 1 finds
// the blanks: n-grams that the ARPA file pruned although a longer n-gram
// ending in them is kept, which the reversed trie needs to reach the longer
// one.  It recounts the orders with the blanks and records, for each blank,
// the probability that backing off gives it; the backoffs of its context are
// then added from the files.  Pass 2 inserts unigrams, middle n-grams,
// blanks and highest-order n-grams into the arrays with their final weights.
// Both passes visit the blanks in the same order, which is how pass 2 finds
// the values that pass 1 computed.
#include "lm/search_trie.hh"

#include "lm/binary_format.hh"
#include "lm/blank.hh"
#include "lm/lm_exception.hh"
#include "lm/max_order.hh"
#include "lm/model_interfaces.hh"
#include "lm/sorted_vocab.hh"
#include "lm/trie_sort.hh"
#include "util/exception.hh"
#include "util/file.hh"
#include "util/file_piece.hh"
#include "util/mmap.hh"
#include "util/progress.hh"
#include "util/sized_iterator.hh"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <queue>
#include <string>

namespace lm {
namespace ngram {
namespace trie {

// The tables of a TrieSearch as the builder fills them: a view that borrows
// the search.
template <Quantizer Quant, PointerCompression Highbit> class TrieTables {
 public:
  explicit TrieTables(TrieSearch<Quant, Highbit> &search) : search_(&search) {}

  unsigned char Order() const { return search_->Order(); }
  UnigramValue *Unigrams() const { return search_->unigrams_; }
  typename TrieSearch<Quant, Highbit>::Middle *MiddleBegin() const { return search_->middle_begin_; }
  typename TrieSearch<Quant, Highbit>::Middle *MiddleEnd() const { return search_->middle_end_; }
  BitPackedLongest &Longest() const { return search_->longest_; }
  Quant &Quantization() const { return search_->quant_; }

 private:
  TrieSearch<Quant, Highbit> *search_;
};

namespace {

constexpr std::size_t kMinimumSortMemory = 1 << 20;

// The basis of a position that holds no real n-gram.
constexpr float kNoBasis = std::numeric_limits<float>::infinity();

void ReadOrThrow(std::FILE *from, void *data, std::size_t size) {
  UTIL_THROW_IF_TEXT(1 != std::fread(data, size, 1, from), "1 != std::fread(data, size, 1, from)",
                     util::ErrnoException, , "Short read");
}

const WordIndex *Words(const RecordReader &reader) { return static_cast<const WordIndex *>(reader.Data()); }

// An n-gram in a live buffer: after the buffer advances, the same Gram is
// the next n-gram of its order.
struct Gram {
  Gram(const WordIndex *in_begin, unsigned char order) : begin(in_begin), end(in_begin + order) {}

  unsigned char Order() const { return static_cast<unsigned char>(end - begin); }

  // Reversed, so that the priority queue yields the lexicographically
  // smallest word sequence first and a prefix before its extensions.
  bool operator<(const Gram &other) const { return std::lexicographical_compare(other.begin, other.end, begin, end); }

  const WordIndex *begin, *end;
};

// Where a blank's probability lives: its order - 1 and its index among the
// blanks of that order.
struct BlankSlot {
  uint8_t order_minus_1;
  uint8_t padding[7];
  uint64_t index;
};
static_assert(sizeof(BlankSlot) == 16);

// Requests for the backoffs of the j-grams that blanks back off through.
// Each entry is j words (stored order) and the slot of the blank to add the
// backoff to.  After Apply, the buffer holds the j-grams that were asked for
// but are not in the file: they are themselves blanks that a longer blank
// extends on the right.
class BackoffMessages {
 public:
  void Init(std::size_t entry_size) {
    current_ = nullptr;
    allocated_ = nullptr;
    entry_size_ = entry_size;
  }

  void Add(const WordIndex *to, BlankSlot slot) {
    while (static_cast<std::size_t>(allocated_ - current_) < entry_size_) {
      const std::size_t allocated_size = allocated_ - static_cast<uint8_t *>(backing_.get());
      Resize(std::max<std::size_t>(allocated_size * 2, entry_size_));
    }
    const std::size_t words = entry_size_ - sizeof(BlankSlot);
    std::memcpy(current_, to, words);
    std::memcpy(current_ + words, &slot, sizeof(BlankSlot));
    current_ += entry_size_;
  }

  // Adds the backoffs of the unigrams asked for, marking each as extended in
  // the unigram file.
  void Apply(float *const *cursors, std::FILE *unigrams);

  // Adds the backoffs of the j-grams asked for, marking each as extended in
  // the full file of order j; keeps the j-grams that are missing.
  void Apply(float *const *cursors, RecordReader &reader);

  // Whether the blank `words` of `order` is among the missing j-grams kept
  // by Apply.  Calls come in file order.
  bool ExtendsRight(unsigned char order, const WordIndex *words);

 private:
  void FinishedAdding() {
    Resize(current_ - static_cast<uint8_t *>(backing_.get()));
    util::SizedSort(backing_.get(), current_, entry_size_, EntryCompare(WordCount()));
    current_ = static_cast<uint8_t *>(backing_.get());
  }

  unsigned char WordCount() const { return static_cast<unsigned char>((entry_size_ - sizeof(BlankSlot)) / sizeof(WordIndex)); }

  // The current request names a j-gram absent from the file: a blank that a
  // longer blank extends on the right.  Keeps its words at `to` and moves on.
  void KeepAbsent(WordIndex *&to) {
    const std::size_t bytes = WordCount() * sizeof(WordIndex);
    std::memmove(to, current_, bytes);
    to += WordCount();
    current_ += entry_size_;
  }

  // Entries of an odd number of words leave the slot only 4-byte aligned.
  BlankSlot Slot() const {
    BlankSlot slot;
    std::memcpy(&slot, current_ + entry_size_ - sizeof(BlankSlot), sizeof(BlankSlot));
    return slot;
  }

  void Resize(std::size_t to) {
    const std::size_t current = current_ - static_cast<uint8_t *>(backing_.get());
    backing_.call_realloc(to);
    current_ = static_cast<uint8_t *>(backing_.get()) + current;
    allocated_ = static_cast<uint8_t *>(backing_.get()) + to;
  }

  util::scoped_malloc backing_;
  uint8_t *current_, *allocated_;
  std::size_t entry_size_;
};

void BackoffMessages::Apply(float *const *cursors, std::FILE *unigrams) {
  FinishedAdding();
  if (current_ == allocated_) return;
  std::rewind(unigrams);
  ProbBackoff weights;
  WordIndex unigram = 0;
  ReadOrThrow(unigrams, &weights, sizeof(weights));
  for (; current_ != allocated_; current_ += entry_size_) {
    WordIndex word;
    std::memcpy(&word, current_, sizeof(WordIndex));
    for (; unigram < word; ++unigram) ReadOrThrow(unigrams, &weights, sizeof(weights));
    if (!HasExtension(weights.backoff)) {
      weights.backoff = kExtensionBackoff;
      UTIL_THROW_IF_TEXT(std::fseek(unigrams, -static_cast<long>(sizeof(weights)), SEEK_CUR),
                         "fseek(unigrams, -sizeof(weights), 1)", util::ErrnoException, ,
                         "Seeking backwards to denote unigram extension failed.");
      util::WriteOrThrow(unigrams, &weights, sizeof(weights));
      // A read may not directly follow a write on the same stream.
      UTIL_THROW_IF(std::fseek(unigrams, 0, SEEK_CUR), util::ErrnoException,
                    "Seeking after denoting a unigram extension failed.");
    }
    const BlankSlot slot = Slot();
    cursors[slot.order_minus_1][slot.index] += weights.backoff;
  }
  backing_.reset();
  current_ = allocated_ = nullptr;
}

void BackoffMessages::Apply(float *const *cursors, RecordReader &reader) {
  FinishedAdding();
  if (current_ == allocated_) return;
  const unsigned char order = WordCount();
  WordIndex *extend_out = static_cast<WordIndex *>(backing_.get());
  const EntryCompare compare(order);
  for (reader.Rewind(); reader && current_ != allocated_;) {
    if (compare(reader.Data(), current_)) {
      ++reader;
    } else if (compare(current_, reader.Data())) {
      KeepAbsent(extend_out);
    } else {
      float &backoff = reinterpret_cast<ProbBackoff *>(static_cast<WordIndex *>(reader.Data()) + order)->backoff;
      if (!HasExtension(backoff)) {
        backoff = kExtensionBackoff;
        reader.Overwrite(&backoff, sizeof(float));
      } else {
        const BlankSlot slot = Slot();
        cursors[slot.order_minus_1][slot.index] += backoff;
      }
      current_ += entry_size_;
    }
  }
  // Requests beyond the file's last j-gram are absent j-grams too.
  while (current_ != allocated_) KeepAbsent(extend_out);
  entry_size_ = order * sizeof(WordIndex);
  const std::size_t kept = reinterpret_cast<uint8_t *>(extend_out) - static_cast<uint8_t *>(backing_.get());
  // From the start: shrinking to nothing frees the block.
  current_ = static_cast<uint8_t *>(backing_.get());
  Resize(kept);
}

bool BackoffMessages::ExtendsRight(unsigned char order, const WordIndex *words) {
  const EntryCompare compare(order);
  for (; current_ < allocated_; current_ += entry_size_) {
    if (!compare(current_, words)) return !compare(words, current_);
  }
  return false;
}

// The blank bookkeeping that both passes share.
class SRISucks {
 public:
  SRISucks() {
    for (std::size_t j = 1; j < QUARN_MAX_ORDER; ++j)
      messages_[j - 1].Init(sizeof(BlankSlot) + j * sizeof(WordIndex));
  }

  // Pass 1: a blank of `order` backs off from the real n-gram of order
  // `lower` with probability `basis`; its context is `context` (stored
  // order).  Asks for the backoffs of the context j-grams, j = lower ..
  // order - 1.
  void SendBlank(unsigned char lower, unsigned char order, const WordIndex *context, float basis) {
    BlankSlot slot = {static_cast<uint8_t>(order - 1), {}, probs_[order - 1].size()};
    for (unsigned char j = lower; j < order; ++j) messages_[j - 1].Add(context, slot);
    probs_[order - 1].push_back(basis);
  }

  // Between the passes: adds the context backoffs to the blank
  // probabilities, marking each context as extended in the files.
  void ObtainBackoffs(unsigned char total_order, std::FILE *unigrams, RecordReader *inputs) {
    for (std::size_t i = 0; i < QUARN_MAX_ORDER - 1; ++i) cursors_[i] = probs_[i].empty() ? nullptr : probs_[i].data();
    messages_[0].Apply(cursors_, unigrams);
    for (unsigned char j = 2; j < total_order; ++j) messages_[j - 1].Apply(cursors_, inputs[j - 2]);
  }

  // Pass 2: the weights of the next blank of `order`.  It is marked as
  // extended when a longer blank continues it on the right; blanks of order
  // N - 1 never are.
  ProbBackoff NextBlank(unsigned char total_order, unsigned char order, const WordIndex *words) {
    ProbBackoff ret;
    ret.prob = *(cursors_[order - 1]++);
    ret.backoff = (order != total_order - 1 && messages_[order - 1].ExtendsRight(order, words)) ? kExtensionBackoff
                                                                                                : kNoExtensionBackoff;
    return ret;
  }

  const std::vector<float> &BlankProbs(unsigned char order) const { return probs_[order - 1]; }

 private:
  std::vector<float> probs_[QUARN_MAX_ORDER - 1];
  BackoffMessages messages_[QUARN_MAX_ORDER - 1];
  float *cursors_[QUARN_MAX_ORDER - 1];
};

// Follows the path of the depth-first walk and reports the blanks on it to
// the pass's action.
template <class Action> class BlankManager {
 public:
  explicit BlankManager(Action &action) : path_length_(0), action_(action) {
    std::fill(basis_, basis_ + QUARN_MAX_ORDER, kNoBasis);
  }

  void Visit(const WordIndex *words, unsigned char length, float prob) {
    basis_[length - 1] = prob;
    const unsigned char overlap = std::min<unsigned char>(length - 1, path_length_);
    unsigned char same = 0;
    while (same < overlap && path_[same] == words[same]) ++same;
    if (same + 1 < length) ReportBlanks(words, length, same);
    path_[length - 1] = words[length - 1];
    path_length_ = length;
  }

 private:
  // words[0 .. m) for m = same + 1 .. length - 1 were never visited.
  void ReportBlanks(const WordIndex *words, unsigned char length, unsigned char same) {
    UTIL_THROW_IF_TEXT(same == 0, "blank == 1", FormatLoadException, , "Missing a unigram that appears as context.");
    unsigned char lower = same;
    while (basis_[lower - 1] == kNoBasis) --lower;
    const float basis = basis_[lower - 1];
    for (unsigned char m = same + 1; m < length; ++m) {
      action_.OnBlank(m, words, lower, basis);
      path_[m - 1] = words[m - 1];
      basis_[m - 1] = kNoBasis;
    }
  }

  WordIndex path_[QUARN_MAX_ORDER];
  unsigned char path_length_;
  float basis_[QUARN_MAX_ORDER];
  Action &action_;
};

// Visits unigrams 0 .. unigram_count - 1 and every record of the full files
// in depth-first trie order.
template <class Action>
void RecursiveInsert(unsigned char total_order, WordIndex unigram_count, RecordReader *inputs,
                     std::ostream *progress_out, const char *message, Action &action) {
  util::ErsatzProgress progress(static_cast<uint64_t>(unigram_count) + 1, progress_out, message);
  WordIndex unigram = 0;
  std::priority_queue<Gram> grams;
  if (unigram_count) grams.push(Gram(&unigram, 1));
  for (unsigned char n = 2; n <= total_order; ++n)
    if (inputs[n - 2]) grams.push(Gram(Words(inputs[n - 2]), n));

  BlankManager<Action> blanks(action);
  while (!grams.empty()) {
    const Gram top = grams.top();
    grams.pop();
    const unsigned char n = top.Order();
    if (n == 1) {
      blanks.Visit(&unigram, 1, action.UnigramProbability(unigram));
      action.OnUnigram(unigram);
      progress.MoveTo(unigram);
      if (++unigram < unigram_count) grams.push(top);
      continue;
    }
    if (n == total_order) {
      blanks.Visit(top.begin, n, reinterpret_cast<const Prob *>(top.end)->prob);
      action.OnLongest(top.begin);
    } else {
      blanks.Visit(top.begin, n, reinterpret_cast<const ProbBackoff *>(top.end)->prob);
      action.OnMiddle(n, top.begin);
    }
    RecordReader &reader = inputs[n - 2];
    if (++reader) grams.push(top);
  }
}

// Pass 1: counts every order with its blanks and sends each blank's basis.
class FindBlanks {
 public:
  FindBlanks(unsigned char order, const ProbBackoff *unigrams, SRISucks &sri)
      : counts_(order), unigrams_(unigrams), sri_(sri) {}

  float UnigramProbability(WordIndex word) const { return unigrams_[word].prob; }
  void OnUnigram(WordIndex) { ++counts_[0]; }
  void OnBlank(unsigned char order, const WordIndex *words, unsigned char lower, float basis) {
    sri_.SendBlank(lower, order, words + 1, basis);
    ++counts_[order - 1];
  }
  void OnMiddle(unsigned char order, const WordIndex *) { ++counts_[order - 1]; }
  void OnLongest(const WordIndex *) { ++counts_.back(); }

  const std::vector<uint64_t> &Counts() const { return counts_; }

 private:
  std::vector<uint64_t> counts_;
  const ProbBackoff *unigrams_;
  SRISucks &sri_;
};

// Pass 2: inserts every record with its final weights.
template <class Quant, class Highbit> class WriteEntries {
 public:
  WriteEntries(RecordReader *contexts, TrieTables<Quant, Highbit> search, SRISucks &sri)
      : contexts_(contexts), search_(search), order_(search.Order()), sri_(sri) {}

  float UnigramProbability(WordIndex word) const { return search_.Unigrams()[word].weights.prob; }

  void OnUnigram(WordIndex word) {
    const BitPacked &bigrams =
        (order_ == 2) ? static_cast<const BitPacked &>(search_.Longest()) : *search_.MiddleBegin();
    search_.Unigrams()[word].next = bigrams.InsertIndex();
  }

  void OnBlank(unsigned char order, const WordIndex *words, unsigned char, float) {
    const ProbBackoff weights = sri_.NextBlank(order_, order, words);
    InsertMiddle(order, words, weights);
  }

  void OnMiddle(unsigned char order, const WordIndex *words) {
    ProbBackoff weights = *reinterpret_cast<const ProbBackoff *>(words + order);
    // The contexts of the (order + 1)-grams, order words each.
    RecordReader &context = contexts_[order - 1];
    if (context && !std::memcmp(words, context.Data(), order * sizeof(WordIndex))) {
      SetExtension(weights.backoff);
      ++context;
    }
    InsertMiddle(order, words, weights);
  }

  void OnLongest(const WordIndex *words) {
    typename Quant::LongestPointer(search_.Quantization(), search_.Longest().Insert(words[order_ - 1]))
        .Write(reinterpret_cast<const Prob *>(words + order_)->prob);
  }

 private:
  void InsertMiddle(unsigned char order, const WordIndex *words, const ProbBackoff &weights) {
    const unsigned char middle_index = static_cast<unsigned char>(order - 2);
    typename Quant::MiddlePointer(search_.Quantization(), middle_index,
                                  search_.MiddleBegin()[middle_index].Insert(words[order - 1]))
        .Write(weights.prob, weights.backoff);
  }

  RecordReader *contexts_;
  TrieTables<Quant, Highbit> search_;
  const unsigned char order_;
  SRISucks &sri_;
};

void SanityCheckCounts(const std::vector<uint64_t> &initial, const std::vector<uint64_t> &fixed) {
  if (fixed[0] != initial[0])
    UTIL_THROW(util::Exception, "Unigram count should be constant but initial is " << initial[0]
                                                                                   << " and recounted is " << fixed[0]);
  if (fixed.back() != initial.back())
    UTIL_THROW(util::Exception, "Longest count should be constant but it changed from " << initial.back() << " to "
                                                                                         << fixed.back());
  for (std::size_t i = 0; i < initial.size(); ++i)
    if (fixed[i] < initial[i]) UTIL_THROW(util::Exception, "Counts came out lower than expected.  This shouldn't happen");
}

// Reads the unigram weights into the table and marks every unigram that is
// the context of a bigram as extended.
void PopulateUnigramWeights(std::FILE *file, WordIndex unigram_count, RecordReader &contexts, UnigramValue *unigrams) {
  try {
    std::rewind(file);
    for (WordIndex i = 0; i < unigram_count; ++i) {
      ReadOrThrow(file, &unigrams[i].weights, sizeof(ProbBackoff));
      if (contexts && *Words(contexts) == i) {
        SetExtension(unigrams[i].weights.backoff);
        ++contexts;
      }
    }
  } catch (util::Exception &e) {
    e << " while re-reading unigram probabilities";
    throw;
  }
}

// Every context reader must be used up: a context left over never matched an
// n-gram of the order below.
void CheckContextsUsed(unsigned char total_order, const RecordReader *contexts) {
  for (unsigned char n = 2; n <= total_order; ++n) {
    const RecordReader &context = contexts[n - 2];
    if (!context) continue;
    FormatLoadException e;
    e << "A " << static_cast<unsigned int>(n) << "-gram has context";
    for (const WordIndex *word = Words(context); word != Words(context) + n - 1; ++word) e << ' ' << *word;
    e << " so this context must appear in the model as a " << static_cast<unsigned int>(n - 1)
      << "-gram but it does not";
    throw e;
  }
}

// Trains a quantizer on the weights of every order, blanks included.
template <class Quant>
void TrainQuantizer(unsigned char order, uint64_t count, const std::vector<float> &additional, RecordReader &reader,
                    util::ErsatzProgress &progress, Quant &quant) {
  std::vector<float> probs(additional), backoffs;
  probs.reserve(count + probs.size());
  backoffs.reserve(count);
  for (reader.Rewind(); reader; ++reader) {
    const ProbBackoff &weights = *reinterpret_cast<const ProbBackoff *>(Words(reader) + order);
    probs.push_back(weights.prob);
    if (weights.backoff != 0.0f) backoffs.push_back(weights.backoff);
    ++progress;
  }
  quant.Train(order, probs, backoffs);
}

template <class Quant>
void TrainProbQuantizer(unsigned char order, uint64_t count, RecordReader &reader, util::ErsatzProgress &progress,
                        Quant &quant) {
  std::vector<float> probs;
  probs.reserve(count);
  for (reader.Rewind(); reader; ++reader) {
    probs.push_back(reinterpret_cast<const Prob *>(Words(reader) + order)->prob);
    ++progress;
  }
  quant.TrainProb(order, probs);
}

// Opens the record readers over the sorted files and builds the trie into
// the search, growing the binary format's region for it.
template <class Quant, class Highbit> class TrieBuilder {
 public:
  TrieBuilder(SortedFiles &files, std::vector<uint64_t> &counts, const Config &config)
      : files_(files), counts_(counts), config_(config), order_(static_cast<unsigned char>(counts.size())) {
    for (unsigned char n = 2; n <= order_; ++n) {
      inputs_[n - 2].Init(files.FullFile(n), RecordSize(n, n == order_));
      contexts_[n - 2].Init(files.ContextFile(n), (n - 1) * sizeof(WordIndex));
    }
  }

  void Build(TrieSearch<Quant, Highbit> &search, SortedVocabulary &vocab, BinaryFormat &backing);

 private:
  void FindAllBlanks(util::scoped_fd &unigram_fd);
  void RewindInputs() {
    for (unsigned char n = 2; n <= order_; ++n) inputs_[n - 2].Rewind();
  }
  void Train(Quant &quant);
  void FinishMiddles(TrieTables<Quant, Highbit> search);

  SortedFiles &files_;
  std::vector<uint64_t> &counts_;
  const Config &config_;
  const unsigned char order_;
  RecordReader inputs_[QUARN_MAX_ORDER - 1];
  RecordReader contexts_[QUARN_MAX_ORDER - 1];
  SRISucks sri_;
};

template <class Quant, class Highbit>
void TrieBuilder<Quant, Highbit>::Build(TrieSearch<Quant, Highbit> &search, SortedVocabulary &vocab,
                                        BinaryFormat &backing) {
  util::scoped_fd unigram_fd(files_.TakeUnigramFile());
  FindAllBlanks(unigram_fd);
  util::scoped_FILE unigrams(util::FDOpenOrThrow(unigram_fd));
  sri_.ObtainBackoffs(order_, unigrams.get(), inputs_);

  // The vocabulary was sized before <unk> was counted; a loader sizes it
  // from the final count, so the region keeps room for that one more hash.
  void *vocab_base;
  const std::size_t vocab_padding = vocab.SawUnk() ? 0 : sizeof(uint64_t);
  void *search_base =
      backing.GrowForSearch(TrieSearch<Quant, Highbit>::Size(counts_, config_), vocab_padding, vocab_base);
  vocab.Relocate(vocab_base);
  search.SetupMemory(static_cast<uint8_t *>(search_base), counts_, config_);

  const TrieTables<Quant, Highbit> tables(search);
  RewindInputs();
  if constexpr (Quant::kNeedsTraining) Train(tables.Quantization());
  PopulateUnigramWeights(unigrams.get(), static_cast<WordIndex>(counts_[0]), contexts_[0], tables.Unigrams());
  unigrams.reset();

  RewindInputs();
  WriteEntries<Quant, Highbit> writer(contexts_, tables, sri_);
  RecursiveInsert(order_, static_cast<WordIndex>(counts_[0]), inputs_, config_.ProgressMessages(), "Writing trie",
                  writer);
  // The end of the last word's bigram range.
  writer.OnUnigram(static_cast<WordIndex>(counts_[0]));
  CheckContextsUsed(order_, contexts_);
  FinishMiddles(tables);
}

template <class Quant, class Highbit> void TrieBuilder<Quant, Highbit>::FindAllBlanks(util::scoped_fd &unigram_fd) {
  util::scoped_memory unigrams;
  util::MapRead(util::POPULATE_OR_READ, unigram_fd.get(), 0, counts_[0] * sizeof(ProbBackoff), unigrams);
  FindBlanks finder(order_, static_cast<const ProbBackoff *>(unigrams.get()), sri_);
  RecursiveInsert(order_, static_cast<WordIndex>(counts_[0]), inputs_, config_.ProgressMessages(),
                  "Identifying n-grams omitted by SRI", finder);
  for (unsigned char n = 2; n < order_; ++n) {
    UTIL_THROW_IF(inputs_[n - 2], FormatLoadException,
                  "There's a bug in the trie implementation: the " << static_cast<unsigned int>(n)
                                                                   << "-gram table did not complete reading");
  }
  SanityCheckCounts(counts_, finder.Counts());
  counts_ = finder.Counts();
}

template <class Quant, class Highbit> void TrieBuilder<Quant, Highbit>::Train(Quant &quant) {
  util::ErsatzProgress progress(std::accumulate(counts_.begin() + 1, counts_.end(), uint64_t(0)),
                                config_.ProgressMessages(), "Quantizing");
  for (unsigned char n = 2; n < order_; ++n)
    TrainQuantizer(n, counts_[n - 1], sri_.BlankProbs(n), inputs_[n - 2], progress, quant);
  TrainProbQuantizer(order_, counts_.back(), inputs_[order_ - 2], progress, quant);
  quant.FinishedLoading(config_);
}

template <class Quant, class Highbit> void TrieBuilder<Quant, Highbit>::FinishMiddles(TrieTables<Quant, Highbit> search) {
  for (auto *middle = search.MiddleBegin(); middle != search.MiddleEnd(); ++middle) {
    const BitPacked &next = (middle + 1 == search.MiddleEnd()) ? static_cast<const BitPacked &>(search.Longest())
                                                               : *(middle + 1);
    middle->FinishedLoading(next.InsertIndex(), config_);
  }
}

}  // namespace

template <Quantizer Quant, PointerCompression Highbit>
void TrieSearch<Quant, Highbit>::InitializeFromARPA(const char *file, util::FilePiece &f,
                                                    std::vector<uint64_t> &counts, const Config &config,
                                                    SortedVocabulary &vocab, BinaryFormat &backing) {
  std::string temporary_prefix;
  if (!config.temp_prefix.empty()) {
    temporary_prefix = config.temp_prefix;
  } else if (config.binary_output_path) {
    temporary_prefix = config.binary_output_path;
  } else {
    temporary_prefix = file;
  }
  SortedFiles sorted(config, f, counts, std::max<uint64_t>(config.sort_memory, kMinimumSortMemory),
                     temporary_prefix, vocab);
  TrieBuilder<Quant, Highbit>(sorted, counts, config).Build(*this, vocab, backing);
}

template class TrieSearch<DontQuantize, DontHighbit>;
template class TrieSearch<SeparatelyQuantize, DontHighbit>;
template class TrieSearch<DontQuantize, ArrayHighbit>;
template class TrieSearch<SeparatelyQuantize, ArrayHighbit>;

static_assert(ModelSearch<TrieSearch<DontQuantize, DontHighbit>, SortedVocabulary>);
static_assert(ModelSearch<TrieSearch<SeparatelyQuantize, DontHighbit>, SortedVocabulary>);
static_assert(ModelSearch<TrieSearch<DontQuantize, ArrayHighbit>, SortedVocabulary>);
static_assert(ModelSearch<TrieSearch<SeparatelyQuantize, ArrayHighbit>, SortedVocabulary>);
static_assert(ModelVocabulary<SortedVocabulary>);

}  // namespace trie
}  // namespace ngram
}  // namespace lm
