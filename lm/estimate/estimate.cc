#include "lm/estimate/estimate.hh"

#include "lm/estimate/adjust_counts.hh"
#include "lm/estimate/arpa_writer.hh"
#include "lm/estimate/count_file.hh"
#include "lm/estimate/count_text.hh"
#include "lm/estimate/counter.hh"
#include "lm/estimate/discount.hh"
#include "lm/estimate/external_sort.hh"
#include "lm/estimate/interpolate.hh"
#include "lm/estimate/line_source.hh"
#include "lm/estimate/prune.hh"
#include "lm/estimate/stage_meter.hh"
#include "lm/estimate/uninterpolated.hh"
#include "lm/estimate/vocabulary.hh"
#include "util/exception.hh"
#include "util/file.hh"
#include "util/pending_file.hh"
#include "util/progress.hh"
#include "util/worker.hh"

#include <memory>
#include <ostream>

namespace lm {
namespace estimate {
namespace {

typedef Sorter<PrefixOrder, NoCombine> PrefixSorter;
typedef Sorter<SuffixOrder, NoCombine> SuffixSorter;
typedef Sorter<SuffixOrder, SumCounts> CountSorter;
typedef MergeStream<SuffixOrder, SumCounts> CountStream;

// Bytes of the read buffer of a count file being merged.
constexpr std::size_t kCountReadBytes = 1 << 20;

void CheckOptions(const EstimateOptions &options) {
  UTIL_THROW_IF(options.order < 1 || options.order > kMaxEstimateOrder, util::Exception,
                "the order must be 1 to " << kMaxEstimateOrder << ", not " << options.order);
  UTIL_THROW_IF(!options.threads, util::Exception, "estimation needs at least one thread");
  CheckPruneThresholds(options.prune, options.order);
  for (unsigned k = 1; k <= 3; ++k) {
    const double d = options.fallback.amount[k - 1];
    UTIL_THROW_IF(!(d > 0.0 && d < k), util::Exception,
                  "the fallback discount D" << k << "=" << d << " is not strictly between 0 and " << k);
  }
}

std::string TempPrefix(const EstimateOptions &options, const std::string &arpa_path) {
  return options.temp_prefix.empty() ? arpa_path + "." : options.temp_prefix;
}

// The stages after counting, with what passes between them.
class Pipeline {
 public:
  Pipeline(const EstimateOptions &options, const std::string &temp_prefix, EstimateResult &result)
      : worker_(options.threads > 1 ? new util::Worker() : nullptr), options_(options), order_(options.order), prefix_(temp_prefix), result_(result) {
    result_.orders.assign(order_, OrderSummary());
    uninterp_.resize(order_);
    contexts_.resize(order_);
  }

  // A job of the worker may still use the members.
  ~Pipeline() {
    if (!worker_) return;
    try {
      worker_->WaitAll();
    } catch (...) {
    }
  }

  void Count(LineSource &text) {
    StageMeter meter("counting");
    if (!options_.limit_vocab.empty()) vocab_.LimitTo(ReadWordList(options_.limit_vocab));
    counter_.reset(new NGramCounter(order_, options_.memory, prefix_, worker_ != nullptr));
    CountText(text, vocab_, *counter_, result_, Progress(), worker_.get());
    counter_->Finish();
    result_.vocabulary = vocab_.Size();
    result_.stages.push_back(meter.Stop());
  }

  // Writes the counts as a count file to `fd`.
  void WriteCounts(int fd) {
    StageMeter meter("writing counts");
    {
      CountStream counts = Counts(options_.memory);
      util::ErsatzProgress bar(counts.Total(), Progress(), "Writing counts");
      CountFileWriter writer(fd, order_, vocab_);
      for (; counts; ++counts) {
        writer.Add(counts.Get());
        bar.MoveTo(counts.Consumed());
      }
      writer.Finish(result_.lines, result_.tokens);
    }
    counter_.reset();
    result_.stages.push_back(meter.Stop());
  }

  // Merges the count files into the vocabulary and a sorter of the counts,
  // in their order.
  void Merge(const std::vector<std::string> &paths) {
    StageMeter meter("merging counts");
    merged_.reset(new CountSorter(RecordSizeWith<uint64_t>(order_), options_.memory, prefix_, SuffixOrder(order_),
                                  SumCounts(order_), worker_.get()));
    std::vector<WordId> ids;
    util::ErsatzProgress bar(paths.size(), Progress(), "Merging counts");
    for (const std::string &path : paths) {
      CountFileReader file(path);
      UTIL_THROW_IF(file.Header().order != order_, CountFileException,
                    "the count file " << path << " has order " << file.Header().order << ", but " << paths.front()
                                      << " has order " << order_ << ": count files of one order only can be merged");
      file.Remap(vocab_, ids);
      file.ForEachRecord(kCountReadBytes, [this, &ids](const void *record) {
        void *to = merged_->Add();
        const WordId *from = Words(record);
        WordId *words = Words(to);
        for (unsigned i = 0; i < order_; ++i) words[i] = from[i] == kNoWord ? kNoWord : ids[from[i]];
        Payload<uint64_t>(to, order_) = Payload<uint64_t>(record, order_);
      });
      result_.lines += file.Header().lines;
      result_.tokens += file.Header().tokens;
      ++bar;
    }
    merged_->Finish();
    UTIL_THROW_IF(!result_.lines, util::Exception,
                  "the count files hold no word: there is nothing to estimate from");
    result_.vocabulary = vocab_.Size();
    result_.stages.push_back(meter.Stop());
  }

  void Adjust() {
    StageMeter meter("adjusting counts");
    const std::size_t share = options_.memory / 4 * 3 / order_;
    for (unsigned n = 1; n <= order_; ++n) {
      adjusted_.emplace_back(
          new PrefixSorter(RecordSizeWith<uint64_t>(n), share, prefix_, PrefixOrder(n), NoCombine(), worker_.get()));
    }
    {
      CountStream counts = Counts(options_.memory / 4);
      util::ErsatzProgress bar(counts.Total(), Progress(), "Adjusting counts");
      AdjustCounts(counts, order_, result_.orders, [this, &bar, &counts](unsigned n, const WordId *words, uint64_t a) {
        if (n == order_) bar.MoveTo(counts.Consumed());
        void *to = adjusted_[n - 1]->Add();
        CopyWords(Words(to), words, n);
        Payload<uint64_t>(to, n) = a;
      });
    }
    counter_.reset();
    merged_.reset();
    for (std::unique_ptr<PrefixSorter> &sorter : adjusted_) sorter->Finish();
    for (unsigned n = 1; n <= order_; ++n) ComputeDiscounts(n, options_, result_.orders[n - 1]);
    result_.orders[0].ngrams = vocab_.Size();
    result_.stages.push_back(meter.Stop());
  }

  // Marks the pruned n-grams, from the highest order down: order n's
  // n-grams go to marked_[n - 1] in PrefixOrder, each with kPrunedFlag when
  // pruned, and the contexts and suffixes of its kept ones to a sort that
  // order n - 1 joins.  Nothing happens without a positive threshold.
  void Prune() {
    if (!Prunes(options_.prune)) return;
    StageMeter meter("pruning");
    marked_.resize(order_);
    std::unique_ptr<PrefixSorter> needed;
    for (unsigned n = order_; n >= 2; --n) {
      std::unique_ptr<PrefixSorter> next;
      if (n > 2) {
        next.reset(new PrefixSorter(RecordSizeWith<uint64_t>(n - 1), options_.memory / 4, prefix_,
                                    PrefixOrder(n - 1), NoCombine(), worker_.get()));
      }
      MarkOrder(n, needed.get(), next.get());
      needed = std::move(next);
      if (needed) needed->Finish();
    }
    result_.stages.push_back(meter.Stop());
  }

  void Write(int fd) {
    ArpaWriter out(fd, vocab_);
    std::vector<uint64_t> counts;
    for (const OrderSummary &summary : result_.orders) counts.push_back(summary.ngrams);
    out.Header(counts);
    // Order n is written once the backoffs of its n-grams, which order n + 1
    // gives, are known.  With a worker, order n + 2's values are made on it
    // meanwhile, each side with half the memory.
    const uint64_t memory = options_.memory;
    Uninterpolate(1, memory, worker_.get());
    if (order_ > 1) Uninterpolate(2, memory, worker_.get());
    for (unsigned n = 1; n <= order_; ++n) {
      StageMeter meter("order " + std::to_string(n));
      if (n + 2 > order_) {
        Interpolate(n, memory, out);
      } else if (!worker_) {
        Uninterpolate(n + 2, memory, nullptr);
        Interpolate(n, memory, out);
      } else {
        const uint64_t ticket = worker_->Submit([this, n, memory] { Uninterpolate(n + 2, memory / 2, nullptr); });
        Interpolate(n, memory / 2, out);
        worker_->WaitFor(ticket);
      }
      result_.stages.push_back(meter.Stop());
    }
    out.Finish();
  }

 private:
  std::ostream *Progress() const { return options_.show_progress ? options_.messages : nullptr; }

  // Marks order n: an n-gram is kept when its adjusted count is above T_n
  // or `needed` holds it (the contexts and suffixes of order n + 1's kept
  // n-grams; null at the highest order).  The contexts and suffixes of the
  // kept ones go to `next` (null at order 2).
  void MarkOrder(unsigned n, PrefixSorter *needed, PrefixSorter *next) {
    typedef MergeStream<PrefixOrder, NoCombine> Stream;
    const uint64_t memory = options_.memory, threshold = PruneThreshold(options_.prune, n);
    const std::size_t size = RecordSizeWith<uint64_t>(n);
    Stream in = adjusted_[n - 1]->Merge(memory / 4);
    std::unique_ptr<Stream> wanted;
    if (needed) wanted.reset(new Stream(needed->Merge(memory / 4)));
    NeededJoin<Stream> join(wanted.get(), n);
    marked_[n - 1].reset(new TempFile(prefix_));
    RecordWriter out(*marked_[n - 1], memory / 8);
    uint64_t kept = 0;
    bool have_context = false;
    WordId context[kMaxEstimateOrder];
    for (; in; ++in) {
      const WordId *words = Words(in.Get());
      const bool keep = Payload<uint64_t>(in.Get(), n) > threshold || join.Has(words);
      void *to = out.Reserve(size);
      CopyRecord(to, in.Get(), size);
      if (!keep) {
        Payload<uint64_t>(to, n) |= kPrunedFlag;
        continue;
      }
      ++kept;
      if (!next) continue;
      if (!have_context || !SameWords(context, words, n - 1)) {
        CopyWords(context, words, n - 1);
        have_context = true;
        Need(*next, words, n - 1);
      }
      Need(*next, words + 1, n - 1);
    }
    out.Flush();
    adjusted_[n - 1].reset();
    result_.orders[n - 1].ngrams = kept;
  }

  static void Need(PrefixSorter &next, const WordId *words, unsigned n) {
    void *to = next.Add();
    CopyWords(Words(to), words, n);
    Payload<uint64_t>(to, n) = 0;
  }

  // The counts, from the counter or the merged count files.
  CountStream Counts(uint64_t memory) {
    if (merged_) return merged_->Merge(memory);
    return CountStream(counter_->Result(), memory, SuffixOrder(order_), SumCounts(order_));
  }

  // Sorts order n's uninterpolated values into uninterp_[n-1] and its
  // contexts' backoffs into contexts_[n-2], within `memory` and with
  // `worker` (if any) sorting.
  void Uninterpolate(unsigned n, uint64_t memory, util::Worker *worker) {
    SuffixSorter *values =
        new SuffixSorter(RecordSizeWith<Uninterp>(n), memory / 2, prefix_, SuffixOrder(n), NoCombine(), worker);
    uninterp_[n - 1].reset(values);
    SuffixSorter *backoffs = nullptr;
    if (n > 1) {
      backoffs =
          new SuffixSorter(RecordSizeWith<double>(n - 1), memory / 4, prefix_, SuffixOrder(n - 1), NoCombine(), worker);
      contexts_[n - 2].reset(backoffs);
    }
    if (n > 1 && !marked_.empty()) {
      RecordReader in(marked_[n - 1].get(), RecordSizeWith<uint64_t>(n), memory / 4);
      UninterpolateFrom(in, n, values, backoffs);
      marked_[n - 1].reset();
    } else {
      MergeStream<PrefixOrder, NoCombine> in = adjusted_[n - 1]->Merge(memory / 4);
      UninterpolateFrom(in, n, values, backoffs);
      adjusted_[n - 1].reset();
    }
    values->Finish();
    if (backoffs) backoffs->Finish();
  }

  // Order n's n-grams with their adjusted counts in PrefixOrder from `in`.
  template <class Stream>
  void UninterpolateFrom(Stream &in, unsigned n, SuffixSorter *values, SuffixSorter *backoffs) {
    Uninterpolated(
        in, n, result_.orders[n - 1].discounts,
        [values, n](const WordId *words, const Uninterp &weights) {
          void *to = values->Add();
          CopyWords(Words(to), words, n);
          Payload<Uninterp>(to, n) = weights;
        },
        [this, backoffs, n](const WordId *words, double gamma) {
          if (!backoffs) {
            gamma_empty_ = gamma;
            return;
          }
          void *to = backoffs->Add();
          CopyWords(Words(to), words, n - 1);
          Payload<double>(to, n - 1) = gamma;
        });
  }

  void Interpolate(unsigned n, uint64_t memory, ArpaWriter &out) {
    typedef MergeStream<SuffixOrder, NoCombine> Stream;
    out.BeginOrder(n);
    Stream in = uninterp_[n - 1]->Merge(memory / 3);
    std::unique_ptr<Stream> backoffs;
    if (n < order_) backoffs.reset(new Stream(contexts_[n - 1]->Merge(memory / 3)));
    std::unique_ptr<RecordReader> lower;
    if (n > 1) lower.reset(new RecordReader(lower_file_.get(), RecordSizeWith<double>(n - 1), memory / 6));
    std::unique_ptr<TempFile> next_file;
    std::unique_ptr<RecordWriter> next;
    if (n < order_) {
      next_file.reset(new TempFile(prefix_));
      next.reset(new RecordWriter(*next_file, memory / 6));
    }
    const double uniform = 1.0 / static_cast<double>(vocab_.Size() - 1);
    OrderInterpolator<RecordReader, Stream> interpolator(n, uniform, lower.get(), backoffs.get(), out,
                                                                 next.get());
    util::ErsatzProgress bar(result_.orders[n - 1].ngrams, Progress(), "Writing " + std::to_string(n) + "-grams");
    if (n == 1) {
      WriteUnigrams(in, interpolator, uniform, bar);
    } else {
      for (; in; ++in, ++bar) interpolator.Add(Words(in.Get()), Payload<Uninterp>(in.Get(), n));
    }
    if (next) next->Flush();
    uninterp_[n - 1].reset();
    if (n < order_) contexts_[n - 1].reset();
    lower_file_ = std::move(next_file);
  }

  // The 1-grams by identifier, with <s> and (when the text lacks it) <unk>
  // among them.
  template <class Stream, class Interpolator>
  void WriteUnigrams(Stream &in, Interpolator &interpolator, double uniform, util::ErsatzProgress &bar) {
    WordId special = kUnk;
    for (; in; ++in, ++bar) {
      const WordId *words = Words(in.Get());
      for (; special <= kBeginSentence && special < *words; ++special) WriteSpecial(special, interpolator, uniform);
      if (special == *words) ++special;
      interpolator.Add(words, Payload<Uninterp>(in.Get(), 1));
    }
    for (; special <= kBeginSentence; ++special) WriteSpecial(special, interpolator, uniform);
  }

  template <class Interpolator> void WriteSpecial(WordId word, Interpolator &interpolator, double uniform) {
    interpolator.Write(&word, word == kUnk ? gamma_empty_ * uniform : 0.0);
  }

  // First, so that it outlives everything that hands it jobs (each of which
  // waits for its own jobs when it goes away).
  std::unique_ptr<util::Worker> worker_;
  const EstimateOptions &options_;
  const unsigned order_;
  const std::string prefix_;
  EstimateResult &result_;
  Vocabulary vocab_;
  std::unique_ptr<NGramCounter> counter_;
  std::unique_ptr<CountSorter> merged_;
  std::vector<std::unique_ptr<PrefixSorter>> adjusted_;
  std::vector<std::unique_ptr<SuffixSorter>> uninterp_, contexts_;
  std::unique_ptr<TempFile> lower_file_;
  // Order n's n-grams marked for pruning, marked_[n - 1]; empty: no pruning.
  std::vector<std::unique_ptr<TempFile>> marked_;
  double gamma_empty_ = 0;
};

void Report(const EstimateResult &result, std::ostream &to) {
  to << "Lines " << result.lines << ", tokens " << result.tokens << ", vocabulary " << result.vocabulary << '\n';
  for (std::size_t i = 0; i < result.orders.size(); ++i) {
    const OrderSummary &order = result.orders[i];
    to << "Order " << (i + 1) << ": " << order.ngrams << " n-grams, discounts "
       << order.discounts.amount[0] << ' ' << order.discounts.amount[1] << ' ' << order.discounts.amount[2]
       << (order.fallback_used ? " (fallback)" : "") << '\n';
  }
  for (const StageReport &stage : result.stages) {
    to << "Stage " << stage.name << ": " << stage.wall_seconds << " s wall, " << stage.cpu_seconds
       << " s processor, peak memory " << (stage.peak_rss >> 20) << " MiB\n";
  }
}

// Runs `write` on the descriptor of a pending `path`, which appears once
// `write` returns and is removed if it throws.
template <class Write> EstimateResult WriteCommitted(const std::string &path, Write write) {
  util::PendingFile output(path);
  EstimateResult result = write(output.Descriptor());
  output.Commit();
  return result;
}

// Checks `options`, runs `stages` on a pipeline whose temporary files are
// named `temp_prefix` and six characters, and reports the result.
template <class Stages>
EstimateResult RunPipeline(const EstimateOptions &options, const std::string &temp_prefix, Stages stages) {
  CheckOptions(options);
  EstimateResult result;
  std::string prefix = temp_prefix;
  util::NormalizeTempPrefix(prefix);
  Pipeline pipeline(options, prefix, result);
  stages(pipeline, result);
  if (options.messages) Report(result, *options.messages);
  return result;
}

}  // namespace

EstimateResult Estimate(LineSource &text, const EstimateOptions &options, int arpa_fd, const std::string &temp_prefix) {
  return RunPipeline(options, temp_prefix, [&](Pipeline &pipeline, EstimateResult &result) {
    pipeline.Count(text);
    UTIL_THROW_IF(!result.lines, BadTextException, text.Name() << " holds no word: there is nothing to estimate from");
    pipeline.Adjust();
    pipeline.Prune();
    pipeline.Write(arpa_fd);
  });
}

EstimateResult Estimate(LineSource &text, const EstimateOptions &options, const std::string &arpa_path) {
  CheckOptions(options);
  return WriteCommitted(arpa_path,
                        [&](int fd) { return Estimate(text, options, fd, TempPrefix(options, arpa_path)); });
}

EstimateResult CountOnly(LineSource &text, const EstimateOptions &options, int counts_fd,
                         const std::string &temp_prefix) {
  UTIL_THROW_IF(!options.prune.empty(), util::Exception,
                "pruning applies to the model, not to its counts: give the thresholds when merging the count files");
  return RunPipeline(options, temp_prefix, [&](Pipeline &pipeline, EstimateResult &result) {
    pipeline.Count(text);
    pipeline.WriteCounts(counts_fd);
    result.orders.clear();
  });
}

EstimateResult CountOnly(LineSource &text, const EstimateOptions &options, const std::string &counts_path) {
  CheckOptions(options);
  return WriteCommitted(counts_path,
                        [&](int fd) { return CountOnly(text, options, fd, TempPrefix(options, counts_path)); });
}

EstimateResult EstimateFromCounts(const std::vector<std::string> &counts_paths, const EstimateOptions &options,
                                  int arpa_fd, const std::string &temp_prefix) {
  UTIL_THROW_IF(counts_paths.empty(), util::Exception, "estimating from counts needs at least one count file");
  UTIL_THROW_IF(!options.limit_vocab.empty(), util::Exception,
                "a word list applies to counting a text, not to merging count files: give it when counting");
  EstimateOptions with_order = options;
  with_order.order = CountFileOrder(counts_paths.front());
  return RunPipeline(with_order, temp_prefix, [&](Pipeline &pipeline, EstimateResult &) {
    pipeline.Merge(counts_paths);
    pipeline.Adjust();
    pipeline.Prune();
    pipeline.Write(arpa_fd);
  });
}

EstimateResult EstimateFromCounts(const std::vector<std::string> &counts_paths, const EstimateOptions &options,
                                  const std::string &arpa_path) {
  return WriteCommitted(
      arpa_path, [&](int fd) { return EstimateFromCounts(counts_paths, options, fd, TempPrefix(options, arpa_path)); });
}

}  // namespace estimate
}  // namespace lm
