// Throughput of util::FilePiece on ARPA-like text, next to `wc -l`.
//
// Usage: file_piece_bench PATH [MEGABYTES]
//
// When PATH does not exist it is first filled with about MEGABYTES (default
// 1024) of lines "<prob>\t<word> <word>\t<backoff>".  The file is then read
// token by token as the ARPA reader does (ReadFloat for the numbers,
// SkipDelimiters / ReadUntilDelimiter for the words), and `wc -l` is timed on
// the same file; both rates are printed in MB/s (10^6 bytes per second).
// Both passes read from the page cache when the file fits in memory: a
// warm-up `wc -l` runs first.  Rates are given per wall-clock second and per
// processor second (user + system), the latter being steadier on a busy
// machine.
#include "util/exception.hh"
#include "util/file.hh"
#include "util/file_piece.hh"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Wall-clock and processor seconds, of this process or of its waited-for
// children.
struct Clock {
  std::chrono::steady_clock::time_point wall;
  double cpu;
};

Clock Now(int who) {
  rusage usage;
  getrusage(who, &usage);
  auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return Clock{std::chrono::steady_clock::now(), seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

struct Elapsed {
  double wall;
  double cpu;
};

Elapsed Since(const Clock &start, int who) {
  Clock now = Now(who);
  return Elapsed{std::chrono::duration<double>(now.wall - start.wall).count(), now.cpu - start.cpu};
}

void Report(const char *label, const Elapsed &elapsed, double megabytes) {
  std::cout << label << elapsed.wall << " s wall, " << megabytes / elapsed.wall << " MB/s; " << elapsed.cpu
            << " s CPU, " << megabytes / elapsed.cpu << " MB/s per CPU second\n";
}

// Deterministic lines with varied numbers and words.
void Generate(const std::string &path, uint64_t bytes) {
  util::scoped_FILE out(std::fopen(path.c_str(), "wb"));
  if (!out) {
    std::perror(path.c_str());
    std::exit(1);
  }
  uint64_t state = 1;
  auto next = [&state](uint64_t bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % bound;
  };
  uint64_t written = 0;
  while (written < bytes) {
    int len = std::fprintf(out.get(), "-%u.%06u\tword%u word%u\t-0.%07u\n", static_cast<unsigned>(next(8)),
                           static_cast<unsigned>(next(1000000)), static_cast<unsigned>(next(500000)),
                           static_cast<unsigned>(next(500000)), static_cast<unsigned>(next(10000000)));
    if (len < 0) {
      std::perror(path.c_str());
      std::exit(1);
    }
    written += static_cast<uint64_t>(len);
  }
}

struct Totals {
  uint64_t lines = 0;
  uint64_t word_bytes = 0;
  double sum = 0.0;
};

Totals ReadTokens(const std::string &path) {
  util::FilePiece in(path.c_str(), nullptr, 1 << 20);
  Totals totals;
  try {
    while (true) {
      totals.sum += in.ReadFloat();
      for (int word = 0; word < 2; ++word) {
        in.SkipDelimiters(util::kSpaces);
        totals.word_bytes += in.ReadUntilDelimiter(util::kSpaces).size();
      }
      totals.sum += in.ReadFloat();
      ++totals.lines;
    }
  } catch (const util::EndOfFileException &) {
  }
  return totals;
}

Elapsed TimeWc(const std::string &path) {
  std::string command = "wc -l '" + path + "' > /dev/null";
  Clock start = Now(RUSAGE_CHILDREN);
  if (std::system(command.c_str())) {
    std::cerr << "wc failed" << std::endl;
    std::exit(1);
  }
  return Since(start, RUSAGE_CHILDREN);
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc < 2 || argc > 3) {
    std::cerr << "Usage: " << argv[0] << " PATH [MEGABYTES]" << std::endl;
    return 1;
  }
  const std::string path = argv[1];
  struct stat info;
  if (stat(path.c_str(), &info)) {
    uint64_t megabytes = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 1024;
    std::cerr << "Generating " << megabytes << " MB into " << path << std::endl;
    Generate(path, megabytes << 20);
    if (stat(path.c_str(), &info)) {
      std::perror(path.c_str());
      return 1;
    }
  }
  const double megabytes = static_cast<double>(info.st_size) / 1e6;
  try {
    TimeWc(path);

    Clock start = Now(RUSAGE_SELF);
    Totals totals = ReadTokens(path);
    Elapsed file_piece = Since(start, RUSAGE_SELF);

    Elapsed wc = TimeWc(path);

    std::cout << "file: " << path << " (" << megabytes << " MB, " << totals.lines << " lines; checksum "
              << totals.sum << " / " << totals.word_bytes << ")\n";
    Report("FilePiece tokens: ", file_piece, megabytes);
    Report("wc -l:            ", wc, megabytes);
    std::cout.flush();
  } catch (const util::Exception &e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }
  return 0;
}
