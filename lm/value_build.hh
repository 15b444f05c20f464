// Build policies of the hash-table search: how rest costs are filled while
// an ARPA file is read (lm/search_hashed.cc drives them).
//
//   NoRestBuild        BackoffValue; no rest costs.
//   MaxRestBuild       RestValue; an n-gram's rest cost starts as its own
//                      probability and rises to the best rest cost of any
//                      n-gram that extends it to the left, propagated down
//                      the chain of suffixes.
//   LowerRestBuild<M>  RestValue; the rest cost of an n-gram of order n below
//                      the model's order is the probability that a separate
//                      model of order n (files in config.rest_lower_files)
//                      gives it.
//
// What each policy offers is the concept BuildPolicy below.
#ifndef LM_VALUE_BUILD_H
#define LM_VALUE_BUILD_H

#include "lm/blank.hh"
#include "lm/value.hh"
#include "lm/weights.hh"
#include "lm/word_index.hh"

#include <concepts>
#include <memory>
#include <vector>

namespace lm {
namespace ngram {

struct Config;
class ProbingVocabulary;

template <class B>
concept BuildPolicy = requires(const B build, const WordIndex *ids, unsigned int n, const Prob &highest,
                               typename B::Value::Weights &weights) {
  // The value type of the tables the policy fills.
  typename B::Value;
  // Whether the builder carries a raised rest cost on down to the suffixes
  // of the n-gram that was extended.
  { B::kPropagateBelowBasis } -> std::convertible_to<bool>;
  // Fill the rest cost of the n-gram ids[0 .. n-1] (newest word first);
  // nothing for a highest-order lm::Prob record.
  build.SetRest(ids, n, highest);
  build.SetRest(ids, n, weights);
  // The second argument extends the first on the left: clear the first's
  // left-closed flag (the sign bit of its probability); true only when its
  // rest cost was raised.
  { build.NoteLeftExtension(weights, weights) } -> std::same_as<bool>;
  { build.NoteLeftExtension(weights, highest) } -> std::same_as<bool>;
};

class NoRestBuild {
 public:
  typedef BackoffValue Value;
  static const bool kPropagateBelowBasis = false;

  void SetRest(const WordIndex *, unsigned int, const Prob &) const {}
  void SetRest(const WordIndex *, unsigned int, const ProbBackoff &) const {}

  template <class Longer> bool NoteLeftExtension(ProbBackoff &lower, const Longer &) const {
    lower.prob = WithoutSignBit(lower.prob);
    return false;
  }
};

class MaxRestBuild {
 public:
  typedef RestValue Value;
  static const bool kPropagateBelowBasis = true;

  void SetRest(const WordIndex *, unsigned int, const Prob &) const {}
  void SetRest(const WordIndex *, unsigned int, RestWeights &weights) const {
    weights.rest = WithSignBit(weights.prob);
  }

  bool NoteLeftExtension(RestWeights &lower, const RestWeights &longer) const { return Raise(lower, longer.rest); }
  bool NoteLeftExtension(RestWeights &lower, const Prob &longer) const { return Raise(lower, longer.prob); }

 private:
  // A rest cost that is not a number compares false and is always replaced.
  static bool Raise(RestWeights &lower, float longer_rest) {
    lower.prob = WithoutSignBit(lower.prob);
    if (lower.rest >= longer_rest) return false;
    lower.rest = longer_rest;
    return true;
  }
};

// Owns the 1-gram costs and the lower-order models (orders 2 .. N-1) for its
// lifetime.  The lower files must list their 1-grams in the same order as
// the model's file: the lower models are queried with the model's word
// identifiers.
template <class Model> class LowerRestBuild {
 public:
  typedef RestValue Value;
  static const bool kPropagateBelowBasis = false;

  // Reads config.rest_lower_files (order - 1 names: the 1-gram ARPA file,
  // then models of orders 2 .. order - 1).  Throws lm::ConfigException for a
  // wrong number of files and lm::FormatLoadException for a file of the
  // wrong order or a 1-gram file that does not fit the vocabulary; words of
  // the 1-gram file are looked up in `vocab`.
  LowerRestBuild(const Config &config, unsigned int order, const ProbingVocabulary &vocab);
  ~LowerRestBuild();

  LowerRestBuild(const LowerRestBuild &) = delete;
  LowerRestBuild &operator=(const LowerRestBuild &) = delete;

  void SetRest(const WordIndex *, unsigned int, const Prob &) const {}
  // Order 1: the 1-gram file's cost (lm::FormatLoadException when ids[0] is
  // beyond it); order n >= 2: the probability lower model n gives.
  void SetRest(const WordIndex *vocab_ids, unsigned int n, RestWeights &weights) const;

  template <class Longer> bool NoteLeftExtension(RestWeights &lower, const Longer &) const {
    lower.prob = WithoutSignBit(lower.prob);
    return false;
  }

 private:
  // Indexed by the model's word identifiers.
  std::vector<float> unigrams_;
  // Element i has order i + 2.
  std::vector<std::unique_ptr<Model>> models_;
};

}  // namespace ngram
}  // namespace lm

#endif  // LM_VALUE_BUILD_H
