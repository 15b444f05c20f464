// Loads a model through the library's public entry point and scores each
// line of standard input: per-word results from BaseFullScore, and the
// sentence total from lm::base::ScoreSentence, which must agree.
//
// Usage: consumer MODEL [ORDER] < text
//        consumer --trie BINARY ARPA < text
// With ORDER, the model must have that order.  With --trie, the ARPA file is
// built into a trie that is written to BINARY; BINARY is then loaded back
// (as whatever type it records) and must score every word exactly as the
// trie built from ARPA did.
#include "lm/model.hh"
#include "lm/score_sentence.hh"
#include "util/file_piece.hh"
#include "util/tokenize_piece.hh"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

// Scores every line; returns every word score in order, or exits on a
// disagreement with ScoreSentence.
std::vector<float> ScoreLines(const lm::base::Model &model, const std::vector<std::string> &lines) {
  const lm::base::Vocabulary &vocab = model.VocabularyView();
  std::vector<float> scores;
  for (const std::string &line : lines) {
    lm::ngram::State state, out;
    model.BeginSentenceWrite(&state);
    float total = 0.0f;
    for (util::TokenIter<util::BoolCharacter, true> word(line, util::BoolCharacter(util::kSpaces)); word; ++word) {
      lm::FullScoreReturn ret = model.BaseFullScore(&state, vocab.Index(*word), &out);
      std::cout << *word << '=' << ret.prob << ' ';
      scores.push_back(ret.prob);
      total += ret.prob;
      state = out;
    }
    total += model.BaseScore(&state, vocab.EndSentenceIndex(), &out);
    const float expected = lm::base::ScoreSentence(&model, line.c_str());
    std::cout << "total=" << total << std::endl;
    if (std::fabs(total - expected) > 1e-4) {
      std::cerr << "ScoreSentence gave " << expected << " but the word scores sum to " << total << std::endl;
      std::exit(1);
    }
  }
  return scores;
}

std::vector<std::string> ReadLines() {
  util::FilePiece input(0, "stdin", nullptr, 1 << 20);
  std::vector<std::string> lines;
  StringPiece line;
  while (input.ReadLineOrEOF(line, '\n', true)) lines.push_back(line.as_string());
  return lines;
}

}  // namespace

int main(int argc, char *argv[]) {
  const bool trie = argc == 4 && !std::strcmp(argv[1], "--trie");
  if (!trie && argc != 2 && argc != 3) {
    std::cerr << "Usage: " << argv[0] << " MODEL [ORDER] < text\n       " << argv[0] << " --trie BINARY ARPA < text"
              << std::endl;
    return 2;
  }
  lm::ngram::Config config;
  config.message_stream = nullptr;
  const std::vector<std::string> lines = ReadLines();
  if (!trie) {
    std::unique_ptr<lm::base::Model> model(lm::ngram::LoadVirtual(argv[1], config, lm::ngram::PROBING));
    if (argc == 3 && model->Order() != std::atoi(argv[2])) {
      std::cerr << "The model has order " << static_cast<int>(model->Order()) << ", not " << argv[2] << std::endl;
      return 1;
    }
    ScoreLines(*model, lines);
    return 0;
  }

  config.binary_output_path = argv[2];
  std::unique_ptr<lm::base::Model> built(lm::ngram::LoadVirtual(argv[3], config, lm::ngram::TRIE));
  const std::vector<float> expected = ScoreLines(*built, lines);
  config.binary_output_path = nullptr;
  std::unique_ptr<lm::base::Model> loaded(lm::ngram::LoadVirtual(argv[2], config, lm::ngram::PROBING));
  if (!dynamic_cast<lm::ngram::TrieModel *>(loaded.get())) {
    std::cerr << argv[2] << " did not load as a trie" << std::endl;
    return 1;
  }
  if (ScoreLines(*loaded, lines) != expected) {
    std::cerr << "The trie loaded from " << argv[2] << " scores differently from the trie built from " << argv[3]
              << std::endl;
    return 1;
  }
  return 0;
}
