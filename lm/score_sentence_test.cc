#include "lm/score_sentence.hh"

#include "lm/config.hh"
#include "lm/model.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace lm {
namespace base {
namespace {

// Expected scores below are worked out by hand from these numbers.
const char kArpa[] =
    "\\data\\\n"
    "ngram 1=5\n"
    "ngram 2=4\n"
    "ngram 3=2\n"
    "\n\\1-grams:\n"
    "-1.0\t<unk>\n"
    "-99\t<s>\t-0.5\n"
    "-1.2\t</s>\n"
    "-0.7\ta\t-0.3\n"
    "-0.9\tb\t-0.2\n"
    "\n\\2-grams:\n"
    "-0.4\t<s> a\t-0.1\n"
    "-0.6\ta b\t-0.15\n"
    "-0.5\tb </s>\n"
    "-0.8\ta a\n"
    "\n\\3-grams:\n"
    "-0.2\t<s> a b\n"
    "-0.3\ta b </s>\n"
    "\n\\end\\\n";

class ScoreSentenceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    util::TempFileForTest arpa(kArpa);
    ngram::Config config;
    config.message_stream = nullptr;
    model_.reset(ngram::LoadVirtual(arpa.Name(), config));
  }
  static void TearDownTestSuite() { model_.reset(); }

  static std::unique_ptr<Model> model_;
};

std::unique_ptr<Model> ScoreSentenceTest::model_;

TEST_F(ScoreSentenceTest, HandComputedScores) {
  struct Case {
    const char *sentence;
    double expected;
  } cases[] = {
      // p(a|<s>) + p(b|<s> a) + p(</s>|a b)
      {"a b", -0.4 - 0.2 - 0.3},
      {"  a\t\tb\r\n\v\f", -0.4 - 0.2 - 0.3},
      // The sentence ends at its NUL byte.
      {"a b\0zzz", -0.4 - 0.2 - 0.3},
      // backoff(<s>) + p(b); backoff(b) + p(a); backoff(a) + p(</s>)
      {"b a", (-0.5 - 0.9) + (-0.2 - 0.7) + (-0.3 - 1.2)},
      // p(a|<s>); p(a|a) + backoff(<s> a); p(b|a); p(</s>|a b)
      {"a a b", -0.4 + (-0.8 - 0.1) - 0.6 - 0.3},
      // backoff(<s>) + p(</s>)
      {"", -0.5 - 1.2},
      {" \t ", -0.5 - 1.2},
      // Unknown words score as <unk>; 0xA0 is not whitespace, so "a\xA0b" is
      // one unknown word.
      {"zzz", (-0.5 - 1.0) - 1.2},
      {"a\xA0" "b", (-0.5 - 1.0) - 1.2},
      {"<unk>", (-0.5 - 1.0) - 1.2},
  };
  for (const Case &c : cases) EXPECT_NEAR(c.expected, ScoreSentence(model_.get(), c.sentence), 1e-5) << c.sentence;
}

TEST_F(ScoreSentenceTest, NullIsTheEmptySentence) {
  EXPECT_EQ(ScoreSentence(model_.get(), ""), ScoreSentence(model_.get(), nullptr));
}

// The sum is a 32-bit float accumulated word by word, bit for bit.
TEST_F(ScoreSentenceTest, SumsInSinglePrecision) {
  const Vocabulary &vocab = model_->VocabularyView();
  ngram::State in, out;
  model_->BeginSentenceWrite(&in);
  float expected = 0.0f;
  for (const char *word : {"a", "a", "b", "zzz", "b", "a", "b"}) {
    expected += model_->BaseScore(&in, vocab.Index(word), &out);
    in = out;
  }
  expected += model_->BaseScore(&in, vocab.EndSentenceIndex(), &out);
  EXPECT_EQ(expected, ScoreSentence(model_.get(), "a a b zzz b a b"));
}

}  // namespace
}  // namespace base
}  // namespace lm
