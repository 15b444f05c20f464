// The data-structure options of the tools that build a binary model
// (packmodel, estimatemodel): TYPE probing or trie and the letters that
// refine it.  Each tool parses its own command line and hands these letters
// to Handle.
//
//   -p MULT     probing multiplier
//   -r "F..."   rest costs from lower-order ARPA files (probing)
//   -R          rest costs as the maximum over contexts (probing)
//   -q BITS     quantized probabilities (trie)
//   -b BITS     quantized backoffs (trie)
//   -a BITS     compressed pointers (trie)
#ifndef TOOLS_STRUCTURE_OPTIONS_H
#define TOOLS_STRUCTURE_OPTIONS_H

#include "lm/config.hh"
#include "lm/model_type.hh"

namespace tools {

// The letters Handle takes, in getopt's spelling.
constexpr char kStructureLetters[] = "p:r:Rq:b:a:";

// The lines of the usage texts that describe them.
inline constexpr char kStructureUsage[] =
    "  -p MULT       probing: hash table buckets per entry, above 1.0 (default 1.5)\n"
    "  -r \"FILE...\"  probing with rest costs taken from lower-order ARPA files: one\n"
    "                file for each order below the model's, unigrams first\n"
    "  -R            probing with rest costs, each the maximum over the contexts\n"
    "  -q BITS       trie: quantize log probabilities to BITS bits (backoffs to 8)\n"
    "  -b BITS       trie: quantize backoffs to BITS bits (log probabilities to 8)\n"
    "  -a BITS       trie: compress pointers, moving up to BITS bits into a table\n";

// Whether `name` is a TYPE operand: probing or trie.
bool IsStructureName(const char *name);

class StructureOptions {
 public:
  // Takes TYPE (probing or trie); throws UsageError for another name.
  void SetName(const char *name);

  // Applies option `letter` with `value` to `config`; false for a letter
  // that is not a structure option.  Throws UsageError for a bad value.
  bool Handle(char letter, const char *value, lm::ngram::Config &config);

  // The type to build; throws UsageError when an option belongs to the
  // other structure.
  lm::ngram::ModelType Type() const;

  // Whether Handle has taken an option.
  bool Given() const { return given_; }

 private:
  bool given_ = false;
  bool trie_ = false;
  bool rest_ = false;
  bool quantize_ = false;
  bool compress_ = false;
};

}  // namespace tools

#endif  // TOOLS_STRUCTURE_OPTIONS_H
