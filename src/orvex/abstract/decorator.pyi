# Types of the extension module orvex.abstract.decorator.
#
# A decorated method is held in its class as a LookupDecorator, generic over
# the type of the function it decorates.  Fetched through the class it gives
# that function back; fetched through an object it gives a callable that
# takes the method's arguments after self and returns what the method returns.
# Applying a decorator is typed as returning the function it decorates, which
# says exactly that to every checker.

import functools as functools
import inspect as inspect
import sys as sys
from typing import Any, Callable, Dict, Generic, Iterable, Optional, Tuple, TypeVar, overload

from typing_extensions import Concatenate, ParamSpec

from .magic import default_builder as default_builder
from .package import AbstractPackage as AbstractPackage

_F = TypeVar("_F", bound=Callable[..., Any])
_G = TypeVar("_G", bound=Callable[..., Any])
_S = TypeVar("_S")
_P = ParamSpec("_P")
_R = TypeVar("_R")

# builder(tokens, **builder_kwargs) -> the search paths, most specific first.
_Builder = Callable[..., Iterable[Any]]
# attr_getter(obj, attrs) -> the tokens of obj.
_AttrGetter = Callable[[Any, Any], Any]

__test__: Dict[str, Any]

def default_token_getter(obj: Any, attrs: Iterable[str]) -> Tuple[Any, ...]: ...
def from_device_token_getter(obj: Any, defaults: Iterable[str] = ...) -> Any: ...

class LookupDecorator(Generic[_F]):
    _attrs: Tuple[Any, ...]
    _getter: _AttrGetter
    _method: Optional[_F]
    _method_name: str
    _builder: _Builder
    _builder_kwargs: Dict[str, Any]
    def __init__(
        self: LookupDecorator[Callable[..., Any]],
        *attrs: str,
        builder: _Builder = ...,
        attr_getter: _AttrGetter = ...,
        **builder_kwargs: Any,
    ) -> None: ...
    # Applied to a method, the decorator returns itself; it stands in the
    # class for the method, and is typed as the method: fetched through the
    # class it is that function, fetched through an object a callable with
    # the method's parameters after self and its result. So every checker
    # reads a decorated method as the method itself (a Protocol matches it).
    def __call__(self, method: _G) -> _G: ...
    @overload
    def __get__(self, instance: None, owner: Any) -> _F: ...
    @overload
    def __get__(
        self: LookupDecorator[Callable[Concatenate[_S, _P], _R]], instance: _S, owner: Any
    ) -> Callable[_P, _R]: ...
    def __set_name__(self, owner: type, name: str) -> None: ...
    @property
    def __isabstractmethod__(self) -> bool: ...
    # lookup_from_device, reached through the class (where it is not bound).
    @overload
    @staticmethod
    def from_device(method: _G, /) -> _G: ...
    @overload
    @staticmethod
    def from_device(
        *attrs: str, builder: _Builder = ..., **builder_kwargs: Any
    ) -> LookupDecorator[Callable[..., Any]]: ...

@overload
def lookup_from_device(method: _G, /) -> _G: ...
@overload
def lookup_from_device(
    *attrs: str, builder: _Builder = ..., **builder_kwargs: Any
) -> LookupDecorator[Callable[..., Any]]: ...
