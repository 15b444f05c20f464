#include "lm/vocab.hh"

#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "util/exception.hh"
#include "util/file.hh"

#include <cstring>
#include <string>
#include <ostream>

namespace lm {
namespace ngram {

namespace {

// Both spellings of the unknown word, hashed once at program load.
const uint64_t kUnknownHash = detail::HashForVocab("<unk>", 5);
const uint64_t kUnknownCapHash = detail::HashForVocab("<UNK>", 5);

constexpr std::size_t kHeaderBytes = sizeof(ProbingVocabularyHeader);

// First buffer of the word-list reader, and the longest word it holds
// before a damaged list (one without NUL bytes) is refused.
constexpr std::size_t kWordListBuffer = 1 << 20;
constexpr std::size_t kLongestWord = std::size_t{1} << 28;

// Hands `word` every NUL-terminated word from the file position of `fd` to
// the end of the file; trailing bytes without a NUL count as a last word.
// The list is the library's own data, read as it is: a word may begin with
// bytes that would mark compressed text.
template <class Callback> void ForEachStoredWord(int fd, Callback &&word) {
  std::string buffer(kWordListBuffer, '\0');
  std::size_t kept = 0;
  while (true) {
    const std::size_t got = util::ReadOrEOF(fd, buffer.data() + kept, buffer.size() - kept);
    const char *begin = buffer.data();
    const char *const end = begin + kept + got;
    for (const char *nul; (nul = static_cast<const char *>(std::memchr(begin, '\0', end - begin))); begin = nul + 1) {
      word(StringPiece(begin, static_cast<std::size_t>(nul - begin)));
    }
    kept = static_cast<std::size_t>(end - begin);
    if (!got) {
      if (kept) word(StringPiece(begin, kept));
      return;
    }
    std::memmove(buffer.data(), begin, kept);
    if (kept == buffer.size()) {
      UTIL_THROW_IF(buffer.size() >= kLongestWord, FormatLoadException,
                    "The binary file's word list holds a word longer than " << kLongestWord << " bytes.");
      buffer.resize(buffer.size() * 2);
    }
  }
}

}  // namespace

namespace detail {
bool IsUnknownHash(uint64_t hash) { return hash == kUnknownHash || hash == kUnknownCapHash; }
}  // namespace detail

ProbingVocabulary::ProbingVocabulary() : bound_(1), saw_unk_(false), enumerate_(nullptr), header_(nullptr) {}

uint64_t ProbingVocabulary::Size(uint64_t entries, float multiplier) {
  return kHeaderBytes + Lookup::Size(entries, multiplier);
}

uint64_t ProbingVocabulary::Size(uint64_t entries, const Config &config) {
  return Size(entries, config.probing_multiplier);
}

void ProbingVocabulary::SetupMemory(void *start, std::size_t allocated) {
  header_ = static_cast<ProbingVocabularyHeader *>(start);
  // The bucket count counts the header bytes too: (8 + 12 b) / 12 = b.
  lookup_ = Lookup(static_cast<uint8_t *>(start) + kHeaderBytes, allocated);
  bound_ = 1;
  saw_unk_ = false;
}

void ProbingVocabulary::SetupMemory(void *start, std::size_t allocated, std::size_t /*entries*/,
                                    const Config & /*config*/) {
  SetupMemory(start, allocated);
}

void ProbingVocabulary::Relocate(void *new_start) {
  header_ = static_cast<ProbingVocabularyHeader *>(new_start);
  // Only the binary writer moves the part, after the last Insert, so the
  // table's insertion count need not survive.
  lookup_ = Lookup(static_cast<uint8_t *>(new_start) + kHeaderBytes, lookup_.Buckets() * sizeof(ProbingVocabularyEntry));
}

void ProbingVocabulary::ConfigureEnumerate(EnumerateVocab *to, std::size_t /*max_entries*/) {
  enumerate_ = to;
  if (enumerate_) enumerate_->Add(0, "<unk>");
}

WordIndex ProbingVocabulary::Insert(const StringPiece &str) {
  const uint64_t hashed = detail::HashForVocab(str);
  if (detail::IsUnknownHash(hashed)) {
    saw_unk_ = true;
    return 0;
  }
  if (enumerate_) enumerate_->Add(bound_, str);
  lookup_.Insert(ProbingVocabularyEntry::Make(hashed, bound_));
  return bound_++;
}

void ProbingVocabulary::InternalFinishedLoading() {
  header_->version = kProbingVocabularyVersion;
  header_->bound = bound_;
  SetSpecial(Index("<s>"), Index("</s>"), 0);
}

void ProbingVocabulary::LoadedBinary(bool have_words, int fd, EnumerateVocab *to, uint64_t offset) {
  UTIL_THROW_IF(header_->version != kProbingVocabularyVersion, FormatLoadException,
                "The binary file has probing version " << header_->version << " but the code expects version "
                                                       << kProbingVocabularyVersion
                                                       << ".  Please rerun packmodel using the same version of the code.");
  bound_ = header_->bound;
  CheckIdentifiers();
  SetSpecial(Index("<s>"), Index("</s>"), 0);
  if (have_words) ReadWords(fd, to, bound_, offset);
}

// Free buckets too: the empty word hashes to 0, the free key, so Index("")
// returns a free bucket's identifier (0 in every file this library writes).
void ProbingVocabulary::CheckIdentifiers() const {
  for (const ProbingVocabularyEntry &entry : lookup_) {
    UTIL_THROW_IF(entry.value >= bound_, FormatLoadException,
                  "The binary file's vocabulary is damaged: word identifier " << entry.value
                                                                               << " is not below the bound " << bound_);
  }
}

void MissingUnknown(const Config &config) {
  switch (config.missing_unk_action) {
    case THROW_ERROR:
      UTIL_THROW(SpecialWordMissingException,
                 "The ARPA file is missing <unk> and the model is configured to throw an exception.");
    case COMPLAIN:
      if (config.message_stream) {
        *config.message_stream << "The ARPA file is missing <unk>.  Substituting log10 probability "
                               << config.missing_unk_log_prob << "." << std::endl;
      }
      break;
    case SILENT:
      break;
  }
}

void MissingSentenceMarker(const Config &config, const char *str) {
  switch (config.missing_marker_action) {
    case THROW_ERROR:
      UTIL_THROW(SpecialWordMissingException,
                 "The ARPA file is missing " << str
                                             << " and the model is configured to reject these models.  Run packmodel "
                                                "-s to disable this check.");
    case COMPLAIN:
      if (config.message_stream) {
        *config.message_stream << "Missing special word " << str << "; will treat it as <unk>.";
      }
      break;
    case SILENT:
      break;
  }
}

WriteWordsWrapper::WriteWordsWrapper(EnumerateVocab *inner) : inner_(inner) {}

void WriteWordsWrapper::Add(WordIndex index, const StringPiece &str) {
  if (inner_) inner_->Add(index, str);
  buffer_.append(str.data(), str.size());
  buffer_.push_back('\0');
}

void ReadWords(int fd, EnumerateVocab *enumerate, WordIndex expected_count, uint64_t offset) {
  util::SeekOrThrow(fd, offset);
  char check_unk[6];
  util::ReadOrThrow(fd, check_unk, sizeof(check_unk));
  UTIL_THROW_IF_TEXT(
      std::memcmp(check_unk, "<unk>", sizeof(check_unk)), "memcmp(check_unk, \"<unk>\", 6)", FormatLoadException, ,
      "Vocabulary words are in the wrong place.  This could be because the binary file was built with stale gcc "
      "and old quarn.  Stale gcc, including the gcc distributed with RedHat and OS X, has a bug that ignores "
      "pragma pack for template-dependent types.  New quarn works around this, so you'll save memory but have "
      "to rebuild any binary files using the probing data structure.");
  if (!enumerate) return;
  enumerate->Add(0, "<unk>");

  // The words follow "<unk>" NUL, where the file position now is.
  WordIndex index = 1;
  ForEachStoredWord(fd, [&](StringPiece word) { enumerate->Add(index++, word); });
  UTIL_THROW_IF(expected_count != index, FormatLoadException,
                "The binary file has the wrong number of words at the end.  This could be caused by a truncated "
                "binary file.");
}

}  // namespace ngram
}  // namespace lm
