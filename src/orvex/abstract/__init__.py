"""Run-time method dispatch for abstracted packages.

Put ``@LookupDecorator('os', 'platform')`` above a method of a class in an
abstracted package; every fetch of the method through an object then runs the
implementation that the object's tokens select.
"""

__version__ = "0.3.0"

# First: the compiled half refuses to load in a sub-interpreter (it says
# what to do instead), before any other module of the package is made there.
from . import _native  # noqa: F401

from .magic import default_builder
from .package import AbstractPackage
from .decorator import (
    LookupDecorator,
    default_token_getter,
    from_device_token_getter,
    lookup_from_device,
)
from ._explain import Attempt, Explanation, Token, explain

__all__ = [
    "LookupDecorator",
    "default_token_getter",
    "from_device_token_getter",
    "lookup_from_device",
    "default_builder",
    "AbstractPackage",
    "explain",
    "Explanation",
    "Token",
    "Attempt",
]
