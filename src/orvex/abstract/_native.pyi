# Types of orvex.abstract._native, the compiled half of the abstraction layer
# (re-exported by orvex.abstract.magic and orvex.abstract.package).

import sys
from typing import Any, FrozenSet, Iterable, List, Optional, Tuple, TypeVar

_T = TypeVar("_T")

# A compiled class cannot share an instance layout with another base; newer
# checkers are told so, older ones do not know the marker.
if sys.version_info >= (3, 9):
    from typing_extensions import disjoint_base as _disjoint_base
else:
    def _disjoint_base(cls: _T) -> _T: ...

def default_builder(tokens: Iterable[Optional[str]], *, mandatory: int = 0) -> List[Tuple[str, ...]]: ...

@_disjoint_base
class AbstractPackage:
    def __init__(self, name: str, delay: bool = ...) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def learned(self) -> bool: ...
    @property
    def token_paths(self) -> FrozenSet[Tuple[str, ...]]: ...
    def learn(self) -> None: ...
    def lookup(self, relpath: Iterable[str], seq: Iterable[str], name: str) -> Any: ...
