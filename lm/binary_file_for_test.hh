// BinaryFileForTest: a finished binary model file whose search region holds
// given bytes, opened for reading, for tests of the parameters a search
// structure reads back from a file (BinaryFormat::ReadForConfig).
#ifndef LM_BINARY_FILE_FOR_TEST_H
#define LM_BINARY_FILE_FOR_TEST_H

#include "lm/binary_format.hh"
#include "lm/config.hh"
#include "lm/model_type.hh"
#include "util/file.hh"
#include "util/temp_file_for_test.hh"

#include <cstdint>
#include <cstring>
#include <vector>

namespace lm {
namespace ngram {

class BinaryFileForTest {
 public:
  // Bytes of the vocabulary region in front of the search region.
  static constexpr uint64_t kVocabBytes = 16;

  // A trigram file of `type` (counts 4, 3, 2) whose search region is `search`.
  BinaryFileForTest(ModelType type, const std::vector<uint8_t> &search) : reader_(Config()) {
    Config config;
    config.binary_output_path = file_.Name();
    config.binary_write_mode = Config::WRITE_WHEN_DONE;
    const std::vector<uint64_t> counts = {4, 3, 2};
    {
      BinaryFormat writer(config);
      writer.SetupJustVocab(kVocabBytes, static_cast<uint8_t>(counts.size()));
      void *vocab;
      std::memcpy(writer.GrowForSearch(search.size(), 0, vocab), search.data(), search.size());
      writer.FinishFile(config, type, 1, counts);
    }
    Parameters params;
    reader_.InitializeBinary(util::OpenReadOrThrow(file_.Name()), type, 1, params);
  }

  const BinaryFormat &format() const { return reader_; }

 private:
  util::TempFileForTest file_;
  BinaryFormat reader_;
};

}  // namespace ngram
}  // namespace lm

#endif  // LM_BINARY_FILE_FOR_TEST_H
