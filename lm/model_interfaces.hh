// The interfaces that lm::ngram::detail::GenericModel requires of its two
// template parameters, a search structure and a vocabulary, written as
// concepts: ModelSearch (its query half SearchQueries, const, allocation-free
// and thread-safe; its construction half SearchConstruction, one thread at
// load time) and ModelVocabulary.  Both the hash tables and the trie satisfy
// them; the model checks its parameters against them when it is
// instantiated.  Contexts are word identifiers newest word first.
#ifndef LM_MODEL_INTERFACES_H
#define LM_MODEL_INTERFACES_H

#include "lm/config.hh"
#include "lm/enumerate_vocab.hh"
#include "lm/virtual_interface.hh"
#include "lm/word_index.hh"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace util {
class FilePiece;
}  // namespace util

namespace lm {
namespace ngram {

class BinaryFormat;

// The view of a found probability (highest order).
template <class P>
concept ProbView = std::copyable<P> && requires(const P p) {
  { p.IsFound() } -> std::same_as<bool>;
  { p.GetProb() } -> std::same_as<float>;
};

// The view of a unigram or middle entry.
template <class P>
concept WeightsView = ProbView<P> && requires(const P p) {
  { p.GetBackoff() } -> std::same_as<float>;
  { p.GetRest() } -> std::same_as<float>;
};

// Node is the search's cursor: where a lookup continues.
template <class S>
concept SearchQueries =
    WeightsView<typename S::UnigramPointer> && WeightsView<typename S::MiddlePointer> &&
    ProbView<typename S::LongestPointer> && std::default_initializable<typename S::Node> &&
    std::is_trivially_copyable_v<typename S::Seek> && std::default_initializable<typename S::Seek> &&
    requires(const S s, WordIndex word, typename S::Node &node, bool &left_closed, uint64_t &left_handle,
             unsigned char index, const WordIndex *words, typename S::Seek &seek) {
      // Whether rest costs differ from probabilities.
      { S::kDifferentRest } -> std::convertible_to<bool>;
      // The highest order.
      { s.Order() } -> std::same_as<unsigned char>;
      { s.LookupUnigram(word, node, left_closed, left_handle) } -> std::same_as<typename S::UnigramPointer>;
      // Extends node by word on the left among the (index + 2)-grams.
      { s.LookupMiddle(index, word, node, left_closed, left_handle) } -> std::same_as<typename S::MiddlePointer>;
      // Extends node to the highest order.
      { s.LookupLongest(word, node) } -> std::same_as<typename S::LongestPointer>;
      // The node of the n-gram [begin, end); false when it cannot exist.
      { s.FastMakeNode(words, words, node) } -> std::same_as<bool>;
      // Re-opens a middle n-gram of length index from its left_handle.
      { s.Unpack(left_handle, index, node) } -> std::same_as<typename S::MiddlePointer>;
      // Starts loading what scoring word after the context [begin, end)
      // (the words of a state) reads first; reads nothing.
      s.Prefetch(word, words, words);
      // The first byte that LookupUnigram(word, ...) reads.
      { s.UnigramAddress(word) } -> std::same_as<const void *>;
      // Extending node by word (LookupMiddle of index, or LookupLongest when
      // index is Order() - 2) as a seek that goes one read at a time:
      // StartSeek sets it up and reads nothing; SeekAddress is the first
      // byte the next SeekStep reads (null: none); SeekStep reads once and
      // returns true when the seek has ended, after which SeekMiddle or
      // SeekLongest gives what the lookup gives.
      s.StartSeek(index, word, std::as_const(node), seek);
      { s.SeekAddress(index, word, std::as_const(node), std::as_const(seek)) } -> std::same_as<const void *>;
      { s.SeekStep(index, word, seek) } -> std::same_as<bool>;
      {
        s.SeekMiddle(index, word, std::as_const(seek), node, left_closed, left_handle)
      } -> std::same_as<typename S::MiddlePointer>;
      { s.SeekLongest(word, std::as_const(seek), std::as_const(node)) } -> std::same_as<typename S::LongestPointer>;
    };

template <class S, class Vocab>
concept SearchConstruction = requires(S s, const std::vector<uint64_t> &fixed_counts, std::vector<uint64_t> &counts,
                                      const Config &config, Config &writable_config, BinaryFormat &backing,
                                      uint8_t *start, util::FilePiece &f, Vocab &vocab, uint64_t offset) {
  // The search version stored in binary files.
  { S::kVersion } -> std::convertible_to<unsigned int>;
  // Bytes of the search's part of the region.
  { S::Size(fixed_counts, config) } -> std::same_as<uint64_t>;
  // Takes the parameters a binary file stores.
  S::UpdateConfigFromBinary(backing, fixed_counts, offset, writable_config);
  // Lays the tables over the region; returns their end.
  { s.SetupMemory(start, fixed_counts, config) } -> std::same_as<uint8_t *>;
  // Builds from ARPA text (may correct the counts).
  s.InitializeFromARPA("file", f, counts, config, vocab, backing);
  // <unk> absent from the text: probability (and rest cost) prob, backoff 0.
  s.SetUnknownUnigram(1.0f);
};

// What GenericModel<S, Vocab> requires of S.
template <class S, class Vocab>
concept ModelSearch = SearchQueries<S> && SearchConstruction<S, Vocab>;

// What GenericModel<S, V> requires of V: an lm::base::Vocabulary that also
// lays itself out in the region (Size, SetupMemory, Relocate), is filled
// from ARPA text (ConfigureEnumerate, SawUnk) or attached to a binary file
// (LoadedBinary), and reports its identifier bound (Bound).
template <class V>
concept ModelVocabulary =
    std::derived_from<V, base::Vocabulary> &&
    requires(V v, const V cv, const Config &config, void *start, std::size_t size, uint64_t entries, int fd,
             EnumerateVocab *enumerate) {
      { V::Size(entries, config) } -> std::same_as<uint64_t>;
      v.SetupMemory(start, size, size, config);
      v.Relocate(start);
      v.ConfigureEnumerate(enumerate, size);
      v.LoadedBinary(true, fd, enumerate, entries);
      { cv.SawUnk() } -> std::same_as<bool>;
      { cv.Bound() } -> std::same_as<WordIndex>;
      { cv.BeginSentenceIndex() } -> std::same_as<WordIndex>;
    };

}  // namespace ngram
}  // namespace lm

#endif  // LM_MODEL_INTERFACES_H
