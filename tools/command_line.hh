// What the command-line tools share: strict parsing of option values, the
// option loop, how main reports a failure, and an output file that appears
// only once it is complete.
//
// Exit statuses: 0 on success, 1 when the library (or a file) fails, 2 for a
// command line that cannot be parsed, 128 + the signal's number when SIGINT,
// SIGTERM or SIGHUP stops a tool that has a PendingOutput.  A value that
// parses but that the library refuses (a probing multiplier of 0.5, 40
// quantization bits) fails with the library's message and status 1; tools
// check such values (lm::ngram::CheckBuildConfig) before reading any input.
#ifndef TOOLS_COMMAND_LINE_H
#define TOOLS_COMMAND_LINE_H

#include "util/pending_file.hh"

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace tools {

constexpr int kFailureStatus = 1;
constexpr int kUsageStatus = 2;

// A command line that cannot be parsed; main prints the message and the
// usage text and exits with kUsageStatus.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The value of option -`option`; the whole text must be one number.
float FloatValue(char option, const char *text);
// An integer from 0 to 255.
uint8_t BitsValue(char option, const char *text);
// A thread count from 0 (one per processor) to kMaxThreads.
unsigned ThreadsValue(char option, const char *text);
constexpr unsigned kMaxThreads = 1024;
// A memory size as util::ParseSize reads it: 512M, 2G, 80%, ...
uint64_t SizeValue(char option, const char *text);

// The value paired with `text` in `choices`.
template <class T>
T ChoiceValue(char option, const char *text, std::initializer_list<std::pair<const char *, T>> choices) {
  std::string names;
  for (const auto &[name, value] : choices) {
    if (std::string(name) == text) return value;
    names += names.empty() ? name : std::string(", ") + name;
  }
  throw UsageError(std::string("-") + option + " takes one of " + names + ", not '" + text + "'");
}

// Runs getopt over the arguments with `letters` (getopt's option string),
// calling `handle` with each option letter and its value (null for options
// without one).  Two options belong to every tool and are handled here: -h
// prints `usage` to standard output and exits with status 0; -v makes
// ReportFailure print the library's whole message.  Throws UsageError for an unknown option or a
// missing value.  Returns the index in argv of the first operand; operands
// may also come before options.
int ParseOptions(int argc, char *argv[], const char *letters, const char *usage,
                 const std::function<void(char, const char *)> &handle);

// Write "<program>: <message>" (and for a usage error the usage text) to
// standard error and return the exit status.
int ReportUsageError(const char *program, const char *usage, const UsageError &e);
// The message is UserMessage(e), or with -v the whole text.  Compressed
// input (util::CompressedException) gets a second line, "<program>:
// decompress it first (for example gunzip -k FILE)", unless `compressed_hint`
// is false (a tool that reads compressed text itself).
int ReportFailure(const char *program, const std::exception &e, bool compressed_hint = true);

// What a person acts on: the text of `e` without the header line that a
// util::Exception opens with (source, line, function, class, condition);
// any other exception's text unchanged.
std::string UserMessage(const std::exception &e);

// The output file of a tool while it is written: a new file beside OUTPUT
// (OUTPUT.XXXXXX) that Commit moves to OUTPUT once it is complete, and that
// is removed when the object goes away uncommitted (a failure) or when
// SIGINT, SIGTERM or SIGHUP arrives meanwhile; the signal then ends the
// process with status 128 + its number.  So OUTPUT is always either the
// finished file or what it was before.  At most one exists at a time; it
// holds the three signals' handlers for its lifetime.
class PendingOutput {
 public:
  // Throws util::ErrnoException when the file cannot be created.
  explicit PendingOutput(const std::string &output);
  ~PendingOutput();

  PendingOutput(const PendingOutput &) = delete;
  PendingOutput &operator=(const PendingOutput &) = delete;

  // The name to write to, and the file open for writing.
  const char *Path() const { return file_->Path(); }
  int Descriptor() const { return file_->Descriptor(); }

  // Gives the file the permissions of a newly created one and moves it to
  // OUTPUT.  Throws util::ErrnoException.
  void Commit();

 private:
  std::unique_ptr<util::PendingFile> file_;
};

}  // namespace tools

#endif  // TOOLS_COMMAND_LINE_H
