// lm::estimate::Estimate: an interpolated modified Kneser-Ney model made from
// text, written as an ARPA file.
//
// The model.  Each line of the text is split into words at runs of ASCII
// whitespace, as the scorer splits a sentence.  A line without a word is
// skipped; any other line becomes <s> w1 ... wk </s>.  A line holding <s> or
// </s> as a word, or a word with a NUL byte, is refused with an error naming
// the file and line.  <unk> in the text is the word <unk>.  With a word
// list (options.limit_vocab), every word of the text that the list lacks is
// read as <unk> before anything is counted; <s>, </s> and <unk> in the list
// change nothing.
//
//   V      every word of the text (as read), plus <s>, </s> and <unk>.
//   c(g)   occurrences of the n-gram g (orders 1 to N) inside the padded lines.
//   a(g)   adjusted count: c(g) at order N and for any n-gram that begins
//          with <s>; otherwise the number of distinct words v with
//          c(v g) > 0.  The unigram <s> is never predicted: it takes part in
//          no count-of-counts and no sum below.
//   t_k    count-of-counts of order n: the n-grams of order n with a = k,
//          k = 1..4.
//   D_k    discounts of order n: Y = t1 / (t1 + 2 t2),
//          D_k = k - (k + 1) Y t_{k+1} / t_k for k = 1, 2, 3; an n-gram with
//          a >= 3 uses D_3.  When some t_k is 0 or some D_k is not strictly
//          between 0 and k, estimation stops with an error naming the order,
//          t1..t4 and the discounts, unless the fallback is allowed: the
//          order then uses the fallback discounts and a warning says so.
//   For a context c of n - 1 words, A(c) = sum over x of a(c x) (the order-n
//   n-grams c x), N_k(c) the number of x with a(c x) = k (N_3: a >= 3),
//     u(c w) = (a(c w) - D(a(c w))) / A(c)
//     g(c)   = (D_1 N_1(c) + D_2 N_2(c) + D_3 N_3(c)) / A(c)
//     p(w)   = u(w) + g(empty) / (|V| - 1)
//     p(c w) = u(c w) + g(c) p(c' w),   c' being c without its first word.
//
// Pruning by count, with thresholds T_2, T_3, ... (options.prune; an order
// beyond the last threshold given takes the last one).  An n-gram g of order
// n >= 2 is kept when a(g) > T_n or when g is the context (first n - 1 words)
// or the suffix (last n - 1 words) of a kept n-gram of order n + 1; the
// others are pruned.  Every 1-gram is kept.  For a context c,
//     g(c)   = (D_1 N_1(c) + D_2 N_2(c) + D_3 N_3(c)
//               + sum over pruned c x of (a(c x) - D(a(c x)))) / A(c),
// with t_k, D_k, A(c) and N_k(c) all taken over every n-gram, pruned or
// not, and u and p as above for the kept n-grams: each pruned n-gram's
// discounted count moves to its context's backoff, so every distribution
// still sums to one.  Without a positive threshold nothing is pruned.
//
// The ARPA file holds every kept n-gram of every order with log10 p; the
// 1-grams are all of V: <s> with -99, <unk> (when the text lacks it) with
// log10(g(empty) / (|V| - 1)).  An n-gram of order below N that some
// kept n-gram extends carries the backoff log10 g(n-gram); the others
// carry none.  Values are computed in double precision and each is written
// as the shortest decimal that reads back as the same 32-bit float.  The
// bytes of the file depend only on the text and the options that change the
// model (order, fallback, word list, pruning), never on the memory limit or the thread count.
#ifndef LM_ESTIMATE_ESTIMATE_H
#define LM_ESTIMATE_ESTIMATE_H

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace lm {
namespace estimate {

class LineSource;

// The highest order an ARPA file can be estimated for.
constexpr unsigned kMaxEstimateOrder = 12;

// D_1, D_2 and D_3 (the last for every adjusted count of 3 or more).
struct Discounts {
  double amount[3];
};

struct EstimateOptions {
  // 1 to kMaxEstimateOrder.
  unsigned order = 3;
  // Bytes for counting and sorting (the vocabulary comes on top).
  uint64_t memory = uint64_t(1) << 30;
  // Temporary files are named this prefix and six characters; empty: beside
  // the output file.
  std::string temp_prefix;
  // Whether an order whose discounts are out of range uses `fallback`
  // (with a warning) instead of stopping.
  bool discount_fallback = false;
  Discounts fallback = {{0.5, 1.0, 1.5}};
  // A file of the words to keep, separated by ASCII whitespace (gzip,
  // bzip2 or xz compressed, or not); empty: every word.
  std::string limit_vocab;
  // Pruning thresholds: prune[i] is T of order i + 2, the last repeated for
  // the orders beyond; at most order - 1 of them, none below the one before.
  // Empty or all 0: nothing is pruned.
  std::vector<uint64_t> prune;
  // Threads the pipeline may use (1 or more).
  unsigned threads = 2;
  // Warnings, progress bars and the final report; null: silent.
  std::ostream *messages = nullptr;
  bool show_progress = true;
};

// What an order of the model came to.
struct OrderSummary {
  // Entries of the order in the ARPA file (for 1-grams: |V|), after pruning.
  uint64_t ngrams = 0;
  // Both over every n-gram of the order, before pruning.
  uint64_t count_of_counts[4] = {0, 0, 0, 0};
  Discounts discounts = {{0, 0, 0}};
  bool fallback_used = false;
};

// Time and memory of one stage of the pipeline.
struct StageReport {
  std::string name;
  double wall_seconds = 0;
  double cpu_seconds = 0;
  uint64_t peak_rss = 0;
};

struct EstimateResult {
  uint64_t lines = 0;   // lines that held words
  uint64_t tokens = 0;  // words of those lines, without <s> and </s>
  uint64_t vocabulary = 0;  // |V|
  std::vector<OrderSummary> orders;  // orders[n - 1] is order n
  std::vector<StageReport> stages;
};

// Estimates a model of `options.order` from `text` and writes it to
// `arpa_path`, which appears only once complete.  Throws util::Exception
// (with the file and line for bad text) and leaves neither the output nor
// a temporary file behind on failure.
EstimateResult Estimate(LineSource &text, const EstimateOptions &options, const std::string &arpa_path);

// As above, writing the ARPA file to `arpa_fd` from its current position,
// for a caller that owns the output (a tool that removes it on a signal, or
// a temporary file read back at once).  Temporary files are named
// `temp_prefix` and six characters, whatever options.temp_prefix says.
EstimateResult Estimate(LineSource &text, const EstimateOptions &options, int arpa_fd, const std::string &temp_prefix);

// Estimation in two halves, for a text counted in pieces (on several
// machines, say): CountOnly writes the counts of one piece as a count file
// (count_file.hh), EstimateFromCounts merges any number of them and makes
// the model.  A text cut at line ends into pieces, counted piece by piece and
// merged with the files in the text's order, gives the bytes that Estimate
// gives for the whole text: the merged vocabulary numbers the words of the
// first file, then the new words of the second, and so on, which is the
// whole text's order of first appearance.

// Counts `text` for a model of `options.order` and writes the count file to
// `counts_path`, which appears only once complete.  A text without a word
// makes a file without counts.  The result holds lines, tokens, |V| and the
// counting stage; `orders` is empty.  The word list (options.limit_vocab)
// applies here; pruning thresholds belong to the merge and are refused.
// Throws as Estimate does.
EstimateResult CountOnly(LineSource &text, const EstimateOptions &options, const std::string &counts_path);
// As above, writing to `counts_fd` from its current position.
EstimateResult CountOnly(LineSource &text, const EstimateOptions &options, int counts_fd,
                         const std::string &temp_prefix);

// Merges the count files `counts_paths` (at least one, all of one order,
// which the model takes: options.order is not read) and writes the model as
// Estimate does, pruned as options.prune says; a word list
// (options.limit_vocab) belongs to counting and is refused here.  Lines and
// tokens are the files' sums.  The records are
// remapped to the merged vocabulary, sorted and summed within
// `options.memory` (the merged vocabulary comes on top).  Throws
// CountFileException naming the file for a file of another order, damaged,
// truncated or of another format version, and util::Exception when the
// files hold no word.
EstimateResult EstimateFromCounts(const std::vector<std::string> &counts_paths, const EstimateOptions &options,
                                  const std::string &arpa_path);
// As above, writing the ARPA file to `arpa_fd` from its current position.
EstimateResult EstimateFromCounts(const std::vector<std::string> &counts_paths, const EstimateOptions &options,
                                  int arpa_fd, const std::string &temp_prefix);

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_ESTIMATE_H
