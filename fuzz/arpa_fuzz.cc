// Fuzz target: the input is ARPA text, loaded as every model type.  Each
// type that accepts it must score it the same way when it loads the binary
// file it wrote, and the types must agree with each other: the two hash
// types and the two unquantized tries within rounding, a trie and its
// pointer-compressed form bit for bit, quantized tries in everything but
// probabilities.  Refusals must be library exceptions; anything else (a
// crash, a sanitizer report, another exception, a hang) is a finding.
#include "fuzz/exercise.hh"
#include "fuzz/model_types.hh"
#include "fuzz/scratch_files.hh"
#include "lm/config.hh"
#include "lm/enumerate_vocab.hh"
#include "util/exception.hh"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace {

using lm::ngram::Config;
using lm::ngram::ModelType;

const fuzz::ScratchFiles &Files() {
  static const fuzz::ScratchFiles files;
  return files;
}

class DiscardWords : public lm::EnumerateVocab {
 public:
  void Add(lm::WordIndex, const StringPiece &) override {}
};

Config FuzzConfig(std::size_t size) {
  Config config;
  config.message_stream = nullptr;
  config.show_progress = false;
  config.arpa_complain = Config::NONE;
  config.missing_unk_action = lm::SILENT;
  config.missing_marker_action = lm::SILENT;
  config.positive_log_probability = lm::SILENT;
  config.temp_prefix = Files().TempPrefix();
  config.sort_memory = 1 << 20;
  // Few bits, so that bins merge values and pointers lose high bits even in
  // tiny models.
  config.quant_prob_bits = 4;
  config.quant_backoff_bits = 3;
  config.array_pointer_bits = 2;
  config.binary_write_mode = size % 2 ? Config::WRITE_IN_PLACE : Config::WRITE_WHEN_DONE;
  return config;
}

// Loads the input as `type`, writing its binary file, then loads that file
// and requires the same answers.  Nothing when the input is refused.
std::optional<fuzz::Transcript> LoadBoth(ModelType type, const fuzz::Probe &probe, const Config &config) {
  std::optional<fuzz::Transcript> ret;
  fuzz::WithModelClass(type, [&]<class Model>() {
    Config writing = config;
    writing.binary_output_path = Files().Binary();
    try {
      Model model(Files().Input(), writing);
      ret = fuzz::Exercise(model, probe);
    } catch (const util::Exception &) {
      return;
    }
    // A file the library wrote itself must load; an exception here escapes
    // and is reported.
    static const util::LoadMethod kMethods[] = {util::LAZY, util::POPULATE_OR_LAZY, util::POPULATE_OR_READ,
                                                util::READ};
    Config reading = config;
    reading.load_method = kMethods[probe.bytes.size() % 4];
    DiscardWords discard;
    reading.enumerate_vocab = &discard;
    Model binary(Files().Binary(), reading);
    fuzz::ExpectIdentical(*ret, fuzz::Exercise(binary, probe),
                          std::string(lm::ngram::kModelNames[type]) + " from ARPA and from its binary file");
  });
  return ret;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  using namespace lm::ngram;
  Files().WriteInput(data, size);
  const fuzz::Probe probe(data, size);
  const Config config = FuzzConfig(size);
  std::optional<fuzz::Transcript> loaded[kModelTypeCount];
  for (unsigned type = 0; type < kModelTypeCount; ++type) loaded[type] = LoadBoth(ModelType(type), probe, config);

  const auto both = [&](ModelType a, ModelType b) { return loaded[a] && loaded[b]; };
  if (both(PROBING, REST_PROBING)) fuzz::ExpectSimilar(*loaded[PROBING], *loaded[REST_PROBING], true, "probing and rest probing");
  if (both(PROBING, TRIE)) fuzz::ExpectSimilar(*loaded[PROBING], *loaded[TRIE], true, "probing and trie");
  if (both(TRIE, ARRAY_TRIE)) fuzz::ExpectIdentical(*loaded[TRIE], *loaded[ARRAY_TRIE], "trie and array trie");
  if (both(QUANT_TRIE, QUANT_ARRAY_TRIE))
    fuzz::ExpectIdentical(*loaded[QUANT_TRIE], *loaded[QUANT_ARRAY_TRIE], "quantized trie and quantized array trie");
  if (both(TRIE, QUANT_TRIE)) fuzz::ExpectSimilar(*loaded[TRIE], *loaded[QUANT_TRIE], false, "trie and quantized trie");
  return 0;
}
