// packmodel: builds a binary model file from an ARPA file, or prints how
// large each type of binary model would be.
#include "lm/config.hh"
#include "lm/memory_estimate.hh"
#include "lm/model.hh"
#include "tools/command_line.hh"
#include "util/file.hh"

#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>


namespace {

constexpr char kProgram[] = "packmodel";

constexpr char kUsage[] =
    "Usage: packmodel [options] [TYPE] INPUT.arpa OUTPUT\n"
    "       packmodel [options] INPUT.arpa\n"
    "Builds the binary model file OUTPUT from the ARPA file INPUT.arpa.  Without\n"
    "OUTPUT, prints how large each type of binary model would be on standard\n"
    "output and exits.  Interrupted (SIGINT, SIGTERM, SIGHUP), it leaves no file.\n"
    "TYPE is probing (hash tables, the default) or trie (a bit-packed trie).  An\n"
    "input file named like a type is given with its directory, as ./trie.\n"
    "\n"
    "Data structure:\n"
    "  -p MULT       probing: hash table buckets per entry, above 1.0 (default 1.5)\n"
    "  -r \"FILE...\"  probing with rest costs taken from lower-order ARPA files: one\n"
    "                file for each order below the model's, unigrams first\n"
    "  -R            probing with rest costs, each the maximum over the contexts\n"
    "  -q BITS       trie: quantize log probabilities to BITS bits (backoffs to 8)\n"
    "  -b BITS       trie: quantize backoffs to BITS bits (log probabilities to 8)\n"
    "  -a BITS       trie: compress pointers, moving up to BITS bits into a table\n"
    "Input defects:\n"
    "  -s            warn about a missing <s> or </s> instead of failing\n"
    "  -i            warn about positive log probabilities and use 0 instead\n"
    "  -u LOGPROB    log10 probability of <unk> when it is missing (default -100)\n"
    "Building:\n"
    "  -w MODE       write the file after building (after, the default) or through\n"
    "                a memory map while building (mmap)\n"
    "  -T PREFIX     prefix of the trie's temporary sort files (default: beside\n"
    "                OUTPUT)\n"
    "  -S SIZE       memory for sorting the trie, such as 512M, 4G or 80% (default\n"
    "                1G)\n"
    "  -n            no progress bars\n"
    "  -v            on failure, print the library's whole message (where it was\n"
    "                raised)\n"
    "  -h            print this help\n";

struct Options {
  lm::ngram::Config config;
  bool trie = false;
  bool rest = false;
  bool quantize = false;
  bool compress = false;
  std::string input;
  // Empty: print the memory estimate.
  std::string output;
};

std::vector<std::string> Words(const char *text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

void Rest(Options &options, lm::ngram::Config::RestFunction kind) {
  if (options.rest) throw tools::UsageError("-r and -R exclude each other");
  options.rest = true;
  options.config.rest_kind = kind;
}

void HandleOption(Options &options, char letter, const char *value) {
  lm::ngram::Config &config = options.config;
  switch (letter) {
    case 'p': config.probing_multiplier = tools::FloatValue(letter, value); break;
    case 'r':
      Rest(options, lm::ngram::Config::REST_FROM_LOWER);
      config.rest_lower_files = Words(value);
      break;
    case 'R': Rest(options, lm::ngram::Config::REST_FROM_MAX); break;
    case 'q':
      config.quant_prob_bits = tools::BitsValue(letter, value);
      options.quantize = true;
      break;
    case 'b':
      config.quant_backoff_bits = tools::BitsValue(letter, value);
      options.quantize = true;
      break;
    case 'a':
      config.array_pointer_bits = tools::BitsValue(letter, value);
      options.compress = true;
      break;
    case 's': config.missing_marker_action = lm::COMPLAIN; break;
    case 'i': config.positive_log_probability = lm::COMPLAIN; break;
    case 'u': config.missing_unk_log_prob = tools::FloatValue(letter, value); break;
    case 'w':
      config.binary_write_mode = tools::ChoiceValue<lm::ngram::Config::WriteMethod>(
          letter, value, {{"after", lm::ngram::Config::WRITE_WHEN_DONE}, {"mmap", lm::ngram::Config::WRITE_IN_PLACE}});
      break;
    case 'T': config.temp_prefix = value; break;
    case 'S': config.sort_memory = tools::SizeValue(letter, value); break;
    case 'n': config.show_progress = false; break;
  }
}

// Operands: [TYPE] INPUT OUTPUT, or INPUT alone.
void TakeOperands(Options &options, int count, char *operands[]) {
  const bool typed = count > 0 && (!std::strcmp(operands[0], "probing") || !std::strcmp(operands[0], "trie"));
  if (typed) {
    options.trie = !std::strcmp(operands[0], "trie");
    ++operands;
    --count;
    if (count != 2) throw tools::UsageError("a TYPE needs INPUT.arpa and OUTPUT");
  }
  if (count == 3) throw tools::UsageError(std::string("TYPE is probing or trie, not '") + operands[0] + "'");
  if (count < 1 || count > 2) throw tools::UsageError("expected [TYPE] INPUT.arpa [OUTPUT]");
  options.input = operands[0];
  if (count == 2) options.output = operands[1];
}

Options ParseCommandLine(int argc, char *argv[]) {
  Options options;
  const int first = tools::ParseOptions(argc, argv, "p:r:Rq:b:a:siu:w:T:S:n", kUsage,
                                        [&options](char letter, const char *value) {
                                          HandleOption(options, letter, value);
                                        });
  TakeOperands(options, argc - first, argv + first);
  return options;
}

// The type to build; refuses options of the other data structure.
lm::ngram::ModelType BuildType(const Options &options) {
  if (!options.trie && (options.quantize || options.compress)) throw tools::UsageError("-q, -b and -a need TYPE trie");
  if (options.trie && options.rest) throw tools::UsageError("-r and -R need TYPE probing");
  return *lm::ngram::TypeWithStructure(
      {.trie = options.trie, .rest = options.rest, .quantized = options.quantize, .array_pointers = options.compress});
}

// Refuses an OUTPUT that is INPUT under any name: replacing it would
// destroy the model.
void CheckOutputIsNotInput(const Options &options) {
  const util::scoped_fd input(util::OpenReadOrThrow(options.input.c_str()));
  if (util::IsSameFile(input.get(), options.output.c_str())) {
    throw std::runtime_error("OUTPUT " + options.output + " is the input file " + options.input +
                             "; name another file for the binary model");
  }
}

void Build(const Options &options, lm::ngram::ModelType type) {
  CheckOutputIsNotInput(options);
  lm::ngram::ModelType recognized;
  if (lm::ngram::RecognizeBinary(options.input.c_str(), recognized)) {
    throw std::runtime_error(options.input + " is already a binary model file; packmodel reads ARPA files");
  }
  tools::PendingOutput output(options.output);
  lm::ngram::Config config = options.config;
  config.binary_output_path = output.Path();
  // Loading the ARPA file writes the binary file; the model is not needed.
  std::unique_ptr<lm::base::Model> model(lm::ngram::LoadVirtual(options.input.c_str(), config, type));
  model.reset();
  output.Commit();
}

}  // namespace

int main(int argc, char *argv[]) {
  try {
    const Options options = ParseCommandLine(argc, argv);
    if (options.output.empty()) {
      // The estimate covers every type, the quantized ones included.
      lm::ngram::CheckBuildConfig(options.config, lm::ngram::QUANT_ARRAY_TRIE);
      lm::ngram::ShowSizes(options.input.c_str(), options.config, std::cout);
      if (!std::cout.flush()) throw std::runtime_error("cannot write to standard output");
    } else {
      const lm::ngram::ModelType type = BuildType(options);
      lm::ngram::CheckBuildConfig(options.config, type);
      Build(options, type);
    }
    return 0;
  } catch (const tools::UsageError &e) {
    return tools::ReportUsageError(kProgram, kUsage, e);
  } catch (const std::exception &e) {
    return tools::ReportFailure(kProgram, e);
  }
}
