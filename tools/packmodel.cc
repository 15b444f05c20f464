// packmodel: builds a binary model file from an ARPA file, or prints how
// large each type of binary model would be.
#include "lm/config.hh"
#include "lm/memory_estimate.hh"
#include "lm/model.hh"
#include "tools/command_line.hh"
#include "tools/structure_options.hh"
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

const std::string kUsage = std::string(
    "Usage: packmodel [options] [TYPE] INPUT.arpa OUTPUT\n"
    "       packmodel [options] INPUT.arpa\n"
    "Builds the binary model file OUTPUT from the ARPA file INPUT.arpa.  Without\n"
    "OUTPUT, prints how large each type of binary model would be on standard\n"
    "output and exits.  Interrupted (SIGINT, SIGTERM, SIGHUP), it leaves no file.\n"
    "TYPE is probing (hash tables, the default) or trie (a bit-packed trie).  An\n"
    "input file named like a type is given with its directory, as ./trie.\n"
    "\n"
    "Data structure:\n") +
    tools::kStructureUsage +
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
    "  -j THREADS    threads that read the ARPA file: 1, or 2 to parse on one while\n"
    "                another stores (default 2; the file built is the same)\n"
    "  -n            no progress bars\n"
    "  -v            on failure, print the library's whole message (where it was\n"
    "                raised)\n"
    "  -h            print this help\n";

struct Options {
  lm::ngram::Config config;
  tools::StructureOptions structure;
  std::string input;
  // Empty: print the memory estimate.
  std::string output;
};

void HandleOption(Options &options, char letter, const char *value) {
  lm::ngram::Config &config = options.config;
  if (options.structure.Handle(letter, value, config)) return;
  switch (letter) {
    case 's': config.missing_marker_action = lm::COMPLAIN; break;
    case 'i': config.positive_log_probability = lm::COMPLAIN; break;
    case 'u': config.missing_unk_log_prob = tools::FloatValue(letter, value); break;
    case 'w':
      config.binary_write_mode = tools::ChoiceValue<lm::ngram::Config::WriteMethod>(
          letter, value, {{"after", lm::ngram::Config::WRITE_WHEN_DONE}, {"mmap", lm::ngram::Config::WRITE_IN_PLACE}});
      break;
    case 'T': config.temp_prefix = value; break;
    case 'S': config.sort_memory = tools::SizeValue(letter, value); break;
    case 'j': config.arpa_threads = tools::ThreadsValue(letter, value); break;
    case 'n': config.show_progress = false; break;
  }
}

// Operands: [TYPE] INPUT OUTPUT, or INPUT alone.
void TakeOperands(Options &options, int count, char *operands[]) {
  const bool typed = count > 0 && tools::IsStructureName(operands[0]);
  if (typed) {
    options.structure.SetName(operands[0]);
    ++operands;
    --count;
    if (count != 2) throw tools::UsageError("a TYPE needs INPUT.arpa and OUTPUT");
  }
  if (count == 3) options.structure.SetName(operands[0]);
  if (count < 1 || count > 2) throw tools::UsageError("expected [TYPE] INPUT.arpa [OUTPUT]");
  options.input = operands[0];
  if (count == 2) options.output = operands[1];
}

Options ParseCommandLine(int argc, char *argv[]) {
  Options options;
  const int first = tools::ParseOptions(argc, argv, (std::string(tools::kStructureLetters) + "siu:w:T:S:j:n").c_str(), kUsage.c_str(),
                                        [&options](char letter, const char *value) {
                                          HandleOption(options, letter, value);
                                        });
  TakeOperands(options, argc - first, argv + first);
  return options;
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
      const lm::ngram::ModelType type = options.structure.Type();
      lm::ngram::CheckBuildConfig(options.config, type);
      Build(options, type);
    }
    return 0;
  } catch (const tools::UsageError &e) {
    return tools::ReportUsageError(kProgram, kUsage.c_str(), e);
  } catch (const std::exception &e) {
    return tools::ReportFailure(kProgram, e);
  }
}
