// Fuzz target: the input is ARPA text, loaded as every model type.  The
// types that accept it must agree with each other: probing with rest probing
// and with the trie within rounding, a trie and its pointer-compressed form
// bit for bit, the trie and the quantized trie in everything but
// probabilities.  One type per input, picked by the input's hash, also
// writes its binary file, which must load (by a load method the hash picks)
// and answer bit for bit as the model built from the text.  Refusals must be
// library exceptions; anything else (a crash, a sanitizer report, another
// exception, a hang) is a finding.
#include "fuzz/exercise.hh"
#include "fuzz/scratch_files.hh"
#include "lm/config.hh"
#include "lm/model.hh"
#include "util/exception.hh"
#include "util/murmur_hash.hh"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>

namespace {

using lm::ngram::Config;
using lm::ngram::ModelType;

const fuzz::ScratchFiles &Files() { return fuzz::ScratchFiles::OfThisProcess(); }

// What the input's hash decides.
struct Choices {
  explicit Choices(uint64_t hash)
      : round_trip(ModelType(hash % lm::ngram::kModelTypeCount)),
        write_in_place((hash >> 8) % 2),
        method((hash >> 16) % std::size(fuzz::kLoadMethods)) {}

  // The type whose binary file is written and loaded again.
  ModelType round_trip;
  bool write_in_place;
  // Index into fuzz::kLoadMethods.
  unsigned method;
};

Config FuzzConfig() {
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
  return config;
}

// Loads the input as `type`; for the round-trip type, also writes its binary
// file, loads that and requires the same answers.  Nothing when the input is
// refused.
std::optional<fuzz::Transcript> Load(ModelType type, const fuzz::Probe &probe, const Choices &choices) {
  std::optional<fuzz::Transcript> ret;
  lm::ngram::WithModelClass(type, [&]<class Model>() {
    const bool round_trip = type == choices.round_trip;
    Config writing = FuzzConfig();
    if (round_trip) {
      writing.binary_output_path = Files().Binary();
      writing.binary_write_mode = choices.write_in_place ? Config::WRITE_IN_PLACE : Config::WRITE_WHEN_DONE;
    }
    try {
      Model model(Files().Input(), writing);
      ret = fuzz::Exercise(model, probe);
    } catch (const util::Exception &) {
      return;
    }
    if (!round_trip) return;
    // A file the library wrote itself must load; an exception here escapes
    // and is reported.
    Config reading = FuzzConfig();
    reading.load_method = fuzz::kLoadMethods[choices.method];
    fuzz::DiscardWords discard;
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
  const Choices choices(util::MurmurHash64A(data, size, 0));
  std::optional<fuzz::Transcript> loaded[kModelTypeCount];
  for (unsigned type = 0; type < kModelTypeCount; ++type) loaded[type] = Load(ModelType(type), probe, choices);

  const auto both = [&](ModelType a, ModelType b) { return loaded[a] && loaded[b]; };
  if (both(PROBING, REST_PROBING)) fuzz::ExpectSimilar(*loaded[PROBING], *loaded[REST_PROBING], true, "probing and rest probing");
  if (both(PROBING, TRIE)) fuzz::ExpectSimilar(*loaded[PROBING], *loaded[TRIE], true, "probing and trie");
  if (both(TRIE, ARRAY_TRIE)) fuzz::ExpectIdentical(*loaded[TRIE], *loaded[ARRAY_TRIE], "trie and array trie");
  if (both(QUANT_TRIE, QUANT_ARRAY_TRIE))
    fuzz::ExpectIdentical(*loaded[QUANT_TRIE], *loaded[QUANT_ARRAY_TRIE], "quantized trie and quantized array trie");
  if (both(TRIE, QUANT_TRIE)) fuzz::ExpectSimilar(*loaded[TRIE], *loaded[QUANT_TRIE], false, "trie and quantized trie");
  return 0;
}
