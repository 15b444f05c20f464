"""What importing quarn makes: names, constants and docstrings."""
import inspect
import os

import quarn


def test_module_namespace():
    public = {name for name in vars(quarn) if not name.startswith('__')}
    assert public == {'FullScoreReturn', 'State', 'Config', 'Model', 'os', 'LoadMethod', 'ARPALoadComplain',
                      'LanguageModel', 'estimate', 'estimate_from_counts', 'EstimateResult', 'EstimateOrder'}
    assert quarn.os is os
    assert quarn.__doc__ is None
    assert issubclass(quarn.LanguageModel, quarn.Model)
    for name in ('FullScoreReturn', 'State', 'Config', 'Model', 'LoadMethod', 'ARPALoadComplain'):
        assert inspect.isclass(getattr(quarn, name)) and getattr(quarn, name).__module__ == 'quarn'


def test_classes_are_not_garbage_collected():
    have_gc = 1 << 14  # Py_TPFLAGS_HAVE_GC
    for cls in (quarn.Model, quarn.Config, quarn.State, quarn.FullScoreReturn):
        assert not cls.__flags__ & have_gc, cls


def test_model_members():
    for name in ('score', 'perplexity', 'full_scores', 'BeginSentenceWrite', 'NullContextWrite', 'BaseScore',
                 'BaseFullScore', '__reduce__', 'order', 'path', '__contains__', '__repr__'):
        assert name in vars(quarn.Model), name


def doc(*lines, indent=8):
    """A docstring that starts and ends with an empty line, each line indented."""
    body = ''.join((' ' * indent + line if line else '') + '\n' for line in lines)
    return '\n' + body + ' ' * indent


def test_class_docstrings():
    assert quarn.Model.__doc__ == doc('Wrapper around lm::ngram::Model.', indent=4)
    assert quarn.LanguageModel.__doc__ == 'Backwards compatability stub.  Use Model.'
    assert quarn.State.__doc__ == doc(
        'Wrapper around lm::ngram::State so that python code can make incremental queries.', '', 'Notes:',
        '    * rich comparisons', '    * hashable', indent=4)
    assert quarn.FullScoreReturn.__doc__ == doc(
        'Wrapper around FullScoreReturn.', '', 'Notes:', '    `prob` has been renamed to `log_prob`',
        '    `oov` has been added to flag whether the word is OOV', indent=4)
    assert quarn.Config.__doc__ == doc(
        'Wrapper around lm::ngram::Config.', "Pass this to Model's constructor to set configuration options.",
        indent=4)


def test_method_docstrings():
    assert quarn.Model.__init__.__doc__ == doc(
        'Load the language model.', '', ':param path: path to an arpa file or a quarn binary file.',
        ':param config: configuration options (see lm/config for documentation)')
    assert quarn.Model.score.__doc__ == doc(
        'Return the log10 probability of a string.  By default, the string is',
        'treated as a sentence.  ',
        '  return log10 p(sentence </s> | <s>)',
        '',
        'If you do not want to condition on the beginning of sentence, pass',
        '  bos = False',
        'Never include <s> as part of the string.  That would be predicting the',
        'beginning of sentence.  Language models are only supposed to condition',
        'on it as context.',
        '',
        'Similarly, the end of sentence token </s> can be omitted with',
        '  eos = False',
        'Since language models explicitly predict </s>, it can be part of the',
        'string.',
        '',
        'Examples:',
        '',
        '#Good: returns log10 p(this is a sentence . </s> | <s>)',
        'model.score("this is a sentence .")',
        '#Good: same as the above but more explicit',
        'model.score("this is a sentence .", bos = True, eos = True)',
        '',
        '#Bad: never include <s>',
        'model.score("<s> this is a sentence")',
        '#Bad: never include <s>, even if bos = False.',
        'model.score("<s> this is a sentence", bos = False)',
        '',
        '#Good: returns log10 p(a fragment)',
        'model.score("a fragment", bos = False, eos = False)',
        '',
        '#Good: returns log10 p(a fragment </s>)',
        'model.score("a fragment", bos = False, eos = True)',
        '',
        '#Ok, but bad practice: returns log10 p(a fragment </s>)',
        '#Unlike <s>, the end of sentence token </s> can appear explicitly.',
        'model.score("a fragment </s>", bos = False, eos = False)')
    assert quarn.Model.perplexity.__doc__ == doc(
        'Compute perplexity of a sentence.',
        '@param sentence One full sentence to score.  Do not include <s> or </s>.')
    assert quarn.Model.full_scores.__doc__ == doc(
        'full_scores(sentence, bos = True, eos = True) -> generate full scores (prob, ngram length, oov)',
        '@param sentence is a string (do not use boundary symbols)',
        '@param bos should quarn add a bos state',
        '@param eos should quarn add an eos state')
    assert quarn.Model.BeginSentenceWrite.__doc__ == 'Change the given state to a BOS state.'
    assert quarn.Model.NullContextWrite.__doc__ == 'Change the given state to a NULL state.'
    assert quarn.Model.BaseScore.__doc__ == doc(
        'Return p(word|in_state) and update the output state.',
        'Wrapper around model.BaseScore(in_state, Index(word), out_state)',
        '',
        ':param word: the suffix',
        ':param state: the context (defaults to NullContext)',
        ':returns: p(word|state)')
    assert quarn.Model.BaseFullScore.__doc__ == doc(
        'Wrapper around model.BaseFullScore(in_state, Index(word), out_state)',
        '',
        ':param word: the suffix',
        ':param state: the context (defaults to NullContext)',
        ':returns: FullScoreReturn(word|state)')


def test_importing_again_gives_the_same_module():
    import importlib.util

    found = importlib.util.find_spec('quarn')
    again = importlib.util.module_from_spec(found)
    assert again is quarn
    found.loader.exec_module(again)
    assert again.Model is quarn.Model
