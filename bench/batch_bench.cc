// Batch scoring against sentence-by-sentence scoring, on one model.
//
// Usage: batch_bench MODEL TEXT [TYPE] [REPEAT] [ARPA_THREADS] [LOAD]
//   MODEL   ARPA text or a binary model file
//   TEXT    one sentence per line
//   TYPE    for ARPA text: a type name of lm/model_type.hh (default probing)
//   REPEAT  turns per measure, the best one counts (default 5)
//   ARPA_THREADS  threads that load ARPA text (Config::arpa_threads,
//           default 2)
//   LOAD    how a binary file is loaded: lazy (mapped, the default) or read
//           (into memory the library allocates, in huge pages where the
//           kernel grants them)
//
// Prints the load time (LoadVirtual), then words per second (</s> counted)
// of lm::base::ScoreSentence line by line, and of lm::base::ScoreBatch on 1,
// 2 and all hardware threads, and whether every batch score equals
// ScoreSentence's bit for bit.  The one-thread measures also give the rate
// in the thread's processor time.  QUARN_HUGE_PAGES=0 in the environment
// loads the model without huge pages (util/huge_pages.hh), for comparison.
#include "lm/config.hh"
#include "lm/model.hh"
#include "lm/score_batch.hh"
#include "lm/score_sentence.hh"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Seconds of the calling thread's processor time.
double ThreadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The fastest of `repeat` runs of `run`: wall seconds, and the calling
// thread's processor seconds, which other work on a busy machine disturbs
// less (memory stalls count as processor time; time spent waiting for the
// processor does not).
struct Timing {
  double wall = 1e30;
  double thread = 1e30;
};

Timing Best(unsigned repeat, const std::function<void()> &run) {
  Timing best;
  for (unsigned i = 0; i < repeat; ++i) {
    const double thread_start = ThreadSeconds();
    const auto start = std::chrono::steady_clock::now();
    run();
    best.wall = std::min(best.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    best.thread = std::min(best.thread, ThreadSeconds() - thread_start);
  }
  return best;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc < 3) {
    std::cerr << "Usage: " << argv[0] << " MODEL TEXT [TYPE] [REPEAT] [ARPA_THREADS] [LOAD]\n";
    return 2;
  }
  const lm::ngram::ModelType type = lm::ngram::TypeNamed(argc > 3 ? argv[3] : "probing").value_or(lm::ngram::PROBING);
  const unsigned repeat = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 5;
  lm::ngram::Config config;
  config.show_progress = false;
  config.positive_log_probability = lm::SILENT;
  config.temp_prefix = "/tmp/quarn_batch_bench_";
  if (argc > 5) config.arpa_threads = static_cast<unsigned>(std::atoi(argv[5]));
  if (argc > 6) config.load_method = std::strcmp(argv[6], "read") ? util::LAZY : util::READ;
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
  const Timing serial_time = Best(repeat, [&] {
    for (std::size_t i = 0; i < lines.size(); ++i) serial[i] = lm::base::ScoreSentence(model.get(), lines[i].c_str());
  });
  const double serial_seconds = serial_time.wall;
  std::printf("%s: %zu sentences, %llu words; best of %u\n", argv[1], lines.size(),
              static_cast<unsigned long long>(words), repeat);
  std::printf("%-32s %8.2f s\n", "load", load_seconds.count());
  std::printf("%-32s %8.2f M words/s  (processor time: %.2f)\n", "ScoreSentence, line by line",
              words / serial_seconds / 1e6, words / serial_time.thread / 1e6);
  const unsigned all = std::max(1u, std::thread::hardware_concurrency());
  for (const unsigned threads : {1u, 2u, all}) {
    lm::base::BatchOptions options;
    options.threads = threads;
    const Timing time = Best(repeat, [&] {
      lm::base::ScoreBatch(*model, pieces.data(), pieces.data() + pieces.size(), options, batch.data());
    });
    const double seconds = time.wall;
    const bool identical = std::memcmp(serial.data(), batch.data(), serial.size() * sizeof(float)) == 0;
    std::printf("ScoreBatch, %u thread(s)%*s %8.2f M words/s  %.2fx  identical: %s", threads, threads > 9 ? 6 : 7,
                "", words / seconds / 1e6, serial_seconds / seconds, identical ? "yes" : "NO");
    // With one thread all the work is the calling thread's.
    if (threads == 1)
      std::printf("  (processor time: %.2f, %.2fx)", words / time.thread / 1e6, serial_time.thread / time.thread);
    std::printf("\n");
  }
  return 0;
}
