// Weights records filled by the ARPA reader and stored by the search
// structures: 32-bit log10 probability, then log10 backoff, then rest cost.
// Plain records copied byte for byte; binary model files store them as is.
#ifndef LM_WEIGHTS_H
#define LM_WEIGHTS_H

namespace lm {

struct Prob {
  float prob;
};

struct ProbBackoff {
  float prob;
  float backoff;
};

struct RestWeights {
  float prob;
  float backoff;
  float rest;
};

}  // namespace lm

#endif  // LM_WEIGHTS_H
