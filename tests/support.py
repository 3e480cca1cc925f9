"""What the tests share, and the memory-fault driver with them.

- the module's traceback entries: frames, module_entries, entry, innermost_entry;
- objects that record every attribute read and raise on demand, and dict
  keys that run code when a lookup compares them;
- the Python functions that an action runs (python_calls);
- saving and restoring attributes of the module's (process-wide) functions;
- throwaway copies of the package in a temporary directory, imported by a
  fresh interpreter, for initialisation and its failures;
- stand-in package roots in sys.modules, with an abstraction package that
  records learn() and lookup() and answers lookup() from a table;
- builders that ignore the tokens and return fixed search paths;
- real package trees on disk (lay_out).

Importing it imports nothing of the package: the memory-fault driver loads
it before the module's initialisation. Everything here is made afresh by
each call, from inside the test body, so that a test can run several times
over the same fixtures.
"""

import contextlib
import importlib
import json
import os
import shutil
import subprocess
import sys
import textwrap
import types
from pathlib import Path

FILE = "src/orvex/abstract/decorator"
MODULE_NAME = "orvex.abstract.decorator"
PREFIX = MODULE_NAME + "."
INIT_ENTRY = "init " + MODULE_NAME
GET = PREFIX + "LookupDecorator.__get__"
WRAPPER = GET + ".wrapper"
PKG_ATTR = "_LookupDecorator__abstract_pkg"

NO_FILE = object()


# ---- traceback entries


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


def creation_error(exc):
    """The error that a class statement's __set_name__ raised: before 3.12
    the interpreter raises a RuntimeError with it as the cause."""
    if sys.version_info < (3, 12):
        assert type(exc) is RuntimeError and str(exc).startswith("Error calling __set_name__"), exc
        exc = exc.__cause__
    assert type(exc) is TypeError, exc
    return exc


def module_entries(exc):
    """(name, line) of the entries the module added to exc's traceback, outermost first."""
    return [(name, line) for name, file, line in frames(exc) if file == FILE]


def entry(qualname, line):
    """The module's entry for its function `qualname` at `line`, as module_entries gives it."""
    return (PREFIX + qualname, line)


def innermost_entry(exc):
    """The innermost traceback entry of `exc`: (name, line) when the module
    added it, as entry() gives it, else (name, file, line)."""
    name, file, line = frames(exc)[-1]
    return (name, line) if file == FILE else (name, file, line)


def get_lines(exc):
    """Lines of the __get__ entries of exc."""
    return [line for name, line in module_entries(exc) if name == GET]


def not_found(relpath, seq, name):
    return ("Cannot find combination based on the following criterion: \n relative path = "
            + str(relpath) + "\n   search path = " + str(seq) + "\n        target = " + str(name))


def missing(qualname, module, what):
    return "Class '%s' in '%s' is missing method definition '%s'" % (qualname, module, what)


# ---- objects with observable attribute reads


class Raises:
    """An attribute value that raises exc_type(*args) when read; each read
    raises a new exception, so a table of these can be used again."""

    def __init__(self, exc_type, *args):
        self.exc_type = exc_type
        self.args = args


class Reads:
    """An attribute whose successive reads give `values` in turn (the last one
    is repeated); a `Raises` among them raises on that read."""

    def __init__(self, *values):
        self.values = list(values)


class Recorder:
    """An object that logs every attribute read as "<label>.<name>" into a
    shared list and answers from `attrs` (plain values, `Raises` or `Reads`).
    Names missing from `attrs` raise AttributeError. str() gives the label.
    `Reads` are copied, so the same table can make several recorders."""

    def __init__(self, label, log, **attrs):
        attrs = {k: Reads(*v.values) if type(v) is Reads else v for k, v in attrs.items()}
        object.__setattr__(self, "_rec", (label, log, attrs))

    def __getattribute__(self, name):
        label, log, attrs = object.__getattribute__(self, "_rec")
        log.append(label + "." + name)
        if name not in attrs:
            raise AttributeError(name)
        value = attrs[name]
        # type() rather than isinstance(): isinstance reads __class__ of recorders.
        if type(value) is Reads:
            value = value.values.pop(0) if len(value.values) > 1 else value.values[0]
        if type(value) is Raises:
            raise value.exc_type(*value.args)
        return value

    def __str__(self):
        return object.__getattribute__(self, "_rec")[0]


class Colliding:
    """A dict key with the hash of the str `name`: a lookup of `name` that
    meets it compares the two, and the first comparison calls `then()`.
    It equals nothing but itself."""

    def __init__(self, name, then):
        self.name, self.then = name, then

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if other is self:
            return True
        then, self.then = self.then, None
        if then is not None:
            then()
        return False


# ---- what runs


def python_calls(action):
    """(action(), the names of the Python functions it entered, in order)."""
    calls = []
    sys.setprofile(lambda frame, event, arg: calls.append(frame.f_code.co_name) if event == "call" else None)
    try:
        result = action()
    finally:
        sys.setprofile(None)
    return result, calls


# ---- the module's functions are process-wide: tests that change them restore them

@contextlib.contextmanager
def preserved(func, *names):
    """Restores the named attributes of `func` on exit."""
    saved = [(name, getattr(func, name)) for name in names]
    try:
        yield func
    finally:
        for name, value in saved:
            setattr(func, name, value)


# ---- fresh interpreters over a throwaway copy of the package


def package_dir():
    """The directory of the orvex/abstract that the tests import."""
    import orvex.abstract.decorator as decorator
    return Path(os.path.abspath(decorator.__file__)).parent


def make_tree(root, magic=None, package=None, extension=None):
    """Lays out root/orvex/abstract: empty __init__ files, the given sibling
    sources (the real ones when None) and copies of the extension modules."""
    target = Path(root) / "orvex" / "abstract"
    target.mkdir(parents=True)
    # A regular package here wins over any other orvex on the path.
    (target.parent / "__init__.py").write_text("")
    (target / "__init__.py").write_text("")
    for name, text in (("magic.py", magic), ("package.py", package)):
        if text is None:
            shutil.copyfile(package_dir() / name, target / name)
        else:
            (target / name).write_text(textwrap.dedent(text))
    import orvex.abstract.decorator as decorator
    extension = Path(extension or decorator.__file__)
    shutil.copyfile(extension, target / extension.name)
    # The compiled half of the siblings, which the real ones import.
    native = next(package_dir().glob("_native.*"))
    shutil.copyfile(native, target / native.name)
    return Path(root)


# In the child: report(exc) prints one JSON line about an exception (or None);
# attempt() imports the module and reports the outcome.
CHILD_PRELUDE = """
import json, os, sys, traceback

def report(exc, **extra):
    data = dict(type=None, message=None, entries=[], in_modules=%r in sys.modules)
    if exc is not None:
        data.update(type=type(exc).__name__, message=str(exc), entries=[
            [e.name, e.filename, e.lineno] for e in traceback.extract_tb(exc.__traceback__)])
    data.update(extra)
    print("REPORT " + json.dumps(data))

def attempt():
    import orvex.abstract
    assert orvex.abstract.__file__.startswith(os.environ.get("ORVEX_TREE", "")), orvex.abstract.__file__
    try:
        import orvex.abstract.decorator as m
    except BaseException as exc:
        report(exc)
    else:
        report(None, complete="LookupDecorator" in vars(m))
""" % MODULE_NAME


def run_python(code, tree=None, flags=(), timeout=120):
    """Runs `code` after CHILD_PRELUDE in a fresh interpreter, with `tree`
    ahead of the path that found this package. Returns the completed process;
    a child still running after `timeout` seconds is killed and fails the test."""
    path = [str(tree)] if tree else []
    path.append(str(package_dir().parent.parent))
    if os.environ.get("PYTHONPATH"):
        path.append(os.environ["PYTHONPATH"])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path), ORVEX_TREE=str(tree or ""))
    env.pop("PYTHONWARNINGS", None)
    return subprocess.run(
        [sys.executable, *flags, "-c", CHILD_PRELUDE + textwrap.dedent(code)],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=timeout)


def reports(proc):
    """The report() lines of a finished child, which must have exited cleanly."""
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line[7:]) for line in proc.stdout.splitlines() if line.startswith("REPORT ")]


# ---- stand-in package roots, builders and real package trees


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
