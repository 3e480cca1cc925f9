# The pure-Python baseline's copy of src/orvex/abstract/magic.py as it was at commit
# 8c831dd, unchanged: the benchmark compares the decorator against one written in
# Python over the same siblings, so these must not follow later rewrites.
"""Default search-path builder for :class:`LookupDecorator`.

A search path is a tuple of tokens naming a token package inside an
abstraction package; ``()`` is the root package itself, which holds the
generic code.
"""

from typing import Dict, Iterable, List, Optional, Tuple, cast

__all__ = ["default_builder"]

# The decorator calls the builder on every method fetch, mostly with the same
# few token tuples: remember the answer for those (bounded; thread-safe since
# single dict operations are atomic).
# Keys hold exact tuples of tokens; the type says Iterable because the hit
# test below asks with the argument itself, after a check that mypy does not
# carry over.
_paths_cache = {}  # type: Dict[Tuple[Iterable[Optional[str]], int], Tuple[Tuple[str, ...], ...]]
_CACHE_LIMIT = 1024


def default_builder(
    tokens: Iterable[Optional[str]], *, mandatory: int = 0
) -> List[Tuple[str, ...]]:
    """Return the search paths for *tokens*, most specific first.

    The usable tokens are the leading ones up to, but not including, the
    first ``None``.  The result holds the tuple of all usable tokens, then
    each shorter prefix, down to the prefix of length *mandatory*::

        >>> default_builder(('alpha', 'm2'))
        [('alpha', 'm2'), ('alpha',), ()]
        >>> default_builder(('alpha', None, 'x'))
        [('alpha',), ()]
        >>> default_builder(('a', 'b'), mandatory=1)
        [('a', 'b'), ('a',)]

    With the default ``mandatory=0`` the last path is ``()``, the root
    package.  When fewer than *mandatory* tokens are usable the result is
    empty, so nothing is found.

    Every token, including those after a ``None``, must be a ``str`` or
    ``None``; anything else raises :exc:`TypeError`.  *mandatory* must be a
    non-negative ``int`` (``bool`` is refused): a wrong type raises
    :exc:`TypeError`, a negative value :exc:`ValueError`.
    """
    # Only exact tuples and ints are remembered: a bool equals an int as a
    # key but must still be refused below.
    cacheable = type(tokens) is tuple and type(mandatory) is int
    if cacheable:
        try:
            return list(_paths_cache[tokens, mandatory])
        except (KeyError, TypeError):  # new, or a token that cannot be hashed
            pass

    if isinstance(mandatory, bool) or not isinstance(mandatory, int):
        raise TypeError(
            "mandatory must be an int, not %s" % type(mandatory).__name__
        )
    if mandatory < 0:
        raise ValueError("mandatory must be >= 0, got %d" % mandatory)

    tokens = tuple(tokens)
    for token in tokens:
        if token is not None and not isinstance(token, str):
            raise TypeError(
                "token %r must be a str or None, not %s"
                % (token, type(token).__name__)
            )
    key = (tokens, mandatory)
    if None in tokens:
        tokens = tokens[:tokens.index(None)]
    # No None is left in tokens.
    paths = cast(
        List[Tuple[str, ...]],
        [tokens[:n] for n in range(len(tokens), mandatory - 1, -1)],
    )
    if cacheable:
        if len(_paths_cache) >= _CACHE_LIMIT:
            _paths_cache.clear()
        _paths_cache[key] = tuple(paths)
    return paths
