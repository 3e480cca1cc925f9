"""Helpers for the tests of LookupDecorator's fetch and dispatch.

- the module's own traceback entries of an exception;
- stand-in package roots in sys.modules, with an abstraction package that
  records learn() and lookup() and answers lookup() from a table;
- builders that ignore the tokens and return fixed search paths;
- real package trees on disk (lay_out).

Everything here is made afresh by each call, from inside the test body, so
that a test can run several times over the same fixtures.
"""

import importlib
import sys
import textwrap
import types

FILE = "src/orvex/abstract/decorator"
GET = "orvex.abstract.decorator.LookupDecorator.__get__"
WRAPPER = GET + ".wrapper"
PKG_ATTR = "_LookupDecorator__abstract_pkg"

NO_FILE = object()


def frames(exc):
    """(name, file, line) of each traceback entry of exc, outermost first.
    Unlike traceback.extract_tb, reads no source lines (nothing lands in linecache)."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        found.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return found


def module_entries(exc):
    """(name, line) of the entries the module added to exc's traceback, outermost first."""
    return [(name, line) for name, file, line in frames(exc) if file == FILE]


def get_lines(exc):
    """Lines of the __get__ entries of exc."""
    return [line for name, line in module_entries(exc) if name == GET]


def not_found(relpath, seq, name):
    return ("Cannot find combination based on the following criterion: \n relative path = "
            + str(relpath) + "\n   search path = " + str(seq) + "\n        target = " + str(name))


def missing(qualname, module, what):
    return "Class '%s' in '%s' is missing method definition '%s'" % (qualname, module, what)


class Package:
    """Abstraction package that logs learn() and lookup() into `log`.

    lookup() answers from `answers` (search path -> what to return, or an
    exception class to raise); an unknown search path raises KeyError.
    """

    def __init__(self, log=None, answers=None):
        self.log = [] if log is None else log
        self.answers = {} if answers is None else answers

    def learn(self):
        self.log.append("learn")

    def lookup(self, relpath, seq, name):
        self.log.append(("lookup", relpath, seq, name))
        answer = self.answers.get(seq, KeyError)
        if isinstance(answer, type) and issubclass(answer, BaseException):
            raise answer(seq)
        return answer


def add_module(monkeypatch, name, file="", cls=types.ModuleType, **attrs):
    """Puts a new module in sys.modules for the test. `file` "" makes it a
    package's __init__; NO_FILE leaves __file__ unset."""
    module = cls(name)
    if file == "":
        file = "/pkgs/%s/__init__.py" % name.replace(".", "/")
    if file is not NO_FILE:
        module.__dict__["__file__"] = file
    module.__dict__.update(attrs)
    monkeypatch.setitem(sys.modules, name, module)
    return module


def package_root(monkeypatch, name, answers=None, log=None):
    """A package root `name` that already carries a recording Package."""
    package = Package(log, answers)
    add_module(monkeypatch, name, **{PKG_ATTR: package})
    return package


def paths(*seqs):
    """A builder that returns `seqs` as the search paths, whatever the tokens."""
    return lambda tokens, **kwargs: list(seqs)


def impl(tag):
    """A class whose methods m and n return (tag, args, kwargs)."""
    def m(*args, **kwargs):
        return tag, args, kwargs
    return type("Impl_" + tag, (), {"m": m, "n": m, "__module__": "impls"})


def lay_out(tmp_path, monkeypatch, layout, names):
    """Writes `layout` (path template -> source, both formatted with `names`)
    below tmp_path, with tmp_path first on sys.path. Returns a function that
    forgets the modules of the layout's top-level names and the finders made
    for tmp_path."""
    tops = set()
    for path, text in layout.items():
        path = path.format(**names)
        tops.add(path.split("/")[0].rpartition(".py")[0] or path.split("/")[0])
        file = tmp_path / path
        file.parent.mkdir(parents=True, exist_ok=True)
        file.write_text(textwrap.dedent(text.format(**names)))
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(sys, "dont_write_bytecode", True)
    importlib.invalidate_caches()

    def forget():
        for name in list(sys.modules):
            if name.split(".")[0] in tops:
                del sys.modules[name]
        for path in list(sys.path_importer_cache):
            if path.startswith(str(tmp_path)):
                del sys.path_importer_cache[path]
    return forget
