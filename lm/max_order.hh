// QUARN_MAX_ORDER: the highest n-gram order that the library supports.
//
// It sizes the context arrays of lm::ngram::State (QUARN_MAX_ORDER - 1 words)
// and the per-order arrays of the builders, and loading refuses models of a
// higher order.  A build may override it by defining the macro before this
// header is read (for example with -DQUARN_MAX_ORDER=10 on the compiler's
// command line); every translation unit must then see the same value.
#ifndef LM_MAX_ORDER_H
#define LM_MAX_ORDER_H

#ifndef QUARN_MAX_ORDER
#define QUARN_MAX_ORDER 6
#endif

#endif  // LM_MAX_ORDER_H
