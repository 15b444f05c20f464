// Fuzz target: the input is a binary model file (the seed corpus holds one
// of every type), loaded under every load method as the type its header
// names.  A file must load under all methods or under none, and every
// method must give the same answers; a load that also reads the word list
// may refuse a damaged list, but when it accepts it must answer the same.  Refusals must be library exceptions; anything else (a crash, a
// sanitizer report, another exception, a hang) is a finding.
#include "fuzz/exercise.hh"
#include "fuzz/scratch_files.hh"
#include "lm/binary_format.hh"
#include "lm/config.hh"
#include "lm/model.hh"
#include "util/exception.hh"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>

namespace {

using lm::ngram::Config;

const fuzz::ScratchFiles &Files() { return fuzz::ScratchFiles::OfThisProcess(); }

// The answers of the model in the input file loaded as `Model` by `method`,
// or nothing when it is refused.
template <class Model>
std::optional<fuzz::Transcript> Load(util::LoadMethod method, bool read_words, const fuzz::Probe &probe) {
  Config config;
  config.message_stream = nullptr;
  config.show_progress = false;
  config.arpa_complain = Config::NONE;
  config.load_method = method;
  fuzz::DiscardWords words;
  if (read_words) config.enumerate_vocab = &words;
  try {
    Model model(Files().Input(), config);
    return fuzz::Exercise(model, probe);
  } catch (const util::Exception &) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  Files().WriteInput(data, size);
  lm::ngram::ModelType type;
  try {
    if (!lm::ngram::RecognizeBinary(Files().Input(), type)) return 0;
  } catch (const util::Exception &) {
    return 0;
  }
  // A type with no class is refused by every load.
  if (type >= lm::ngram::kModelTypeCount) return 0;
  const fuzz::Probe probe(data, size);
  lm::ngram::WithModelClass(type, [&]<class Model>() {
    const std::optional<fuzz::Transcript> first = Load<Model>(fuzz::kLoadMethods[0], false, probe);
    for (std::size_t m = 1; m < std::size(fuzz::kLoadMethods); ++m) {
      const std::optional<fuzz::Transcript> other = Load<Model>(fuzz::kLoadMethods[m], false, probe);
      if (first.has_value() != other.has_value()) {
        std::fprintf(stderr, "load method %zu %s the file that load method 0 %s\n", m,
                     other ? "accepts" : "refuses", first ? "accepts" : "refuses");
        std::abort();
      }
      if (first) fuzz::ExpectIdentical(*first, *other, "load methods 0 and " + std::to_string(m));
    }
    const util::LoadMethod method = fuzz::kLoadMethods[size % std::size(fuzz::kLoadMethods)];
    const std::optional<fuzz::Transcript> with_words = Load<Model>(method, true, probe);
    if (with_words && !first) {
      std::fprintf(stderr, "reading the word list accepts a file that is otherwise refused\n");
      std::abort();
    }
    if (with_words) fuzz::ExpectIdentical(*first, *with_words, "loads with and without the word list");
  });
  return 0;
}
