// The binary model file: a memory image of a loaded model.
//
// Layout (native little-endian; N is the order):
//   0          Sanity: magic text and test values (88 bytes)
//   88         FixedParameters (20 bytes)
//   108        N unsigned 64-bit counts, 1-grams first
//   108 + 8N   zero up to the header size H = TotalHeaderSize(N)
//   H          vocabulary region (V bytes), then padding (P bytes), then the
//              search region (S bytes), exactly as they lie in memory
//   H+V+P+S    optionally the words, each followed by a zero byte
//
// While a file is being built its first H bytes hold kMagicIncomplete and
// zero bytes; the finished header is written only after all data is in
// place, so an interrupted build never looks finished.
#ifndef LM_BINARY_FORMAT_H
#define LM_BINARY_FORMAT_H

#include "lm/config.hh"
#include "lm/magic.hh"
#include "lm/model_type.hh"
#include "lm/word_index.hh"
#include "util/file.hh"
#include "util/mmap.hh"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lm {
namespace ngram {

namespace detail {
// The concatenation of `parts` (without their terminators) followed by
// kZeros zero bytes.
template <std::size_t kZeros, std::size_t... kSizes>
constexpr std::array<char, (0 + ... + (kSizes - 1)) + kZeros> MagicText(const char (&...parts)[kSizes]) {
  std::array<char, (0 + ... + (kSizes - 1)) + kZeros> out{};
  std::size_t at = 0;
  auto append = [&out, &at](const char *part, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) out[at++] = part[i];
  };
  (append(parts, kSizes - 1), ...);
  return out;
}
}  // namespace detail

// Magic of a finished file: 51 bytes of text and two zero bytes.
constexpr auto kMagicBytes = detail::MagicText<2>("mmap lm ", kMagicSite, " format version 5\n");
// Magic of a file still being built: 45 bytes of text and a zero byte.
constexpr auto kMagicIncomplete = detail::MagicText<1>("mmap lm ", kMagicSite, " incomplete\n");
// The text before the version number: 48 bytes and a zero byte.
constexpr auto kMagicBeforeVersion = detail::MagicText<1>("mmap lm ", kMagicSite, " format version");
constexpr uint64_t kMagicVersion = 5;

static_assert(kMagicBytes.size() == 53);
static_assert(kMagicIncomplete.size() == 46);
static_assert(kMagicBeforeVersion.size() == 49);

// The first 88 bytes of a binary file: the magic and values that come out
// differently under another byte order, float format, word identifier width
// or structure layout.  Files are checked against the reference record
// (magic kMagicBytes, floats 0.0, 1.0, -0.5, identifiers 1 and the largest,
// 64-bit 1, zero padding) byte for byte.
struct Sanity {
  char magic[53];
  unsigned char padding_after_magic[3];
  float zero_f;
  float one_f;
  float minus_half_f;
  WordIndex one_word_index;
  WordIndex max_word_index;
  unsigned char padding_before_uint64[4];
  uint64_t one_uint64;
};
static_assert(sizeof(Sanity) == 88);
static_assert(offsetof(Sanity, padding_after_magic) == 53);
static_assert(offsetof(Sanity, zero_f) == 56);
static_assert(offsetof(Sanity, one_f) == 60);
static_assert(offsetof(Sanity, minus_half_f) == 64);
static_assert(offsetof(Sanity, one_word_index) == 68);
static_assert(offsetof(Sanity, max_word_index) == 72);
static_assert(offsetof(Sanity, padding_before_uint64) == 76);
static_assert(offsetof(Sanity, one_uint64) == 80);

// The parameters stored at offset 88, in their on-disk layout (padding bytes
// are written as zero).
struct FixedParameters {
  unsigned char order;
  float probing_multiplier;
  // 32-bit on disk; a corrupt file may hold values outside the enumeration.
  ModelType model_type;
  // Whether the words follow the search region.
  bool has_vocabulary;
  // 0 for hash tables, 1 for tries.
  unsigned int search_version;
};
static_assert(sizeof(ModelType) == 4);
static_assert(sizeof(FixedParameters) == 20);
static_assert(offsetof(FixedParameters, order) == 0);
static_assert(offsetof(FixedParameters, probing_multiplier) == 4);
static_assert(offsetof(FixedParameters, model_type) == 8);
static_assert(offsetof(FixedParameters, has_vocabulary) == 12);
static_assert(offsetof(FixedParameters, search_version) == 16);

constexpr std::size_t kFixedParametersOffset = sizeof(Sanity);
constexpr std::size_t kCountsOffset = kFixedParametersOffset + sizeof(FixedParameters);

// Everything a header stores: the fixed parameters and one count per order.
struct Parameters {
  FixedParameters fixed;
  std::vector<uint64_t> counts;
};

// Bytes before the region for a model of this order: 108 + 8 * order rounded
// up to a multiple of 8, which is always 112 + 8 * order.
constexpr uint64_t TotalHeaderSize(unsigned char order) {
  return (kCountsOffset + 8 * static_cast<uint64_t>(order) + 7) & ~static_cast<uint64_t>(7);
}

// Whether the open file is a binary model file.  False for files of at most
// 88 bytes, of unknown size, that cannot be mapped or that do not begin with
// the magic; throws lm::FormatLoadException for a binary file that cannot be
// used (unfinished, other format version, other test values).
bool IsBinaryFormat(int fd);

// Reads the fixed parameters and the counts; refuses a probing multiplier
// below 1.0.
void ReadHeader(int fd, Parameters &params);

// Refuses a file of another model type or search version.
void MatchCheck(ModelType model_type, unsigned int search_version, const Parameters &params);

// Opens `file`; true, with the stored model type in `recognized` (unchecked),
// if it is a binary model file.  The file is closed again.
bool RecognizeBinary(const char *file, ModelType &recognized);

// Owner of a model's file and memory region.  One object serves one model
// through one of two sequences:
//   reading:  InitializeBinary, ReadForConfig*, LoadBinary
//   building: SetupJustVocab, GrowForSearch, WriteVocabWords?, FinishFile
// When building with an output file, WRITE_IN_PLACE builds the region inside
// a shared writable mapping of the file and WRITE_WHEN_DONE builds it in heap
// blocks that FinishFile writes out; without an output file the region is
// two heap blocks (no header) and nothing is written.  Addresses handed out
// while building are valid until the next building call, which may remap.
// Destruction unmaps or frees the memory and closes the file.
class BinaryFormat {
 public:
  explicit BinaryFormat(const Config &config);

  // Takes ownership of `fd`, reads and checks its header into `params`.
  void InitializeBinary(int fd, ModelType model_type, unsigned int search_version, Parameters &params);

  // Reads `amount` bytes at `offset_excluding_header` bytes into the region.
  void ReadForConfig(void *to, std::size_t amount, uint64_t offset_excluding_header) const;

  // Brings the header and `size` region bytes into memory by the configured
  // load method; returns the region's start.
  void *LoadBinary(std::size_t size);

  // Where the words begin in the file (header plus region).
  uint64_t VocabStringReadingOffset() const { return vocab_string_offset_; }

  // The owned descriptor: the file read or written, -1 without one.
  int FileDescriptor() const { return file_.get(); }

  // Memory for the vocabulary of a model of `order`.
  void *SetupJustVocab(std::size_t memory_size, uint8_t order);

  // Memory for the search region after `vocab_pad` padding bytes;
  // `vocab_base` receives the vocabulary's possibly new address.
  void *GrowForSearch(std::size_t memory_size, std::size_t vocab_pad, void *&vocab_base);

  // Writes the words (each followed by a zero byte) after the region;
  // both bases receive their possibly new addresses.
  void WriteVocabWords(const std::string &buffer, void *&vocab_base, void *&search_base);

  // Makes the data durable, then writes the finished header.
  void FinishFile(const Config &config, ModelType model_type, unsigned int search_version,
                  const std::vector<uint64_t> &counts);

 private:
  // Maps the file's first vocab_string_offset_ bytes read-write and computes
  // both bases in the mapping.
  void MapFile(void *&vocab_base, void *&search_base);

  Config::WriteMethod write_method_;
  const char *output_path_;
  util::LoadMethod load_method_;

  util::scoped_fd file_;
  util::scoped_memory mapping_;
  util::scoped_memory memory_vocab_;
  util::scoped_memory memory_search_;

  std::size_t header_size_;
  std::size_t vocab_size_;
  std::size_t vocab_pad_;
  uint64_t vocab_string_offset_;
};

}  // namespace ngram
}  // namespace lm

#endif  // LM_BINARY_FORMAT_H
