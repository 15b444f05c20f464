#include "tools/structure_options.hh"

#include "tools/command_line.hh"

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace tools {
namespace {

std::vector<std::string> Words(const char *text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

bool IsStructureName(const char *name) { return !std::strcmp(name, "probing") || !std::strcmp(name, "trie"); }

void StructureOptions::SetName(const char *name) {
  if (!IsStructureName(name)) throw UsageError(std::string("TYPE is probing or trie, not '") + name + "'");
  trie_ = !std::strcmp(name, "trie");
}

bool StructureOptions::Handle(char letter, const char *value, lm::ngram::Config &config) {
  switch (letter) {
    case 'p': config.probing_multiplier = FloatValue(letter, value); break;
    case 'r':
    case 'R':
      if (rest_) throw UsageError("-r and -R exclude each other");
      rest_ = true;
      config.rest_kind = letter == 'r' ? lm::ngram::Config::REST_FROM_LOWER : lm::ngram::Config::REST_FROM_MAX;
      if (letter == 'r') config.rest_lower_files = Words(value);
      break;
    case 'q':
      config.quant_prob_bits = BitsValue(letter, value);
      quantize_ = true;
      break;
    case 'b':
      config.quant_backoff_bits = BitsValue(letter, value);
      quantize_ = true;
      break;
    case 'a':
      config.array_pointer_bits = BitsValue(letter, value);
      compress_ = true;
      break;
    default: return false;
  }
  given_ = true;
  return true;
}

lm::ngram::ModelType StructureOptions::Type() const {
  if (!trie_ && (quantize_ || compress_)) throw UsageError("-q, -b and -a need TYPE trie");
  if (trie_ && rest_) throw UsageError("-r and -R need TYPE probing");
  return *lm::ngram::TypeWithStructure(
      {.trie = trie_, .rest = rest_, .quantized = quantize_, .array_pointers = compress_});
}

}  // namespace tools
