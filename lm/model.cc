#include "lm/model.hh"

#include "lm/lm_exception.hh"
#include "lm/max_order.hh"
#include "lm/read_arpa.hh"
#include "util/file.hh"
#include "util/file_piece.hh"

#include <ostream>
#include <type_traits>

namespace lm {
namespace ngram {
namespace detail {
namespace {

void CheckCounts(const std::vector<uint64_t> &counts) {
  UTIL_THROW_IF_TEXT(counts.size() > QUARN_MAX_ORDER, "counts.size() > " QUARN_MAX_ORDER_TEXT, FormatLoadException, ,
                     "This model has order " << counts.size() << " but Quarn was compiled to support up to "
                                             << QUARN_MAX_ORDER << ".  "
                                             << "If your build system supports changing QUARN_MAX_ORDER, change it "
                                                "there and recompile.  With cmake:\n cmake -DQUARN_MAX_ORDER=10 ..\n"
                                                "With Orvel:\n bjam --max-quarn-order=10 -a\n"
                                                "Otherwise, edit lm/max_order.");
}

// Every ARPA entry takes at least four bytes (a probability, a tab, a word
// and a line end), so a header that claims more n-grams than the file can
// hold is refused before memory is set aside for them.  `file_size` is
// util::kBadSize for a pipe.
void CheckCountsFitFile(const std::vector<uint64_t> &counts, uint64_t file_size) {
  if (file_size == util::kBadSize) return;
  uint64_t total = 0;
  for (uint64_t count : counts) total += count;
  UTIL_THROW_IF(total > file_size / 4, FormatLoadException,
                "The ARPA header claims " << total << " n-grams, more than a file of " << file_size
                                          << " bytes can hold");
}

// A directory or an empty file gets a message of its own; either would
// otherwise fail deep in the mapping code.
void CheckModelFile(int fd, const char *file) {
  UTIL_THROW_IF(util::IsDirectory(fd), FormatLoadException, file << " is a directory, not a language model file.");
  UTIL_THROW_IF(util::SizeFile(fd) == 0, FormatLoadException,
                file << " is empty: it is neither an ARPA file nor a binary model.");
}

// Creating the binary output would truncate the ARPA text before it is read.
void CheckOutputIsNotInput(int fd, const char *file, const Config &config) {
  UTIL_THROW_IF(config.binary_output_path && util::IsSameFile(fd, config.binary_output_path), ConfigException,
                "The binary output file " << config.binary_output_path << " is the ARPA file " << file
                                          << " being read; writing it would destroy the model.  Choose another "
                                             "output file.");
}

void CheckProbingMultiplier(const Config &config) {
  UTIL_THROW_IF(config.probing_multiplier <= 1.0, ConfigException, "probing multiplier must be > 1.0");
  UTIL_THROW_IF(!(config.probing_multiplier <= kMaxProbingMultiplier), ConfigException,
                "probing multiplier must be at most " << kMaxProbingMultiplier);
}

void CheckAtLeastBigram(const std::vector<uint64_t> &counts) {
  UTIL_THROW_IF(counts.size() < 2, FormatLoadException, "This ngram implementation assumes at least a bigram model.");
}

// The notice printed when a model is built from ARPA text.
void ComplainAboutARPA(const Config &config, ModelType model_type) {
  if (config.binary_output_path || !config.message_stream) return;
  std::ostream &out = *config.message_stream;
  switch (config.arpa_complain) {
    case Config::ALL:
      out << "Loading the LM will be faster if you build a binary file." << std::endl;
      break;
    case Config::EXPENSIVE:
      if (IsTrie(model_type))
        out << "Building " << kModelNames[model_type] << " from ARPA is expensive.  Save time by building a binary format."
            << std::endl;
      break;
    default:
      break;
  }
}

}  // namespace

template <class Search, class VocabularyT>
uint64_t GenericModel<Search, VocabularyT>::Size(const std::vector<uint64_t> &counts, const Config &config) {
  return VocabularyT::Size(counts[0], config) + Search::Size(counts, config);
}

template <class Search, class VocabularyT>
GenericModel<Search, VocabularyT>::GenericModel(const char *file, const Config &config) : backing_(config) {
  // Refused for ARPA text too, where it would go unused: the value is wrong.
  UTIL_THROW_IF(config.load_method > util::PARALLEL_READ, ConfigException,
                "Unknown load method " << static_cast<uint32_t>(config.load_method));
  util::scoped_fd fd(util::OpenReadOrThrow(file));
  CheckModelFile(fd.get(), file);
  if (IsBinaryFormat(fd.get())) {
    LoadBinary(fd.release(), config);
  } else {
    CheckOutputIsNotInput(fd.get(), file, config);
    ComplainAboutARPA(config, kModelType);
    InitializeFromARPA(fd.release(), file, config);
  }
  SetReferenceStates();
}

template <class Search, class VocabularyT>
void GenericModel<Search, VocabularyT>::LoadBinary(int fd, const Config &config) {
  Parameters parameters;
  backing_.InitializeBinary(fd, kModelType, kVersion, parameters);
  CheckCounts(parameters.counts);
  CheckAtLeastBigram(parameters.counts);
  CheckCountRange(parameters.counts);
  Config new_config(config);
  new_config.probing_multiplier = parameters.fixed.probing_multiplier;
  Search::UpdateConfigFromBinary(backing_, parameters.counts, VocabularyT::Size(parameters.counts[0], new_config),
                                 new_config);
  UTIL_THROW_IF(new_config.enumerate_vocab && !parameters.fixed.has_vocabulary, FormatLoadException,
                "The decoder requested all the vocabulary strings, but this binary file does not have them.  "
                "You may need to rebuild the binary file with an updated version of packmodel.");
  SetupMemory(backing_.LoadBinary(Size(parameters.counts, new_config)), parameters.counts, new_config);
  vocab_.LoadedBinary(parameters.fixed.has_vocabulary, backing_.FileDescriptor(), new_config.enumerate_vocab,
                      backing_.VocabStringReadingOffset());
  UTIL_THROW_IF(vocab_.Bound() > parameters.counts[0] + 1, FormatLoadException,
                "The binary file's vocabulary is damaged: it has " << vocab_.Bound() << " word identifiers but only "
                                                                   << parameters.counts[0] << " unigrams");
}

template <class Search, class VocabularyT>
void GenericModel<Search, VocabularyT>::SetupMemory(void *base, const std::vector<uint64_t> &counts,
                                                    const Config &config) {
  const uint64_t goal = Size(counts, config);
  bytes_ = goal;
  const uint64_t vocab_size = VocabularyT::Size(counts[0], config);
  uint8_t *start = static_cast<uint8_t *>(base);
  vocab_.SetupMemory(start, vocab_size, counts[0], config);
  uint8_t *end = search_.SetupMemory(start + vocab_size, counts, config);
  UTIL_THROW_IF(static_cast<uint64_t>(end - start) != goal, FormatLoadException,
                "The data structures took " << static_cast<uint64_t>(end - start)
                                            << " but Size says they should take " << goal);
}

template <class Search, class VocabularyT>
void GenericModel<Search, VocabularyT>::InitializeFromARPA(int fd, const char *file, const Config &config) {
  const uint64_t file_size = util::SizeFile(fd);
  util::FilePiece f(fd, file, config.ProgressMessages(), kARPAReaderBuffer);
  try {
    std::vector<uint64_t> counts;
    ReadARPACounts(f, counts);
    CheckCounts(counts);
    CheckAtLeastBigram(counts);
    CheckCountsFitFile(counts, file_size);
    CheckProbingMultiplier(config);

    const uint64_t vocab_size = VocabularyT::Size(counts[0], config);
    vocab_.SetupMemory(backing_.SetupJustVocab(vocab_size, counts.size()), vocab_size, counts[0], config);

    if (config.binary_output_path && config.binary_keeps_words) {
      WriteWordsWrapper wrap(config.enumerate_vocab);
      vocab_.ConfigureEnumerate(&wrap, counts[0]);
      search_.InitializeFromARPA(file, f, counts, config, vocab_, backing_);
      void *vocab_base;
      void *search_base;
      backing_.WriteVocabWords(wrap.Buffer(), vocab_base, search_base);
      vocab_.Relocate(vocab_base);
      search_.SetupMemory(static_cast<uint8_t *>(search_base), counts, config);
    } else {
      vocab_.ConfigureEnumerate(config.enumerate_vocab, counts[0]);
      search_.InitializeFromARPA(file, f, counts, config, vocab_, backing_);
    }

    if (!vocab_.SawUnk()) search_.SetUnknownUnigram(config.missing_unk_log_prob);
    backing_.FinishFile(config, kModelType, kVersion, counts);
  } catch (util::Exception &e) {
    e << " Byte: " << f.ByteOffset();
    throw;
  }
}

template <class Search, class VocabularyT>
void GenericModel<Search, VocabularyT>::SetReferenceStates() {
  State begin_sentence = State();
  begin_sentence.length = 1;
  begin_sentence.words[0] = vocab_.BeginSentenceIndex();
  Node ignored_node;
  bool ignored_left_closed;
  uint64_t ignored_left_handle;
  begin_sentence.backoff[0] =
      search_.LookupUnigram(begin_sentence.words[0], ignored_node, ignored_left_closed, ignored_left_handle).GetBackoff();
  State null_context = State();
  P::Init(begin_sentence, null_context, vocab_, search_.Order());
}

template class GenericModel<HashedSearch<BackoffValue>, ProbingVocabulary>;
template class GenericModel<HashedSearch<RestValue>, ProbingVocabulary>;
template class GenericModel<trie::TrieSearch<DontQuantize, trie::DontHighbit>, SortedVocabulary>;
template class GenericModel<trie::TrieSearch<SeparatelyQuantize, trie::DontHighbit>, SortedVocabulary>;
template class GenericModel<trie::TrieSearch<DontQuantize, trie::ArrayHighbit>, SortedVocabulary>;
template class GenericModel<trie::TrieSearch<SeparatelyQuantize, trie::ArrayHighbit>, SortedVocabulary>;

}  // namespace detail

base::Model *LoadVirtual(const char *file_name, const Config &config, ModelType model_type) {
  RecognizeBinary(file_name, model_type);
  return WithModelClass(model_type, [&]<class M>() -> base::Model * { return new M(file_name, config); });
}

void CheckBuildConfig(const Config &config, ModelType model_type) {
  detail::CheckProbingMultiplier(config);
  if (model_type == QUANT_TRIE || model_type == QUANT_ARRAY_TRIE) SeparatelyQuantize::CheckBitCounts(config);
}

}  // namespace ngram
}  // namespace lm
