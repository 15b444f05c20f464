#include "lm/binary_format.hh"

#include "lm/lm_exception.hh"
#include "util/exception.hh"

#include <cassert>
#include <cstdlib>
#include <cstring>

namespace lm {
namespace ngram {
namespace {

constexpr uint64_t kUnknownOffset = ~static_cast<uint64_t>(0);

constexpr Sanity MakeReferenceSanity() {
  Sanity ret{};
  for (std::size_t i = 0; i < kMagicBytes.size(); ++i) ret.magic[i] = kMagicBytes[i];
  ret.zero_f = 0.0f;
  ret.one_f = 1.0f;
  ret.minus_half_f = -0.5f;
  ret.one_word_index = 1;
  ret.max_word_index = kMaxWordIndex;
  ret.one_uint64 = 1;
  return ret;
}

// Sanity has no implicit padding, so every byte of this object is defined.
constexpr Sanity kReferenceSanity = MakeReferenceSanity();

template <class T> void Put(char *base, std::size_t offset, const T &value) {
  std::memcpy(base + offset, &value, sizeof(T));
}

// The finished header of H bytes: reference Sanity, fixed parameters with
// zero padding, counts, zero bytes.
std::string FinishedHeader(std::size_t header_size, const Config &config, ModelType model_type,
                           unsigned int search_version, const std::vector<uint64_t> &counts) {
  assert(TotalHeaderSize(static_cast<unsigned char>(counts.size())) == header_size);
  std::string header(header_size, '\0');
  char *base = header.data();
  Put(base, 0, kReferenceSanity);
  char *fixed = base + kFixedParametersOffset;
  Put(fixed, offsetof(FixedParameters, order), static_cast<unsigned char>(counts.size()));
  Put(fixed, offsetof(FixedParameters, probing_multiplier), config.probing_multiplier);
  Put(fixed, offsetof(FixedParameters, model_type), model_type);
  Put(fixed, offsetof(FixedParameters, has_vocabulary), static_cast<unsigned char>(config.binary_keeps_words));
  Put(fixed, offsetof(FixedParameters, search_version), search_version);
  if (!counts.empty()) std::memcpy(base + kCountsOffset, counts.data(), sizeof(uint64_t) * counts.size());
  return header;
}

// Throws for a file whose magic text says binary but which cannot be used.
void ComplainAboutMagic(const char *begin) {
  if (!std::memcmp(begin, kMagicIncomplete.data(), kMagicIncomplete.size() - 1)) {
    UTIL_THROW(FormatLoadException, "This binary file did not finish building");
  }
  const std::size_t text_length = kMagicBeforeVersion.size() - 1;
  if (std::memcmp(begin, kMagicBeforeVersion.data(), text_length)) return;
  // The 88 bytes need not contain a zero byte, so parse a terminated copy.
  char version_text[sizeof(Sanity) - text_length + 1];
  std::memcpy(version_text, begin + text_length, sizeof(Sanity) - text_length);
  version_text[sizeof(Sanity) - text_length] = '\0';
  char *end;
  const long version = std::strtol(version_text, &end, 10);
  UTIL_THROW_IF(end != version_text && version != static_cast<long>(kMagicVersion), FormatLoadException,
                "Binary file has version " << version << " but this implementation expects version "
                                           << kMagicVersion
                                           << " so you'll have to use the ARPA to rebuild your binary");
  UTIL_THROW(FormatLoadException,
             "File looks like it should be loaded with mmap, but the test values don't match.  Try rebuilding "
             "the binary format LM using the same code revision, compiler, and architecture");
}

}  // namespace

bool IsBinaryFormat(int fd) {
  const uint64_t size = util::SizeFile(fd);
  if (size == util::kBadSize || size <= sizeof(Sanity)) return false;
  util::scoped_memory memory;
  try {
    util::MapRead(util::LAZY, fd, 0, sizeof(Sanity), memory);
  } catch (const util::Exception &) {
    return false;
  }
  if (!std::memcmp(memory.begin(), &kReferenceSanity, sizeof(Sanity))) return true;
  ComplainAboutMagic(memory.begin());
  return false;
}

void ReadHeader(int fd, Parameters &params) {
  util::SeekOrThrow(fd, kFixedParametersOffset);
  util::ReadOrThrow(fd, &params.fixed, sizeof(params.fixed));
  // Any non-zero byte counts as true; a bool must not hold other values.
  unsigned char stored_has_vocabulary;
  std::memcpy(&stored_has_vocabulary, &params.fixed.has_vocabulary, 1);
  params.fixed.has_vocabulary = stored_has_vocabulary != 0;
  UTIL_THROW_IF(params.fixed.probing_multiplier < 1.0, FormatLoadException,
                "Binary format claims to have a probing multiplier of " << params.fixed.probing_multiplier
                                                                        << " which is < 1.0.");
  // A damaged header's NaN or enormous multiplier would size tables past any
  // file.
  UTIL_THROW_IF(!(params.fixed.probing_multiplier <= kMaxProbingMultiplier), FormatLoadException,
                "Binary format claims to have a probing multiplier of "
                    << params.fixed.probing_multiplier << " which is not a number of at most "
                    << kMaxProbingMultiplier << ".");
  params.counts.resize(params.fixed.order);
  if (params.fixed.order) util::ReadOrThrow(fd, params.counts.data(), sizeof(uint64_t) * params.fixed.order);
}

void MatchCheck(ModelType model_type, unsigned int search_version, const Parameters &params) {
  if (params.fixed.model_type != model_type) {
    const unsigned int stored = static_cast<unsigned int>(params.fixed.model_type);
    UTIL_THROW_IF(stored >= kModelTypeCount, FormatLoadException,
                  "The binary file claims to be model type " << stored
                                                             << " but this is not implemented for in this inference code.");
    UTIL_THROW(FormatLoadException, "The binary file was built for " << kModelNames[stored]
                                                                     << " but the inference code is trying to load "
                                                                     << kModelNames[model_type]);
  }
  UTIL_THROW_IF(search_version != params.fixed.search_version, FormatLoadException,
                "The binary file has " << kModelNames[params.fixed.model_type] << " version "
                                       << params.fixed.search_version << " but this code expects "
                                       << kModelNames[params.fixed.model_type] << " version " << search_version);
}

bool RecognizeBinary(const char *file, ModelType &recognized) {
  util::scoped_fd fd(util::OpenReadOrThrow(file));
  if (!IsBinaryFormat(fd.get())) return false;
  Parameters params;
  ReadHeader(fd.get(), params);
  recognized = params.fixed.model_type;
  return true;
}

BinaryFormat::BinaryFormat(const Config &config)
    : write_method_(config.binary_write_mode),
      output_path_(config.binary_output_path),
      load_method_(config.load_method),
      header_size_(kUnknownOffset),
      vocab_size_(kUnknownOffset),
      vocab_pad_(0),
      vocab_string_offset_(kUnknownOffset) {}

void BinaryFormat::InitializeBinary(int fd, ModelType model_type, unsigned int search_version,
                                    Parameters &params) {
  file_.reset(fd);
  output_path_ = nullptr;
  ReadHeader(fd, params);
  MatchCheck(model_type, search_version, params);
  header_size_ = TotalHeaderSize(params.fixed.order);
}

void BinaryFormat::ReadForConfig(void *to, std::size_t amount, uint64_t offset_excluding_header) const {
  util::ErsatzPRead(file_.get(), to, amount, header_size_ + offset_excluding_header);
}

void *BinaryFormat::LoadBinary(std::size_t size) {
  const uint64_t file_size = util::SizeFile(file_.get());
  const uint64_t total_map = static_cast<uint64_t>(header_size_) + size;
  UTIL_THROW_IF(file_size != util::kBadSize && file_size < total_map, FormatLoadException,
                "Binary file has size " << file_size << " but the headers say it should be at least "
                                        << total_map);
  util::MapRead(load_method_, file_.get(), 0, total_map, mapping_);
  vocab_string_offset_ = total_map;
  return static_cast<uint8_t *>(mapping_.get()) + header_size_;
}

void *BinaryFormat::SetupJustVocab(std::size_t memory_size, uint8_t order) {
  vocab_size_ = memory_size;
  if (!output_path_) {
    header_size_ = 0;
    util::HugeMalloc(memory_size, true, memory_vocab_);
    return memory_vocab_.get();
  }
  header_size_ = TotalHeaderSize(order);
  file_.reset(util::CreateOrThrow(output_path_));
  const std::size_t total = header_size_ + memory_size;
  char *base;
  if (write_method_ == Config::WRITE_IN_PLACE) {
    mapping_.reset(util::MapZeroedWrite(file_.get(), total), total, util::scoped_memory::MAP_EXACT);
    base = static_cast<char *>(mapping_.get());
  } else {
    util::ResizeOrThrow(file_.get(), 0);
    util::HugeMalloc(total, true, memory_vocab_);
    base = static_cast<char *>(memory_vocab_.get());
  }
  std::memset(base, 0, header_size_);
  std::memcpy(base, kMagicIncomplete.data(), kMagicIncomplete.size());
  return base + header_size_;
}

void *BinaryFormat::GrowForSearch(std::size_t memory_size, std::size_t vocab_pad, void *&vocab_base) {
  vocab_pad_ = vocab_pad;
  const std::size_t new_size = header_size_ + vocab_size_ + vocab_pad_ + memory_size;
  vocab_string_offset_ = new_size;
  if (output_path_ && write_method_ == Config::WRITE_IN_PLACE) {
    mapping_.reset();
    util::ResizeOrThrow(file_.get(), new_size);
    void *search_base;
    MapFile(vocab_base, search_base);
    return search_base;
  }
  util::HugeMalloc(memory_size, true, memory_search_);
  vocab_base = static_cast<uint8_t *>(memory_vocab_.get()) + header_size_;
  return memory_search_.get();
}

void BinaryFormat::WriteVocabWords(const std::string &buffer, void *&vocab_base, void *&search_base) {
  if (!output_path_) {
    vocab_base = memory_vocab_.get();
    search_base = memory_search_.get();
    return;
  }
  if (write_method_ == Config::WRITE_IN_PLACE) {
    mapping_.reset();
    util::SeekOrThrow(file_.get(), vocab_string_offset_);
    util::WriteOrThrow(file_.get(), buffer.data(), buffer.size());
    MapFile(vocab_base, search_base);
  } else {
    util::SeekOrThrow(file_.get(), vocab_string_offset_);
    util::WriteOrThrow(file_.get(), buffer.data(), buffer.size());
    vocab_base = static_cast<uint8_t *>(memory_vocab_.get()) + header_size_;
    search_base = memory_search_.get();
  }
}

void BinaryFormat::FinishFile(const Config &config, ModelType model_type, unsigned int search_version,
                              const std::vector<uint64_t> &counts) {
  if (!output_path_) return;
  const std::string header = FinishedHeader(header_size_, config, model_type, search_version, counts);
  if (write_method_ == Config::WRITE_IN_PLACE) {
    util::SyncOrThrow(mapping_.get(), mapping_.size());
    std::memcpy(mapping_.get(), header.data(), header.size());
    util::SyncOrThrow(mapping_.get(), mapping_.size());
  } else {
    util::SeekOrThrow(file_.get(), 0);
    util::WriteOrThrow(file_.get(), memory_vocab_.get(), memory_vocab_.size());
    util::SeekOrThrow(file_.get(), header_size_ + vocab_size_ + vocab_pad_);
    util::WriteOrThrow(file_.get(), memory_search_.get(), memory_search_.size());
    util::FSyncOrThrow(file_.get());
    util::SeekOrThrow(file_.get(), 0);
    util::WriteOrThrow(file_.get(), header.data(), header.size());
  }
}

void BinaryFormat::MapFile(void *&vocab_base, void *&search_base) {
  mapping_.reset(util::MapOrThrow(vocab_string_offset_, true, util::kFileFlags, false, file_.get()),
                 vocab_string_offset_, util::scoped_memory::MAP_EXACT);
  uint8_t *base = static_cast<uint8_t *>(mapping_.get());
  vocab_base = base + header_size_;
  search_base = base + header_size_ + vocab_size_ + vocab_pad_;
}

}  // namespace ngram
}  // namespace lm
