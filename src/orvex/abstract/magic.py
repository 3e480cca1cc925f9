"""Default search-path builder for :class:`LookupDecorator`.

A search path is a tuple of tokens naming a token package inside an
abstraction package; ``()`` is the root package itself, which holds the
generic code.

:func:`default_builder` is compiled (it runs on every method fetch); the
decorator calls it directly, without a Python call, when it is the builder.
"""

from ._native import default_builder as default_builder

__all__ = ["default_builder"]
