// The trie: its region size, building from ARPA text (pruned n-grams
// re-inserted as blanks, missing contexts, temporary files, the external
// sort under little memory) and agreement with the hash tables on a real
// model.
#include "lm/search_trie.hh"

#include "lm/binary_format.hh"
#include "lm/lm_exception.hh"
#include "lm/model.hh"
#include "util/file.hh"
#include "util/file_piece.hh"
#include "util/standard_error_for_test.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace ngram {
namespace trie {
namespace {

using util::TempFileForTest;
typedef TrieSearch<DontQuantize, DontHighbit> Search;

Config Quiet() {
  Config config;
  config.message_stream = nullptr;
  return config;
}

TEST(TrieSearch, RegionSize) {
  // Quantizer 0; unigrams (5 + 2) * 16 = 112; bigrams 4 records of
  // 3 + 63 + 2 bits: (5 * 68 + 7) / 8 + 8 = 51; trigrams (4 * 34 + 7) / 8 + 8 = 25.
  EXPECT_EQ(188u, Search::Size({5, 4, 3}, Config()));
  // Bigram model: 112 + (5 * 34 + 7) / 8 + 8.
  EXPECT_EQ(142u, Search::Size({5, 4}, Config()));
}

// The counts a binary file records.
std::vector<uint64_t> StoredCounts(const char *binary) {
  util::scoped_fd fd(util::OpenReadOrThrow(binary));
  Parameters parameters;
  ReadHeader(fd.get(), parameters);
  return parameters.counts;
}

struct Query {
  std::vector<const char *> context;  // most recent first
  const char *word;
  float prob;
  unsigned ngram_length;
};

void ExpectQueries(const TrieModel &model, const std::vector<Query> &queries) {
  const auto &vocab = model.GetVocabulary();
  for (const Query &query : queries) {
    SCOPED_TRACE(query.word);
    std::vector<WordIndex> context;
    for (const char *word : query.context) context.push_back(vocab.Index(word));
    State out;
    FullScoreReturn ret =
        model.FullScoreForgotState(context.data(), context.data() + context.size(), vocab.Index(query.word), out);
    EXPECT_NEAR(query.prob, ret.prob, 1e-6);
    EXPECT_EQ(query.ngram_length, ret.ngram_length);
  }
}

// A binary file of the trie built from `text`, written while loading.
class BuiltTrie {
 public:
  explicit BuiltTrie(const std::string &text, Config config = Quiet()) : arpa_(text) {
    config.binary_output_path = binary_.Name();
    config.binary_keeps_words = false;
    TrieModel model(arpa_.Name(), config);
  }
  const char *Binary() const { return binary_.Name(); }

 private:
  TempFileForTest arpa_, binary_;
};

// The trigram "a b c" is kept while the bigram "b c" was pruned: the trie
// needs "b c" to reach "a b c", so it is inserted as a blank with the
// probability that backing off gives it.
const char kPrunedSuffix[] =
    "\\data\\\nngram 1=6\nngram 2=2\nngram 3=1\n"
    "\n\\1-grams:\n-1\t<unk>\n-1\t<s>\t-0.5\n-1\t</s>\n-0.7\ta\t-0.2\n-0.8\tb\n-0.9\tc\t-0.1\n"
    "\n\\2-grams:\n-0.4\t<s> a\n-0.3\ta b\t-0.25\n"
    "\n\\3-grams:\n-0.05\ta b c\n"
    "\n\\end\\\n";

TEST(TrieBuild, BlankForPrunedSuffix) {
  BuiltTrie built(kPrunedSuffix);
  EXPECT_EQ((std::vector<uint64_t>{6, 3, 1}), StoredCounts(built.Binary()));
  TempFileForTest arpa(kPrunedSuffix);
  for (const char *file : {arpa.Name(), built.Binary()}) {
    TrieModel model(file, Quiet());
    // The blank "b c": p(c) plus b's backoff (absent, so 0), found as a bigram.
    // b itself became extended (its -0 backoff turned +0), so states keep it.
    ExpectQueries(model, {{{"b"}, "c", -0.9f, 2},
                          {{"b", "a"}, "c", -0.05f, 3},
                          {{"a"}, "c", -0.9f - 0.2f, 1},
                          {{"b", "<s>"}, "c", -0.9f, 2}});
    State state;
    const WordIndex b = model.GetVocabulary().Index("b");
    model.GetState(&b, &b + 1, state);
    EXPECT_EQ(1, state.length);
    EXPECT_EQ(0x00000000u, std::bit_cast<uint32_t>(state.backoff[0]));
    // Blanks of order N - 1 never extend: "b c" keeps the no-extension marker.
    const WordIndex bc[] = {model.GetVocabulary().Index("c"), b};
    model.GetState(bc, bc + 2, state);
    EXPECT_EQ(0x80000000u, std::bit_cast<uint32_t>(state.backoff[1]));
  }
}

// The 5-gram "a b c d e" whose suffixes "d e", "c d e" and "b c d e" were
// all pruned: the blanks reach down three orders, each backing off from the
// unigram e through the backoffs of its context.
const char kDeepBlanks[] =
    "\\data\\\nngram 1=8\nngram 2=3\nngram 3=2\nngram 4=1\nngram 5=1\n"
    "\n\\1-grams:\n-1\t<unk>\n-1\t<s>\n-1\t</s>\n-0.5\ta\t-0.01\n-0.6\tb\t-0.02\n-0.7\tc\t-0.03\n"
    "-0.8\td\t-0.04\n-0.9\te\n"
    "\n\\2-grams:\n-0.3\ta b\t-0.1\n-0.31\tb c\t-0.11\n-0.32\tc d\t-0.12\n"
    "\n\\3-grams:\n-0.2\ta b c\t-0.21\n-0.22\tb c d\t-0.22\n"
    "\n\\4-grams:\n-0.1\ta b c d\t-0.31\n"
    "\n\\5-grams:\n-0.05\ta b c d e\n"
    "\n\\end\\\n";

TEST(TrieBuild, BlanksReachDownSeveralOrders) {
  BuiltTrie built(kDeepBlanks);
  EXPECT_EQ((std::vector<uint64_t>{8, 4, 3, 2, 1}), StoredCounts(built.Binary()));
  TrieModel model(built.Binary(), Quiet());
  ExpectQueries(model, {{{"d"}, "e", -0.9f - 0.04f, 2},
                        {{"d", "c"}, "e", -0.9f - 0.04f - 0.12f, 3},
                        {{"d", "c", "b"}, "e", -0.9f - 0.04f - 0.12f - 0.22f, 4},
                        {{"d", "c", "b", "a"}, "e", -0.05f, 5}});
  // The hash tables repair the same file to the same scores.
  TempFileForTest arpa(kDeepBlanks);
  Config roomy = Quiet();
  roomy.probing_multiplier = 4.0f;
  ProbingModel probing(arpa.Name(), roomy);
  const WordIndex context[] = {model.GetVocabulary().Index("d"), model.GetVocabulary().Index("c"),
                               model.GetVocabulary().Index("b"), model.GetVocabulary().Index("a")};
  for (std::size_t length = 0; length <= 4; ++length) {
    std::vector<WordIndex> probing_context;
    for (std::size_t i = 0; i < length; ++i)
      probing_context.push_back(probing.GetVocabulary().Index(std::string(1, "dcba"[i])));
    State out;
    FullScoreReturn trie_ret =
        model.FullScoreForgotState(context, context + length, model.GetVocabulary().Index("e"), out);
    FullScoreReturn probing_ret = probing.FullScoreForgotState(
        probing_context.data(), probing_context.data() + length, probing.GetVocabulary().Index("e"), out);
    EXPECT_NEAR(probing_ret.prob, trie_ret.prob, 1e-6) << length;
    EXPECT_EQ(probing_ret.ngram_length, trie_ret.ngram_length) << length;
  }
}

// Loads `text` as a trie and returns the error text.
template <class E> std::string BuildError(const std::string &text, Config config = Quiet()) {
  TempFileForTest arpa(text);
  try {
    TrieModel model(arpa.Name(), config);
  } catch (const E &e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return "";
}

TEST(TrieBuild, MissingContextIsRefused) {
  std::string text = kPrunedSuffix;
  // Without "a b", the trigram's context is missing.
  text.replace(text.find("ngram 2=2"), 9, "ngram 2=1");
  text.erase(text.find("-0.3\ta b\t-0.25\n"), 15);
  std::string what = BuildError<FormatLoadException>(text);
  // The message carries no location header: it names the identifiers of b
  // and a, most recent first.
  TempFileForTest arpa(kPrunedSuffix);
  TrieModel model(arpa.Name(), Quiet());
  const std::string expected = "A 3-gram has context " + std::to_string(model.GetVocabulary().Index("b")) + " " +
                               std::to_string(model.GetVocabulary().Index("a")) +
                               " so this context must appear in the model as a 2-gram but it does not Byte: ";
  EXPECT_EQ(0u, what.find(expected)) << what;
}

TEST(TrieBuild, DuplicateNgramIsRefused) {
  std::string text = kPrunedSuffix;
  text.replace(text.find("ngram 2=2"), 9, "ngram 2=3");
  text.insert(text.find("-0.3\ta b"), "-0.35\ta b\t-0.2\n");
  std::string what = BuildError<FormatLoadException>(text);
  EXPECT_NE(std::string::npos, what.find("Duplicate n-gram detected with vocab ids")) << what;
}

TEST(TrieBuild, ProgressStages) {
  std::ostringstream messages;
  Config config;
  config.message_stream = &messages;
  config.arpa_complain = Config::NONE;
  TempFileForTest arpa(kDeepBlanks);
  TrieModel model(arpa.Name(), config);
  const std::string out = messages.str();
  const std::size_t identifying = out.find("Identifying n-grams omitted by SRI");
  ASSERT_NE(std::string::npos, identifying) << out;
  EXPECT_NE(std::string::npos, out.find("Writing trie", identifying)) << out;
  EXPECT_EQ(std::string::npos, out.find("Quantizing")) << out;
}

TEST(TrieBuild, MissingUnknownLoadsBackFromBinary) {
  std::string text = kPrunedSuffix;
  text.replace(text.find("ngram 1=6"), 9, "ngram 1=5");
  text.erase(text.find("-1\t<unk>\n"), 9);
  Config config = Quiet();
  config.missing_unk_action = SILENT;
  config.missing_unk_log_prob = -42.0f;
  BuiltTrie built(text, config);
  EXPECT_EQ((std::vector<uint64_t>{6, 3, 1}), StoredCounts(built.Binary()));
  for (util::LoadMethod method : {util::LAZY, util::READ}) {
    Config loading = Quiet();
    loading.load_method = method;
    TrieModel model(built.Binary(), loading);
    ExpectQueries(model, {{{}, "never-seen", -42.0f, 1}, {{"b", "a"}, "c", -0.05f, 3}});
  }
}

// The names in `directory`, "." and ".." aside.
std::set<std::string> Listing(const std::string &directory) {
  std::set<std::string> names;
  DIR *dir = opendir(directory.c_str());
  if (!dir) return names;
  while (dirent *entry = readdir(dir))
    if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, "..")) names.insert(entry->d_name);
  closedir(dir);
  return names;
}

std::size_t OpenDescriptors() { return Listing("/proc/self/fd").size(); }

class TemporaryDirectory {
 public:
  TemporaryDirectory() : name_("/tmp/quarn_trie_test_XXXXXX") { EXPECT_NE(nullptr, mkdtemp(name_.data())); }
  ~TemporaryDirectory() {
    for (const std::string &name : Listing(name_)) std::remove((name_ + "/" + name).c_str());
    rmdir(name_.c_str());
  }
  const std::string &Name() const { return name_; }

 private:
  std::string name_;
};

TEST(TrieBuild, TemporaryFilesAreGoneAfterSuccessAndFailure) {
  TemporaryDirectory directory;
  Config config = Quiet();
  config.temp_prefix = directory.Name() + "/sort";
  const std::size_t descriptors = OpenDescriptors();
  {
    TempFileForTest arpa(kDeepBlanks);
    TrieModel model(arpa.Name(), config);
  }
  EXPECT_TRUE(Listing(directory.Name()).empty());
  EXPECT_EQ(descriptors, OpenDescriptors());

  std::string text = kPrunedSuffix;
  text.erase(text.find("-0.3\ta b\t-0.25\n"), 15);
  text.replace(text.find("ngram 2=2"), 9, "ngram 2=1");
  BuildError<FormatLoadException>(text, config);
  EXPECT_TRUE(Listing(directory.Name()).empty());
  EXPECT_EQ(descriptors, OpenDescriptors());
}

TEST(TrieBuild, TemporaryPrefixInMissingDirectory) {
  Config config = Quiet();
  config.temp_prefix = "/nonexistent/quarn/sort";
  std::string what = BuildError<util::ErrnoException>(kDeepBlanks, config);
  EXPECT_NE(std::string::npos, what.find("/nonexistent/quarn/sort")) << what;
}

// A random trigram model whose bigrams and trigrams each take several MiB in
// the sort, so that 1 MiB of sort memory splits every order into many runs.
std::string LargeTrigramArpa() {
  std::mt19937 rng(11);
  const unsigned vocabulary = 3000;
  std::vector<std::string> words = {"<unk>", "<s>", "</s>"};
  for (unsigned i = 0; i < vocabulary; ++i) {
    words.emplace_back("w");
    words.back() += std::to_string(i);
  }
  std::uniform_int_distribution<std::size_t> word(1, words.size() - 1);
  std::set<std::pair<std::size_t, std::size_t>> bigrams;
  while (bigrams.size() < 300000) bigrams.insert({word(rng), word(rng)});
  std::vector<std::pair<std::size_t, std::size_t>> contexts(bigrams.begin(), bigrams.end());
  std::set<std::vector<std::size_t>> trigrams;
  std::uniform_int_distribution<std::size_t> pick(0, contexts.size() - 1);
  while (trigrams.size() < 300000) {
    const auto &context = contexts[pick(rng)];
    const std::size_t last = word(rng);
    // Keep only trigrams whose suffix is a bigram, as an unpruned model would.
    if (bigrams.count({context.second, last})) trigrams.insert({context.first, context.second, last});
  }
  std::ostringstream out;
  out << "\\data\\\nngram 1=" << words.size() << "\nngram 2=" << bigrams.size() << "\nngram 3=" << trigrams.size()
      << "\n\n\\1-grams:\n";
  for (const std::string &w : words) out << "-" << (1 + rng() % 5) << ".5\t" << w << "\t-0.25\n";
  out << "\n\\2-grams:\n";
  for (const auto &[a, b] : bigrams) out << "-0." << (1 + rng() % 9) << "\t" << words[a] << ' ' << words[b] << "\t-0.125\n";
  out << "\n\\3-grams:\n";
  for (const auto &t : trigrams) out << "-0.0" << (1 + rng() % 9) << "\t" << words[t[0]] << ' ' << words[t[1]] << ' ' << words[t[2]] << '\n';
  out << "\n\\end\\\n";
  return out.str();
}

TEST(TrieBuild, LittleSortMemoryGivesTheSameFile) {
  TempFileForTest arpa(LargeTrigramArpa()), ample, little;
  for (auto [memory, binary] : {std::pair{uint64_t(1) << 30, &ample}, {uint64_t(1), &little}}) {
    Config config = Quiet();
    config.sort_memory = memory;
    config.binary_output_path = binary->Name();
    TrieModel model(arpa.Name(), config);
  }
  const std::string written = ample.Read();
  EXPECT_GT(written.size(), 1000000u);
  EXPECT_TRUE(written == little.Read());
}

// A random 4-gram model with pruned suffixes (so the trie needs blanks),
// whose orders take several batches under 1 MiB of sort memory.
std::string PrunedFourGramArpa() {
  std::mt19937 rng(5);
  std::vector<std::string> words = {"<unk>", "<s>", "</s>"};
  for (unsigned i = 0; i < 1000; ++i) {
    words.emplace_back("w");
    words.back() += std::to_string(i);
  }
  std::uniform_int_distribution<std::size_t> word(1, words.size() - 1);
  std::set<std::vector<std::size_t>> orders[3];
  while (orders[0].size() < 45000) orders[0].insert({word(rng), word(rng)});
  for (std::size_t n = 1; n < 3; ++n) {
    const std::vector<std::vector<std::size_t>> contexts(orders[n - 1].begin(), orders[n - 1].end());
    std::uniform_int_distribution<std::size_t> pick(0, contexts.size() - 1);
    while (orders[n].size() < 45000) {
      std::vector<std::size_t> gram = contexts[pick(rng)];
      gram.push_back(word(rng));
      orders[n].insert(gram);
    }
  }
  std::ostringstream out;
  out << "\\data\\\nngram 1=" << words.size();
  for (const auto &grams : orders) out << "\nngram " << grams.begin()->size() << '=' << grams.size();
  out << "\n\n\\1-grams:\n";
  for (const std::string &w : words) out << "-" << (1 + rng() % 5) << '.' << rng() % 100 << '\t' << w << "\t-0." << rng() % 100 << '\n';
  for (std::size_t n = 0; n < 3; ++n) {
    out << "\n\\" << n + 2 << "-grams:\n";
    for (const auto &gram : orders[n]) {
      out << "-0." << rng() % 1000 << '\t' << words[gram[0]];
      for (std::size_t i = 1; i < gram.size(); ++i) out << ' ' << words[gram[i]];
      if (n < 2) out << "\t-0." << rng() % 100;
      out << '\n';
    }
  }
  out << "\n\\end\\\n";
  return out.str();
}

Config WithThreads(Config config, unsigned int threads, uint64_t sort_memory) {
  config.arpa_threads = threads;
  config.sort_memory = sort_memory;
  return config;
}

// Every trie type writes the same file with one thread and two, with ample
// sort memory and with so little that every order takes several batches.
TEST(TrieBuild, ThreadsAndSortMemoryGiveTheSameFile) {
  const TempFileForTest pruned(PrunedFourGramArpa());
  const std::string models[] = {"data/kjv-genesis.arpa", pruned.Name()};
  for (ModelType type : {TRIE, QUANT_TRIE, ARRAY_TRIE, QUANT_ARRAY_TRIE}) {
    for (const std::string &model : models) {
      std::string first;
      for (unsigned int threads : {1u, 2u}) {
        for (uint64_t memory : {uint64_t(1) << 30, uint64_t(1)}) {
          SCOPED_TRACE(std::to_string(type) + " " + model + " " + std::to_string(threads) + " " +
                       std::to_string(memory));
          TempFileForTest binary;
          Config config = WithThreads(Quiet(), threads, memory);
          config.binary_output_path = binary.Name();
          std::unique_ptr<base::Model> loaded(LoadVirtual(model.c_str(), config, type));
          loaded.reset();
          const std::string written = binary.Read();
          if (first.empty()) first = written;
          EXPECT_GT(written.size(), 100000u);
          EXPECT_TRUE(first == written);
        }
      }
    }
  }
}

// A trigram model of many batches under 1 MiB of sort memory (32768 3-grams
// each): words w0 .. w199 (1-grams only beyond w99), every 2-gram wi wj with
// j < 100, and the 3-grams wi wj wk with i, j < 100 and k < 10, in that
// order.  `replace` swaps the 3-gram at a position for a line of its own.
std::string ManyTrigrams(const std::map<std::size_t, std::string> &replace) {
  std::string text = "\\data\\\nngram 1=203\nngram 2=20000\nngram 3=100000\n\n\\1-grams:\n";
  text += "-1\t<unk>\n-2\t<s>\t-0.5\n-1.5\t</s>\n";
  for (int i = 0; i < 200; ++i) text += "-2.5\tw" + std::to_string(i) + "\t-0.25\n";
  text += "\n\\2-grams:\n";
  for (int i = 0; i < 200; ++i) {
    for (int j = 0; j < 100; ++j) text += "-1.25\tw" + std::to_string(i) + " w" + std::to_string(j) + "\t-0.5\n";
  }
  text += "\n\\3-grams:\n";
  std::size_t position = 0;
  for (int i = 0; i < 100; ++i) {
    for (int j = 0; j < 100; ++j) {
      for (int k = 0; k < 10; ++k, ++position) {
        const auto replaced = replace.find(position);
        if (replaced != replace.end()) {
          text += replaced->second;
        } else {
          text += "-0.75\tw" + std::to_string(i) + " w" + std::to_string(j) + " w" + std::to_string(k) + "\n";
        }
      }
    }
  }
  return text + "\n\\end\\\n";
}

// The error text of loading `text` as a trie with `threads` and 1 MiB of
// sort memory, and what went to standard error.
struct Outcome {
  std::string error, complaint;
};
Outcome LoadWithThreads(const std::string &text, unsigned int threads, WarnPolicy positive = THROW_ERROR) {
  Config config = WithThreads(Quiet(), threads, 1);
  config.positive_log_probability = positive;
  Outcome outcome;
  outcome.complaint =
      util::StandardErrorOf([&] { outcome.error = BuildError<util::Exception>(text, config); });
  return outcome;
}

// The message without the reader's position, which a fault found while
// sorting does not have: the reading side may have gone on meanwhile.
std::string WithoutByte(const std::string &error) { return error.substr(0, error.rfind(" Byte: ")); }

// Faults found while reading (bad text), while sorting (a duplicate within a
// batch or across batches) and while building, at the first line, at batch
// boundaries and at the last line, alone and two at once: one thread and two
// report the same first fault.
TEST(TrieBuild, ThreadCountsGiveTheSameErrors) {
  const std::size_t last = 99999;
  const std::string kDuplicate = "-0.5\tw0 w0 w3\n", kUnknown = "-0.75\tw0 w0 zz\n",
                    kPositive = "0.5\tw1 w2 w0\n", kLonely = "-0.75\tw0 w150 w0\n";
  struct Case {
    std::map<std::size_t, std::string> replace;
    const char *found;
    bool sorting;
  } cases[] = {
      {{{0, kUnknown}}, "in the 3-gram at byte", false},
      {{{32767, kUnknown}}, "in the 3-gram at byte", false},
      {{{32768, kPositive}}, "Positive log probability 0.5", false},
      {{{last, kUnknown}}, "in the 3-gram at byte", false},
      {{{30000, kDuplicate}}, "Duplicate n-gram detected", true},
      {{{0, kDuplicate}, {1, "-0.5\tw0 w0 w0\n"}}, "Duplicate n-gram detected", true},
      {{{last, kDuplicate}}, "Duplicate n-gram detected", true},
      {{{100, kDuplicate}, {40000, kUnknown}}, "Duplicate n-gram detected", true},
      {{{40000, kDuplicate}, {100, kUnknown}}, "in the 3-gram at byte", false},
      {{{70000, kDuplicate}, {last, kUnknown}}, "in the 3-gram at byte", false},
      {{{50000, kLonely}}, "must appear in the model as a 2-gram", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.replace.begin()->first);
    const std::string text = ManyTrigrams(c.replace);
    const Outcome one = LoadWithThreads(text, 1), two = LoadWithThreads(text, 2);
    EXPECT_NE(std::string::npos, one.error.find(c.found)) << one.error;
    if (c.sorting) {
      EXPECT_EQ(WithoutByte(one.error), WithoutByte(two.error));
    } else {
      EXPECT_EQ(one.error, two.error);
    }
  }
}

// The first positive probability is complained about in its turn: not when
// a fault in an earlier batch ends the load, and before a fault after it.
TEST(TrieBuild, ComplaintComesInItsTurnWithEitherThreadCount) {
  const std::size_t kPositive = 40000;
  const std::string kDuplicate = "-0.5\tw0 w0 w3\n";
  struct Case {
    std::map<std::size_t, std::string> faults;
    bool complains;
  } cases[] = {{{{100, kDuplicate}}, false},
               {{{40001, "-0.75\tw0 w0 zz\n"}}, true},
               {{{70000, kDuplicate}}, true},
               {{{40000, "0.5\tw1 w0 zz\n"}}, true}};
  for (Case &c : cases) {
    SCOPED_TRACE(c.faults.begin()->first);
    c.faults.insert({kPositive, "0.5\tw1 w0 w0\n"});
    const std::string text = ManyTrigrams(c.faults);
    const Outcome one = LoadWithThreads(text, 1, COMPLAIN), two = LoadWithThreads(text, 2, COMPLAIN);
    EXPECT_EQ(c.complains, one.complaint.starts_with("There's a positive log probability 0.5")) << one.complaint;
    EXPECT_EQ(one.complaint, two.complaint);
    EXPECT_EQ(WithoutByte(one.error), WithoutByte(two.error));
  }
}

// The shipped model scored through both data structures: every n-gram of
// the file as a query, with all shorter contexts, and random word sequences.
TEST(TrieVersusProbing, RealModelGivesTheSameScores) {
  const char *kModel = "data/kjv-genesis.arpa";
  TrieModel trie(kModel, Quiet());
  ProbingModel probing(kModel, Quiet());
  auto check = [&](const std::vector<std::string> &text_order) {
    std::vector<WordIndex> trie_context, probing_context;
    for (auto it = text_order.rbegin() + 1; it != text_order.rend(); ++it) {
      trie_context.push_back(trie.GetVocabulary().Index(*it));
      probing_context.push_back(probing.GetVocabulary().Index(*it));
    }
    State trie_out, probing_out;
    for (std::size_t length = 0; length <= trie_context.size(); ++length) {
      FullScoreReturn t = trie.FullScoreForgotState(trie_context.data(), trie_context.data() + length,
                                                    trie.GetVocabulary().Index(text_order.back()), trie_out);
      FullScoreReturn p = probing.FullScoreForgotState(probing_context.data(), probing_context.data() + length,
                                                       probing.GetVocabulary().Index(text_order.back()), probing_out);
      ASSERT_NEAR(p.prob, t.prob, 1e-4);
      ASSERT_EQ(p.ngram_length, t.ngram_length);
      ASSERT_EQ(probing_out.length, trie_out.length);
    }
  };
  util::FilePiece in(kModel);
  std::vector<std::string> vocabulary;
  std::size_t queries = 0;
  for (StringPiece line; in.ReadLineOrEOF(line);) {
    std::vector<std::string> fields;
    std::istringstream split(line.as_string());
    std::string prob, field;
    if (!(split >> prob) || prob[0] == '\\' || prob.rfind("ngram", 0) == 0) continue;
    std::string word;
    while (split >> word) fields.push_back(word);
    // Drop a trailing backoff.
    if (fields.size() > 1 && (std::isdigit(static_cast<unsigned char>(fields.back().back())))) fields.pop_back();
    if (fields.size() == 1) vocabulary.push_back(fields[0]);
    check(fields);
    ++queries;
  }
  EXPECT_GT(queries, 10000u);
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; ++i) {
    std::vector<std::string> sequence;
    for (int j = 0; j < 3; ++j) sequence.push_back(vocabulary[rng() % vocabulary.size()]);
    check(sequence);
  }
}

}  // namespace
}  // namespace trie
}  // namespace ngram
}  // namespace lm
