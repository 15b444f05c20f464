"""Every class, method and property of quarn used once, for the type check
in test_typing.py (mypy --strict must accept it) and run there too, so that
what the stubs claim is also what the module returns."""
import copy

import quarn


def use_every_name(path: str) -> list[object]:
    config = quarn.Config()
    config.load_method = quarn.LoadMethod.READ
    config.show_progress = False
    config.arpa_complain = quarn.ARPALoadComplain.NONE
    model = quarn.Model(path, config)
    by_bytes = quarn.LanguageModel(path.encode(), config)

    state, out = quarn.State(), quarn.State()
    model.BeginSentenceWrite(state)
    model.NullContextWrite(out)
    log_prob: float = model.BaseScore(state, 'a', out)
    ret: quarn.FullScoreReturn = model.BaseFullScore(out, 'b', state)
    rebuilt = quarn.FullScoreReturn(ret.log_prob, ret.ngram_length, ret.oov)

    scores: list[tuple[float, int, bool]] = list(model.full_scores('a b', bos=True, eos=False))
    same_state: bool = state == copy.copy(state) and not state < copy.deepcopy(state)
    path_bytes: bytes | None = model.path
    reduced = model.__reduce__()
    return [
        config.load_method, config.show_progress, config.arpa_complain,
        model.order, by_bytes.order, 'a' in model, b'b' in by_bytes,
        model.score('a b'), model.score(b'a', bos=False, eos=False), model.perplexity('a b'),
        log_prob, ret.log_prob, ret.ngram_length, ret.oov, rebuilt.log_prob, scores,
        same_state, state <= out, state > out, state >= out, state != out, hash(state),
        path_bytes, reduced[0] is quarn.Model and reduced[1] == (path_bytes,),
        quarn.LoadMethod.LAZY, quarn.LoadMethod.POPULATE_OR_LAZY, quarn.LoadMethod.POPULATE_OR_READ,
        quarn.LoadMethod.PARALLEL_READ, quarn.ARPALoadComplain.ALL, quarn.ARPALoadComplain.EXPENSIVE,
    ]
