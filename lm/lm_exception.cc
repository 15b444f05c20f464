#include "lm/lm_exception.hh"

namespace lm {

ConfigException::ConfigException() noexcept {}
ConfigException::~ConfigException() noexcept {}

LoadException::LoadException() noexcept {}
LoadException::~LoadException() noexcept {}

FormatLoadException::FormatLoadException() noexcept {}
FormatLoadException::~FormatLoadException() noexcept {}

VocabLoadException::VocabLoadException() noexcept {}
VocabLoadException::~VocabLoadException() noexcept {}

SpecialWordMissingException::SpecialWordMissingException() noexcept {}
SpecialWordMissingException::~SpecialWordMissingException() noexcept {}

}  // namespace lm
