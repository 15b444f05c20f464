#include "util/string_piece.hh"

#include <ostream>

std::ostream &operator<<(std::ostream &out, const StringPiece &piece) {
  return out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
}
