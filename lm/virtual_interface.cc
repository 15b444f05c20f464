#include "lm/virtual_interface.hh"

namespace lm {
namespace base {

Vocabulary::~Vocabulary() {}
Model::~Model() {}

}  // namespace base
}  // namespace lm
