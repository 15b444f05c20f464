// Differential test of the models against a naive scorer written
// directly from the backoff definition.
//
// Random ARPA models (orders 2 to 6, random vocabularies, consistent
// probabilities and backoffs) are written to temporary files, some with
// middle-order n-grams pruned while longer n-grams that end in them are kept.
// Random word sequences (known and unknown words, <s> inside, explicit </s>)
// are scored word by word; every probability, matched length and state is
// compared with the naive scorer, for every model type, loaded from ARPA text
// and from the binary files written while loading it by every load method.
// The resumable walk of each query must give FullScore's result bit for bit,
// and the batch scorer (in lanes and in turn, with and without the sentence
// boundaries) the word-by-word totals.
#include "lm/model.hh"

#include "lm/binary_format.hh"
#include "lm/score_batch.hh"
#include "util/file.hh"

#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <type_traits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace ngram {
namespace {

typedef std::vector<std::string> Words;  // text order

struct Entry {
  std::string prob_text;
  std::string backoff_text;  // empty: no backoff written
};

// An ARPA model: n-grams by order, and the naive scorer over them.
class NaiveModel {
 public:
  // `words` words (0: 3 to 40) and up to `per_order` n-grams of each order
  // above 1 (0: up to three per word).
  NaiveModel(unsigned order, std::mt19937 &rng, bool prune, bool with_unk, unsigned words = 0, unsigned per_order = 0)
      : order_(order), levels_(order) {
    Generate(rng, with_unk, words, per_order);
    if (prune) Prune(rng);
    Index();
  }

  unsigned Order() const { return order_; }
  const Words &Vocabulary() const { return vocabulary_; }

  std::string ArpaText() const {
    std::string text = "\\data\\\n";
    for (unsigned n = 1; n <= order_; ++n)
      text += "ngram " + std::to_string(n) + "=" + std::to_string(levels_[n - 1].size()) + "\n";
    for (unsigned n = 1; n <= order_; ++n) {
      text += "\n\\" + std::to_string(n) + "-grams:\n";
      for (const auto &[words, entry] : levels_[n - 1]) {
        text += entry.prob_text + "\t";
        for (std::size_t i = 0; i < words.size(); ++i) text += (i ? " " : "") + words[i];
        if (!entry.backoff_text.empty()) text += "\t" + entry.backoff_text;
        text += "\n";
      }
    }
    return text + "\n\\end\\\n";
  }

  // log10 p(word | history) by the backoff definition over the n-grams of
  // the file; history is in text order and may be longer than the model uses.
  float Score(const Words &history, const std::string &word) const {
    Words context(history.end() - std::min<std::size_t>(history.size(), order_ - 1), history.end());
    float charged = 0.0f;
    for (std::size_t start = 0;; ++start) {
      Words ngram(context.begin() + start, context.end());
      ngram.push_back(word);
      if (const Entry *entry = Find(ngram)) return charged + std::stof(entry->prob_text);
      if (start == context.size()) return charged + kMissingUnknown;
      charged += Backoff(Words(context.begin() + start, context.end()));
    }
  }

  // The n-grams the model holds: those of the file and, since the loader
  // fills in pruned suffixes, every suffix of them.
  bool Present(const Words &ngram) const { return present_.count(ngram) != 0; }

  // Whether a state must keep this n-gram as context: it has a backoff, or a
  // held n-gram one word longer continues it.
  // An <unk> missing from the file gets backoff (positive) zero, which keeps
  // it in states.
  bool Extendable(const Words &ngram) const {
    if (!Present(ngram)) return false;
    if (ngram == Words{"<unk>"} && !Find(ngram)) return true;
    return Backoff(ngram) != 0.0f || continued_.count(ngram) != 0;
  }

  // The probabilities a model stores for its n-grams of `order` (>= 2): those
  // of the file, and for the suffixes the loader fills in, what backing off
  // gives them.
  std::vector<float> StoredProbs(unsigned order) const {
    std::vector<float> probs;
    for (const Words &ngram : present_)
      if (ngram.size() == order) probs.push_back(Score(Words(ngram.begin(), ngram.end() - 1), ngram.back()));
    return probs;
  }

  // The non-zero backoffs of the file's n-grams of `order`.
  std::vector<float> NonZeroBackoffs(unsigned order) const {
    std::vector<float> backoffs;
    for (const auto &[words, entry] : levels_[order - 1])
      if (Backoff(words) != 0.0f) backoffs.push_back(Backoff(words));
    return backoffs;
  }

  static constexpr float kMissingUnknown = -100.0f;
  static constexpr float kPrunedMultiplier = 3.0f;

 private:
  const Entry *Find(const Words &ngram) const {
    const auto &level = levels_[ngram.size() - 1];
    auto found = level.find(ngram);
    return found == level.end() ? nullptr : &found->second;
  }

  float Backoff(const Words &ngram) const {
    if (ngram.empty() || ngram.size() >= order_) return 0.0f;
    const Entry *entry = Find(ngram);
    return entry && !entry->backoff_text.empty() ? std::stof(entry->backoff_text) : 0.0f;
  }

  static std::string Number(std::mt19937 &rng, float low, float high) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%.4f", std::uniform_real_distribution<float>(low, high)(rng));
    return buffer;
  }

  Entry MakeEntry(std::mt19937 &rng, bool has_backoff) {
    Entry entry{Number(rng, -3.0f, -0.01f), ""};
    if (!has_backoff) return entry;
    switch (std::uniform_int_distribution<int>(0, 9)(rng)) {
      case 0: break;  // no backoff written
      case 1: entry.backoff_text = "0"; break;
      case 2: entry.backoff_text = "-0"; break;
      default: entry.backoff_text = Number(rng, -1.5f, 0.0f);
    }
    return entry;
  }

  void Generate(std::mt19937 &rng, bool with_unk, unsigned words, unsigned per_order) {
    unsigned size = words ? words : std::uniform_int_distribution<unsigned>(3, 40)(rng);
    vocabulary_ = {"<s>", "</s>"};
    if (with_unk) vocabulary_.push_back("<unk>");
    for (unsigned i = 0; i < size; ++i) vocabulary_.push_back("w" + std::to_string(i));
    for (const std::string &word : vocabulary_) levels_[0][{word}] = MakeEntry(rng, true);

    for (unsigned n = 2; n <= order_; ++n) {
      std::vector<Words> contexts;
      for (const auto &[words, entry] : levels_[n - 2]) contexts.push_back(words);
      unsigned target = per_order ? per_order : std::uniform_int_distribution<unsigned>(1, 3 * size)(rng);
      for (unsigned attempt = 0; attempt < 10 * target && levels_[n - 1].size() < target; ++attempt) {
        Words ngram = contexts[std::uniform_int_distribution<std::size_t>(0, contexts.size() - 1)(rng)];
        ngram.push_back(vocabulary_[std::uniform_int_distribution<std::size_t>(0, vocabulary_.size() - 1)(rng)]);
        Words suffix(ngram.begin() + 1, ngram.end());
        if (levels_[n - 2].count(suffix) && !levels_[n - 1].count(ngram))
          levels_[n - 1][ngram] = MakeEntry(rng, n < order_);
      }
      if (levels_[n - 1].empty()) {  // nothing continues: the model ends one order lower
        order_ = n - 1;
        levels_.resize(order_);
        for (auto &[words, entry] : levels_[order_ - 1]) entry.backoff_text.clear();
        return;
      }
    }
  }

  // Removes middle n-grams that are not the context of a longer n-gram, so
  // that only suffixes of longer n-grams go missing (the loader repairs those).
  void Prune(std::mt19937 &rng) {
    for (unsigned n = 2; n < order_; ++n) {
      std::set<Words> contexts;
      for (const auto &[words, entry] : levels_[n]) contexts.insert(Words(words.begin(), words.end() - 1));
      auto &level = levels_[n - 1];
      std::size_t removed = 0;
      for (auto it = level.begin(); it != level.end();) {
        // Each removed n-gram may come back as a blank: keep the tables able
        // to hold them (removed < kept, with a multiplier of kPrunedMultiplier).
        bool room = removed + 1 < level.size() - 1;
        if (room && !contexts.count(it->first) && std::uniform_int_distribution<int>(0, 2)(rng) == 0) {
          it = level.erase(it);
          ++removed;
        } else {
          ++it;
        }
      }
    }
  }

  void Index() {
    if (!levels_[0].count({"<unk>"})) present_.insert({"<unk>"});
    for (const auto &level : levels_) {
      for (const auto &[words, entry] : level) {
        for (std::size_t start = 0; start < words.size(); ++start) {
          Words suffix(words.begin() + start, words.end());
          present_.insert(suffix);
        }
      }
    }
    for (const Words &words : present_)
      if (words.size() >= 2) continued_.insert(Words(words.begin(), words.end() - 1));
  }

  unsigned order_;
  std::vector<std::map<Words, Entry>> levels_;
  Words vocabulary_;
  std::set<Words> present_;
  std::set<Words> continued_;
};

typedef util::TempFileForTest TempFile;

// The state the naive scorer expects: the longest context that later words
// can still use, most recent word first.
struct NaiveStep {
  float prob;
  unsigned ngram_length;
  Words state;  // most recent first
};

NaiveStep NaiveScore(const NaiveModel &naive, const Words &history, const Words &state, const std::string &word) {
  NaiveStep step;
  step.prob = naive.Score(history, word);
  Words candidate{word};  // most recent first
  candidate.insert(candidate.end(), state.begin(), state.end());
  candidate.resize(std::min<std::size_t>(candidate.size(), naive.Order()));
  auto text_order = [&](std::size_t length) { return Words(candidate.rend() - length, candidate.rend()); };
  step.ngram_length = 1;
  for (std::size_t length = 2; length <= candidate.size(); ++length)
    if (naive.Present(text_order(length))) step.ngram_length = length;
  std::size_t kept = 0;
  for (std::size_t length = 1; length <= std::min<std::size_t>(step.ngram_length, naive.Order() - 1); ++length)
    if (naive.Extendable(text_order(length))) kept = length;
  step.state.assign(candidate.begin(), candidate.begin() + kept);
  return step;
}

std::vector<Words> RandomSentences(const NaiveModel &naive, std::mt19937 &rng) {
  std::vector<Words> sentences;
  for (int i = 0; i < 25; ++i) {
    Words sentence;
    unsigned length = std::uniform_int_distribution<unsigned>(0, 14)(rng);
    for (unsigned j = 0; j < length; ++j) {
      switch (std::uniform_int_distribution<int>(0, 11)(rng)) {
        case 0: sentence.push_back("never-seen"); break;
        case 1: sentence.push_back("<s>"); break;
        default: {
          const Words &vocabulary = naive.Vocabulary();
          sentence.push_back(vocabulary[std::uniform_int_distribution<std::size_t>(0, vocabulary.size() - 1)(rng)]);
        }
      }
    }
    sentence.push_back("</s>");
    sentences.push_back(sentence);
  }
  return sentences;
}

// Known words keep their spelling; unknown words are <unk> to the model.
std::string Normalize(const NaiveModel &naive, const std::string &word) {
  for (const std::string &known : naive.Vocabulary())
    if (known == word) return word;
  return "<unk>";
}

struct Scored {
  float prob;
  unsigned ngram_length;
  State state;
};

// The most steps one walk of ExpectWalkEqualsFullScore has taken.
unsigned &LongestWalk() {
  static unsigned steps = 0;
  return steps;
}

// The walk stepped to its end: probability, length and state (backoffs
// included) as FullScore gave them.
template <class Model>
void ExpectWalkEqualsFullScore(const Model &model, const State &in, WordIndex word, const FullScoreReturn &full,
                               const State &full_out) {
  typename Model::Walk walk;
  walk.Start(word);
  State out;
  // A step is one read: the unigram, then each probe of each order's
  // search, which the models here end well within this bound.
  unsigned steps = 0;
  do {
    model.WalkAddress(walk, in);
    ASSERT_LE(++steps, 1000u) << "the walk does not end";
  } while (!model.WalkStep(walk, in, out));
  LongestWalk() = std::max(LongestWalk(), steps);
  EXPECT_EQ(std::bit_cast<uint32_t>(full.prob), std::bit_cast<uint32_t>(walk.result.prob));
  EXPECT_EQ(std::bit_cast<uint32_t>(full.rest), std::bit_cast<uint32_t>(walk.result.rest));
  EXPECT_EQ(full.ngram_length, walk.result.ngram_length);
  EXPECT_EQ(full.left_closed, walk.result.left_closed);
  EXPECT_EQ(full_out, out);
  for (unsigned i = 0; i < out.length; ++i)
    EXPECT_EQ(std::bit_cast<uint32_t>(full_out.backoff[i]), std::bit_cast<uint32_t>(out.backoff[i]));
}

// The batch scorer, in lanes and in turn, against FullScore word by word,
// on the sentences without their final </s> (eos adds it back).
template <class Model> void ExpectBatchEqualsWordByWord(const Model &model, const std::vector<Words> &sentences) {
  std::vector<std::string> texts;
  for (const Words &sentence : sentences) {
    std::string text;
    for (std::size_t i = 0; i + 1 < sentence.size(); ++i) text += sentence[i] + " ";
    texts.push_back(text);
  }
  const std::vector<StringPiece> pieces(texts.begin(), texts.end());
  const auto &vocab = model.GetVocabulary();
  for (const bool bos : {true, false}) {
    for (const bool eos : {true, false}) {
      const base::BatchOptions options{bos, eos, 1};
      for (const uint64_t model_bytes : {uint64_t{0}, UINT64_MAX}) {
        std::vector<float> scores(pieces.size(), 1.0f);
        detail::ScoreSentences(model, model_bytes, pieces.data(), pieces.data() + pieces.size(), options,
                               scores.data());
        for (std::size_t i = 0; i < sentences.size(); ++i) {
          State state = bos ? model.BeginSentenceState() : model.NullContextState(), out;
          float total = 0.0f;
          for (std::size_t w = 0; w + 1 < sentences[i].size(); ++w, state = out)
            total += model.FullScore(state, vocab.Index(sentences[i][w]), out).prob;
          if (eos) total += model.FullScore(state, vocab.EndSentenceIndex(), out).prob;
          EXPECT_EQ(std::bit_cast<uint32_t>(total), std::bit_cast<uint32_t>(scores[i]))
              << "sentence " << i << " bos " << bos << " eos " << eos << " model bytes " << model_bytes;
        }
      }
    }
  }
}

template <class Model>
std::vector<Scored> CheckAgainstNaive(const Model &model, const NaiveModel &naive,
                                      const std::vector<Words> &sentences, float tolerance) {
  std::vector<Scored> all;
  const auto &vocab = model.GetVocabulary();
  for (const Words &sentence : sentences) {
    Words history{"<s>"};
    Words naive_state{"<s>"};
    State state = model.BeginSentenceState();
    for (const std::string &raw : sentence) {
      const std::string word = Normalize(naive, raw);
      State out;
      FullScoreReturn ret = model.FullScore(state, vocab.Index(raw), out);
      NaiveStep expected = NaiveScore(naive, history, naive_state, word);
      SCOPED_TRACE("order " + std::to_string(naive.Order()) + ", word " + raw + " after " +
                   std::to_string(history.size()) + " words");
      EXPECT_NEAR(expected.prob, ret.prob, tolerance);
      EXPECT_EQ(expected.ngram_length, ret.ngram_length);
      EXPECT_EQ(expected.state.size(), out.length);
      for (std::size_t i = 0; i < std::min<std::size_t>(expected.state.size(), out.length); ++i)
        EXPECT_EQ(vocab.Index(expected.state[i]), out.words[i]);

      // Scoring from the words alone gives the same answer.
      std::vector<WordIndex> context;
      for (auto it = history.rbegin(); it != history.rend(); ++it) context.push_back(vocab.Index(*it));
      State forgot;
      FullScoreReturn again =
          model.FullScoreForgotState(context.data(), context.data() + context.size(), vocab.Index(raw), forgot);
      EXPECT_NEAR(ret.prob, again.prob, 1e-4);
      EXPECT_EQ(ret.ngram_length, again.ngram_length);
      EXPECT_EQ(out, forgot);

      ExpectWalkEqualsFullScore(model, state, vocab.Index(raw), ret, out);

      all.push_back({ret.prob, ret.ngram_length, out});
      history.push_back(word);
      naive_state = expected.state;
      state = out;
    }
  }
  ExpectBatchEqualsWordByWord(model, sentences);
  return all;
}

void ExpectIdentical(const std::vector<Scored> &expected, const std::vector<Scored> &actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].prob, actual[i].prob);
    EXPECT_EQ(expected[i].ngram_length, actual[i].ngram_length);
    EXPECT_EQ(expected[i].state, actual[i].state);
  }
}

Config QuietConfig() {
  Config config;
  config.message_stream = nullptr;
  config.missing_unk_action = SILENT;
  return config;
}

// The farthest any of `values` lies from the nearest of `centres`.
float FarthestFromCentres(const std::vector<float> &values, const float *centres, std::size_t count) {
  float farthest = 0.0f;
  for (float value : values) {
    float nearest = std::numeric_limits<float>::infinity();
    for (const float *centre = centres; centre != centres + count; ++centre)
      nearest = std::min(nearest, std::fabs(value - *centre));
    farthest = std::max(farthest, nearest);
  }
  return farthest;
}

// The most that quantization can move one query's probability in the
// quantized trie written at `binary`: the error of one probability plus one
// backoff per middle order, each the largest that the file's trained bins
// give any value of that table.
float QuantizationBound(const NaiveModel &naive, const char *binary) {
  util::scoped_fd fd(util::OpenReadOrThrow(binary));
  Parameters parameters;
  ReadHeader(fd.get(), parameters);
  const unsigned order = parameters.counts.size();
  uint64_t at = TotalHeaderSize(order) + SortedVocabulary::Size(parameters.counts[0], Config());
  uint8_t header[8];
  util::ErsatzPRead(fd.get(), header, sizeof(header), at);
  EXPECT_EQ(2, header[0]);
  at += sizeof(header);
  const std::size_t prob_centres = std::size_t(1) << header[1], backoff_centres = std::size_t(1) << header[2];
  std::vector<float> centres(prob_centres + backoff_centres);
  float prob_bound = 0.0f, backoff_bound = 0.0f;
  for (unsigned n = 2; n <= order; ++n) {
    const std::size_t count = n < order ? centres.size() : prob_centres;
    util::ErsatzPRead(fd.get(), centres.data(), count * sizeof(float), at);
    at += count * sizeof(float);
    prob_bound = std::max(prob_bound, FarthestFromCentres(naive.StoredProbs(n), centres.data(), prob_centres));
    // The first two backoff centres are the reserved zeros.
    if (n < order)
      backoff_bound += FarthestFromCentres(naive.NonZeroBackoffs(n), centres.data() + prob_centres + 2,
                                           backoff_centres - 2);
  }
  return prob_bound + backoff_bound;
}

// A type whose scores must equal another type's bit for bit: pointer
// compression changes how children are found, not what is stored.
template <class Model> struct SameScoresAs { typedef void Type; };
template <> struct SameScoresAs<ArrayTrieModel> { typedef TrieModel Type; };
template <> struct SameScoresAs<QuantArrayTrieModel> { typedef QuantTrieModel Type; };

template <class Model> constexpr bool kQuantized = IsQuantized(Model::kModelType);

template <class Model> void RunDifferential(unsigned seed) {
  std::mt19937 rng(seed);
  for (unsigned order = 2; order <= 6; ++order) {
    for (bool prune : {false, true}) {
      NaiveModel naive(order, rng, prune, std::uniform_int_distribution<int>(0, 4)(rng) != 0);
      std::vector<Words> sentences = RandomSentences(naive, rng);
      TempFile arpa, binary;
      arpa.Write(naive.ArpaText());
      SCOPED_TRACE(naive.ArpaText());

      Config writing = QuietConfig();
      if (prune) writing.probing_multiplier = NaiveModel::kPrunedMultiplier;
      // Few bins, so that quantizing merges values; few pointer bits kept inline.
      writing.quant_prob_bits = 4;
      writing.quant_backoff_bits = 3;
      writing.array_pointer_bits = 4;
      writing.binary_output_path = binary.Name();
      Model built(arpa.Name(), writing);
      float tolerance = 1e-3f;
      if constexpr (kQuantized<Model>) tolerance += QuantizationBound(naive, binary.Name());
      std::vector<Scored> from_arpa = CheckAgainstNaive(built, naive, sentences, tolerance);

      for (util::LoadMethod method : {util::LAZY, util::POPULATE_OR_LAZY, util::POPULATE_OR_READ, util::READ}) {
        Config loading = QuietConfig();
        loading.load_method = method;
        ExpectIdentical(from_arpa, CheckAgainstNaive(Model(binary.Name(), loading), naive, sentences, tolerance));
      }
      typedef typename SameScoresAs<Model>::Type Reference;
      if constexpr (!std::is_void_v<Reference>) {
        writing.binary_output_path = nullptr;
        ExpectIdentical(from_arpa, CheckAgainstNaive(Reference(arpa.Name(), writing), naive, sentences, tolerance));
      }
    }
  }
}

// Every model type joins the comparison by one entry here.
typedef ::testing::Types<ProbingModel, RestProbingModel, TrieModel, QuantTrieModel, ArrayTrieModel,
                         QuantArrayTrieModel>
    ModelTypes;

template <class Model> class ModelDifferential : public ::testing::Test {};
TYPED_TEST_SUITE(ModelDifferential, ModelTypes);

TYPED_TEST(ModelDifferential, MatchesNaiveScorer) {
  const unsigned first_seed = 100 * TypeParam::kModelType + 1;
  for (unsigned seed = first_seed; seed < first_seed + 6; ++seed) RunDifferential<TypeParam>(seed);
}

TYPED_TEST(ModelDifferential, WriteModesProduceIdenticalFiles) {
  std::mt19937 rng(7);
  NaiveModel naive(4, rng, true, true);
  TempFile arpa, in_place, when_done;
  arpa.Write(naive.ArpaText());
  for (auto [mode, file] : {std::pair{Config::WRITE_IN_PLACE, &in_place}, {Config::WRITE_WHEN_DONE, &when_done}}) {
    Config config = QuietConfig();
    config.probing_multiplier = NaiveModel::kPrunedMultiplier;
    config.binary_output_path = file->Name();
    config.binary_write_mode = mode;
    TypeParam model(arpa.Name(), config);
  }
  std::string written = in_place.Read();
  EXPECT_GT(written.size(), 128u);
  EXPECT_EQ(written, when_done.Read());
}

// Long child ranges, where a trie's search takes several probes and the walk
// a step for each: 150 words, nearly every bigram present.
TYPED_TEST(ModelDifferential, WalksThroughLongChildRanges) {
  std::mt19937 rng(23);
  NaiveModel naive(3, rng, false, true, 150, 20000);
  TempFile arpa, binary;
  arpa.Write(naive.ArpaText());
  std::vector<Words> sentences;
  for (unsigned i = 0; i < 4; ++i) {
    std::vector<Words> more = RandomSentences(naive, rng);
    sentences.insert(sentences.end(), more.begin(), more.end());
  }
  Config writing = QuietConfig();
  writing.binary_output_path = binary.Name();
  TypeParam model(arpa.Name(), writing);
  float tolerance = 1e-3f;
  if constexpr (kQuantized<TypeParam>) tolerance += QuantizationBound(naive, binary.Name());
  LongestWalk() = 0;
  CheckAgainstNaive(model, naive, sentences, tolerance);
  // The hash tables take one step per order, a trie more where its
  // searches probe more than once.
  if constexpr (TypeParam::kModelType == PROBING || TypeParam::kModelType == REST_PROBING) {
    EXPECT_LE(LongestWalk(), 3u);
  } else {
    EXPECT_GT(LongestWalk(), 3u);
  }
}

// Loading ARPA text on one thread or two builds the same binary file, for
// small models of every order (pruned or not), a model of many blocks of
// n-grams with pruned suffixes, and the shipped model.
TYPED_TEST(ModelDifferential, ThreadCountsProduceIdenticalFiles) {
  std::mt19937 rng(11);
  std::vector<std::string> arpas;
  for (unsigned order = 2; order <= 6; ++order) {
    for (bool prune : {false, true}) arpas.push_back(NaiveModel(order, rng, prune, order % 2 == 0).ArpaText());
  }
  arpas.push_back(NaiveModel(3, rng, true, true, 150, 20000).ArpaText());
  EXPECT_NE(std::string::npos, arpas.back().find("ngram 3=20000\n"));
  std::ostringstream shipped;
  shipped << std::ifstream("data/kjv-genesis.arpa").rdbuf();
  arpas.push_back(shipped.str());
  for (const std::string &text : arpas) {
    TempFile arpa, one, two;
    arpa.Write(text);
    for (auto [threads, file] : {std::pair{1u, &one}, {2u, &two}}) {
      Config config = QuietConfig();
      config.probing_multiplier = NaiveModel::kPrunedMultiplier;
      config.binary_output_path = file->Name();
      config.arpa_threads = threads;
      TypeParam model(arpa.Name(), config);
    }
    const std::string written = one.Read();
    EXPECT_GT(written.size(), 128u);
    EXPECT_TRUE(written == two.Read()) << text.substr(0, 200);
  }
}

}  // namespace
}  // namespace ngram
}  // namespace lm
