// Loads a model through the library's public entry point and scores each
// line of standard input: per-word results from BaseFullScore, and the
// sentence total from lm::base::ScoreSentence, which must agree.
#include "lm/model.hh"
#include "lm/score_sentence.hh"
#include "util/file_piece.hh"
#include "util/tokenize_piece.hh"

#include <cmath>
#include <iostream>
#include <memory>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::cerr << "Usage: " << argv[0] << " model < text" << std::endl;
    return 2;
  }
  lm::ngram::Config config;
  config.message_stream = nullptr;
  std::unique_ptr<lm::base::Model> model(lm::ngram::LoadVirtual(argv[1], config, lm::ngram::PROBING));
  const lm::base::Vocabulary &vocab = model->VocabularyView();

  util::FilePiece input(0, "stdin", nullptr, 1 << 20);
  StringPiece line;
  while (input.ReadLineOrEOF(line, '\n', true)) {
    lm::ngram::State state, out;
    model->BeginSentenceWrite(&state);
    float total = 0.0f;
    for (util::TokenIter<util::BoolCharacter, true> word(line, util::BoolCharacter(util::kSpaces)); word; ++word) {
      lm::FullScoreReturn ret = model->BaseFullScore(&state, vocab.Index(*word), &out);
      std::cout << *word << '=' << ret.prob << ' ';
      total += ret.prob;
      state = out;
    }
    total += model->BaseScore(&state, vocab.EndSentenceIndex(), &out);
    std::string sentence = line.as_string();
    float expected = lm::base::ScoreSentence(model.get(), sentence.c_str());
    std::cout << "total=" << total << std::endl;
    if (std::fabs(total - expected) > 1e-4) {
      std::cerr << "ScoreSentence gave " << expected << " but the word scores sum to " << total << std::endl;
      return 1;
    }
  }
  return 0;
}
