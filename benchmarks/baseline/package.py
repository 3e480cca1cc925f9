# The pure-Python baseline's copy of src/orvex/abstract/package.py as it was at commit
# 8c831dd, unchanged: the benchmark compares the decorator against one written in
# Python over the same siblings, so these must not follow later rewrites.
"""The abstraction package: where the token-specific classes live.

An abstraction package is an ordinary package whose subpackages are token
packages.  The generic code sits in the root; the code for a token path sits
in the subpackage reached by following the tokens from the root::

    mylib/__init__.py             root of the abstraction package
    mylib/ops.py                  class Ops (generic code)
    mylib/alpha/__init__.py       token package ('alpha',)
    mylib/alpha/ops.py            class Ops for 'alpha'
    mylib/alpha/m2/__init__.py    token package ('alpha', 'm2')
    mylib/alpha/m2/ops.py         class Ops for 'alpha' on 'm2'
"""

import importlib
import importlib.machinery
import importlib.util
import os
import sys
import threading
from typing import Any, Dict, FrozenSet, Iterable, Optional, Set, Tuple

__all__ = ["AbstractPackage"]

TokenPath = Tuple[str, ...]

# File names that make a directory a regular package.
_INIT_FILES = frozenset(
    "__init__" + suffix for suffix in importlib.machinery.all_suffixes()
)


class _NotFound(Exception):
    """Raised inside the resolver when nothing matches."""


_UNCACHED = object()


class _Miss:
    """Cached negative lookup result; keeps the message for the KeyError."""

    __slots__ = ("message",)

    def __init__(self, message: str) -> None:
        self.message = message


def _str_tuple(value: Iterable[str], what: str) -> Tuple[str, ...]:
    """Return *value* as a tuple of str, or raise TypeError."""
    if isinstance(value, str):
        raise TypeError("%s must be an iterable of str, not str" % what)
    items = tuple(value)
    for item in items:
        if not isinstance(item, str):
            raise TypeError(
                "%s items must be str, got %r (%s)"
                % (what, item, type(item).__name__)
            )
    return items


def _scan(directory: str, prefix: TokenPath, found: Set[TokenPath],
          ancestors: FrozenSet[str]) -> None:
    """Add to *found* the token paths of the packages below *directory*."""
    try:
        with os.scandir(directory) as entries:
            subdirs = sorted(
                entry.path
                for entry in entries
                if entry.name != "__pycache__"
                and entry.name.isidentifier()
                and entry.is_dir()
            )
    except OSError:
        return
    for path in subdirs:
        real = os.path.realpath(path)
        if real in ancestors:  # symlink loop
            continue
        try:
            if _INIT_FILES.isdisjoint(os.listdir(path)):
                continue
        except OSError:
            continue
        token_path = prefix + (os.path.basename(path),)
        found.add(token_path)
        _scan(path, token_path, found, ancestors | {real})


class AbstractPackage:
    """The abstraction package rooted at the imported module *name*.

    :meth:`learn` indexes the token packages below the root, once, by
    looking at the file system only (nothing is imported).  With
    ``delay=False`` the constructor learns at once; with ``delay=True`` the
    first :meth:`learn`, :meth:`lookup` or :attr:`token_paths` does.

    Raises :exc:`ImportError` if *name* is not in :data:`sys.modules`.

    Safe to share between threads: learning happens once under a lock, and
    the lookup cache only ever gets whole entries added.
    """

    __slots__ = ("_name", "_root", "_module", "_paths", "_lock", "_cache")

    def __init__(self, name: str, delay: bool = False) -> None:
        try:
            module = sys.modules[name]
        except KeyError:
            raise ImportError(
                "abstraction package root %r must be imported first: "
                "it is not in sys.modules" % (name,),
                name=name,
            ) from None
        self._name = name
        self._root = tuple(name.split("."))  # type: TokenPath
        self._module = module
        self._paths = None  # type: Optional[FrozenSet[TokenPath]]
        self._lock = threading.Lock()
        # Stored under tuples; lookup() asks with the caller's seq as given.
        self._cache = {}  # type: Dict[Tuple[TokenPath, Iterable[str], str], Any]
        if not delay:
            self.learn()

    @property
    def name(self) -> str:
        """Dotted name of the root package."""
        return self._name

    @property
    def learned(self) -> bool:
        """Whether the token packages have been indexed yet."""
        return self._paths is not None

    @property
    def token_paths(self) -> FrozenSet[TokenPath]:
        """Token paths of all token packages, ``()`` (the root) included.

        Learns first if that has not happened yet.
        """
        self.learn()
        return self._paths  # type: ignore[return-value]

    def __repr__(self) -> str:
        if self._paths is None:
            return "<AbstractPackage %r (not learned)>" % (self._name,)
        return "<AbstractPackage %r: token paths %s>" % (
            self._name,
            ", ".join(map(repr, sorted(self._paths))),
        )

    def learn(self) -> None:
        """Index the token packages below the root; later calls do nothing.

        Every directory under a directory of the root's ``__path__`` that
        holds an ``__init__`` module and whose name is an identifier is a
        token package.  A root without ``__path__`` (a plain module) has no
        token packages.
        """
        if self._paths is not None:
            return
        with self._lock:
            if self._paths is not None:
                return
            found = {()}  # type: Set[TokenPath]
            for directory in list(getattr(self._module, "__path__", None) or ()):
                if isinstance(directory, str):
                    _scan(directory, (), found,
                          frozenset((os.path.realpath(directory),)))
            self._paths = frozenset(found)

    def lookup(self, relpath: Tuple[str, ...], seq: Iterable[str],
               name: str) -> Any:
        """Return attribute *name* of the module *relpath* under token path *seq*.

        *relpath* is a module name split at the dots and must lie inside
        the root; its part below the root is looked up below the token
        package *seq* instead.  For root ``mylib``, ``relpath=('mylib',
        'ops')``, ``seq=('alpha',)`` and ``name='Ops'`` the result is
        ``mylib.alpha.ops.Ops``; ``seq=()`` gives ``mylib.ops.Ops``; and
        ``relpath=('mylib',)`` stands for the token package itself.

        Raises :exc:`KeyError` when *relpath* is outside the root, *seq* is
        not a token path, the module does not exist or lacks *name*.  An
        error raised while importing a module that exists propagates as
        is.  *seq* may be any iterable of str; a ``str`` or a non-str item
        in *relpath* or *seq* raises :exc:`TypeError`.

        Results, misses included, are cached per ``(relpath, seq, name)``.
        """
        try:
            hit = self._cache[(relpath, seq, name)]
        except (KeyError, TypeError):
            return self._resolve(relpath, seq, name)
        if type(hit) is _Miss:
            raise KeyError(hit.message)
        return hit

    def _resolve(self, relpath: Iterable[str], seq: Iterable[str],
                 name: str) -> Any:
        relpath = _str_tuple(relpath, "relpath")
        seq = _str_tuple(seq, "seq")
        if not isinstance(name, str):
            raise TypeError("name must be a str, not %s" % type(name).__name__)
        key = (relpath, seq, name)
        hit = self._cache.get(key, _UNCACHED)
        if hit is _UNCACHED:
            # Only _NotFound becomes a miss: a KeyError raised by the
            # user's code must not pass for "not found".
            try:
                hit = self._find(relpath, seq, name)
            except _NotFound as miss:
                hit = _Miss(miss.args[0])
            self._cache[key] = hit
        if type(hit) is _Miss:
            raise KeyError(hit.message)
        return hit

    def _find(self, relpath: TokenPath, seq: TokenPath, name: str) -> Any:
        root = self._root
        if relpath[:len(root)] != root:
            raise _NotFound(
                "module %r is outside the abstraction package %r"
                % (".".join(relpath), self._name)
            )
        self.learn()
        if seq not in self._paths:  # type: ignore[operator]
            raise _NotFound(
                "abstraction package %r has no token package %r"
                % (self._name, ".".join(seq))
            )
        module = self._module
        modname = self._name
        for part in seq + relpath[len(root):]:
            parent = modname
            modname = parent + "." + part
            if sys.modules.get(modname) is None:
                # Tell a missing module from one that fails to import: only
                # the former is a miss, import errors propagate.
                if not hasattr(module, "__path__"):
                    raise _NotFound(
                        "no module named %r: %r is not a package"
                        % (modname, parent)
                    )
                if importlib.util.find_spec(modname) is None:
                    raise _NotFound("no module named %r" % (modname,))
            # Even when already in sys.modules: waits for another thread
            # that is still executing the module.
            module = importlib.import_module(modname)
        try:
            return getattr(module, name)
        except AttributeError:
            raise _NotFound(
                "module %r has no attribute %r" % (modname, name)
            ) from None
