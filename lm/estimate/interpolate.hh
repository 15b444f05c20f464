// Interpolate: the interpolated probabilities of one order, written as its
// ARPA section.
//
// The input is every n-gram of order n with its Uninterp payload in
// SuffixOrder.  `lower` gives p of order n - 1 (n - 1 words and a double, in
// SuffixOrder); since records of order n in suffix order visit their
// (n-1)-word suffixes in that order, one forward scan joins them:
//   p(c w) = u(c w) + g(c) p(c' w).
// For n = 1 the lower distribution is uniform, 1 / (|V| - 1).  `backoffs`
// gives g of the n-grams that are contexts of order n + 1 (n words and a
// double, SuffixOrder), joined the same way.  Every n-gram is written with
// log10 p and, when it is a context, log10 g; with `next` it is also written
// there with p (n words and a double) for order n + 1.
#ifndef LM_ESTIMATE_INTERPOLATE_H
#define LM_ESTIMATE_INTERPOLATE_H

#include "lm/estimate/arpa_writer.hh"
#include "lm/estimate/ngram_record.hh"
#include "lm/estimate/record_file.hh"
#include "lm/estimate/uninterpolated.hh"
#include "util/exception.hh"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace lm {
namespace estimate {

// Finds, for a rising sequence of keys, the records of a stream in the same
// order with the same words.
template <class Stream, class Compare> class ForwardJoin {
 public:
  ForwardJoin(Stream *stream, unsigned order) : stream_(stream), compare_(order), order_(order) {}

  // The double payload of the record with `words`, or null.
  const double *Find(const WordId *words) {
    if (!stream_) return nullptr;
    while (*stream_ && compare_(stream_->Get(), words)) ++*stream_;
    if (!*stream_ || !SameWords(Words(stream_->Get()), words, order_)) return nullptr;
    return &Payload<double>(stream_->Get(), order_);
  }

 private:
  Stream *stream_;
  Compare compare_;
  unsigned order_;
};

// Writes the 1-grams or n-grams of one order as above, one n-gram at a time
// in SuffixOrder.
template <class Lower, class Backoffs> class OrderInterpolator {
 public:
  OrderInterpolator(unsigned order, double uniform, Lower *lower, Backoffs *backoffs, ArpaWriter &out,
                    RecordWriter *next)
      : order_(order), uniform_(uniform), lower_(lower, order - 1), backoffs_(backoffs, order), out_(out), next_(next) {}

  // One n-gram with its uninterpolated weights.
  void Add(const WordId *words, const Uninterp &weights) {
    double lower = uniform_;
    if (order_ > 1) {
      const double *found = lower_.Find(words + 1);
      UTIL_THROW_IF(!found, util::Exception, "an n-gram of order " << order_ << " lacks its lower-order suffix");
      lower = *found;
    }
    Write(words, weights.u + weights.gamma * lower);
  }

  // An n-gram with probability `p` (the 1-grams <s> and an absent <unk>).
  void Write(const WordId *words, double p) {
    const double *gamma = backoffs_.Find(words);
    double backoff;
    if (gamma) backoff = std::log10(*gamma);
    out_.Entry(p > 0 ? std::log10(p) : -99.0, words, order_, gamma ? &backoff : nullptr);
    if (next_) {
      void *record = next_->Reserve(RecordSizeWith<double>(order_));
      CopyWords(Words(record), words, order_);
      Payload<double>(record, order_) = p;
    }
  }

 private:
  unsigned order_;
  double uniform_;
  ForwardJoin<Lower, SuffixOrder> lower_;
  ForwardJoin<Backoffs, SuffixOrder> backoffs_;
  ArpaWriter &out_;
  RecordWriter *next_;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_INTERPOLATE_H
