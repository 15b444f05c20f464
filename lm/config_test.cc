#include "lm/config.hh"

#include "lm/lm_exception.hh"

#include <gtest/gtest.h>

#include <exception>
#include <iostream>
#include <sstream>
#include <string>

namespace lm {
namespace ngram {
namespace {

TEST(ConfigTest, Defaults) {
  const Config config;
  EXPECT_TRUE(config.show_progress);
  EXPECT_EQ(&std::cerr, config.message_stream);
  EXPECT_EQ(nullptr, config.enumerate_vocab);
  EXPECT_EQ(COMPLAIN, config.missing_unk_action);
  EXPECT_EQ(THROW_ERROR, config.missing_marker_action);
  EXPECT_EQ(THROW_ERROR, config.positive_log_probability);
  EXPECT_EQ(-100.0f, config.missing_unk_log_prob);
  EXPECT_EQ(1.5f, config.probing_multiplier);
  EXPECT_EQ(1073741824u, config.sort_memory);
  EXPECT_EQ("", config.temp_prefix);
  EXPECT_EQ(Config::ALL, config.arpa_complain);
  EXPECT_EQ(nullptr, config.binary_output_path);
  EXPECT_EQ(Config::WRITE_WHEN_DONE, config.binary_write_mode);
  EXPECT_TRUE(config.binary_keeps_words);
  EXPECT_EQ(Config::REST_FROM_MAX, config.rest_kind);
  EXPECT_TRUE(config.rest_lower_files.empty());
  EXPECT_EQ(8, config.quant_prob_bits);
  EXPECT_EQ(8, config.quant_backoff_bits);
  EXPECT_EQ(22, config.array_pointer_bits);
  EXPECT_EQ(util::POPULATE_OR_READ, config.load_method);
}

// Binary files and the Python layer carry these as integers.
TEST(ConfigTest, EnumeratorValues) {
  EXPECT_EQ(0, THROW_ERROR);
  EXPECT_EQ(1, COMPLAIN);
  EXPECT_EQ(2, SILENT);
  EXPECT_EQ(0, Config::ALL);
  EXPECT_EQ(1, Config::EXPENSIVE);
  EXPECT_EQ(2, Config::NONE);
  EXPECT_EQ(0, Config::WRITE_IN_PLACE);
  EXPECT_EQ(1, Config::WRITE_WHEN_DONE);
  EXPECT_EQ(0, Config::REST_FROM_MAX);
  EXPECT_EQ(1, Config::REST_FROM_LOWER);
}

TEST(ConfigTest, ProgressGoesToMessageStreamOnlyWhenShown) {
  std::ostringstream out;
  Config config;
  config.message_stream = &out;
  EXPECT_EQ(&out, config.ProgressMessages());
  config.show_progress = false;
  EXPECT_EQ(nullptr, config.ProgressMessages());
  config.show_progress = true;
  config.message_stream = nullptr;
  EXPECT_EQ(nullptr, config.ProgressMessages());
}

// Whether an exception thrown as Thrown is caught by a handler for Caught.
template <class Thrown, class Caught> bool CaughtAs() {
  try {
    throw Thrown();
  } catch (const Caught &) {
    return true;
  } catch (...) {
    return false;
  }
}

TEST(LMExceptionTest, Hierarchy) {
  EXPECT_TRUE((CaughtAs<SpecialWordMissingException, VocabLoadException>()));
  EXPECT_TRUE((CaughtAs<SpecialWordMissingException, LoadException>()));
  EXPECT_TRUE((CaughtAs<SpecialWordMissingException, util::Exception>()));
  EXPECT_TRUE((CaughtAs<SpecialWordMissingException, std::exception>()));
  EXPECT_TRUE((CaughtAs<FormatLoadException, LoadException>()));
  EXPECT_FALSE((CaughtAs<FormatLoadException, VocabLoadException>()));
  EXPECT_TRUE((CaughtAs<ConfigException, util::Exception>()));
  EXPECT_FALSE((CaughtAs<ConfigException, LoadException>()));
}

void ThrowFormat(int order) {
  UTIL_THROW_IF(order > 6, FormatLoadException, "This model has order " << order << '.');
}

TEST(LMExceptionTest, ThrownTextNamesModuleClassAndCondition) {
  try {
    ThrowFormat(7);
    FAIL() << "nothing thrown";
  } catch (const LoadException &e) {
    const std::string what = e.what();
    EXPECT_EQ(0u, what.find("lm/config_test:")) << what;
    EXPECT_NE(std::string::npos,
              what.find(" threw FormatLoadException because `order > 6'.\nThis model has order 7."))
        << what;
  }
  EXPECT_NO_THROW(ThrowFormat(6));
}

}  // namespace
}  // namespace ngram
}  // namespace lm
