#include "tools/command_line.hh"

#include "util/exception.hh"
#include "util/pending_file.hh"
#include "util/usage.hh"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <iostream>
#include <limits>
#include <string_view>
#include <system_error>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tools {
namespace {

// Set by -v.
bool verbose = false;

// The file that a PendingOutput is writing, for the signal handler; null
// when there is none.
std::atomic<const char *> pending_path{nullptr};
static_assert(std::atomic<const char *>::is_always_lock_free, "the signal handler reads pending_path");

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous_actions[std::size(kCleanupSignals)];

extern "C" void RemovePendingOutputAndExit(int signal) {
  if (const char *path = pending_path.load()) unlink(path);
  _exit(128 + signal);
}

// Installs the handler for the cleanup signals, except those that the
// process ignores (as nohup and background jobs of a shell do).
void InstallCleanupHandlers() {
  struct sigaction action = {};
  action.sa_handler = RemovePendingOutputAndExit;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
    sigaction(kCleanupSignals[i], nullptr, &previous_actions[i]);
    if (previous_actions[i].sa_handler != SIG_IGN) sigaction(kCleanupSignals[i], &action, nullptr);
  }
}

void RestoreCleanupHandlers() {
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
    sigaction(kCleanupSignals[i], &previous_actions[i], nullptr);
  }
}

// Holds the cleanup signals back while it lives, so that the file and its
// registration change together.
class CleanupSignalsBlocked {
 public:
  CleanupSignalsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : kCleanupSignals) sigaddset(&blocked, signal);
    sigprocmask(SIG_BLOCK, &blocked, &before_);
  }
  ~CleanupSignalsBlocked() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
  CleanupSignalsBlocked(const CleanupSignalsBlocked &) = delete;
  CleanupSignalsBlocked &operator=(const CleanupSignalsBlocked &) = delete;

 private:
  sigset_t before_;
};

// Whether `line` is the header of a util::Exception: it begins with
// "<source>:<line number>" (the source has no blank) and ends in ".".
bool IsHeaderLine(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0 || line.empty() || line.back() != '.') return false;
  std::size_t digits = colon + 1;
  while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
  return digits > colon + 1 && line.substr(0, colon).find(' ') == std::string_view::npos;
}

[[noreturn]] void BadValue(char option, const char *text, const char *wanted) {
  throw UsageError(std::string("-") + option + " takes " + wanted + ", not '" + text + "'");
}

// The number that is the whole of `text`.
template <class T> bool ParseWhole(const char *text, T &value) {
  const char *end = text + std::strlen(text);
  const std::from_chars_result result = std::from_chars(text, end, value);
  return result.ec == std::errc() && result.ptr == end && *text;
}

}  // namespace

float FloatValue(char option, const char *text) {
  float value;
  if (!ParseWhole(text, value) || !std::isfinite(value)) BadValue(option, text, "a number");
  return value;
}

uint8_t BitsValue(char option, const char *text) {
  unsigned value;
  if (!ParseWhole(text, value) || value > std::numeric_limits<uint8_t>::max()) {
    BadValue(option, text, "a number of bits from 0 to 255");
  }
  return static_cast<uint8_t>(value);
}

unsigned ThreadsValue(char option, const char *text) {
  unsigned value;
  if (!ParseWhole(text, value) || value > kMaxThreads) {
    BadValue(option, text, ("a thread count from 0 to " + std::to_string(kMaxThreads)).c_str());
  }
  return value;
}

uint64_t SizeValue(char option, const char *text) {
  try {
    return util::ParseSize(text);
  } catch (const std::exception &e) {
    throw UsageError(std::string("-") + option + ": " + UserMessage(e));
  }
}

int ParseOptions(int argc, char *argv[], const char *letters, const char *usage,
                 const std::function<void(char, const char *)> &handle) {
  // A leading ':' makes getopt report a missing value as ':' and stay quiet.
  const std::string getopt_letters = std::string(":hv") + letters;
  opterr = 0;
  for (int letter; (letter = getopt(argc, argv, getopt_letters.c_str())) != -1;) {
    switch (letter) {
      case 'h':
        std::cout << usage;
        std::exit(0);
      case 'v':
        verbose = true;
        break;
      case ':':
        throw UsageError(std::string("-") + static_cast<char>(optopt) + " needs a value");
      case '?':
        throw UsageError(std::string("unknown option -") + static_cast<char>(optopt));
      default:
        handle(static_cast<char>(letter), optarg);
    }
  }
  return optind;
}

int ReportUsageError(const char *program, const char *usage, const UsageError &e) {
  std::cerr << program << ": " << e.what() << "\n" << usage;
  return kUsageStatus;
}

int ReportFailure(const char *program, const std::exception &e, bool compressed_hint) {
  std::cerr << program << ": " << (verbose ? std::string(e.what()) : UserMessage(e)) << '\n';
  if (compressed_hint && dynamic_cast<const util::CompressedException *>(&e)) {
    std::cerr << program << ": decompress it first (for example gunzip -k FILE)\n";
  }
  std::cerr.flush();
  return kFailureStatus;
}

std::string UserMessage(const std::exception &e) {
  const std::string_view text = e.what();
  const std::size_t line_end = text.find('\n');
  if (!dynamic_cast<const util::Exception *>(&e) || line_end == std::string_view::npos ||
      !IsHeaderLine(text.substr(0, line_end))) {
    return std::string(text);
  }
  return std::string(text.substr(line_end + 1));
}

PendingOutput::PendingOutput(const std::string &output) {
  const CleanupSignalsBlocked blocked;
  file_ = std::make_unique<util::PendingFile>(output);
  pending_path = file_->Path();
  InstallCleanupHandlers();
}

PendingOutput::~PendingOutput() {
  const CleanupSignalsBlocked blocked;
  file_.reset();
  pending_path = nullptr;
  RestoreCleanupHandlers();
}

void PendingOutput::Commit() {
  const CleanupSignalsBlocked blocked;
  file_->Commit();
  pending_path = nullptr;
}

}  // namespace tools
