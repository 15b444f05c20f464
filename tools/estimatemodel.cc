// estimatemodel: estimates an interpolated modified Kneser-Ney model from
// text and writes it as an ARPA file or a binary model file.
#include "lm/config.hh"
#include "lm/estimate/count_file.hh"
#include "lm/estimate/estimate.hh"
#include "lm/estimate/text_source.hh"
#include "lm/max_order.hh"
#include "lm/model.hh"
#include "tools/command_line.hh"
#include "tools/structure_options.hh"
#include "util/file.hh"
#include "util/scoped.hh"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kProgram[] = "estimatemodel";

const std::string kUsage = std::string(
    "Usage: estimatemodel [options] -o ORDER [TEXT...] OUTPUT\n"
    "       estimatemodel --counts-only [options] -o ORDER [TEXT...] COUNTS\n"
    "       estimatemodel --from-counts [options] COUNTS... OUTPUT\n"
    "Estimates an interpolated modified Kneser-Ney model of ORDER (1 to 12) from\n"
    "the lines of the TEXT files (none or -: standard input; gzip, bzip2 and xz\n"
    "text is decompressed) and writes it to OUTPUT as an ARPA file, or with\n"
    "--binary as a binary model file.  OUTPUT appears only once complete;\n"
    "interrupted (SIGINT, SIGTERM, SIGHUP), it leaves no file.  A summary (counts\n"
    "and discounts per order, time and memory per stage) goes to standard error.\n"
    "\n"
    "A text cut at line ends into pieces can be counted piece by piece with\n"
    "--counts-only, which writes the counts of the TEXT files as a count file\n"
    "COUNTS, and the count files merged with --from-counts, which makes the model\n"
    "of their order from them; given the files in the text's order, the model is\n"
    "byte for byte the one made from the whole text.\n"
    "\n"
    "Estimation:\n"
    "  -o ORDER      the model's order (required)\n"
    "  -S SIZE       memory for counting and sorting, such as 512M, 4G or 50%\n"
    "                (default 1G; the vocabulary comes on top)\n"
    "  -T PREFIX     prefix of the temporary files (default: beside OUTPUT)\n"
    "  -t N          threads: 1, or 2 (the default) for a second thread that\n"
    "                counts, sorts and computes beside the first (0: one per\n"
    "                processor; more than 2 are not used)\n"
    "  --discount-fallback [D1 D2 D3]\n"
    "                an order whose discounts cannot be estimated uses D1 D2 D3\n"
    "                (default 0.5 1 1.5) instead of failing, with a warning\n"
    "  --limit-vocab FILE\n"
    "                read the words that FILE lacks (words separated by blanks\n"
    "                or lines) as <unk>\n"
    "  --prune T2 [T3...]\n"
    "                drop the n-grams of order n >= 2 whose adjusted count is at\n"
    "                most Tn (0: keep all; the orders beyond the last take the\n"
    "                last; none below the one before), keeping those that a kept\n"
    "                longer n-gram needs as context or suffix\n"
    "  -n            no progress bars\n"
    "Binary output:\n"
    "  --binary TYPE write a binary model file of TYPE, probing or trie (ORDER 2\n"
    "                to " QUARN_MAX_ORDER_TEXT ")\n") +
    tools::kStructureUsage +
    "Other:\n"
    "  -v            on failure, print the library's whole message (where it was\n"
    "                raised)\n"
    "  -h            print this help\n";

struct Options {
  lm::estimate::EstimateOptions estimate;
  bool order_given = false;
  bool binary = false;
  bool counts_only = false;
  bool from_counts = false;
  tools::StructureOptions structure;
  lm::ngram::Config config;
  std::vector<std::string> texts;  // with --from-counts: the count files
  std::string output;
};

unsigned OrderValue(const char *text) {
  unsigned order;
  const char *end = text + std::strlen(text);
  const auto parsed = std::from_chars(text, end, order);
  if (parsed.ec != std::errc() || parsed.ptr != end || order < 1 || order > lm::estimate::kMaxEstimateOrder) {
    throw tools::UsageError(std::string("-o takes an order from 1 to 12, not '") + text + "'");
  }
  return order;
}

void HandleOption(Options &options, char letter, const char *value) {
  if (options.structure.Handle(letter, value, options.config)) return;
  switch (letter) {
    case 'o':
      options.estimate.order = OrderValue(value);
      options.order_given = true;
      break;
    case 'S':
      options.estimate.memory = tools::SizeValue(letter, value);
      options.config.sort_memory = options.estimate.memory;
      break;
    case 'T':
      options.estimate.temp_prefix = value;
      options.config.temp_prefix = value;
      break;
    case 't':
      options.estimate.threads = tools::ThreadsValue(letter, value);
      if (!options.estimate.threads) options.estimate.threads = std::max(1u, std::thread::hardware_concurrency());
      break;
    case 'n':
      options.estimate.show_progress = false;
      options.config.show_progress = false;
      break;
  }
}

// Whether `text` is a count threshold: digits only.
bool IsThreshold(const char *text, uint64_t &value) {
  const char *end = text + std::strlen(text);
  const auto parsed = std::from_chars(text, end, value);
  return *text && parsed.ec == std::errc() && parsed.ptr == end;
}

// Takes the thresholds after --prune at argv[i], leaving i at the last.
void TakePrune(Options &options, int argc, char *argv[], int &i) {
  options.estimate.prune.clear();
  uint64_t threshold;
  while (i + 1 < argc && IsThreshold(argv[i + 1], threshold)) {
    options.estimate.prune.push_back(threshold);
    ++i;
  }
  if (options.estimate.prune.empty()) throw tools::UsageError("--prune takes one or more thresholds T2 T3 ...");
}

// Whether `text` is a whole number, as a discount must be.
bool IsNumber(const char *text, double &value) {
  const char *end = text + std::strlen(text);
  const auto parsed = std::from_chars(text, end, value);
  return *text && parsed.ec == std::errc() && parsed.ptr == end;
}

// Takes the long options out of argv, leaving the rest for ParseOptions:
// --binary TYPE, --discount-fallback with up to three discounts,
// --limit-vocab FILE and --prune with its thresholds.
int TakeLongOptions(Options &options, int argc, char *argv[]) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--")) {
      while (i < argc) argv[kept++] = argv[i++];
      break;
    }
    if (!std::strcmp(argv[i], "--counts-only")) {
      options.counts_only = true;
    } else if (!std::strcmp(argv[i], "--from-counts")) {
      options.from_counts = true;
    } else if (!std::strcmp(argv[i], "--binary")) {
      if (i + 1 == argc) throw tools::UsageError("--binary needs a TYPE");
      options.structure.SetName(argv[++i]);
      options.binary = true;
    } else if (!std::strcmp(argv[i], "--discount-fallback")) {
      options.estimate.discount_fallback = true;
      double discount;
      if (i + 1 < argc && IsNumber(argv[i + 1], discount)) {
        for (unsigned k = 0; k < 3; ++k, ++i) {
          if (i + 1 == argc || !IsNumber(argv[i + 1], discount)) {
            throw tools::UsageError("--discount-fallback takes three discounts D1 D2 D3 or none");
          }
          options.estimate.fallback.amount[k] = discount;
        }
      }
    } else if (!std::strcmp(argv[i], "--limit-vocab")) {
      if (i + 1 == argc) throw tools::UsageError("--limit-vocab needs a FILE");
      options.estimate.limit_vocab = argv[++i];
    } else if (!std::strcmp(argv[i], "--prune")) {
      TakePrune(options, argc, argv, i);
    } else if (!std::strncmp(argv[i], "--", 2)) {
      throw tools::UsageError(std::string("unknown option ") + argv[i]);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argv[kept] = nullptr;
  return kept;
}

Options ParseCommandLine(int argc, char *argv[]) {
  Options options;
  options.estimate.messages = &std::cerr;
  argc = TakeLongOptions(options, argc, argv);
  const int first = tools::ParseOptions(argc, argv, (std::string(tools::kStructureLetters) + "o:S:T:t:n").c_str(),
                                        kUsage.c_str(), [&options](char letter, const char *value) {
                                          HandleOption(options, letter, value);
                                        });
  if (options.counts_only && options.from_counts) {
    throw tools::UsageError("--counts-only and --from-counts exclude each other");
  }
  if (options.from_counts) {
    if (argc - first < 2) throw tools::UsageError("--from-counts expects COUNTS... OUTPUT");
  } else {
    if (!options.order_given) throw tools::UsageError("-o ORDER is required");
    if (first == argc) throw tools::UsageError(options.counts_only ? "expected [TEXT...] COUNTS" : "expected [TEXT...] OUTPUT");
  }
  options.texts.assign(argv + first, argv + argc - 1);
  if (options.texts.empty()) options.texts.push_back("-");
  options.output = argv[argc - 1];
  return options;
}

// With --from-counts, takes the order from the first count file; an -o
// given must name it.
void TakeCountsOrder(Options &options) {
  if (!options.from_counts) return;
  const unsigned order = lm::estimate::CountFileOrder(options.texts.front());
  if (options.order_given && order != options.estimate.order) {
    throw std::runtime_error("-o " + std::to_string(options.estimate.order) + " differs from the order " +
                             std::to_string(order) + " of the count file " + options.texts.front());
  }
  options.estimate.order = order;
}

// Refuses, before any text is read, settings that the estimate or the
// binary model would refuse later.
void CheckSettings(const Options &options) {
  if (options.counts_only && (options.binary || options.structure.Given())) {
    throw tools::UsageError("--counts-only writes counts, not a binary model: it takes no --binary");
  }
  if (!options.binary) {
    if (options.structure.Given()) throw tools::UsageError("-p, -r, -R, -q, -b and -a need --binary TYPE");
    return;
  }
  const unsigned order = options.estimate.order;
  if (order < 2 || order > QUARN_MAX_ORDER) {
    throw tools::UsageError("--binary needs an order from 2 to " QUARN_MAX_ORDER_TEXT ", not " +
                            std::to_string(order));
  }
  lm::ngram::CheckBuildConfig(options.config, options.structure.Type());
}

// Refuses an OUTPUT that is one of the texts (or count files) under any name.
void CheckOutputIsNotText(const Options &options) {
  for (const std::string &text : options.texts) {
    if (util::InputFileIsStdin(text)) continue;
    const util::scoped_fd input(util::OpenReadOrThrow(text.c_str()));
    if (util::IsSameFile(input.get(), options.output.c_str())) {
      throw std::runtime_error("OUTPUT " + options.output + (options.from_counts ? " is the count file " : " is the text file ") + text +
                               "; name another file for the model");
    }
  }
}

// The temporary files' prefix: -T, or beside OUTPUT.
std::string TempPrefix(const Options &options) {
  return options.estimate.temp_prefix.empty() ? options.output + "." : options.estimate.temp_prefix;
}

// Writes the ARPA file to `fd` with temporary files named `prefix` and six
// characters: from the texts, or with --from-counts from the count files.
void WriteArpa(const Options &options, int fd, const std::string &prefix) {
  if (options.from_counts) {
    lm::estimate::EstimateFromCounts(options.texts, options.estimate, fd, prefix);
    return;
  }
  lm::estimate::FileLineSource text(options.texts);
  lm::estimate::Estimate(text, options.estimate, fd, prefix);
}

// Estimates into an unnamed temporary ARPA file and builds the binary model
// from it, writing `binary_path`.
void EstimateBinary(const Options &options, const char *binary_path) {
  const std::string prefix = TempPrefix(options);
  const util::scoped_fd arpa(util::MakeTemp(prefix));
  WriteArpa(options, arpa.get(), prefix);
  lm::ngram::Config config = options.config;
  config.binary_output_path = binary_path;
  const std::string arpa_path = "/proc/self/fd/" + std::to_string(arpa.get());
  std::unique_ptr<lm::base::Model> model(lm::ngram::LoadVirtual(arpa_path.c_str(), config, options.structure.Type()));
}

void Run(const Options &options) {
  CheckOutputIsNotText(options);
  tools::PendingOutput output(options.output);
  if (options.counts_only) {
    lm::estimate::FileLineSource text(options.texts);
    lm::estimate::CountOnly(text, options.estimate, output.Descriptor(), TempPrefix(options));
  } else if (options.binary) {
    EstimateBinary(options, output.Path());
  } else {
    WriteArpa(options, output.Descriptor(), TempPrefix(options));
  }
  output.Commit();
}

}  // namespace

int main(int argc, char *argv[]) {
  try {
    Options options = ParseCommandLine(argc, argv);
    TakeCountsOrder(options);
    CheckSettings(options);
    Run(options);
    return 0;
  } catch (const tools::UsageError &e) {
    return tools::ReportUsageError(kProgram, kUsage.c_str(), e);
  } catch (const std::exception &e) {
    // Compressed text is read, never refused: a compression error means
    // damaged data.
    return tools::ReportFailure(kProgram, e, false);
  }
}
