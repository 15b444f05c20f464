// Load, build and query benchmark of the six model types, run side by side
// with IRSTLM's compile-lm on the same ARPA file and text.
//
// Usage: model_bench ARPA TEXT [--irstlm PATH|none] [--tmp DIR] [--repeat N]
//                    [--heldout TEXT] [--small-sort MIB]
//
// TEXT holds one sentence per line, words separated by blanks.  Every figure
// is the best of N runs (default 3), timed with the steady clock.
//
// The first table is the probing model's:
//   ARPA -> probing load, each in a fresh child process so that its peak RSS
//     (VmHWM) is that of the load alone; also the child's processor time,
//     which other programs on the machine disturb less than wall time;
//   ARPA -> probing load while writing a binary file, for each write method;
//   binary load, for each load method, also each in a fresh child process;
//   queries: the text is split into words, each word looked up in the
//     vocabulary and scored with the state carried from the previous word,
//     from the begin-sentence state, with </s> after each line; through the
//     concrete ProbingModel::FullScore and through the virtual
//     lm::base::Model::BaseScore.  Splitting and lookups are inside the
//     timed loop; reading the file is not.
// When the probing model refuses the file, the refusal is printed instead.
//
// The second and third tables cover the six model types, each chosen with
// lm::ngram::LoadVirtual (a type this build lacks gets a row "not built"):
//   ARPA -> binary file (WRITE_WHEN_DONE, default sort_memory) in a fresh
//     child process, with its peak RSS; once more with sort_memory set to
//     --small-sort MiB (default 64) for the peak RSS of a realistic setting;
//   the model region (binary file size minus header minus word list) beside
//     the type's Size(counts) for the counts in the file's header, and per
//     n-gram of the ARPA file;
//   binary load with LAZY in a fresh child process;
//   queries through the virtual BaseScore as above (the binary file read
//     with READ), and the perplexity of TEXT and of the --heldout text.
// These are taken in N rounds over the types, so that other work on the
// machine disturbs each type alike.
//
// IRSTLM is timed from outside: `compile-lm ARPA --eval=F` on the text with
// "<s>" and "</s>" around each line (so it scores the same words and </s>),
// and on its first line alone, whose time is taken as IRSTLM's load time;
// the difference is its query time.  Peak RSS and processor time come from
// wait4.  Positive log probabilities (an IRSTLM quirk) are read as 0.
//
// The report is Markdown on standard output; progress goes to standard error.
#include "lm/binary_format.hh"
#include "lm/config.hh"
#include "lm/enumerate_vocab.hh"
#include "lm/model.hh"
#include "lm/model_type.hh"
#include "lm/read_arpa.hh"
#include "lm/state.hh"
#include "lm/virtual_interface.hh"
#include "util/exception.hh"
#include "util/file.hh"
#include "util/file_piece.hh"
#include "util/mmap.hh"
#include "util/split_words.hh"
#include "util/string_piece.hh"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using lm::ngram::ModelType;

constexpr double kMiB = 1024.0 * 1024.0;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double Best(unsigned repeat, const std::function<double()> &run) {
  double best = std::numeric_limits<double>::infinity();
  for (unsigned i = 0; i < repeat; ++i) best = std::min(best, run());
  return best;
}

uint64_t FileBytes(const std::string &path) {
  struct stat info;
  if (stat(path.c_str(), &info)) {
    std::perror(path.c_str());
    std::exit(1);
  }
  return static_cast<uint64_t>(info.st_size);
}

// Peak resident set (VmHWM) of this process in bytes.
uint64_t PeakRSS() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
  }
  return 0;
}

lm::ngram::Config QuietConfig() {
  lm::ngram::Config config;
  config.show_progress = false;
  config.arpa_complain = lm::ngram::Config::NONE;
  config.message_stream = nullptr;
  // IRSTLM sometimes writes tiny positive log probabilities; take them as 0.
  config.positive_log_probability = lm::SILENT;
  return config;
}

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

// Child mode: load `file` once as a ProbingModel (an ARPA file, or a binary
// file by `method`) and print "ok seconds peak_rss_bytes".
int ChildLoad(const char *file, util::LoadMethod method) {
  lm::ngram::Config config = QuietConfig();
  config.load_method = method;
  try {
    Clock::time_point start = Clock::now();
    lm::ngram::ProbingModel model(file, config);
    double seconds = Since(start);
    std::cout << "ok " << std::setprecision(9) << seconds << ' ' << PeakRSS() << std::endl;
  } catch (const std::exception &e) {
    std::cout << "fail " << OneLine(e.what()) << std::endl;
  }
  return 0;
}

// Child mode: TYPE METHOD FILE OUTPUT SORT_MIB.  Loads `file` through
// LoadVirtual as TYPE, writing a binary file to OUTPUT unless it is "-", and
// prints "ok seconds peak_rss_bytes" or "fail message".
int ChildVirtual(char *argv[]) {
  lm::ngram::Config config = QuietConfig();
  config.load_method = static_cast<util::LoadMethod>(std::atoi(argv[1]));
  if (std::strcmp(argv[3], "-")) config.binary_output_path = argv[3];
  config.sort_memory = std::strtoull(argv[4], nullptr, 10) << 20;
  try {
    Clock::time_point start = Clock::now();
    std::unique_ptr<lm::base::Model> model(
        lm::ngram::LoadVirtual(argv[2], config, static_cast<ModelType>(std::atoi(argv[0]))));
    double seconds = Since(start);
    std::cout << "ok " << std::setprecision(9) << seconds << ' ' << PeakRSS() << std::endl;
  } catch (const std::exception &e) {
    std::cout << "fail " << OneLine(e.what()) << std::endl;
  }
  return 0;
}

std::string SelfPath() {
  char path[4096];
  ssize_t got = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (got <= 0) {
    std::perror("/proc/self/exe");
    std::exit(1);
  }
  return std::string(path, static_cast<std::size_t>(got));
}

double CPUSeconds(const struct rusage &usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Processor time (user + system) of the finished children so far.
double ChildrenCPUSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_CHILDREN, &usage);
  return CPUSeconds(usage);
}

struct ChildResult {
  double seconds;       // the load alone, timed inside the child
  double cpu_seconds;   // the whole child process
  uint64_t peak_rss;
  std::string failure;  // the child's exception message; empty on success
};

// Runs this program in a fresh process, so that neither the peak RSS nor the
// heap's state (a block freed by an earlier load can be handed out again
// without page faults) carries over from other measurements.
ChildResult RunChild(const std::string &command) {
  const double cpu_before = ChildrenCPUSeconds();
  ChildResult result{0.0, 0.0, 0, std::string()};
  std::string output;
  {
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof(buffer), pipe.get())) output += buffer;
  }
  result.cpu_seconds = ChildrenCPUSeconds() - cpu_before;
  if (output.compare(0, 5, "fail ") == 0) {
    result.failure = output.substr(5);
  } else if (std::sscanf(output.c_str(), "ok %lf %lu", &result.seconds, &result.peak_rss) != 2) {
    std::cerr << "The child failed: " << command << '\n' << output << std::endl;
    std::exit(1);
  }
  return result;
}

// As RunChild, for a run that must succeed.
ChildResult MustRun(const std::string &command) {
  ChildResult got = RunChild(command);
  if (!got.failure.empty()) {
    std::cerr << "The child failed: " << command << '\n' << got.failure << std::endl;
    std::exit(1);
  }
  return got;
}

// The smallest of each figure.
struct BestOf : ChildResult {
  BestOf()
      : ChildResult{std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                    std::numeric_limits<uint64_t>::max(), std::string()} {}

  void Keep(const ChildResult &got) {
    seconds = std::min(seconds, got.seconds);
    cpu_seconds = std::min(cpu_seconds, got.cpu_seconds);
    peak_rss = std::min(peak_rss, got.peak_rss);
  }
};

// The best of `repeat` runs; stops at a failure and returns it.
ChildResult BestChild(unsigned repeat, const std::string &command) {
  BestOf best;
  for (unsigned i = 0; i < repeat; ++i) {
    ChildResult got = RunChild(command);
    if (!got.failure.empty()) return got;
    best.Keep(got);
  }
  return best;
}

std::string ProbingLoadCommand(const std::string &self, const std::string &file, util::LoadMethod method) {
  return "'" + self + "' --child-load '" + file + "' " + std::to_string(method);
}

std::string VirtualCommand(const std::string &self, ModelType type, util::LoadMethod method, const std::string &file,
                           const std::string &output, uint64_t sort_mib) {
  return "'" + self + "' --child-virtual " + std::to_string(type) + ' ' + std::to_string(method) + " '" + file +
         "' '" + output + "' " + std::to_string(sort_mib);
}

// A run of an external program: wall seconds, peak RSS and its output.
struct External {
  double seconds;
  double cpu_seconds;
  uint64_t peak_rss;
  std::string output;
};

External RunExternal(const std::vector<std::string> &argv, const std::string &output_path) {
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
    execv(args[0], args.data());
    _exit(127);
  }
  int status;
  struct rusage usage;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
    std::perror("fork/wait4");
    std::exit(1);
  }
  External ret{Since(start), CPUSeconds(usage), static_cast<uint64_t>(usage.ru_maxrss) * 1024, std::string()};
  std::ifstream in(output_path);
  std::stringstream all;
  all << in.rdbuf();
  ret.output = all.str();
  if (!WIFEXITED(status) || WEXITSTATUS(status)) {
    std::cerr << argv[0] << " failed:\n" << ret.output << std::endl;
    std::exit(1);
  }
  return ret;
}

// The number after `key` in IRSTLM's summary line, e.g. "Nw=" or "PP=".
double IrstlmField(const std::string &output, const std::string &key) {
  std::size_t at = output.rfind("%% Nw=");
  if (at == std::string::npos || (at = output.find(key, at)) == std::string::npos) {
    std::cerr << "No " << key << " in IRSTLM's output:\n" << output << std::endl;
    std::exit(1);
  }
  return std::strtod(output.c_str() + at + key.size(), nullptr);
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

struct ScoreTotals {
  double log10 = 0.0;
  uint64_t words = 0;
  double seconds = std::numeric_limits<double>::infinity();

  double WordsPerSecond() const { return static_cast<double>(words) / seconds; }
  double Perplexity() const { return std::pow(10.0, -log10 / static_cast<double>(words)); }
};

// Scores `text` sentence by sentence; Lookup and Score are called per word.
template <class Lookup, class Score>
ScoreTotals ScoreText(const std::string &text, const lm::ngram::State &begin, lm::WordIndex end_sentence,
                      const Lookup &lookup, const Score &score) {
  ScoreTotals totals;
  Clock::time_point start = Clock::now();
  lm::ngram::State states[2];
  const char *at = text.data();
  const char *const end = at + text.size();
  double sum = 0.0;
  uint64_t words = 0;
  while (at != end) {
    const char *line_end = static_cast<const char *>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    if (!line_end) line_end = end;
    states[0] = begin;
    unsigned current = 0;
    for (StringPiece word; util::NextWord(at, line_end, util::NulByte::kEndsWord, word);) {
      sum += score(states[current], lookup(word), states[current ^ 1]);
      current ^= 1;
      ++words;
    }
    sum += score(states[current], end_sentence, states[current ^ 1]);
    ++words;
    at = line_end == end ? end : line_end + 1;
  }
  totals.seconds = Since(start);
  totals.log10 = sum;
  totals.words = words;
  return totals;
}

// Scores `text` through the virtual interface.
ScoreTotals ScoreVirtual(const lm::base::Model &model, const std::string &text) {
  const lm::base::Vocabulary &vocab = model.VocabularyView();
  return ScoreText(
      text, *static_cast<const lm::ngram::State *>(model.BeginSentenceRecord()), vocab.EndSentenceIndex(),
      [&vocab](const StringPiece &word) { return vocab.Index(word); },
      [&model](const lm::ngram::State &in, lm::WordIndex word, lm::ngram::State &out) {
        return model.BaseScore(&in, word, &out);
      });
}

// The fastest of `repeat` passes (all passes give the same sums).
ScoreTotals BestPass(unsigned repeat, const std::function<ScoreTotals()> &pass) {
  ScoreTotals best;
  for (unsigned i = 0; i < repeat; ++i) {
    ScoreTotals got = pass();
    if (got.seconds < best.seconds) best = got;
  }
  return best;
}

struct Row {
  std::string what, ours, theirs, ratio, target, met;
};

std::string Fixed(double value, int digits) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(digits) << value;
  return out.str();
}

std::string YesNo(bool met) { return met ? "yes" : "**no**"; }

// "value (yes)" or "**value (no)**".
std::string Marked(const std::string &value, bool met) {
  return met ? value + " (yes)" : "**" + value + " (no)**";
}

const char *LoadMethodName(util::LoadMethod method) {
  switch (method) {
    case util::LAZY:
      return "LAZY";
    case util::POPULATE_OR_LAZY:
      return "POPULATE_OR_LAZY";
    case util::POPULATE_OR_READ:
      return "POPULATE_OR_READ";
    case util::READ:
      return "READ";
    default:
      return "?";
  }
}

struct Options {
  std::string arpa, text_path, heldout_path;
  std::string irstlm = "/usr/lib/irstlm/bin/compile-lm", tmp = "/tmp";
  unsigned repeat = 3;
  uint64_t small_sort_mib = 64;
};

int Usage(const char *name) {
  std::cerr << "Usage: " << name
            << " ARPA TEXT [--irstlm PATH|none] [--tmp DIR] [--repeat N] [--heldout TEXT] [--small-sort MIB]"
            << std::endl;
  return 2;
}

bool ParseOptions(int argc, char *argv[], Options &options) {
  if (argc < 3) return false;
  options.arpa = argv[1];
  options.text_path = argv[2];
  for (int i = 3; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--irstlm") {
      options.irstlm = value;
    } else if (flag == "--tmp") {
      options.tmp = value;
    } else if (flag == "--repeat") {
      options.repeat = static_cast<unsigned>(std::max(1, std::atoi(value.c_str())));
    } else if (flag == "--heldout") {
      options.heldout_path = value;
    } else if (flag == "--small-sort") {
      options.small_sort_mib = std::max<uint64_t>(1, std::strtoull(value.c_str(), nullptr, 10));
    } else {
      return false;
    }
  }
  return true;
}

// What the whole run shares.
struct Setup {
  Options options;
  std::string self, prefix, text;
  std::vector<uint64_t> counts;  // from the ARPA header
  uint64_t ngrams = 0;
  double arpa_mb = 0.0;
};

// IRSTLM's figures; `ran` is false with --irstlm none.
struct Irstlm {
  bool ran = false;
  double load = 0.0, load_cpu = 0.0, query = 0.0, words = 0.0, pp = 0.0;
  uint64_t rss = 0;

  double WordsPerSecond() const { return words / query; }
};

// Writes the text with "<s>" and "</s>" around each line to `full`, and its
// first line alone to `first`.
void WriteIrstlmText(const std::string &text, const std::string &full, const std::string &first) {
  std::ofstream full_out(full), first_out(first);
  std::istringstream lines(text);
  std::string line;
  bool first_line = true;
  while (std::getline(lines, line)) {
    full_out << "<s> " << line << " </s>\n";
    if (first_line) first_out << "<s> " << line << " </s>\n";
    first_line = false;
  }
}

Irstlm RunIrstlm(const Setup &setup) {
  Irstlm irst;
  if (setup.options.irstlm == "none") return irst;
  std::cerr << "IRSTLM" << std::endl;
  const std::string full_text = setup.prefix + ".eval", one_line = setup.prefix + ".eval1",
                    output = setup.prefix + ".out";
  WriteIrstlmText(setup.text, full_text, one_line);
  const unsigned repeat = setup.options.repeat;
  const std::string &program = setup.options.irstlm, &arpa = setup.options.arpa;
  irst.rss = std::numeric_limits<uint64_t>::max();
  irst.load_cpu = std::numeric_limits<double>::infinity();
  irst.load = Best(repeat, [&] {
    External got = RunExternal({program, arpa, "--eval=" + one_line}, output);
    irst.rss = std::min(irst.rss, got.peak_rss);
    irst.load_cpu = std::min(irst.load_cpu, got.cpu_seconds);
    return got.seconds;
  });
  const double full = Best(repeat, [&] {
    External got = RunExternal({program, arpa, "--eval=" + full_text}, output);
    irst.words = IrstlmField(got.output, "Nw=");
    irst.pp = IrstlmField(got.output, "PP=");
    return got.seconds;
  });
  irst.query = full - irst.load;
  irst.ran = true;
  std::remove(full_text.c_str());
  std::remove(one_line.c_str());
  std::remove(output.c_str());
  return irst;
}

// ---------------------------------------------------------------- probing

struct ProbingFigures {
  ChildResult arpa;  // ARPA -> probing load
  std::vector<Row> writes;
  double binary_mb = 0.0;
  std::vector<std::pair<util::LoadMethod, double>> binary_loads;
  ScoreTotals concrete, virtual_calls;
};

std::vector<Row> MeasureWrites(const Setup &setup, const std::string &binary) {
  std::vector<Row> rows;
  using lm::ngram::Config;
  for (Config::WriteMethod method : {Config::WRITE_IN_PLACE, Config::WRITE_WHEN_DONE}) {
    Config config = QuietConfig();
    config.binary_output_path = binary.c_str();
    config.binary_write_mode = method;
    const double seconds = Best(setup.options.repeat, [&] {
      Clock::time_point start = Clock::now();
      lm::ngram::ProbingModel model(setup.options.arpa.c_str(), config);
      return Since(start);
    });
    rows.push_back({std::string("ARPA -> probing + binary write, ") +
                        (method == Config::WRITE_IN_PLACE ? "WRITE_IN_PLACE" : "WRITE_WHEN_DONE") + " (s)",
                    Fixed(seconds, 3), "", "", "", ""});
  }
  return rows;
}

void MeasureProbingQueries(const Setup &setup, const std::string &binary, ProbingFigures &figures) {
  lm::ngram::Config config = QuietConfig();
  config.load_method = util::READ;
  lm::ngram::ProbingModel model(binary.c_str(), config);
  const lm::ngram::ProbingVocabulary &vocab = model.GetVocabulary();
  figures.concrete = BestPass(setup.options.repeat, [&] {
    return ScoreText(
        setup.text, model.BeginSentenceState(), vocab.EndSentenceIndex(),
        [&vocab](const StringPiece &word) { return vocab.Index(word); },
        [&model](const lm::ngram::State &in, lm::WordIndex word, lm::ngram::State &out) {
          return model.FullScore(in, word, out).prob;
        });
  });
  figures.virtual_calls = BestPass(setup.options.repeat, [&] { return ScoreVirtual(model, setup.text); });
}

// False when the probing model refuses the file (figures.arpa.failure says why).
bool MeasureProbing(const Setup &setup, ProbingFigures &figures) {
  std::cerr << "ARPA -> probing loads" << std::endl;
  figures.arpa = BestChild(setup.options.repeat, ProbingLoadCommand(setup.self, setup.options.arpa, util::LAZY));
  if (!figures.arpa.failure.empty()) return false;
  const std::string binary = setup.prefix + ".binary";
  std::cerr << "Binary writes" << std::endl;
  figures.writes = MeasureWrites(setup, binary);
  figures.binary_mb = static_cast<double>(FileBytes(binary)) / 1e6;
  std::cerr << "Binary loads" << std::endl;
  for (util::LoadMethod method : {util::LAZY, util::POPULATE_OR_LAZY, util::POPULATE_OR_READ, util::READ}) {
    const std::string command = ProbingLoadCommand(setup.self, binary, method);
    figures.binary_loads.emplace_back(method, Best(setup.options.repeat, [&] { return MustRun(command).seconds; }));
  }
  std::cerr << "Queries" << std::endl;
  MeasureProbingQueries(setup, binary, figures);
  std::remove(binary.c_str());
  return true;
}

void PrintRows(const std::vector<Row> &rows) {
  std::cout << "| measure | quarn | IRSTLM | ratio | target | met? |\n"
            << "|---|---|---|---|---|---|\n";
  for (const Row &row : rows) {
    std::cout << "| " << row.what << " | " << row.ours << " | " << row.theirs << " | " << row.ratio << " | "
              << row.target << " | " << row.met << " |\n";
  }
}

std::vector<Row> ProbingLoadRows(const Setup &setup, const Irstlm &irst, const ProbingFigures &figures) {
  const double seconds = figures.arpa.seconds, cpu = figures.arpa.cpu_seconds;
  const double our_mbps = setup.arpa_mb / seconds, irst_mbps = irst.ran ? setup.arpa_mb / irst.load : 0.0;
  auto theirs = [&](double value, int digits) { return irst.ran ? Fixed(value, digits) : std::string("n/a"); };
  std::vector<Row> rows;
  rows.push_back({"ARPA -> probing load (s)", Fixed(seconds, 3), theirs(irst.load, 3),
                  irst.ran ? Fixed(irst.load / seconds, 2) + "x faster" : "", "", ""});
  rows.push_back({"ARPA -> probing load, processor time of the process (s)", Fixed(cpu, 3), theirs(irst.load_cpu, 3),
                  irst.ran ? Fixed(irst.load_cpu / cpu, 2) + "x less" : "", "", ""});
  rows.push_back({"ARPA -> probing load (MB/s of ARPA text)", Fixed(our_mbps, 1), theirs(irst_mbps, 1),
                  irst.ran ? Fixed(our_mbps / irst_mbps, 2) + "x" : "", ">= 100 MB/s and >= 4x",
                  YesNo(our_mbps >= 100.0 && (!irst.ran || our_mbps >= 4.0 * irst_mbps))});
  rows.insert(rows.end(), figures.writes.begin(), figures.writes.end());
  for (const auto &[method, load] : figures.binary_loads) {
    const bool targeted = method == util::LAZY || method == util::POPULATE_OR_READ;
    rows.push_back({std::string("binary load, ") + LoadMethodName(method) + " (s; % of ARPA load)",
                    Fixed(load, 4) + "; " + Fixed(100.0 * load / seconds, 2) + "%", "", "", targeted ? "< 5%" : "",
                    targeted ? YesNo(load < 0.05 * seconds) : ""});
  }
  return rows;
}

std::vector<Row> ProbingQueryRows(const Setup &setup, const Irstlm &irst, const ProbingFigures &figures) {
  const double irst_wps = irst.ran ? irst.WordsPerSecond() : 0.0;
  const std::string theirs_wps = irst.ran ? Fixed(irst_wps / 1e6, 2) + "M" : "n/a";
  const uint64_t model_bytes = lm::ngram::ProbingModel::Size(setup.counts, QuietConfig());
  const double rss_limit = 1.25 * static_cast<double>(model_bytes) + 64.0 * kMiB;
  std::vector<Row> rows;
  for (const auto &[name, totals] : {std::pair<const char *, const ScoreTotals &>("FullScore", figures.concrete),
                                     std::pair<const char *, const ScoreTotals &>("virtual BaseScore",
                                                                                  figures.virtual_calls)}) {
    const double wps = totals.WordsPerSecond();
    rows.push_back({std::string("queries, ") + name + " (words/s)", Fixed(wps / 1e6, 2) + "M", theirs_wps,
                    irst.ran ? Fixed(wps / irst_wps, 2) + "x" : "", ">= 4x",
                    irst.ran ? YesNo(wps >= 4.0 * irst_wps) : ""});
  }
  rows.push_back({"peak RSS while loading ARPA (MiB)", Fixed(static_cast<double>(figures.arpa.peak_rss) / kMiB, 1),
                  irst.ran ? Fixed(static_cast<double>(irst.rss) / kMiB, 1) : "n/a", "",
                  "<= 1.25 x model + 64 MiB = " + Fixed(rss_limit / kMiB, 1),
                  YesNo(static_cast<double>(figures.arpa.peak_rss) <= rss_limit)});
  const double ngrams = static_cast<double>(setup.ngrams);
  rows.push_back({"model size (MiB); bytes per n-gram",
                  Fixed(static_cast<double>(model_bytes) / kMiB, 1) + "; " +
                      Fixed(static_cast<double>(model_bytes) / ngrams, 1),
                  irst.ran ? "peak RSS / n-gram: " + Fixed(static_cast<double>(irst.rss) / ngrams, 1) : "n/a", "", "",
                  ""});
  rows.push_back({"perplexity of the text (words scored)",
                  Fixed(figures.concrete.Perplexity(), 2) + " (" + std::to_string(figures.concrete.words) + ")",
                  irst.ran ? Fixed(irst.pp, 2) + " (" + std::to_string(static_cast<uint64_t>(irst.words)) + ")" : "n/a",
                  "", "", ""});
  return rows;
}

void PrintModelLine(const Setup &setup) {
  std::cout << "Model " << setup.options.arpa << ": order " << setup.counts.size() << ", " << setup.ngrams
            << " n-grams, " << Fixed(setup.arpa_mb, 1) << " MB ARPA";
}

void PrintProbing(const Setup &setup, const Irstlm &irst, const ProbingFigures &figures) {
  PrintModelLine(setup);
  std::cout << ", " << Fixed(figures.binary_mb, 1) << " MB binary; text " << setup.options.text_path << " ("
            << figures.concrete.words << " words with `</s>`); best of " << setup.options.repeat << "\n\n";
  std::vector<Row> rows = ProbingLoadRows(setup, irst, figures);
  std::vector<Row> queries = ProbingQueryRows(setup, irst, figures);
  rows.insert(rows.end(), queries.begin(), queries.end());
  PrintRows(rows);
}

// ---------------------------------------------------------------- six types

// Config's default sort_memory (1 GiB).
const uint64_t kDefaultSortMiB = lm::ngram::Config().sort_memory >> 20;

// Size(counts, config) of the type's class.
uint64_t ExpectedRegion(ModelType type, const std::vector<uint64_t> &counts, const lm::ngram::Config &config) {
  return lm::ngram::WithModelClass(type, [&]<class Model>() { return Model::Size(counts, config); });
}

// Adds up the bytes of the word list (each word and its zero byte).
class WordListBytes final : public lm::EnumerateVocab {
 public:
  void Add(lm::WordIndex, const StringPiece &word) override { bytes_ += word.size() + 1; }
  uint64_t Bytes() const { return bytes_; }

 private:
  uint64_t bytes_ = 0;
};

struct TypeFigures {
  ModelType type;
  std::string binary;
  std::string failure;  // why the type has no figures; empty when it has
  BestOf build, small_sort_build, lazy;
  uint64_t region = 0, expected_region = 0;
  ScoreTotals queries, heldout;
};

// Short text for a failure of the ARPA build.
std::string FailureText(const std::string &message) {
  if (message.find("not available in this build") != std::string::npos) return "not built";
  const std::size_t avoid = message.find("Avoid pruning n-grams");
  if (avoid != std::string::npos) return "refused: " + message.substr(avoid, message.find('.', avoid) - avoid);
  return "failed: " + message;
}

// The model region of `binary`: file size minus header minus word list, and
// the type's Size for the counts in the header.
void CheckRegion(const std::string &binary, uint64_t word_bytes, TypeFigures &figures) {
  util::scoped_fd fd(util::OpenReadOrThrow(binary.c_str()));
  lm::ngram::Parameters params;
  lm::ngram::ReadHeader(fd.get(), params);
  figures.region = FileBytes(binary) - lm::ngram::TotalHeaderSize(params.fixed.order) - word_bytes;
  lm::ngram::Config config = QuietConfig();
  config.probing_multiplier = params.fixed.probing_multiplier;
  figures.expected_region = ExpectedRegion(figures.type, params.counts, config);
}

// One round of the child measurements of a type: ARPA -> binary file (also
// with little sort memory for a trie) and a LAZY load of that file.
void MeasureLoads(const Setup &setup, TypeFigures &figures) {
  const std::string &arpa = setup.options.arpa;
  const ChildResult build =
      RunChild(VirtualCommand(setup.self, figures.type, util::READ, arpa, figures.binary, kDefaultSortMiB));
  if (!build.failure.empty()) {
    figures.failure = FailureText(build.failure);
    std::remove(figures.binary.c_str());  // what the failed build left
    return;
  }
  figures.build.Keep(build);
  if (lm::ngram::IsTrie(figures.type)) {
    figures.small_sort_build.Keep(MustRun(
        VirtualCommand(setup.self, figures.type, util::READ, arpa, figures.binary, setup.options.small_sort_mib)));
  }
  figures.lazy.Keep(MustRun(VirtualCommand(setup.self, figures.type, util::LAZY, figures.binary, "-", 0)));
}

// Reads the binary file of each type that has one (checking its region) and
// scores the text through each in turn, `repeat` rounds, so that other work
// on the machine disturbs every type alike; then the held-out text once.
void MeasureQueries(const Setup &setup, std::vector<TypeFigures> &all) {
  std::vector<std::pair<TypeFigures *, std::unique_ptr<lm::base::Model>>> models;
  for (TypeFigures &figures : all) {
    if (!figures.failure.empty()) continue;
    WordListBytes words;
    lm::ngram::Config config = QuietConfig();
    config.load_method = util::READ;
    config.enumerate_vocab = &words;
    models.emplace_back(&figures, lm::ngram::LoadVirtual(figures.binary.c_str(), config));
    CheckRegion(figures.binary, words.Bytes(), figures);
    std::remove(figures.binary.c_str());
  }
  for (unsigned round = 0; round < setup.options.repeat; ++round) {
    for (auto &[figures, model] : models) {
      ScoreTotals got = ScoreVirtual(*model, setup.text);
      if (got.seconds < figures->queries.seconds) figures->queries = got;
    }
  }
  if (setup.options.heldout_path.empty()) return;
  const std::string heldout = ReadAll(setup.options.heldout_path);
  for (auto &[figures, model] : models) figures->heldout = ScoreVirtual(*model, heldout);
}

// Every type's figures, the child measurements taken in `repeat` rounds over
// the types.
std::vector<TypeFigures> MeasureTypes(const Setup &setup) {
  std::vector<TypeFigures> all;
  for (ModelType type : lm::ngram::kAllModelTypes) {
    all.push_back(TypeFigures{type, setup.prefix + "." + std::to_string(type) + ".binary", std::string(), {}, {}, {},
                              0, 0, {}, {}});
  }
  for (unsigned round = 0; round < setup.options.repeat; ++round) {
    std::cerr << "Six types: builds and loads, round " << round + 1 << std::endl;
    for (TypeFigures &figures : all) {
      if (figures.failure.empty()) MeasureLoads(setup, figures);
    }
  }
  std::cerr << "Six types: queries" << std::endl;
  MeasureQueries(setup, all);
  return all;
}

const TypeFigures *Find(const std::vector<TypeFigures> &all, ModelType type) {
  for (const TypeFigures &figures : all) {
    if (figures.type == type && figures.failure.empty()) return &figures;
  }
  return nullptr;
}

std::string MiBText(uint64_t bytes) { return Fixed(static_cast<double>(bytes) / kMiB, 1); }

// Peak RSS of a trie build against model + sort_memory + 64 MiB.
std::string RSSCell(const ChildResult &build, const TypeFigures &figures, uint64_t sort_mib) {
  if (!lm::ngram::IsTrie(figures.type)) return MiBText(build.peak_rss);
  const uint64_t limit = figures.region + ((sort_mib + 64) << 20);
  return Marked(MiBText(build.peak_rss) + " <= " + MiBText(limit), build.peak_rss <= limit);
}

// The build with little sort memory: its time and peak RSS (tries only).
std::string SmallSortCell(const TypeFigures &figures, uint64_t sort_mib) {
  if (!lm::ngram::IsTrie(figures.type)) return "";
  return Fixed(figures.small_sort_build.seconds, 3) + " s; " + RSSCell(figures.small_sort_build, figures, sort_mib);
}

std::string BytesPerGramCell(const Setup &setup, const std::vector<TypeFigures> &all, const TypeFigures &figures) {
  const double per_gram = static_cast<double>(figures.region) / static_cast<double>(setup.ngrams);
  const TypeFigures *probing = Find(all, lm::ngram::PROBING);
  if (figures.type != lm::ngram::QUANT_ARRAY_TRIE || !probing) return Fixed(per_gram, 2);
  const double limit = static_cast<double>(probing->region) / static_cast<double>(setup.ngrams) / 4.0;
  return Marked(Fixed(per_gram, 2) + " <= " + Fixed(limit, 2), per_gram <= limit);
}

std::string RegionCheckCell(const TypeFigures &figures) {
  if (figures.expected_region == figures.region) return "yes, " + std::to_string(figures.region);
  return "**no: " + std::to_string(figures.region) + " != " + std::to_string(figures.expected_region) + "**";
}

std::string BuildRatioCell(const std::vector<TypeFigures> &all, const TypeFigures &figures) {
  const TypeFigures *probing = Find(all, lm::ngram::PROBING);
  if (!probing) return "n/a (no probing)";
  const double ratio = figures.build.seconds / probing->build.seconds;
  return lm::ngram::IsTrie(figures.type) ? Marked(Fixed(ratio, 2) + "x", ratio <= 2.5) : Fixed(ratio, 2) + "x";
}

void PrintSizeTable(const Setup &setup, const std::vector<TypeFigures> &all) {
  const uint64_t small = setup.options.small_sort_mib;
  std::cout << "| type | model region (MiB) | bytes per n-gram | region = Size(counts)? | ARPA -> binary (s) "
               "| / probing (<= 2.5x) | peak RSS of the build (MiB), sort_memory "
            << kDefaultSortMiB << " MiB (<= model + " << kDefaultSortMiB + 64
            << " MiB) | ARPA -> binary with sort_memory "
            << small << " MiB: time; peak RSS (<= model + " << small + 64 << " MiB) |\n"
            << "|---|---|---|---|---|---|---|---|\n";
  for (const TypeFigures &figures : all) {
    std::cout << "| " << lm::ngram::kModelNames[figures.type];
    if (!figures.failure.empty()) {
      std::cout << " | " << figures.failure << " | | | | | | |\n";
      continue;
    }
    std::cout << " | " << MiBText(figures.region) << " | " << BytesPerGramCell(setup, all, figures) << " | "
              << RegionCheckCell(figures) << " | " << Fixed(figures.build.seconds, 3) << " | "
              << BuildRatioCell(all, figures) << " | " << RSSCell(figures.build, figures, kDefaultSortMiB) << " | "
              << SmallSortCell(figures, small) << " |\n";
  }
}

std::string PerplexityCell(const ScoreTotals &totals, const TypeFigures *trie, const ScoreTotals TypeFigures::*which,
                           ModelType type) {
  std::string cell = Fixed(totals.Perplexity(), 3);
  if (!lm::ngram::IsQuantized(type) || !trie) return cell;
  const double change = 100.0 * (totals.Perplexity() / (trie->*which).Perplexity() - 1.0);
  return Marked(cell + ", " + (change >= 0 ? "+" : "") + Fixed(change, 2) + "%", std::fabs(change) <= 1.0);
}

std::string QueryCell(const Irstlm &irst, const TypeFigures &figures) {
  const double wps = figures.queries.WordsPerSecond();
  std::string cell = Fixed(wps / 1e6, 2) + "M";
  if (!irst.ran) return cell;
  const double ratio = wps / irst.WordsPerSecond();
  return lm::ngram::IsTrie(figures.type) ? cell + "; " + Marked(Fixed(ratio, 2) + "x", ratio >= 3.0)
                              : cell + "; " + Fixed(ratio, 2) + "x";
}

void PrintQueryTable(const Setup &setup, const Irstlm &irst, const std::vector<TypeFigures> &all) {
  const bool heldout = !setup.options.heldout_path.empty();
  std::cout << "| type | binary load, LAZY (ms) | % of ARPA -> binary (< 1%) "
               "| BaseScore words/s; x IRSTLM (tries >= 3x) "
               "| perplexity of the text (quantized: change, <= 1%) |"
            << (heldout ? " held-out perplexity (quantized: change, <= 1%) |" : "") << "\n"
            << "|---|---|---|---|---|" << (heldout ? "---|" : "") << "\n";
  const TypeFigures *trie = Find(all, lm::ngram::TRIE);
  for (const TypeFigures &figures : all) {
    std::cout << "| " << lm::ngram::kModelNames[figures.type];
    if (!figures.failure.empty()) {
      std::cout << " | " << figures.failure << " | | | |" << (heldout ? " |" : "") << "\n";
      continue;
    }
    const double percent = 100.0 * figures.lazy.seconds / figures.build.seconds;
    std::cout << " | " << Fixed(figures.lazy.seconds * 1e3, 2) << " | "
              << (lm::ngram::IsTrie(figures.type) ? Marked(Fixed(percent, 3) + "%", percent < 1.0) : Fixed(percent, 3) + "%")
              << " | " << QueryCell(irst, figures) << " | "
              << PerplexityCell(figures.queries, trie, &TypeFigures::queries, figures.type) << " |";
    if (heldout) std::cout << ' ' << PerplexityCell(figures.heldout, trie, &TypeFigures::heldout, figures.type) << " |";
    std::cout << "\n";
  }
  if (irst.ran) {
    std::cout << "| IRSTLM compile-lm | | | "
              << Fixed(irst.WordsPerSecond() / 1e6, 2) << "M | " << Fixed(irst.pp, 2) << " |" << (heldout ? " |" : "")
              << "\n";
  }
}

// Bytes of the largest order's sort records (4 per word, then the weights):
// the trie builder's sort buffer is at most this, whatever sort_memory says.
uint64_t SortNeed(const std::vector<uint64_t> &counts) {
  uint64_t need = 0;
  for (std::size_t n = 2; n <= counts.size(); ++n) {
    need = std::max<uint64_t>(need, (4 * n + (n == counts.size() ? 4 : 8)) * counts[n - 1]);
  }
  return need;
}

void TypesTables(const Setup &setup, const Irstlm &irst) {
  const std::vector<TypeFigures> all = MeasureTypes(setup);
  std::cout << "\nAll six types, " << setup.ngrams << " n-grams; text " << setup.options.text_path;
  if (!setup.options.heldout_path.empty()) std::cout << ", held-out text " << setup.options.heldout_path;
  std::cout << "; the trie's sort buffer is the smaller of sort_memory and " << MiBText(SortNeed(setup.counts))
            << " MiB; best of " << setup.options.repeat << "\n\n";
  PrintSizeTable(setup, all);
  std::cout << "\n";
  PrintQueryTable(setup, irst, all);
  std::cout << std::flush;
}

Setup MakeSetup(const Options &options) {
  Setup setup;
  setup.options = options;
  setup.self = SelfPath();
  setup.prefix = options.tmp + "/quarn_model_bench_" + std::to_string(getpid());
  setup.text = ReadAll(options.text_path);
  setup.arpa_mb = static_cast<double>(FileBytes(options.arpa)) / 1e6;
  util::FilePiece in(options.arpa.c_str());
  lm::ReadARPACounts(in, setup.counts);
  for (uint64_t count : setup.counts) setup.ngrams += count;
  return setup;
}

int Benchmark(int argc, char *argv[]) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return Usage(argv[0]);
  const Setup setup = MakeSetup(options);
  ProbingFigures probing;
  const bool probing_loads = MeasureProbing(setup, probing);
  const Irstlm irst = RunIrstlm(setup);
  if (probing_loads) {
    PrintProbing(setup, irst, probing);
  } else {
    PrintModelLine(setup);
    std::cout << ".  The probing model refuses it:\n\n    " << probing.arpa.failure << "\n";
  }
  std::cout << std::flush;
  TypesTables(setup, irst);
  return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  try {
    if (argc == 4 && !std::strcmp(argv[1], "--child-load")) {
      return ChildLoad(argv[2], static_cast<util::LoadMethod>(std::atoi(argv[3])));
    }
    if (argc == 7 && !std::strcmp(argv[1], "--child-virtual")) return ChildVirtual(argv + 2);
    return Benchmark(argc, argv);
  } catch (const std::exception &e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }
}
