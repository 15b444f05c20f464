// ArpaTable: the n-grams of an ARPA model in plain maps, for tests that
// compare estimates.  ReadArpaTableForTest parses a file (the \data\ counts
// and every section; a count that disagrees with its section, a malformed
// entry or a repeated n-gram throws), ArpaTableText writes one back as ARPA
// text, and ArpaTablesMatch holds one table to another: the same orders, the
// same header counts, the same n-grams, every log10 probability and backoff
// within a tolerance, and a backoff present exactly where expected.
#ifndef LM_ESTIMATE_ARPA_TABLE_FOR_TEST_H
#define LM_ESTIMATE_ARPA_TABLE_FOR_TEST_H

#include "util/exception.hh"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace estimate {

typedef std::vector<std::string> Words;  // text order

struct ArpaEntry {
  double log10_prob = 0;
  std::optional<double> log10_backoff;
};

struct ArpaTable {
  // counts[n - 1]: the \data\ count of order n.
  std::vector<uint64_t> counts;
  // orders[n - 1]: the n-grams of order n.
  std::vector<std::map<Words, ArpaEntry>> orders;
};

inline ArpaTable ReadArpaTableForTest(const std::string &path) {
  std::ifstream file(path);
  UTIL_THROW_IF(!file, util::Exception, "Cannot open " << path);
  ArpaTable table;
  std::string line;
  while (std::getline(file, line) && line.empty()) {}
  UTIL_THROW_IF(line != "\\data\\", util::Exception, path << " does not begin with \\data\\");
  while (std::getline(file, line) && !line.empty()) {
    unsigned order;
    unsigned long long count;
    UTIL_THROW_IF(std::sscanf(line.c_str(), "ngram %u=%llu", &order, &count) != 2 || order != table.counts.size() + 1,
                  util::Exception, path << ": bad count line " << line);
    table.counts.push_back(count);
  }
  table.orders.resize(table.counts.size());
  for (std::size_t n = 1; n <= table.counts.size(); ++n) {
    std::string heading = "\\";
    heading += std::to_string(n);
    heading += "-grams:";
    while (std::getline(file, line) && line.empty()) {}
    UTIL_THROW_IF(line != heading, util::Exception, path << ": expected " << heading << ", not " << line);
    std::map<Words, ArpaEntry> &entries = table.orders[n - 1];
    while (std::getline(file, line) && !line.empty()) {
      std::istringstream fields(line);
      ArpaEntry entry;
      Words words(n);
      UTIL_THROW_IF(!(fields >> entry.log10_prob), util::Exception, path << ": bad entry " << line);
      for (std::string &word : words) UTIL_THROW_IF(!(fields >> word), util::Exception, path << ": bad entry " << line);
      double backoff;
      if (fields >> backoff) entry.log10_backoff = backoff;
      std::string rest;
      UTIL_THROW_IF(fields >> rest, util::Exception, path << ": bad entry " << line);
      UTIL_THROW_IF(!entries.emplace(words, entry).second, util::Exception, path << ": repeated " << line);
    }
    UTIL_THROW_IF(entries.size() != table.counts[n - 1], util::Exception,
                  path << ": " << entries.size() << " " << n << "-grams where the header says " << table.counts[n - 1]);
  }
  while (std::getline(file, line) && line.empty()) {}
  UTIL_THROW_IF(line != "\\end\\", util::Exception, path << " does not end with \\end\\");
  return table;
}

inline std::string ArpaTableText(const ArpaTable &table) {
  std::ostringstream out;
  out.precision(9);
  out << "\\data\\\n";
  for (std::size_t n = 1; n <= table.orders.size(); ++n) out << "ngram " << n << '=' << table.orders[n - 1].size() << '\n';
  for (std::size_t n = 1; n <= table.orders.size(); ++n) {
    out << "\n\\" << n << "-grams:\n";
    for (const auto &[words, entry] : table.orders[n - 1]) {
      out << entry.log10_prob << '\t';
      for (std::size_t i = 0; i < words.size(); ++i) out << (i ? " " : "") << words[i];
      if (entry.log10_backoff) out << '\t' << *entry.log10_backoff;
      out << '\n';
    }
  }
  out << "\n\\end\\\n";
  return out.str();
}

namespace detail {

inline std::string Joined(const Words &words) {
  std::string out;
  for (const std::string &word : words) {
    if (!out.empty()) out += ' ';
    out += word;
  }
  return out;
}

// Appends the differences of one order to `report`; counts them in `found`.
inline void CompareOrder(std::size_t n, const std::map<Words, ArpaEntry> &expected,
                         const std::map<Words, ArpaEntry> &actual, double tolerance, std::ostringstream &report,
                         std::size_t &found) {
  const std::size_t kShown = 20;
  auto note = [&](const Words &words, const std::string &what) {
    if (found++ < kShown) report << "  " << n << "-gram \"" << Joined(words) << "\": " << what << '\n';
  };
  for (const auto &[words, entry] : expected) {
    auto other = actual.find(words);
    if (other == actual.end()) {
      note(words, "missing");
      continue;
    }
    const ArpaEntry &got = other->second;
    if (!(std::fabs(entry.log10_prob - got.log10_prob) <= tolerance))
      note(words, "log10 p " + std::to_string(got.log10_prob) + ", expected " + std::to_string(entry.log10_prob));
    if (entry.log10_backoff.has_value() != got.log10_backoff.has_value()) {
      note(words, entry.log10_backoff ? "no backoff, expected one" : "a backoff, expected none");
    } else if (entry.log10_backoff && !(std::fabs(*entry.log10_backoff - *got.log10_backoff) <= tolerance)) {
      note(words, "log10 backoff " + std::to_string(*got.log10_backoff) + ", expected " +
                      std::to_string(*entry.log10_backoff));
    }
  }
  for (const auto &[words, entry] : actual)
    if (!expected.count(words)) note(words, "not expected");
}

}  // namespace detail

inline ::testing::AssertionResult ArpaTablesMatch(const ArpaTable &expected, const ArpaTable &actual,
                                                  double tolerance = 1e-6) {
  if (expected.orders.size() != actual.orders.size())
    return ::testing::AssertionFailure() << "order " << actual.orders.size() << ", expected " << expected.orders.size();
  std::ostringstream report;
  std::size_t found = 0;
  for (std::size_t n = 1; n <= expected.orders.size(); ++n) {
    if (expected.counts.size() >= n && actual.counts.size() >= n && expected.counts[n - 1] != actual.counts[n - 1]) {
      report << "  ngram " << n << '=' << actual.counts[n - 1] << ", expected " << expected.counts[n - 1] << '\n';
      ++found;
    }
    detail::CompareOrder(n, expected.orders[n - 1], actual.orders[n - 1], tolerance, report, found);
  }
  if (!found) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << found << " differences:\n" << report.str();
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_ARPA_TABLE_FOR_TEST_H
