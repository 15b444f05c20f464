// Load and query benchmark of the probing model, run side by side with
// IRSTLM's compile-lm on the same ARPA file and text.
//
// Usage: model_bench ARPA TEXT [--irstlm PATH|none] [--tmp DIR] [--repeat N]
//
// TEXT holds one sentence per line, words separated by blanks.  Every figure
// is the best of N runs (default 3), timed with the steady clock:
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
// IRSTLM is timed from outside: `compile-lm ARPA --eval=F` on the text with
// "<s>" and "</s>" around each line (so it scores the same words and </s>),
// and on its first line alone, whose time is taken as IRSTLM's load time;
// the difference is its query time.  Peak RSS and processor time come from
// wait4.  Positive log probabilities (an IRSTLM quirk) are read as 0.
//
// The report is a Markdown table on standard output; progress goes to
// standard error.
#include "lm/config.hh"
#include "lm/model.hh"
#include "lm/read_arpa.hh"
#include "lm/state.hh"
#include "lm/virtual_interface.hh"
#include "util/exception.hh"
#include "util/file.hh"
#include "util/file_piece.hh"
#include "util/mmap.hh"
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

// Child mode: load `file` once (an ARPA file, or a binary file by `method`)
// and print "seconds peak_rss_bytes".
int ChildLoad(const char *file, util::LoadMethod method) {
  lm::ngram::Config config = QuietConfig();
  config.load_method = method;
  Clock::time_point start = Clock::now();
  lm::ngram::ProbingModel model(file, config);
  double seconds = Since(start);
  std::cout << std::setprecision(9) << seconds << ' ' << PeakRSS() << std::endl;
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
  double seconds;      // the load alone, timed inside the child
  double cpu_seconds;  // the whole child process
  uint64_t peak_rss;
};

// Loads `file` in a fresh process, so that neither the peak RSS nor the
// heap's state (a block freed by an earlier load can be handed out again
// without page faults) carries over from other measurements.
ChildResult ChildLoadOnce(const std::string &self, const std::string &file, util::LoadMethod method) {
  std::string command = "'" + self + "' --child-load '" + file + "' " + std::to_string(method);
  const double cpu_before = ChildrenCPUSeconds();
  ChildResult result{0.0, 0.0, 0};
  {
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe || std::fscanf(pipe.get(), "%lf %lu", &result.seconds, &result.peak_rss) != 2) {
      std::cerr << "The loading child failed: " << command << std::endl;
      std::exit(1);
    }
  }
  result.cpu_seconds = ChildrenCPUSeconds() - cpu_before;
  return result;
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
  double seconds = 0.0;
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
    while (true) {
      while (at != line_end && (*at == ' ' || *at == '\t')) ++at;
      if (at == line_end) break;
      const char *word_end = at;
      while (word_end != line_end && *word_end != ' ' && *word_end != '\t') ++word_end;
      sum += score(states[current], lookup(StringPiece(at, static_cast<std::size_t>(word_end - at))),
                   states[current ^ 1]);
      current ^= 1;
      ++words;
      at = word_end;
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

struct Row {
  std::string what, ours, theirs, ratio, target, met;
};

std::string Fixed(double value, int digits) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(digits) << value;
  return out.str();
}

std::string YesNo(bool met) { return met ? "yes" : "**no**"; }

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

int Usage(const char *name) {
  std::cerr << "Usage: " << name << " ARPA TEXT [--irstlm PATH|none] [--tmp DIR] [--repeat N]" << std::endl;
  return 2;
}

int Benchmark(int argc, char *argv[]) {
  if (argc < 3) return Usage(argv[0]);
  const std::string arpa = argv[1], text_path = argv[2];
  std::string irstlm = "/usr/lib/irstlm/bin/compile-lm", tmp = "/tmp";
  unsigned repeat = 3;
  for (int i = 3; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage(argv[0]);
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--irstlm") {
      irstlm = value;
    } else if (flag == "--tmp") {
      tmp = value;
    } else if (flag == "--repeat") {
      repeat = static_cast<unsigned>(std::max(1, std::atoi(value.c_str())));
    } else {
      return Usage(argv[0]);
    }
  }
  const bool with_irstlm = irstlm != "none";
  const std::string self = SelfPath();
  const std::string prefix = tmp + "/quarn_model_bench_" + std::to_string(getpid());
  const std::string binary = prefix + ".binary";

  const double arpa_mb = static_cast<double>(FileBytes(arpa)) / 1e6;
  std::vector<uint64_t> counts;
  {
    util::FilePiece in(arpa.c_str());
    lm::ReadARPACounts(in, counts);
  }
  uint64_t ngrams = 0;
  for (uint64_t count : counts) ngrams += count;
  const lm::ngram::Config base_config = QuietConfig();
  const uint64_t model_bytes = lm::ngram::ProbingModel::Size(counts, base_config);

  std::cerr << "ARPA -> probing loads" << std::endl;
  uint64_t peak_rss = std::numeric_limits<uint64_t>::max();
  double arpa_cpu = std::numeric_limits<double>::infinity();
  const double arpa_seconds = Best(repeat, [&] {
    ChildResult result = ChildLoadOnce(self, arpa, util::LAZY);
    peak_rss = std::min(peak_rss, result.peak_rss);
    arpa_cpu = std::min(arpa_cpu, result.cpu_seconds);
    return result.seconds;
  });

  std::vector<Row> rows;
  std::cerr << "Binary writes" << std::endl;
  for (lm::ngram::Config::WriteMethod method : {lm::ngram::Config::WRITE_IN_PLACE, lm::ngram::Config::WRITE_WHEN_DONE}) {
    lm::ngram::Config config = base_config;
    config.binary_output_path = binary.c_str();
    config.binary_write_mode = method;
    const double seconds = Best(repeat, [&] {
      Clock::time_point start = Clock::now();
      lm::ngram::ProbingModel model(arpa.c_str(), config);
      return Since(start);
    });
    rows.push_back({std::string("ARPA -> probing + binary write, ") +
                         (method == lm::ngram::Config::WRITE_IN_PLACE ? "WRITE_IN_PLACE" : "WRITE_WHEN_DONE") + " (s)",
                     Fixed(seconds, 3), "", "", "", ""});
  }
  const double binary_mb = static_cast<double>(FileBytes(binary)) / 1e6;

  std::cerr << "Binary loads" << std::endl;
  std::vector<std::pair<util::LoadMethod, double>> binary_loads;
  for (util::LoadMethod method : {util::LAZY, util::POPULATE_OR_LAZY, util::POPULATE_OR_READ, util::READ}) {
    binary_loads.emplace_back(method, Best(repeat, [&] { return ChildLoadOnce(self, binary, method).seconds; }));
  }

  std::cerr << "Queries" << std::endl;
  const std::string text = ReadAll(text_path);
  lm::ngram::Config query_config = base_config;
  query_config.load_method = util::READ;
  lm::ngram::ProbingModel model(binary.c_str(), query_config);
  const lm::ngram::ProbingVocabulary &vocab = model.GetVocabulary();
  ScoreTotals concrete;
  concrete.seconds = std::numeric_limits<double>::infinity();
  for (unsigned i = 0; i < repeat; ++i) {
    ScoreTotals got = ScoreText(
        text, model.BeginSentenceState(), vocab.EndSentenceIndex(),
        [&vocab](const StringPiece &word) { return vocab.Index(word); },
        [&model](const lm::ngram::State &in, lm::WordIndex word, lm::ngram::State &out) {
          return model.FullScore(in, word, out).prob;
        });
    if (got.seconds < concrete.seconds) concrete = got;
  }
  const lm::base::Model &base = model;
  const lm::base::Vocabulary &base_vocab = base.VocabularyView();
  ScoreTotals virtual_calls;
  virtual_calls.seconds = std::numeric_limits<double>::infinity();
  for (unsigned i = 0; i < repeat; ++i) {
    ScoreTotals got = ScoreText(
        text, *static_cast<const lm::ngram::State *>(base.BeginSentenceRecord()), base_vocab.EndSentenceIndex(),
        [&base_vocab](const StringPiece &word) { return base_vocab.Index(word); },
        [&base](const lm::ngram::State &in, lm::WordIndex word, lm::ngram::State &out) {
          return base.BaseScore(&in, word, &out);
        });
    if (got.seconds < virtual_calls.seconds) virtual_calls = got;
  }
  const double our_wps = static_cast<double>(concrete.words) / concrete.seconds;
  const double our_virtual_wps = static_cast<double>(virtual_calls.words) / virtual_calls.seconds;
  const double our_pp = std::pow(10.0, -concrete.log10 / static_cast<double>(concrete.words));

  double irst_load = 0.0, irst_query = 0.0, irst_words = 0.0, irst_pp = 0.0;
  double irst_load_cpu = std::numeric_limits<double>::infinity();
  uint64_t irst_rss = 0;
  if (with_irstlm) {
    std::cerr << "IRSTLM" << std::endl;
    const std::string full_text = prefix + ".eval", one_line = prefix + ".eval1", output = prefix + ".out";
    {
      std::ofstream full(full_text), first(one_line);
      std::istringstream lines(text);
      std::string line;
      bool first_line = true;
      while (std::getline(lines, line)) {
        full << "<s> " << line << " </s>\n";
        if (first_line) first << "<s> " << line << " </s>\n";
        first_line = false;
      }
    }
    irst_rss = std::numeric_limits<uint64_t>::max();
    irst_load = Best(repeat, [&] {
      External got = RunExternal({irstlm, arpa, "--eval=" + one_line}, output);
      irst_rss = std::min(irst_rss, got.peak_rss);
      irst_load_cpu = std::min(irst_load_cpu, got.cpu_seconds);
      return got.seconds;
    });
    const double irst_full = Best(repeat, [&] {
      External got = RunExternal({irstlm, arpa, "--eval=" + full_text}, output);
      irst_words = IrstlmField(got.output, "Nw=");
      irst_pp = IrstlmField(got.output, "PP=");
      return got.seconds;
    });
    irst_query = irst_full - irst_load;
    std::remove(full_text.c_str());
    std::remove(one_line.c_str());
    std::remove(output.c_str());
  }
  std::remove(binary.c_str());

  // The report.
  const double mib = 1024.0 * 1024.0;
  const double our_mbps = arpa_mb / arpa_seconds;
  const double irst_mbps = with_irstlm ? arpa_mb / irst_load : 0.0;
  const double irst_wps = with_irstlm ? irst_words / irst_query : 0.0;
  auto ratio = [&](double ours, double theirs) { return with_irstlm ? Fixed(ours / theirs, 2) + "x" : ""; };
  auto theirs = [&](double value, int digits) { return with_irstlm ? Fixed(value, digits) : std::string("n/a"); };
  std::vector<Row> report;
  report.push_back({"ARPA -> probing load (s)", Fixed(arpa_seconds, 3), theirs(irst_load, 3),
                    with_irstlm ? Fixed(irst_load / arpa_seconds, 2) + "x faster" : "", "", ""});
  report.push_back({"ARPA -> probing load, processor time of the process (s)", Fixed(arpa_cpu, 3),
                    theirs(irst_load_cpu, 3), with_irstlm ? Fixed(irst_load_cpu / arpa_cpu, 2) + "x less" : "", "",
                    ""});
  report.push_back({"ARPA -> probing load (MB/s of ARPA text)", Fixed(our_mbps, 1), theirs(irst_mbps, 1),
                    ratio(our_mbps, irst_mbps), ">= 100 MB/s and >= 4x",
                    YesNo(our_mbps >= 100.0 && (!with_irstlm || our_mbps >= 4.0 * irst_mbps))});
  report.insert(report.end(), rows.begin(), rows.end());
  for (const auto &[method, seconds] : binary_loads) {
    const bool targeted = method == util::LAZY || method == util::POPULATE_OR_READ;
    report.push_back({std::string("binary load, ") + LoadMethodName(method) + " (s; % of ARPA load)",
                      Fixed(seconds, 4) + "; " + Fixed(100.0 * seconds / arpa_seconds, 2) + "%", "", "",
                      targeted ? "< 5%" : "", targeted ? YesNo(seconds < 0.05 * arpa_seconds) : ""});
  }
  report.push_back({"queries, FullScore (words/s)", Fixed(our_wps / 1e6, 2) + "M", theirs(irst_wps / 1e6, 2) + "M",
                    ratio(our_wps, irst_wps), ">= 4x", with_irstlm ? YesNo(our_wps >= 4.0 * irst_wps) : ""});
  report.push_back({"queries, virtual BaseScore (words/s)", Fixed(our_virtual_wps / 1e6, 2) + "M",
                    theirs(irst_wps / 1e6, 2) + "M", ratio(our_virtual_wps, irst_wps), ">= 4x",
                    with_irstlm ? YesNo(our_virtual_wps >= 4.0 * irst_wps) : ""});
  const double rss_limit = 1.25 * static_cast<double>(model_bytes) + 64.0 * mib;
  report.push_back({"peak RSS while loading ARPA (MiB)", Fixed(static_cast<double>(peak_rss) / mib, 1),
                    theirs(static_cast<double>(irst_rss) / mib, 1), "",
                    "<= 1.25 x model + 64 MiB = " + Fixed(rss_limit / mib, 1),
                    YesNo(static_cast<double>(peak_rss) <= rss_limit)});
  report.push_back({"model size (MiB); bytes per n-gram", Fixed(static_cast<double>(model_bytes) / mib, 1) + "; " +
                                                             Fixed(static_cast<double>(model_bytes) / ngrams, 1),
                    with_irstlm ? "peak RSS / n-gram: " + Fixed(static_cast<double>(irst_rss) / ngrams, 1) : "n/a",
                    "", "", ""});
  report.push_back({"perplexity of the text (words scored)",
                    Fixed(our_pp, 2) + " (" + std::to_string(concrete.words) + ")",
                    with_irstlm ? Fixed(irst_pp, 2) + " (" + std::to_string(static_cast<uint64_t>(irst_words)) + ")"
                                : "n/a",
                    "", "", ""});

  std::cout << "Model " << arpa << ": order " << counts.size() << ", " << ngrams << " n-grams, " << Fixed(arpa_mb, 1)
            << " MB ARPA, " << Fixed(binary_mb, 1) << " MB binary; text " << text_path << " ("
            << concrete.words << " words with `</s>`); best of " << repeat << "\n\n"
            << "| measure | quarn | IRSTLM | ratio | target | met? |\n"
            << "|---|---|---|---|---|---|\n";
  for (const Row &row : report) {
    std::cout << "| " << row.what << " | " << row.ours << " | " << row.theirs << " | " << row.ratio << " | "
              << row.target << " | " << row.met << " |\n";
  }
  std::cout << std::flush;
  return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  try {
    if (argc == 4 && !std::strcmp(argv[1], "--child-load")) {
      return ChildLoad(argv[2], static_cast<util::LoadMethod>(std::atoi(argv[3])));
    }
    return Benchmark(argc, argv);
  } catch (const std::exception &e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }
}
