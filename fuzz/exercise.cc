#include "fuzz/exercise.hh"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {
namespace {

bool IsBlank(uint8_t byte) { return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r'; }

bool SameBits(const Record &a, const Record &b) {
  return !std::memcmp(&a.prob, &b.prob, sizeof(float)) && !std::memcmp(&a.rest, &b.rest, sizeof(float)) &&
         a.word == b.word && a.ngram_length == b.ngram_length && a.state_length == b.state_length;
}

bool CloseEnough(float a, float b) {
  if (!std::isfinite(a) || !std::isfinite(b)) return true;
  return std::fabs(a - b) <= 1e-3f * std::max(1.0f, std::max(std::fabs(a), std::fabs(b)));
}

[[noreturn]] void Fail(const std::string &what, const char *part, std::size_t at, const Record &a, const Record &b) {
  std::fprintf(stderr,
               "%s disagree in %s answer %zu:\n  prob %.9g rest %.9g word %u ngram_length %u state_length %u\n"
               "  prob %.9g rest %.9g word %u ngram_length %u state_length %u\n",
               what.c_str(), part, at, a.prob, a.rest, a.word, a.ngram_length, a.state_length, b.prob, b.rest, b.word,
               b.ngram_length, b.state_length);
  std::abort();
}

void ExpectSameSize(const std::vector<Record> &a, const std::vector<Record> &b, const std::string &what,
                    const char *part) {
  if (a.size() == b.size()) return;
  std::fprintf(stderr, "%s give %zu and %zu %s answers\n", what.c_str(), a.size(), b.size(), part);
  std::abort();
}

void ExpectIdentical(const std::vector<Record> &a, const std::vector<Record> &b, const std::string &what,
                     const char *part) {
  ExpectSameSize(a, b, what, part);
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!SameBits(a[i], b[i])) Fail(what, part, i, a[i], b[i]);
  }
}

}  // namespace

Probe::Probe(const uint8_t *data, std::size_t size) {
  const uint8_t *end = data + size;
  for (const uint8_t *at = data; at != end && words.size() < kMaxWords;) {
    while (at != end && IsBlank(*at)) ++at;
    const uint8_t *word_end = at;
    while (word_end != end && !IsBlank(*word_end)) ++word_end;
    if (word_end != at) words.emplace_back(reinterpret_cast<const char *>(at), word_end - at);
    at = word_end;
  }
  for (const char *special : {"", "<s>", "</s>", "<unk>"}) words.emplace_back(special);
  bytes.assign(data, data + std::min(size, kMaxBytes));
}

namespace detail {

Record Make(const lm::FullScoreReturn &ret, lm::WordIndex word, const lm::ngram::State &state) {
  return Record{ret.prob, ret.rest, word, ret.ngram_length, state.length};
}

}  // namespace detail

void ExpectIdentical(const Transcript &a, const Transcript &b, const std::string &what) {
  ExpectIdentical(a.by_identifier, b.by_identifier, what, "identifier");
  ExpectIdentical(a.by_word, b.by_word, what, "word");
}

void ExpectSimilar(const Transcript &a, const Transcript &b, bool compare_prob, const std::string &what) {
  ExpectSameSize(a.by_word, b.by_word, what, "word");
  for (std::size_t i = 0; i < a.by_word.size(); ++i) {
    const Record &x = a.by_word[i], &y = b.by_word[i];
    if (x.word != y.word || x.ngram_length != y.ngram_length || x.state_length != y.state_length ||
        (compare_prob && !CloseEnough(x.prob, y.prob)))
      Fail(what, "word", i, x, y);
  }
}

}  // namespace fuzz
