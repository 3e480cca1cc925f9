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

:class:`AbstractPackage` is compiled: what a method fetch needs (learning
once done, the cache of answers) runs without Python code.  The
functions below are its cold paths, called once per root and once per
module found or missed. The index lists directories itself and asks the
import system's path hooks for anything else, so token packages in zip
archives and under other importers that can list their modules are found
as well as directories.
"""

import importlib
import importlib.machinery
import importlib.util
import os
import pkgutil
import sys
from types import ModuleType
from typing import Any, Dict, FrozenSet, List, Set, Tuple, Union

from ._native import AbstractPackage as AbstractPackage
from ._native import _invalidate_all

__all__ = ["AbstractPackage"]

TokenPath = Tuple[str, ...]


# The file names that make a directory a regular package.
_INIT_FILES = frozenset("__init__" + suffix for suffix in importlib.machinery.all_suffixes())


def _index(module: ModuleType) -> FrozenSet[TokenPath]:
    """Token paths of the packages below the root *module*, ``()`` included.

    Called by :meth:`AbstractPackage.learn`; imports nothing, and leaves
    nothing behind in :data:`sys.path_importer_cache`.
    """
    found = {()}  # type: Set[TokenPath]
    for entry in list(getattr(module, "__path__", None) or ()):
        if isinstance(entry, str):
            _scan(entry, (), found, frozenset((os.path.realpath(entry),)))
    return frozenset(found)


def _scan(path: str, prefix: TokenPath, found: Set[TokenPath],
          ancestors: FrozenSet[str]) -> None:
    """Add to *found* the token paths of the packages below the path entry *path*."""
    try:
        _, below = _listing(path)  # a path entry needs no __init__ of its own
    except OSError:
        # Not a directory: an archive's inner path, or another importer's entry.
        _scan_importer(path, prefix, found, ancestors)
        return
    _walk(below, os.path.realpath(path), prefix, found, ancestors)


def _listing(directory: str) -> Tuple[bool, List["os.DirEntry[str]"]]:
    """Whether *directory* holds an ``__init__`` module, and its subdirectories
    whose names may be tokens.  Raises :exc:`OSError` if it cannot be listed."""
    init = False
    below = []
    with os.scandir(directory) as entries:
        for entry in entries:
            name = entry.name
            if name in _INIT_FILES:
                init = True
            elif name.isidentifier() and name != "__pycache__":
                try:
                    if entry.is_dir():
                        below.append(entry)
                except OSError:  # as for os.path.isdir: not a directory
                    pass
    return init, below


def _walk(below: List["os.DirEntry[str]"], real: str, prefix: TokenPath,
          found: Set[TokenPath], ancestors: FrozenSet[str]) -> None:
    """Add to *found* the token packages among *below*, the subdirectories of
    the directory *real* (a real path) reached by the token path *prefix*."""
    base = os.path.join(real, "")
    for entry in below:
        try:
            # Only a symlink can lead elsewhere: the real path of a plain
            # subdirectory is its parent's joined with its name.
            if entry.is_symlink():
                real_below = os.path.realpath(entry.path)
            else:
                real_below = base + entry.name
            if real_below in ancestors:  # a symlink loop
                continue
            init, deeper = _listing(entry.path)
        except OSError:  # unreadable: not a package
            continue
        if init:
            token_path = prefix + (entry.name,)
            found.add(token_path)
            _walk(deeper, real_below, token_path, found, ancestors | {real_below})


def _scan_importer(path: str, prefix: TokenPath, found: Set[TokenPath],
                   ancestors: FrozenSet[str]) -> None:
    """:func:`_scan` for a path entry that is not a directory, listed by its importer."""
    packages: Dict[str, bool] = {}
    try:
        importer = _importer(path)
        if importer is None:
            return
        # What pkgutil.iter_modules lists an importer's modules with (the
        # type stubs leave it out).
        for name, ispkg in pkgutil.iter_importer_modules(importer):  # type: ignore[attr-defined]
            packages.setdefault(name, ispkg)  # the first listing counts, as there
    except (OSError, ImportError):
        return
    for name, ispkg in packages.items():
        if not ispkg or not name.isidentifier() or name == "__pycache__":
            continue
        # An archive's inner path goes one level down by a join as well.
        below = os.path.join(path, name)
        real = os.path.realpath(below)
        if real in ancestors:  # a symlink loop
            continue
        token_path = prefix + (name,)
        found.add(token_path)
        _scan(below, token_path, found, ancestors | {real})


def _importer(path: str) -> Any:
    """The importer of the path entry *path*, or None if no path hook takes it.

    As :func:`pkgutil.get_importer`, but one it makes is not stored in
    :data:`sys.path_importer_cache`: the cache is the import system's, and
    learning would otherwise leave an entry there per token package.
    """
    try:
        return sys.path_importer_cache[path]
    except KeyError:
        pass
    for hook in sys.path_hooks:
        try:
            return hook(path)
        except ImportError:
            continue
    return None


def _import(modname: str) -> ModuleType:
    """Import *modname*; an error from its own code never passes for a miss."""
    try:
        return importlib.import_module(modname)
    except LookupError as exc:
        raise ImportError(
            "importing the override module %r raised %s: %s (the error is in "
            "that module's code, see the cause above)"
            % (modname, type(exc).__name__, exc),
            name=modname,
        ) from exc


# Why a module is not there, as one small int: the kind in the low two bits,
# and for the last two kinds how many parts below the root were reached.
# A remembered miss costs no more than this; _describe makes its message.
_OUTSIDE, _NO_TOKEN_PACKAGE, _NOT_A_PACKAGE, _NO_MODULE = range(4)

Resolution = Union[Tuple[ModuleType, str], int]


def _resolve(package_name: str, module: ModuleType, root: TokenPath,
             paths: FrozenSet[TokenPath], relpath: TokenPath,
             seq: TokenPath) -> Tuple[Resolution, bool]:
    """The module that *relpath* names under the token path *seq*.

    Called by :meth:`AbstractPackage.lookup` when it knows no answer; the
    arguments are exact tuples of exact str.  Returns ``(resolution, keep)``:
    the resolution is ``(module, modname)`` or a miss code, and *keep* says
    whether it may be remembered (not while the module is still being
    imported).  Only a missing token package or module is a miss: an error
    raised while importing a module that exists propagates.
    """
    if relpath[:len(root)] != root:
        return _OUTSIDE, True
    if seq not in paths:
        return _NO_TOKEN_PACKAGE, True
    modname = package_name
    for depth, part in enumerate(seq + relpath[len(root):], 1):
        parent = modname
        modname = parent + "." + part
        if sys.modules.get(modname) is None:
            # Tell a missing module from one that fails to import: only
            # the former is a miss, import errors propagate.
            if not hasattr(module, "__path__"):
                return _NOT_A_PACKAGE + 4 * depth, True
            if importlib.util.find_spec(modname) is None:
                return _NO_MODULE + 4 * depth, True
        # Even when already in sys.modules: waits for another thread
        # that is still executing the module.
        module = _import(modname)
    spec = getattr(module, "__spec__", None)
    return (module, sys.intern(modname)), not getattr(spec, "_initializing", False)


def _read(module: ModuleType, modname: str, name: str) -> Tuple[bool, Any]:
    """``(True, getattr(module, name))``, or ``(False, None)`` when it has none."""
    try:
        return True, getattr(module, name)
    except AttributeError:
        return False, None
    except LookupError as exc:
        raise ImportError(
            "reading %r from the override module %r raised %s: %s"
            % (name, modname, type(exc).__name__, exc),
            name=modname,
        ) from exc


def _describe(package_name: str, root: TokenPath, relpath: TokenPath,
              seq: TokenPath, name: str, resolution: Resolution) -> str:
    """The message of the KeyError for a miss of :meth:`AbstractPackage.lookup`."""
    if isinstance(resolution, tuple):
        return "module %r has no attribute %r" % (resolution[1], name)
    kind, depth = resolution % 4, resolution // 4
    if kind == _OUTSIDE:
        return "module %r is outside the abstraction package %r" % (
            ".".join(relpath), package_name)
    if kind == _NO_TOKEN_PACKAGE:
        return "abstraction package %r has no token package %r" % (
            package_name, ".".join(seq))
    parts = (package_name,) + seq + relpath[len(root):]
    modname = ".".join(parts[:depth + 1])
    if kind == _NOT_A_PACKAGE:
        return "no module named %r: %r is not a package" % (modname, ".".join(parts[:depth]))
    return "no module named %r" % (modname,)


class _Invalidation:
    """The last finder on :data:`sys.meta_path`: it finds nothing, and hears
    :func:`importlib.invalidate_caches`, the import system's signal that
    the file system changed, upon which every AbstractPackage learns again
    at its next use."""

    orvex_abstract_invalidation = True

    @staticmethod
    def find_spec(fullname: str, path: Any = None, target: Any = None) -> None:
        return None

    @staticmethod
    def invalidate_caches() -> None:
        _invalidate_all()


if not any(getattr(finder, "orvex_abstract_invalidation", False) is True for finder in sys.meta_path):
    sys.meta_path.append(_Invalidation())
