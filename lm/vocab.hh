// Word hashing and the hash-table vocabulary.
//
// Words are never stored as text inside a model: a word is its 64-bit hash
// (HashForVocab, MurmurHash64A with seed 0), and distinct words are told
// apart by their hashes alone.  Identifier 0 is <unk> and every word a
// vocabulary does not hold; the hashes of "<unk>" and "<UNK>" are never
// entered into a vocabulary.
//
// ProbingVocabulary lays its part of the model's region out as
//   offset 0: version (uint32, always kProbingVocabularyVersion)
//   offset 4: bound (uint32, identifiers in use, <unk> included)
//   offset 8: buckets of ProbingVocabularyEntry (12 bytes each)
// and binary model files store these bytes unchanged.  The vocabulary owns
// none of that memory.  Building: SetupMemory over zero-filled memory,
// ConfigureEnumerate, Insert per unigram, FinishedLoading.  Loading a binary
// file: SetupMemory over the stored bytes, LoadedBinary.  Afterwards Index is
// a const, allocation-free probe safe to run on many threads.
//
// The word list at the end of a binary file is "<unk>" NUL, then every other
// word followed by NUL in identifier order 1, 2, ...; WriteWordsWrapper
// collects it while a model is built and ReadWords reads it back.
#ifndef LM_VOCAB_H
#define LM_VOCAB_H

#include "lm/enumerate_vocab.hh"
#include "lm/virtual_interface.hh"
#include "lm/word_index.hh"
#include "util/murmur_hash.hh"
#include "util/probing_hash_table.hh"
#include "util/string_piece.hh"

#include <cstddef>
#include <cstdint>
#include <string>

namespace lm {
namespace ngram {

struct Config;

namespace detail {

inline uint64_t HashForVocab(const char *str, std::size_t len) { return util::MurmurHash64A(str, len, 0); }
inline uint64_t HashForVocab(const StringPiece &str) { return HashForVocab(str.data(), str.size()); }

// Whether `hash` is the hash of "<unk>" or "<UNK>", the two spellings of the
// unknown word, which vocabularies never enter.
bool IsUnknownHash(uint64_t hash);

}  // namespace detail

using detail::HashForVocab;

// One bucket of the word table: the word hash (0 marks a free bucket) and
// the identifier, packed into 12 bytes as stored in binary files.
#pragma pack(push, 4)
struct ProbingVocabularyEntry {
  typedef uint64_t Key;

  uint64_t key;
  WordIndex value;

  Key GetKey() const { return key; }
  void SetKey(Key to) { key = to; }

  static ProbingVocabularyEntry Make(uint64_t key, WordIndex value) {
    ProbingVocabularyEntry ret;
    ret.key = key;
    ret.value = value;
    return ret;
  }
};
#pragma pack(pop)
static_assert(sizeof(ProbingVocabularyEntry) == 12, "ProbingVocabularyEntry is a 12-byte bucket in binary files");

// The first 8 bytes of the vocabulary's part of the region.
struct ProbingVocabularyHeader {
  uint32_t version;
  WordIndex bound;
};
static_assert(sizeof(ProbingVocabularyHeader) == 8, "ProbingVocabularyHeader is 8 bytes in binary files");

constexpr uint32_t kProbingVocabularyVersion = 0;

class ProbingVocabulary final : public base::Vocabulary {
 public:
  ProbingVocabulary();

  // Bytes of the part for `entries` words: 8 + 12 * max(entries + 1,
  // entries * multiplier), the product in single precision.
  static uint64_t Size(uint64_t entries, float multiplier);
  // As above with config.probing_multiplier.
  static uint64_t Size(uint64_t entries, const Config &config);

  // Lays the header at `start` and the table after it.  The bucket count is
  // allocated / 12 with the header bytes included, which for a part sized by
  // Size is exactly the count Size used.  Memory for a new table must be
  // zero-filled.
  void SetupMemory(void *start, std::size_t allocated);
  // The form the generic model calls; `entries` and `config` are not used.
  void SetupMemory(void *start, std::size_t allocated, std::size_t entries, const Config &config);

  // The part moved to `new_start` (same bucket count).
  void Relocate(void *new_start);

  // Stores the callback (borrowed, may be null) and reports <unk> to it as
  // identifier 0 at once.  `max_entries` is not used.
  void ConfigureEnumerate(EnumerateVocab *to, std::size_t max_entries);

  // Assigns the next identifier (1, 2, ... in insertion order) and reports
  // the word to the callback; <unk> and <UNK> are not entered and give 0.
  // A word inserted twice gets two identifiers; Index returns the first.
  // A full table throws util::ProbingSizeException.
  WordIndex Insert(const StringPiece &str);

  WordIndex Index(const StringPiece &str) const override { return IndexOfHash(detail::HashForVocab(str)); }

  // Index as a seek that a caller can resume while the memory it reads
  // loads, as the sorted vocabulary has it: StartSeek hashes the word and
  // reads nothing, SeekAddress is the bucket the next SeekStep reads, and
  // SeekStep, which here always ends the seek, looks the word up; SeekIndex
  // is then Index's answer.
  struct Seek {
    uint64_t hash;
    WordIndex index;
  };
  void StartSeek(const StringPiece &str, Seek &seek) const { seek.hash = detail::HashForVocab(str); }
  const void *SeekAddress(const Seek &seek) const { return lookup_.StartAddress(seek.hash); }
  bool SeekStep(Seek &seek) const {
    seek.index = IndexOfHash(seek.hash);
    return true;
  }
  WordIndex SeekIndex(const Seek &seek) const { return seek.index; }

  // Starts loading the bucket where Index(str) looks first, so that the
  // lookups of several words can wait for memory at the same time.
  [[gnu::always_inline]] void Prefetch(const StringPiece &str) const { lookup_.Prefetch(detail::HashForVocab(str)); }

  // After the last Insert: fixes the header and the special words.  The
  // probing vocabulary never renumbers, so `reorder` is left alone.
  template <class Weights> void FinishedLoading(Weights * /*reorder*/) { InternalFinishedLoading(); }
  // Writes version and bound into the header and sets <s> and </s>.
  void InternalFinishedLoading();


  // Whether Insert was given <unk> or <UNK>.
  bool SawUnk() const { return saw_unk_; }

  // The next identifier to assign: the number of identifiers in use.
  WordIndex Bound() const { return bound_; }

  // After SetupMemory over a binary file's bytes: checks the version, takes
  // the bound and special words from the table and, when the file has the
  // word list, reports it to `to` (read from `fd` at `offset`).  Throws
  // lm::FormatLoadException for a wrong version, an identifier at or above
  // the bound (a damaged file), or a bad word list.
  void LoadedBinary(bool have_words, int fd, EnumerateVocab *to, uint64_t offset);

 private:
  WordIndex IndexOfHash(uint64_t hash) const {
    Lookup::ConstIterator found;
    return lookup_.Find(hash, found) ? found->value : 0;
  }
  void CheckIdentifiers() const;

  typedef util::ProbingHashTable<ProbingVocabularyEntry, util::IdentityHash> Lookup;

  Lookup lookup_;
  WordIndex bound_;
  bool saw_unk_;
  EnumerateVocab *enumerate_;
  ProbingVocabularyHeader *header_;
};

// What the builders do about an ARPA file without <unk>, by
// config.missing_unk_action: throw lm::SpecialWordMissingException, write a
// line to config.message_stream (if any), or nothing.
void MissingUnknown(const Config &config);

// Likewise for <s> or </s> (`str`), by config.missing_marker_action; the
// complaint ends without a line end.
void MissingSentenceMarker(const Config &config, const char *str);

// Passes every word on to `inner` (borrowed, may be null) and collects the
// word list of a binary file: each word's bytes and a NUL, in call order.
class WriteWordsWrapper : public EnumerateVocab {
 public:
  explicit WriteWordsWrapper(EnumerateVocab *inner);

  void Add(WordIndex index, const StringPiece &str) override;

  const std::string &Buffer() const { return buffer_; }

 private:
  EnumerateVocab *inner_;
  std::string buffer_;
};

// Reads the word list at `offset` of `fd`.  It must begin with "<unk>" NUL
// (else lm::FormatLoadException "wrong place").  With `enumerate` null nothing
// more is read; otherwise every word is reported with identifiers 0, 1, ...
// and the count must equal `expected_count` (else lm::FormatLoadException
// "wrong number of words").  Moves the file position of `fd`.
void ReadWords(int fd, EnumerateVocab *enumerate, WordIndex expected_count, uint64_t offset);

}  // namespace ngram
}  // namespace lm

#endif  // LM_VOCAB_H
