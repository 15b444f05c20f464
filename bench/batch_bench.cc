// Batch scoring against sentence-by-sentence scoring, on one model.
//
// Usage: batch_bench MODEL TEXT [TYPE] [REPEAT]
//   MODEL   ARPA text or a binary model file
//   TEXT    one sentence per line
//   TYPE    for ARPA text: a type name of lm/model_type.hh (default probing)
//   REPEAT  turns per measure, the best one counts (default 5)
//
// Prints the load time (LoadVirtual), then words per second (</s> counted)
// of lm::base::ScoreSentence line by line, and of lm::base::ScoreBatch on 1,
// 2 and all hardware threads, and whether every batch score equals
// ScoreSentence's bit for bit.  QUARN_HUGE_PAGES=0 in the environment loads
// the model without huge pages (util/huge_pages.hh), for comparison.
#include "lm/config.hh"
#include "lm/model.hh"
#include "lm/score_batch.hh"
#include "lm/score_sentence.hh"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Seconds of the fastest of `repeat` runs of `run`.
double Best(unsigned repeat, const std::function<void()> &run) {
  double best = 1e30;
  for (unsigned i = 0; i < repeat; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc < 3) {
    std::cerr << "Usage: " << argv[0] << " MODEL TEXT [TYPE] [REPEAT]\n";
    return 2;
  }
  const lm::ngram::ModelType type = lm::ngram::TypeNamed(argc > 3 ? argv[3] : "probing").value_or(lm::ngram::PROBING);
  const unsigned repeat = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 5;
  lm::ngram::Config config;
  config.show_progress = false;
  config.positive_log_probability = lm::SILENT;
  config.temp_prefix = "/tmp/quarn_batch_bench_";
  const auto load_start = std::chrono::steady_clock::now();
  const std::unique_ptr<lm::base::Model> model(lm::ngram::LoadVirtual(argv[1], config, type));
  const std::chrono::duration<double> load_seconds = std::chrono::steady_clock::now() - load_start;

  std::vector<std::string> lines;
  std::ifstream text(argv[2]);
  uint64_t words = 0;
  for (std::string line; std::getline(text, line);) {
    std::istringstream split(line);
    for (std::string word; split >> word;) ++words;
    ++words;  // </s>
    lines.push_back(std::move(line));
  }
  std::vector<StringPiece> pieces;
  for (const std::string &line : lines) pieces.emplace_back(line.data(), line.size());

  std::vector<float> serial(lines.size()), batch(lines.size());
  const double serial_seconds = Best(repeat, [&] {
    for (std::size_t i = 0; i < lines.size(); ++i) serial[i] = lm::base::ScoreSentence(model.get(), lines[i].c_str());
  });
  std::printf("%s: %zu sentences, %llu words; best of %u\n", argv[1], lines.size(),
              static_cast<unsigned long long>(words), repeat);
  std::printf("%-32s %8.2f s\n", "load", load_seconds.count());
  std::printf("%-32s %8.2f M words/s\n", "ScoreSentence, line by line", words / serial_seconds / 1e6);
  const unsigned all = std::max(1u, std::thread::hardware_concurrency());
  for (const unsigned threads : {1u, 2u, all}) {
    lm::base::BatchOptions options;
    options.threads = threads;
    const double seconds = Best(repeat, [&] {
      lm::base::ScoreBatch(*model, pieces.data(), pieces.data() + pieces.size(), options, batch.data());
    });
    const bool identical = std::memcmp(serial.data(), batch.data(), serial.size() * sizeof(float)) == 0;
    std::printf("ScoreBatch, %u thread(s)%*s %8.2f M words/s  %.2fx  identical: %s\n", threads,
                threads > 9 ? 6 : 7, "", words / seconds / 1e6, serial_seconds / seconds, identical ? "yes" : "NO");
  }
  return 0;
}
