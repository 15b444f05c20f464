#include "lm/memory_estimate.hh"

#include "lm/binary_format.hh"
#include "lm/model.hh"
#include "lm/read_arpa.hh"
#include "util/file.hh"
#include "util/file_piece.hh"
#include "util/standard_error_for_test.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace ngram {
namespace {

using util::TempFileForTest;

std::string Table(const std::array<uint64_t, kModelTypeCount> &sizes, const Config &config = Config()) {
  std::ostringstream out;
  PrintSizes(out, sizes, config);
  return out.str();
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(PrintSizes, WholeTableInBytes) {
  EXPECT_EQ("Memory estimate for binary LM:\n"
            "type         B\n"
            "probing 123456 assuming -p 1.5\n"
            "probing 123457 assuming -r models -p 1.5\n"
            "trie      5000 without quantization\n"
            "trie      5001 assuming -q 8 -b 8 quantization \n"
            "trie      5002 assuming -a 22 array pointer compression\n"
            "trie      5003 assuming -a 22 -q 8 -b 8 array pointer compression and quantization\n",
            Table({123456, 123457, 5000, 5001, 5002, 5003}));
}

TEST(PrintSizes, UnitAndWidthRules) {
  struct Case {
    std::array<uint64_t, kModelTypeCount> sizes;
    const char *header;   // second line
    const char *probing;  // third line, up to the assumption
  } cases[] = {
      // A largest size that is a power of ten gets one column less than it needs.
      {{100000, 100000, 5000, 5000, 5000, 5000}, "type        B", "probing 100000"},
      // Below three digits the column is still two wide.
      {{7, 50, 9, 9, 9, 9}, "type     B", "probing  7"},
      {{999, 999, 999, 999, 999, 999}, "type      B", "probing 999"},
      // Units follow the smallest size.
      {{10239, 10239, 10239, 10239, 10239, 10239}, "type        B", "probing 10239"},
      {{10240, 20480, 10240, 10240, 10240, 10240}, "type    kB", "probing 10"},
      {{uint64_t(20) << 20, (uint64_t(300) << 20) + 5, uint64_t(20) << 20, (uint64_t(21) << 20) - 1, 1 << 25, 1 << 25},
       "type     MB", "probing  20"},
      {{uint64_t(10) << 30, uint64_t(10) << 30, (uint64_t(10) << 30) - 1, uint64_t(10) << 30, uint64_t(10) << 30,
        uint64_t(10) << 30},
       "type       MB", "probing 10240"},
      {{uint64_t(10) << 30, uint64_t(12) << 30, uint64_t(10) << 30, uint64_t(10) << 30, uint64_t(10) << 30,
        uint64_t(10) << 30},
       "type    GB", "probing 10"},
  };
  for (const Case &c : cases) {
    const std::vector<std::string> lines = Lines(Table(c.sizes));
    ASSERT_EQ(8u, lines.size());
    EXPECT_EQ(c.header, lines[1]);
    EXPECT_EQ(0u, lines[2].find(std::string(c.probing) + " assuming -p ")) << lines[2];
  }
  // Rounded down to whole units.
  EXPECT_EQ("trie     20 assuming -q 8 -b 8 quantization ",
            Lines(Table({uint64_t(20) << 20, uint64_t(300) << 20, uint64_t(20) << 20, (uint64_t(21) << 20) - 1,
                         1 << 25, 1 << 25}))[5]);
}

TEST(PrintSizes, ShowsTheConfiguredSettings) {
  Config config;
  config.probing_multiplier = 2.25f;
  config.quant_prob_bits = 10;
  config.quant_backoff_bits = 3;
  config.array_pointer_bits = 17;
  const std::vector<std::string> lines = Lines(Table({1, 2, 3, 4, 5, 6}, config));
  EXPECT_EQ("probing  1 assuming -p 2.25", lines[2]);
  EXPECT_EQ("probing  2 assuming -r models -p 2.25", lines[3]);
  EXPECT_EQ("trie     4 assuming -q 10 -b 3 quantization ", lines[5]);
  EXPECT_EQ("trie     6 assuming -a 17 -q 10 -b 3 array pointer compression and quantization", lines[7]);
}

// An unpruned model of `order`: every n-gram of some random sentences, so
// that its counts are exactly those every model type stores.
std::string SentenceModel(unsigned order, unsigned sentences, std::mt19937 &rng) {
  std::vector<std::set<std::vector<std::string>>> levels(order);
  std::set<std::string> vocabulary = {"<unk>", "<s>", "</s>"};
  for (unsigned s = 0; s < sentences; ++s) {
    std::vector<std::string> words = {"<s>"};
    for (unsigned i = rng() % 12; i > 0; --i) {
      std::ostringstream word;
      word << 'w' << rng() % 60;
      words.push_back(word.str());
    }
    words.push_back("</s>");
    vocabulary.insert(words.begin(), words.end());
    for (unsigned n = 2; n <= order; ++n)
      for (std::size_t i = 0; i + n <= words.size(); ++i)
        levels[n - 1].insert(std::vector<std::string>(words.begin() + i, words.begin() + i + n));
  }
  for (const std::string &word : vocabulary) levels[0].insert({word});
  std::ostringstream text;
  text << "\\data\\\n";
  for (unsigned n = 1; n <= order; ++n) text << "ngram " << n << '=' << levels[n - 1].size() << '\n';
  for (unsigned n = 1; n <= order; ++n) {
    text << "\n\\" << n << "-grams:\n";
    for (const auto &ngram : levels[n - 1]) {
      text << '-' << 1 + rng() % 3 << '.' << rng() % 1000 << '\t';
      for (std::size_t i = 0; i < ngram.size(); ++i) text << (i ? " " : "") << ngram[i];
      if (n < order) text << "\t-0." << 1 + rng() % 999;
      text << '\n';
    }
  }
  text << "\n\\end\\\n";
  return text.str();
}

TEST(ModelSizes, PredictEveryBinaryFile) {
  std::mt19937 rng(3);
  for (unsigned order : {2u, 3u, 5u}) {
    for (unsigned sentences : {3u, 40u, 400u}) {
      TempFileForTest arpa(SentenceModel(order, sentences, rng));
      Config config;
      config.message_stream = nullptr;
      config.binary_keeps_words = false;
      std::vector<uint64_t> counts;
      {
        util::FilePiece f(arpa.Name());
        ReadARPACounts(f, counts);
      }
      const std::array<uint64_t, kModelTypeCount> predicted = ModelSizes(counts, config);
      for (unsigned type = 0; type < kModelTypeCount; ++type) {
        TempFileForTest binary;
        config.binary_output_path = binary.Name();
        delete LoadVirtual(arpa.Name(), config, static_cast<ModelType>(type));
        util::scoped_fd fd(util::OpenReadOrThrow(binary.Name()));
        EXPECT_EQ(predicted[type], util::SizeOrThrow(fd.get()) - TotalHeaderSize(static_cast<unsigned char>(order)))
            << kModelNames[type] << ", order " << order << ", " << sentences << " sentences";
      }
    }
  }
}

TEST(ShowSizes, ReadsOnlyTheCountsOfAFile) {
  TempFileForTest arpa("\\data\\\nngram 1=5000\nngram 2=70000\n\nnot even n-grams");
  EXPECT_EQ(Table(ModelSizes({5000, 70000}, Config())),
            util::StandardErrorOf([&] { ShowSizes(arpa.Name(), Config()); }));
}

}  // namespace
}  // namespace ngram
}  // namespace lm
