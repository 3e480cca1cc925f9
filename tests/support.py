"""Helpers shared by the tests of the module frame.

- traceback entries as (name, filename, lineno) tuples;
- objects that record every attribute read and raise on demand;
- saving and restoring attributes of the module's (process-wide) functions;
- throwaway copies of the package in a temporary directory, imported by a
  fresh interpreter, for initialisation and its failures.
"""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path

import orvex.abstract.decorator as decorator

FILE = "src/orvex/abstract/decorator"
PREFIX = "orvex.abstract.decorator."
INIT_ENTRY = "init orvex.abstract.decorator"
MODULE_NAME = "orvex.abstract.decorator"


def entry(qualname, line):
    """The traceback entry of the module's function `qualname` at `line`."""
    return (PREFIX + qualname, FILE, line)


def entries(exc):
    return [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(exc.__traceback__)]


def innermost_entry(exc):
    """The innermost traceback entry of `exc` as (name, filename, lineno)."""
    return entries(exc)[-1]


def module_entries(exc):
    """The entries that the module itself added to the traceback of `exc`."""
    return [e for e in entries(exc) if e[1] == FILE]


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


def run_python(code, tree=None, flags=()):
    """Runs `code` after CHILD_PRELUDE in a fresh interpreter, with `tree`
    ahead of the path that found this package. Returns the completed process."""
    path = [str(tree)] if tree else []
    path.append(str(package_dir().parent.parent))
    if os.environ.get("PYTHONPATH"):
        path.append(os.environ["PYTHONPATH"])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path), ORVEX_TREE=str(tree or ""))
    env.pop("PYTHONWARNINGS", None)
    return subprocess.run(
        [sys.executable, *flags, "-c", CHILD_PRELUDE + textwrap.dedent(code)],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


def reports(proc):
    """The report() lines of a finished child, which must have exited cleanly."""
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line[7:]) for line in proc.stdout.splitlines() if line.startswith("REPORT ")]
