#include "lm/config.hh"

#include <iostream>

namespace lm {
namespace ngram {

Config::Config()
    : show_progress(true),
      message_stream(&std::cerr),
      enumerate_vocab(nullptr),
      missing_unk_action(COMPLAIN),
      missing_marker_action(THROW_ERROR),
      positive_log_probability(THROW_ERROR),
      missing_unk_log_prob(-100.0f),
      probing_multiplier(1.5f),
      sort_memory(1073741824ULL),
      temp_prefix(),
      arpa_threads(2),
      arpa_complain(ALL),
      binary_output_path(nullptr),
      binary_write_mode(WRITE_WHEN_DONE),
      binary_keeps_words(true),
      rest_kind(REST_FROM_MAX),
      rest_lower_files(),
      quant_prob_bits(8),
      quant_backoff_bits(8),
      array_pointer_bits(22),
      load_method(util::POPULATE_OR_READ) {}

}  // namespace ngram
}  // namespace lm
