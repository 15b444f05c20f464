# Types of the extension module quarn.  Words, sentences and paths are str
# (encoded as UTF-8) or bytes; a model's path may also be a path object.
import os
from collections.abc import Generator, Iterable
from typing import Final, NamedTuple, NoReturn

from typing_extensions import disjoint_base

@disjoint_base
class FullScoreReturn:
    def __new__(cls, log_prob: float, ngram_length: int, oov: object) -> FullScoreReturn: ...
    @property
    def log_prob(self) -> float: ...
    @property
    def ngram_length(self) -> int: ...
    @property
    def oov(self) -> bool: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

@disjoint_base
class State:
    # Arguments are accepted and ignored.
    def __new__(cls, *args: object, **kwargs: object) -> State: ...
    # Ordering and equality take another State and raise TypeError otherwise.
    def __lt__(self, qb: State, /) -> bool: ...
    def __le__(self, qb: State, /) -> bool: ...
    def __gt__(self, qb: State, /) -> bool: ...
    def __ge__(self, qb: State, /) -> bool: ...
    def __eq__(self, qb: object, /) -> bool: ...
    def __ne__(self, qb: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __copy__(self) -> State: ...
    def __deepcopy__(self, memo: object = None) -> State: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

@disjoint_base
class Config:
    def __init__(self) -> None: ...
    # One of the LoadMethod values.
    load_method: int
    show_progress: bool
    # One of the ARPALoadComplain values.
    arpa_complain: int
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

@disjoint_base
class Model:
    # The absolute path the model was loaded from.
    path: bytes | None
    def __init__(
        self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], config: Config | None = None
    ) -> None: ...
    def score(self, sentence: str | bytes, bos: object = True, eos: object = True) -> float: ...
    # score(sentence, bos, eos) of every sentence; threads = 0: one per processor.
    def score_batch(
        self, sentences: Iterable[str | bytes], bos: object = True, eos: object = True, threads: int = 1
    ) -> list[float]: ...
    def perplexity(self, sentence: str | bytes) -> float: ...
    # (log10 probability, n-gram length, out of vocabulary) for each word,
    # then for </s> when eos is true.
    def full_scores(
        self, sentence: str | bytes, bos: object = True, eos: object = True
    ) -> Generator[tuple[float, int, bool], None, None]: ...
    def BeginSentenceWrite(self, state: State) -> None: ...
    def NullContextWrite(self, state: State) -> None: ...
    def BaseScore(self, in_state: State, word: str, out_state: State) -> float: ...
    def BaseFullScore(self, in_state: State, word: str, out_state: State) -> FullScoreReturn: ...
    def __reduce__(self) -> tuple[type[Model], tuple[bytes | None]]: ...
    @property
    def order(self) -> int: ...
    def __contains__(self, word: str | bytes, /) -> bool: ...

class LanguageModel(Model): ...

class LoadMethod:
    LAZY: Final = 0
    POPULATE_OR_LAZY: Final = 1
    POPULATE_OR_READ: Final = 2
    READ: Final = 3
    PARALLEL_READ: Final = 4

class ARPALoadComplain:
    ALL: Final = 0
    EXPENSIVE: Final = 1
    NONE: Final = 2

class EstimateOrder(NamedTuple):
    # The order's n-grams in the model (all of V for unigrams).
    ngrams: int
    # t1..t4: how many n-grams of the order have adjusted count 1..4.
    count_of_counts: tuple[int, int, int, int]
    # D1, D2, D3+.
    discounts: tuple[float, float, float]
    fallback_used: bool

class EstimateResult(NamedTuple):
    lines: int
    tokens: int
    vocabulary: int
    # Unigrams first.
    orders: list[EstimateOrder]

# Writes an interpolated modified Kneser-Ney model of `order` estimated from
# `text` (a path, or an iterable of lines) to `output`: ARPA, or a binary
# model of the type `binary` names ("probing", "trie", ...); with
# `counts_only`, the count file of `text` instead.  `limit_vocab` names a
# file of the words to keep, `prune` gives the count thresholds T2, T3, ... of
# pruning; `threads` is 1 or 2 (0: one per processor).
def estimate(
    text: str | bytes | os.PathLike[str] | os.PathLike[bytes] | Iterable[str | bytes],
    order: int,
    output: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    *,
    memory: int | str | bytes = "1G",
    temp_prefix: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None,
    discount_fallback: bool | tuple[float, float, float] | list[float] | None = None,
    limit_vocab: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None,
    prune: Iterable[int] | None = None,
    threads: int = 2,
    show_progress: bool = True,
    binary: str | bytes | None = None,
    counts_only: bool = False,
) -> EstimateResult: ...

# Merges count files that estimate(..., counts_only=True) wrote (all of one
# order) and writes the model of their order to `output` as estimate() does,
# pruned by `prune` as there.
def estimate_from_counts(
    counts: Iterable[str | bytes | os.PathLike[str] | os.PathLike[bytes]],
    output: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    *,
    memory: int | str | bytes = "1G",
    temp_prefix: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None,
    discount_fallback: bool | tuple[float, float, float] | list[float] | None = None,
    prune: Iterable[int] | None = None,
    threads: int = 2,
    show_progress: bool = True,
    binary: str | bytes | None = None,
) -> EstimateResult: ...
