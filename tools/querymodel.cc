// querymodel: scores sentences with a model and reports every word's result,
// each sentence's total and a summary with the perplexity.
#include "lm/config.hh"
#include "lm/model.hh"
#include "lm/score_batch.hh"
#include "lm/state.hh"
#include "lm/virtual_interface.hh"
#include "tools/command_line.hh"
#include "util/file.hh"
#include "util/file_piece.hh"
#include "util/string_piece.hh"
#include "util/split_words.hh"
#include "util/usage.hh"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kProgram[] = "querymodel";

constexpr char kUsage[] =
    "Usage: querymodel [options] MODEL [FILE...]\n"
    "Scores each line of the FILEs (or of standard input, also named -) as a\n"
    "sentence with MODEL, an ARPA file or a binary model file.  Prints one line per\n"
    "word (the word, its log10 probability, the length of the n-gram that matched\n"
    "and OOV when the model does not know the word), the sentence's total and OOV\n"
    "count, and at the end a summary: sentences, words, OOVs, total log10\n"
    "probability, perplexity including and excluding OOVs, load and query time.\n"
    "\n"
    "  -s         print only the summary\n"
    "  -S         print each sentence's total and OOV count, but no per-word\n"
    "             lines (with -j: objects without their words)\n"
    "  -t N       score on N threads (0: one per processor) when no per-word\n"
    "             lines are printed (-s or -S); per-word output is scored on\n"
    "             one thread.  The totals are the same bit for bit\n"
    "  -f         score lines as fragments: no <s> context and no </s>\n"
    "  -j         JSON lines: one object per sentence, then one for the summary;\n"
    "             the bytes of a word that are not valid UTF-8 are replaced, each\n"
    "             ill-formed sequence by one U+FFFD\n"
    "  -l METHOD  how a binary model comes into memory: lazy (mapped, paged in on\n"
    "             use), populate-or-lazy, populate-or-read (mapped and paged in at\n"
    "             once; the default) or read (read into memory)\n"
    "  -n         no progress bar while an ARPA file loads\n"
    "  -v         on failure, print the library's whole message (where it was\n"
    "             raised)\n"
    "  -h         print this help\n";

struct Options {
  lm::ngram::Config config;
  bool summary_only = false;
  bool totals_only = false;
  unsigned threads = 1;
  bool boundaries = true;
  bool json = false;
  const char *model = nullptr;
  // "-" is standard input.
  std::vector<const char *> files;
};

void HandleOption(Options &options, char letter, const char *value) {
  switch (letter) {
    case 's': options.summary_only = true; break;
    case 'S': options.totals_only = true; break;
    case 't': options.threads = tools::ThreadsValue(letter, value); break;
    case 'f': options.boundaries = false; break;
    case 'j': options.json = true; break;
    case 'l':
      options.config.load_method = tools::ChoiceValue<util::LoadMethod>(
          letter, value,
          {{"lazy", util::LAZY}, {"populate-or-lazy", util::POPULATE_OR_LAZY},
           {"populate-or-read", util::POPULATE_OR_READ}, {"read", util::READ}});
      break;
    case 'n': options.config.show_progress = false; break;
  }
}

Options ParseCommandLine(int argc, char *argv[]) {
  Options options;
  const int first = tools::ParseOptions(argc, argv, "sSt:fjl:n", kUsage, [&options](char letter, const char *value) {
    HandleOption(options, letter, value);
  });
  if (first == argc) throw tools::UsageError("no MODEL given");
  options.model = argv[first];
  options.files.assign(argv + first + 1, argv + argc);
  if (options.files.empty()) options.files.push_back("-");
  return options;
}

struct WordScore {
  StringPiece word;
  float log_prob;
  unsigned ngram_length;
  bool oov;
};

// What the summary reports.
struct Totals {
  uint64_t sentences = 0;
  // Words of the text; </s> is not one of them.
  uint64_t words = 0;
  // Words and each </s>: what the perplexity averages over.
  uint64_t predictions = 0;
  uint64_t oovs = 0;
  double log_prob = 0.0;
  double oov_log_prob = 0.0;
  double load_seconds = 0.0;
  double query_seconds = 0.0;

  double Perplexity() const { return PerplexityOf(log_prob, predictions); }
  double PerplexityExcludingOOVs() const { return PerplexityOf(log_prob - oov_log_prob, predictions - oovs); }

  // NaN when nothing was predicted.
  static double PerplexityOf(double sum, uint64_t count) {
    return count ? std::pow(10.0, -sum / count) : std::numeric_limits<double>::quiet_NaN();
  }
};

// Scores the words of `line`, and then </s> when `boundaries` is set, into
// `scores`.
void ScoreLine(const lm::base::Model &model, StringPiece line, bool boundaries, std::vector<WordScore> &scores) {
  const lm::base::Vocabulary &vocab = model.VocabularyView();
  lm::ngram::State states[2];
  if (boundaries) {
    model.BeginSentenceWrite(&states[0]);
  } else {
    model.NullContextWrite(&states[0]);
  }
  int current = 0;
  scores.clear();
  auto score = [&](StringPiece word, lm::WordIndex index, bool oov) {
    const lm::FullScoreReturn ret = model.BaseFullScore(&states[current], index, &states[1 - current]);
    current = 1 - current;
    scores.push_back({word, ret.prob, ret.ngram_length, oov});
  };
  util::SentenceWords words(line, util::NulByte::kEndsWord);
  for (StringPiece word; words.Next(word);) {
    const lm::WordIndex index = vocab.Index(word);
    score(word, index, index == vocab.UnknownIndex());
  }
  if (boundaries) score("</s>", vocab.EndSentenceIndex(), false);
}

// Sentence total in 32 bits, as lm::base::ScoreSentence adds.
float SentenceTotal(const std::vector<WordScore> &scores) {
  float total = 0.0f;
  for (const WordScore &score : scores) total += score.log_prob;
  return total;
}

uint64_t SentenceOOVs(const std::vector<WordScore> &scores) {
  uint64_t oovs = 0;
  for (const WordScore &score : scores) oovs += score.oov;
  return oovs;
}

void Count(const std::vector<WordScore> &scores, bool boundaries, Totals &totals) {
  ++totals.sentences;
  totals.predictions += scores.size();
  totals.words += scores.size() - boundaries;
  for (const WordScore &score : scores) {
    totals.log_prob += score.log_prob;
    if (score.oov) {
      ++totals.oovs;
      totals.oov_log_prob += score.log_prob;
    }
  }
}

// The shortest text that reads back as the same value.
template <class T> struct Shortest {
  T value;
};

template <class T> std::ostream &operator<<(std::ostream &out, Shortest<T> number) {
  char buffer[32];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof(buffer), number.value);
  return out.write(buffer, result.ptr - buffer);
}

// A JSON number; JSON has no NaN, so a perplexity over nothing is null.
template <class T> struct JsonNumber {
  T value;
};

template <class T> std::ostream &operator<<(std::ostream &out, JsonNumber<T> number) {
  if (!std::isfinite(number.value)) return out << "null";
  return out << Shortest<T>{number.value};
}

// The length of the well-formed UTF-8 sequence at the start of [at, end), or
// 0 when there is none.  A lone or broken sequence, an overlong form, a
// surrogate or a code point above U+10FFFF is not well-formed.
std::size_t Utf8SequenceLength(const unsigned char *at, const unsigned char *end) {
  const unsigned char lead = *at;
  if (lead < 0x80) return 1;
  // Lead byte: total length and the range of the second byte.
  std::size_t length;
  unsigned char low = 0x80, high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (end - at < static_cast<std::ptrdiff_t>(length) || at[1] < low || at[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (at[i] < 0x80 || at[i] > 0xbf) return 0;
  }
  return length;
}

// The bytes of the ill-formed sequence at `at` that one U+FFFD replaces:
// the longest start of a well-formed sequence there, at least one byte.
std::size_t Utf8ReplacedLength(const unsigned char *at, const unsigned char *end) {
  for (std::size_t length = std::min<std::ptrdiff_t>(3, end - at); length > 1; --length) {
    unsigned char completed[4] = {0x80, 0x80, 0x80, 0x80};
    std::copy(at, at + length, completed);
    if (Utf8SequenceLength(completed, completed + 4) > length) return length;
  }
  return 1;
}

// A JSON string of a word's bytes: quotes, backslashes and control bytes are
// escaped and the UTF-8 text is written as it is; each ill-formed part of
// the bytes becomes one U+FFFD (as "\ufffd"), as a UTF-8 decoder that
// replaces errors gives it, so the output is valid JSON for any bytes.
struct JsonString {
  StringPiece text;
};

std::ostream &operator<<(std::ostream &out, JsonString string) {
  constexpr char kHex[] = "0123456789abcdef";
  out << '"';
  const unsigned char *at = reinterpret_cast<const unsigned char *>(string.text.data());
  const unsigned char *const end = at + string.text.size();
  while (at != end) {
    const unsigned char code = *at;
    const std::size_t length = Utf8SequenceLength(at, end);
    if (!length) {
      out << "\\ufffd";
      at += Utf8ReplacedLength(at, end);
    } else if (code == '"' || code == '\\') {
      out << '\\' << static_cast<char>(code);
      ++at;
    } else if (code < 0x20 || code == 0x7f) {
      out << "\\u00" << kHex[code >> 4] << kHex[code & 15];
      ++at;
    } else {
      out.write(reinterpret_cast<const char *>(at), static_cast<std::streamsize>(length));
      at += length;
    }
  }
  return out << '"';
}

void PrintSentenceText(std::ostream &out, const std::vector<WordScore> &scores, bool with_words) {
  for (const WordScore &score : scores) {
    if (!with_words) break;
    out << score.word << '\t' << Shortest<float>{score.log_prob} << '\t' << score.ngram_length
        << (score.oov ? "\tOOV\n" : "\n");
  }
  out << "Total: " << Shortest<float>{SentenceTotal(scores)} << "\tOOVs: " << SentenceOOVs(scores) << '\n';
}

void PrintSentenceJson(std::ostream &out, const std::vector<WordScore> &scores, bool with_words) {
  out << "{\"type\": \"sentence\", ";
  if (with_words) {
    out << "\"words\": [";
    for (const WordScore &score : scores) {
      out << (&score == scores.data() ? "" : ", ") << "{\"word\": " << JsonString{score.word}
          << ", \"log_prob\": " << JsonNumber<float>{score.log_prob}
          << ", \"ngram_length\": " << score.ngram_length << ", \"oov\": " << (score.oov ? "true" : "false")
          << '}';
    }
    out << "], ";
  }
  out << "\"total\": " << JsonNumber<float>{SentenceTotal(scores)} << ", \"oovs\": " << SentenceOOVs(scores)
      << "}\n";
}

void PrintSummaryText(std::ostream &out, const Totals &totals) {
  out << std::setprecision(9) << "Sentences: " << totals.sentences << "\nWords: " << totals.words
      << "\nOOVs: " << totals.oovs << "\nTotal log10 probability: " << totals.log_prob
      << "\nPerplexity including OOVs: " << totals.Perplexity()
      << "\nPerplexity excluding OOVs: " << totals.PerplexityExcludingOOVs()
      << "\nLoad time: " << totals.load_seconds << " s\nQuery time: " << totals.query_seconds << " s\n";
}

void PrintSummaryJson(std::ostream &out, const Totals &totals) {
  out << "{\"type\": \"summary\", \"sentences\": " << totals.sentences << ", \"words\": " << totals.words
      << ", \"oovs\": " << totals.oovs << ", \"total\": " << JsonNumber<double>{totals.log_prob}
      << ", \"perplexity\": " << JsonNumber<double>{totals.Perplexity()}
      << ", \"perplexity_excluding_oovs\": " << JsonNumber<double>{totals.PerplexityExcludingOOVs()}
      << ", \"load_seconds\": " << JsonNumber<double>{totals.load_seconds}
      << ", \"query_seconds\": " << JsonNumber<double>{totals.query_seconds} << "}\n";
}

// The text of the file `name`, or null when it is empty (it has no lines).
// A directory is refused by name.
std::unique_ptr<util::FilePiece> OpenText(const char *name) {
  const bool standard_input = util::InputFileIsStdin(name);
  util::scoped_fd fd(standard_input ? util::DupOrThrow(0) : util::OpenReadOrThrow(name));
  if (standard_input) name = "stdin";
  if (util::IsDirectory(fd.get())) throw std::runtime_error(std::string(name) + " is a directory, not a text file");
  if (util::SizeFile(fd.get()) == 0) return nullptr;
  return std::make_unique<util::FilePiece>(fd.release(), name);
}

// Counts a scored sentence and prints it as the options say.
void Report(const std::vector<WordScore> &scores, const Options &options, Totals &totals) {
  Count(scores, options.boundaries, totals);
  if (options.summary_only) return;
  if (options.json) {
    PrintSentenceJson(std::cout, scores, !options.totals_only);
  } else {
    PrintSentenceText(std::cout, scores, !options.totals_only);
  }
}

// Scores every line of every file on this thread.
void ScoreFiles(const lm::base::Model &model, const Options &options, Totals &totals) {
  std::vector<WordScore> scores;
  for (const char *name : options.files) {
    std::unique_ptr<util::FilePiece> text = OpenText(name);
    if (!text) continue;
    for (util::LineIterator line(*text); line; ++line) {
      const double start = util::WallTime();
      ScoreLine(model, *line, options.boundaries, scores);
      totals.query_seconds += util::WallTime() - start;
      Report(scores, options, totals);
    }
  }
}

// Lines read and scored together on several threads.  Each thread scores a
// contiguous share of the block word by word; the results are then counted
// and printed in input order, so every total is the one a single thread
// adds up.  The buffers keep their room from block to block.
class LineBlock {
 public:
  static constexpr std::size_t kLines = 1 << 14;

  // Reads up to kLines more lines; false when the text has none left.
  bool Read(util::LineIterator &line) {
    used_ = 0;
    for (; line && used_ < kLines; ++line, ++used_) {
      if (used_ == lines_.size()) {
        lines_.emplace_back();
        scores_.emplace_back();
      }
      lines_[used_].assign(line->data(), line->size());
    }
    return used_ != 0;
  }

  void Score(const lm::base::Model &model, bool boundaries, unsigned threads) {
    const std::size_t shares = std::max<std::size_t>(1, std::min<std::size_t>(threads, used_ / 64));
    std::vector<std::jthread> helpers;
    for (std::size_t share = 1; share < shares; ++share)
      helpers.emplace_back([=, this, &model] { ScoreShare(model, boundaries, share, shares); });
    ScoreShare(model, boundaries, 0, shares);
  }

  void Report(const Options &options, Totals &totals) const {
    for (std::size_t i = 0; i < used_; ++i) ::Report(scores_[i], options, totals);
  }

 private:
  void ScoreShare(const lm::base::Model &model, bool boundaries, std::size_t share, std::size_t shares) {
    for (std::size_t i = used_ * share / shares; i < used_ * (share + 1) / shares; ++i)
      ScoreLine(model, lines_[i], boundaries, scores_[i]);
  }

  std::vector<std::string> lines_;
  std::vector<std::vector<WordScore>> scores_;
  std::size_t used_ = 0;
};

// ScoreFiles on `threads` threads, for output without per-word lines.
void ScoreFilesOnThreads(const lm::base::Model &model, const Options &options, unsigned threads, Totals &totals) {
  LineBlock block;
  for (const char *name : options.files) {
    std::unique_ptr<util::FilePiece> text = OpenText(name);
    if (!text) continue;
    for (util::LineIterator line(*text); block.Read(line);) {
      const double start = util::WallTime();
      block.Score(model, options.boundaries, threads);
      totals.query_seconds += util::WallTime() - start;
      block.Report(options, totals);
    }
  }
}

void Run(const Options &options) {
  Totals totals;
  const double start = util::WallTime();
  const std::unique_ptr<lm::base::Model> model(lm::ngram::LoadVirtual(options.model, options.config));
  totals.load_seconds = util::WallTime() - start;
  const unsigned threads = lm::base::BatchThreads(options.threads);
  if (threads > 1 && (options.summary_only || options.totals_only)) {
    ScoreFilesOnThreads(*model, options, threads, totals);
  } else {
    ScoreFiles(*model, options, totals);
  }
  if (options.json) {
    PrintSummaryJson(std::cout, totals);
  } else {
    PrintSummaryText(std::cout, totals);
  }
  if (!std::cout.flush()) throw std::runtime_error("cannot write to standard output");
}

}  // namespace

int main(int argc, char *argv[]) {
  std::ios::sync_with_stdio(false);
  try {
    Run(ParseCommandLine(argc, argv));
    return 0;
  } catch (const tools::UsageError &e) {
    return tools::ReportUsageError(kProgram, kUsage, e);
  } catch (const std::exception &e) {
    return tools::ReportFailure(kProgram, e);
  }
}
