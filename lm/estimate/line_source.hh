// lm::estimate::LineSource: the text an estimate is made from, one line at a
// time.
//
// A source hands out lines without their line end; a line stays valid until
// the next call of Next.  Name() and LineNumber() say where the line last
// returned came from, for messages ("corpus.txt", line 12); a source that
// reads several files moves on to the next file when one ends, and its name
// and line number follow.  BytesDone() and TotalBytes() feed a progress bar
// (TotalBytes() is util::kBadSize when the size is unknown, as for standard
// input or compressed text).  A source belongs to one thread.
#ifndef LM_ESTIMATE_LINE_SOURCE_H
#define LM_ESTIMATE_LINE_SOURCE_H

#include "util/string_piece.hh"

#include <cstdint>
#include <string>

namespace lm {
namespace estimate {

class LineSource {
 public:
  virtual ~LineSource() = default;

  // The next line, without its '\n', into `line`; false at the end of the
  // text.  Read errors, damaged compressed data and a line longer than the
  // reader's limit throw util::Exception naming the file.
  virtual bool Next(StringPiece &line) = 0;

  // The file (or "standard input", or the caller's name for lines handed
  // over in memory) of the line last returned.
  virtual const std::string &Name() const = 0;

  // The 1-based number of the line last returned inside Name().
  virtual uint64_t LineNumber() const = 0;

  // Raw bytes taken from the input so far, and in all (util::kBadSize when
  // unknown).
  virtual uint64_t BytesDone() const = 0;
  virtual uint64_t TotalBytes() const = 0;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_LINE_SOURCE_H
