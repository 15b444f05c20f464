// The site text that every quarn binary model file carries in its magic.
// Changing it makes every existing binary file unrecognisable.
#ifndef LM_MAGIC_H
#define LM_MAGIC_H

namespace lm {
namespace ngram {

// Exactly 25 bytes, no zero byte, no newline.
constexpr char kMagicSite[] = "quarn ngram backoff model";
static_assert(sizeof(kMagicSite) == 26);

// "mmap lm " followed by kMagicSite: the first 33 bytes of every binary file,
// kept by the ARPA reader to recognise a binary file given as text.
constexpr char kMagicPrefix[] = "mmap lm quarn ngram backoff model";
static_assert(sizeof(kMagicPrefix) == 34);

}  // namespace ngram
}  // namespace lm

#endif  // LM_MAGIC_H
