// Loads a model through the installed headers and libraries and prints the
// log10 probability of each line of standard input.
//
// Usage: consumer MODEL < text
#include "lm/model.hh"
#include "lm/score_sentence.hh"
#include "util/file_piece.hh"

#include <iostream>
#include <memory>
#include <string>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::cerr << "Usage: " << argv[0] << " MODEL < text" << std::endl;
    return 2;
  }
  try {
    lm::ngram::Config config;
    config.message_stream = nullptr;
    std::unique_ptr<lm::base::Model> model(lm::ngram::LoadVirtual(argv[1], config));
    util::FilePiece input(0, "stdin", nullptr);
    StringPiece line;
    while (input.ReadLineOrEOF(line)) {
      std::cout << lm::base::ScoreSentence(model.get(), line.as_string().c_str()) << '\n';
    }
  } catch (const std::exception &e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }
  return 0;
}
