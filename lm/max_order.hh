// QUARN_MAX_ORDER: the highest n-gram order that the library supports.
//
// It sizes the context arrays of lm::ngram::State (QUARN_MAX_ORDER - 1 words)
// and the per-order arrays of the builders, and loading refuses models of a
// higher order.  A build may override it by defining the macro before this
// header is read; the CMake cache variable QUARN_MAX_ORDER does that for the
// library and, as a public definition, for every target that links it, since
// all translation units must see the same value.
#ifndef LM_MAX_ORDER_H
#define LM_MAX_ORDER_H

#ifndef QUARN_MAX_ORDER
#define QUARN_MAX_ORDER 6
#endif

// The value as a string literal, for messages.
#define QUARN_MAX_ORDER_STRING_(value) #value
#define QUARN_MAX_ORDER_STRING(value) QUARN_MAX_ORDER_STRING_(value)
#define QUARN_MAX_ORDER_TEXT QUARN_MAX_ORDER_STRING(QUARN_MAX_ORDER)

static_assert(QUARN_MAX_ORDER >= 2, "QUARN_MAX_ORDER must be at least 2");

#endif  // LM_MAX_ORDER_H
