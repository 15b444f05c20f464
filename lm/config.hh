// lm::ngram::Config: the record that steers loading and building a model.
//
// Every model constructor takes it by constant reference and never changes
// it (the loader works on its own copy when a binary file overrides values).
// The record owns its strings; the stream, the vocabulary callback and the
// output path are borrowed and must outlive the constructor call that reads
// them.  The enumerators' numeric values are part of the interface: binary
// files, the Python layer and the loaders compare them as integers.
#ifndef LM_CONFIG_H
#define LM_CONFIG_H

#include "util/mmap.hh"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace lm {

class EnumerateVocab;

// What to do about a defect of the input that can be tolerated.
enum WarnPolicy {
  THROW_ERROR = 0,  // throw the exception named by the reader
  COMPLAIN = 1,     // print a warning to message_stream and go on
  SILENT = 2        // go on without a word
};

namespace ngram {

// The largest probing multiplier a model may be built or loaded with; it
// keeps the table sizes computed from a file's counts far from overflow.
constexpr float kMaxProbingMultiplier = 256.0f;

struct Config {
  // Which notice to print when a model is built from ARPA text.
  enum ARPALoadComplain {
    ALL = 0,        // every ARPA load
    EXPENSIVE = 1,  // only the slow-to-build trie types
    NONE = 2        // never
  };

  // How the binary file written while loading ARPA is produced.
  enum WriteMethod {
    WRITE_IN_PLACE = 0,  // through a writable mapping as the model is built
    WRITE_WHEN_DONE = 1  // written out after building
  };

  // How rest costs are computed for the hash-table model with rest costs.
  enum RestFunction {
    REST_FROM_MAX = 0,   // maximum over the contexts of each n-gram
    REST_FROM_LOWER = 1  // from the lower-order ARPA files in rest_lower_files
  };

  // Sets every field to its default.
  Config();

  // message_stream when show_progress is set, otherwise null.
  std::ostream *ProgressMessages() const { return show_progress ? message_stream : nullptr; }

  // Progress bars go to message_stream only when this is set.
  bool show_progress;
  // Notices, warnings and progress; null silences them.  Defaults to std::cerr.
  std::ostream *message_stream;
  // Receives every vocabulary word with its identifier while a model loads.
  EnumerateVocab *enumerate_vocab;

  WarnPolicy missing_unk_action;
  WarnPolicy missing_marker_action;  // <s> or </s> absent
  WarnPolicy positive_log_probability;
  // log10 probability given to <unk> when the ARPA file lacks it.
  float missing_unk_log_prob;

  // Buckets per entry of the probing hash tables; above 1.0 and at most
  // kMaxProbingMultiplier to build from ARPA.  A binary file's stored value
  // replaces it when the file is loaded.
  float probing_multiplier;

  // Bytes of memory for sorting n-grams while a trie is built.
  uint64_t sort_memory;
  // Prefix of the temporary files made while a trie is built.
  std::string temp_prefix;
  // Threads that build a model from ARPA text: 0 or 1 reads and stores on
  // the calling thread; 2 or more read on it while one more thread stores.
  // The model built is the same either way.
  unsigned int arpa_threads;

  ARPALoadComplain arpa_complain;

  // When set, loading from ARPA also writes a binary model file here.
  const char *binary_output_path;
  WriteMethod binary_write_mode;
  // Whether that file carries the vocabulary strings.
  bool binary_keeps_words;

  RestFunction rest_kind;
  // Lower-order ARPA files for REST_FROM_LOWER.
  std::vector<std::string> rest_lower_files;

  // Bits per quantized probability and backoff; a binary file overrides them.
  uint8_t quant_prob_bits;
  uint8_t quant_backoff_bits;
  // Most high-order bits of a trie pointer that pointer compression may move
  // into its offset table; a binary file overrides it.
  uint8_t array_pointer_bits;

  // How a binary file is brought into memory.
  util::LoadMethod load_method;
};

}  // namespace ngram
}  // namespace lm

#endif  // LM_CONFIG_H
