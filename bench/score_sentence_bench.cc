// Native side of the Python benchmark: times lm::base::ScoreSentence on the
// sentences that bench/python_bench.py times through quarn.Model.score, so
// that the difference is the cost of the Python layer.  Also prints the
// native scores, and can write a binary model file, for the Python tests.
//
// Usage: score_sentence_bench [--print] [--type TYPE] [--binary OUT] [--repeat N] MODEL SENTENCES
//
// SENTENCES holds one sentence per line.  By default the whole list is scored
// again and again for at least 0.2 s, N times (default 5), and the fastest
// pass over the list is reported on standard output as
//   ns_per_sentence X
//   ns_per_word Y        (words counted as ScoreSentence splits them, </s> excluded)
// --print prints instead the score of each sentence, one per line, with nine
// significant digits (enough to give back the exact 32-bit float).
// --binary OUT writes a binary model file OUT while loading MODEL (ARPA).
// --type TYPE chooses the data structure built from ARPA text: probing (the
// default), rest_probing, trie, quant_trie, array_trie or quant_array_trie.
#include "lm/config.hh"
#include "lm/model.hh"
#include "lm/score_sentence.hh"
#include "lm/virtual_interface.hh"
#include "util/split_words.hh"
#include "util/string_piece.hh"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Options {
  bool print = false;
  lm::ngram::ModelType type = lm::ngram::PROBING;
  const char *binary = nullptr;
  int repeat = 5;
  const char *model = nullptr;
  const char *sentences = nullptr;
};

[[noreturn]] void Usage() {
  std::cerr << "Usage: score_sentence_bench [--print] [--type TYPE] [--binary OUT] [--repeat N] MODEL SENTENCES\n";
  std::exit(2);
}

lm::ngram::ModelType ParseType(const char *name) {
  const std::optional<lm::ngram::ModelType> type = lm::ngram::TypeNamed(name);
  if (!type) Usage();
  return *type;
}

Options Parse(int argc, char **argv) {
  Options options;
  std::vector<const char *> positional;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--print")) {
      options.print = true;
    } else if (!std::strcmp(argv[i], "--type") && i + 1 < argc) {
      options.type = ParseType(argv[++i]);
    } else if (!std::strcmp(argv[i], "--binary") && i + 1 < argc) {
      options.binary = argv[++i];
    } else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) {
      options.repeat = std::max(1, std::atoi(argv[++i]));
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() != 2) Usage();
  options.model = positional[0];
  options.sentences = positional[1];
  return options;
}

std::vector<std::string> ReadLines(const char *name) {
  std::ifstream in(name);
  if (!in) {
    std::cerr << "Cannot open " << name << '\n';
    std::exit(1);
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t CountWords(const std::vector<std::string> &sentences) {
  std::size_t words = 0;
  for (const std::string &sentence : sentences) {
    // As ScoreSentence splits them.
    util::SentenceWords split(StringPiece(sentence.data(), sentence.size()), util::NulByte::kEndsSentence);
    for (StringPiece word; split.Next(word);) ++words;
  }
  return words;
}

// Best time of one pass over all sentences, in nanoseconds, over `repeat`
// rounds of passes that last at least 0.2 s each.
double BestPassNs(const lm::base::Model &model, const std::vector<std::string> &sentences, int repeat) {
  typedef std::chrono::steady_clock Clock;
  double best = std::numeric_limits<double>::infinity();
  volatile float sink = 0.0f;
  for (int round = 0; round < repeat; ++round) {
    Clock::time_point round_start = Clock::now(), start, stop;
    do {
      start = Clock::now();
      float sum = 0.0f;
      for (const std::string &sentence : sentences) sum += lm::base::ScoreSentence(&model, sentence.c_str());
      sink = sink + sum;
      stop = Clock::now();
      best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
    } while (stop - round_start < std::chrono::milliseconds(200));
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  Options options = Parse(argc, argv);
  try {
    lm::ngram::Config config;
    config.show_progress = false;
    config.arpa_complain = lm::ngram::Config::NONE;
    config.binary_output_path = options.binary;
    std::unique_ptr<lm::base::Model> model(lm::ngram::LoadVirtual(options.model, config, options.type));
    std::vector<std::string> sentences = ReadLines(options.sentences);
    if (options.print) {
      for (const std::string &sentence : sentences)
        std::printf("%.9g\n", lm::base::ScoreSentence(model.get(), sentence.c_str()));
      return 0;
    }
    if (sentences.empty()) {
      std::cerr << "No sentences in " << options.sentences << '\n';
      return 1;
    }
    double pass = BestPassNs(*model, sentences, options.repeat);
    std::printf("ns_per_sentence %.1f\n", pass / sentences.size());
    std::printf("ns_per_word %.2f\n", pass / std::max<std::size_t>(1, CountWords(sentences)));
  } catch (const std::exception &e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}
