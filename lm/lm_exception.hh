// The library's own exception classes.  Each adds nothing but its type to
// util::Exception: throw sites fill them with UTIL_THROW* and the util::<<
// chain like any other member of the family.
//
//   ConfigException            configuration values that cannot work
//   LoadException              base of every load failure, never thrown as is
//     FormatLoadException      malformed, unsupported or inconsistent input
//     VocabLoadException       base of vocabulary failures, never thrown as is
//       SpecialWordMissingException  <unk>, <s> or </s> absent and the
//                                    configuration says to throw
#ifndef LM_LM_EXCEPTION_H
#define LM_LM_EXCEPTION_H

#include "util/exception.hh"

namespace lm {

class ConfigException : public util::Exception {
 public:
  ConfigException() noexcept;
  ~ConfigException() noexcept override;
};

class LoadException : public util::Exception {
 public:
  LoadException() noexcept;
  ~LoadException() noexcept override;
};

class FormatLoadException : public LoadException {
 public:
  FormatLoadException() noexcept;
  ~FormatLoadException() noexcept override;
};

class VocabLoadException : public LoadException {
 public:
  VocabLoadException() noexcept;
  ~VocabLoadException() noexcept override;
};

class SpecialWordMissingException : public VocabLoadException {
 public:
  SpecialWordMissingException() noexcept;
  ~SpecialWordMissingException() noexcept override;
};

}  // namespace lm

#endif  // LM_LM_EXCEPTION_H
