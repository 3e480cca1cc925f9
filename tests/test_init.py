"""Module initialisation: the namespace it builds, the callables and their
code objects, the entry point called again, the version check, and every
failure that can be provoked from outside (each in a fresh interpreter)."""

import builtins
import ctypes
import functools
import glob
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import orvex.abstract.decorator as d
import orvex.abstract.magic as magic
import orvex.abstract.package as package
from support import FILE, INIT_ENTRY, MODULE_NAME, make_tree, package_dir, reports, run_python

L = d.LookupDecorator
INIT = [INIT_ENTRY, FILE]


def test_namespace():
    ns = vars(d)
    # __file__, __loader__ and __spec__ come from the importer.
    assert set(ns) - {"__file__", "__loader__", "__spec__"} == {
        "__name__", "__doc__", "__package__", "__builtins__", "__test__",
        "sys", "inspect", "functools", "default_builder", "AbstractPackage",
        "default_token_getter", "from_device_token_getter", "LookupDecorator",
        "lookup_from_device",
    }
    assert ns["__name__"] == "orvex.abstract.decorator"
    assert ns["__package__"] == "orvex.abstract"
    assert ns["__doc__"] is None
    assert ns["__builtins__"] is builtins
    assert ns["__test__"] == {} and type(ns["__test__"]) is dict
    assert ns["sys"] is sys and ns["inspect"] is inspect and ns["functools"] is functools
    assert ns["default_builder"] is magic.default_builder
    assert ns["AbstractPackage"] is package.AbstractPackage


def test_class():
    assert type(L) is type
    assert L.__bases__ == (object,)
    assert L.__module__ == "orvex.abstract.decorator"
    assert L.__qualname__ == L.__name__ == "LookupDecorator"
    for name in ("__init__", "__call__", "__get__"):
        assert type(L.__dict__[name]) is type(d.default_token_getter)
    assert L.__dict__["from_device"] is d.lookup_from_device
    # Fetched through the class, every method comes back unbound.
    assert L.from_device is d.lookup_from_device
    assert L.__get__ is L.__dict__["__get__"]


FLAGS_PLAIN, FLAGS_STAR = 3, 15
GET_LOCALS = ("self", "instance", "owner", "module", "names", "i", "parent", "module_name",
              "package", "tokens", "sequence", "relpath", "name", "rest", "cls", "seq", "func",
              "wrapper", "wrapper")

# qualname, first line, argcount, kwonly, flags, local names
CALLABLES = [
    ("default_token_getter", 9, 2, 0, FLAGS_PLAIN, ("obj", "attrs", "attributes", "attr")),
    ("from_device_token_getter", 38, 2, 0, FLAGS_PLAIN,
     ("obj", "defaults", "attrs", "device", "abstraction")),
    ("LookupDecorator.__init__", 106, 1, 2, FLAGS_STAR,
     ("self", "builder", "attr_getter", "attrs", "builder_kwargs")),
    ("LookupDecorator.__call__", 122, 2, 0, FLAGS_PLAIN, ("self", "method")),
    ("LookupDecorator.__get__", 135, 3, 0, FLAGS_PLAIN, GET_LOCALS),
    ("lookup_from_device", 238, 0, 0, FLAGS_STAR, ("args", "kwargs")),
]


def function(qualname):
    obj = d
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("qualname, line, argcount, kwonly, flags, varnames", CALLABLES)
def test_callable(qualname, line, argcount, kwonly, flags, varnames):
    f = function(qualname)
    name = qualname.rpartition(".")[2]
    assert type(f).__name__ == "orvex_function"
    assert (f.__name__, f.__qualname__, f.__module__) == (name, qualname, "orvex.abstract.decorator")
    assert f.__globals__ is vars(d)
    code = f.__code__
    assert code is f.__code__
    assert code.co_name == name
    assert code.co_filename == FILE
    assert code.co_firstlineno == line
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, kwonly)
    # 3.8 to 3.10 add CO_NOFREE (64) to every code object.
    assert code.co_flags & ~64 == flags
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_names == code.co_freevars == code.co_cellvars == ()
    if sys.version_info >= (3, 11):
        assert code.co_qualname == qualname
    else:
        # From 3.11 the code objects keep a tiny raising body on purpose.
        assert code.co_code == b"" and code.co_consts == () and code.co_stacksize == 0


def test_signatures():
    sig = inspect.signature
    assert str(sig(d.default_token_getter)) == "(obj, attrs)"
    assert str(sig(d.from_device_token_getter)) == "(obj, defaults=[])"
    assert str(sig(L.__call__)) == "(self, method)"
    assert str(sig(L.__get__)) == "(self, instance, owner)"
    assert str(sig(d.lookup_from_device)) == "(*args, **kwargs)"
    init = sig(L.__init__)
    assert str(init) == "(self, *attrs, builder=%r, attr_getter=%r, **builder_kwargs)" % (
        magic.default_builder, d.default_token_getter)
    assert init.parameters["builder"].default is magic.default_builder
    assert init.parameters["attr_getter"].default is d.default_token_getter


def test_defaults():
    init = L.__init__
    assert init.__defaults__ is None
    assert init.__kwdefaults__ == {"builder": magic.default_builder, "attr_getter": d.default_token_getter}
    assert init.__kwdefaults__ is init.__kwdefaults__
    getter = d.from_device_token_getter
    defaults = getter.__defaults__
    assert type(defaults) is tuple and len(defaults) == 1
    assert type(defaults[0]) is list and defaults[0] == []
    assert getter.__defaults__[0] is defaults[0]
    for f in (getter, d.default_token_getter, L.__call__, L.__get__, d.lookup_from_device):
        assert f.__kwdefaults__ is None
        assert f is getter or f.__defaults__ is None
    assert init.__doc__ is None


def test_kwdefaults_are_taken_at_import(monkeypatch):
    expected = {"builder": magic.default_builder, "attr_getter": d.default_token_getter}
    monkeypatch.setattr(d, "default_builder", lambda tokens: [])
    monkeypatch.setattr(d, "default_token_getter", lambda obj, attrs: ())
    assert L.__init__.__kwdefaults__ == expected


_library = []


def test_entry_point_called_again_returns_the_module():
    if not _library:  # one handle for the whole run
        _library.append(ctypes.PyDLL(d.__file__).PyInit_decorator)
        _library[0].restype = ctypes.py_object
    before = dict(vars(d))
    assert _library[0]() is d
    # Nothing ran again: the namespace holds the very same objects.
    assert vars(d).keys() == before.keys() and all(vars(d)[k] is v for k, v in before.items())


def test_import_under_warnings_as_errors_is_clean():
    proc = run_python("import orvex.abstract.decorator as m; print(m.__package__)", flags=("-W", "error"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert proc.stdout.strip().endswith("orvex.abstract")


# ---- failures, each in a fresh interpreter over a copy of the package


def real_source(name):
    return (package_dir() / name).read_text()


def child(tmp_path, code, flags=(), **tree):
    return reports(run_python(code, make_tree(tmp_path, **tree), flags))


# Installed before the import: for that one initialisation only, `change`
# runs before the extension's entry point and `undo` after it (the importer's
# own code needs the builtins and modules that these take away).
AROUND_ENTRY_POINT = """
import _imp, builtins
real = _imp.create_dynamic
def once(*args):
    _imp.create_dynamic = real
    {change}
    try:
        return real(*args)
    finally:
        {undo}
_imp.create_dynamic = once
"""


def without_builtin(name):
    return AROUND_ENTRY_POINT.format(
        change="saved = builtins.%s; del builtins.%s" % (name, name), undo="builtins.%s = saved" % name)


def without_module(name):
    return "import inspect, functools\n" + AROUND_ENTRY_POINT.format(
        change="saved = sys.modules[%r]; sys.modules[%r] = None" % (name, name),
        undo="sys.modules[%r] = saved" % name)


# package.py takes default_builder out of the partial namespace before the
# class body reads it; the builtins module is then asked for it.
UNBIND_BUILDER = """
import builtins, sys
del sys.modules["orvex.abstract.decorator"].default_builder
def __getattr__(name):
    if name == "default_builder" and RAISE:
        raise KeyError("no " + name)
    raise AttributeError(name)
builtins.__getattr__ = __getattr__
"""

RAISES = "class Broken(Exception):\n    pass\nraise Broken('sibling is broken')\n"
OWN_KEY_ERROR = "def __getattr__(name):\n    raise (KeyError if name == %r else AttributeError)(name)\n"

FAILURES = {
    # before the import, tree, (exception, message), line, the second attempt succeeds
    "magic-lacks-name": ("", dict(magic="X = 1"), ("ImportError", "cannot import name default_builder"), 5, False),
    "package-lacks-name": ("", dict(package="X = 1"), ("ImportError", "cannot import name AbstractPackage"), 7,
                           False),
    # Only an AttributeError from the read becomes the ImportError.
    "magic-read-raises": ("", dict(magic=OWN_KEY_ERROR % "default_builder"), ("KeyError", "'default_builder'"), 5,
                          False),
    "magic-raises": ("", dict(magic=RAISES), ("Broken", "sibling is broken"), 5, False),
    "package-raises": ("", dict(package=RAISES), ("Broken", "sibling is broken"), 7, False),
    "builder-unbound": ("", dict(package=real_source("package.py") + UNBIND_BUILDER.replace("RAISE", "False")),
                        ("NameError", "name 'default_builder' is not defined"), 107, True),
    "builtins-read-raises": ("", dict(package=real_source("package.py") + UNBIND_BUILDER.replace("RAISE", "True")),
                             ("KeyError", "'no default_builder'"), 107, True),
}
for name, line in [("object", 71), ("AttributeError", 33), ("range", 157), ("KeyError", 163),
                   ("LookupError", 166), ("NotImplementedError", 233)]:
    FAILURES["no-builtin-" + name] = (
        without_builtin(name), {}, ("NameError", "name '%s' is not defined" % name), line, True)
for name, line in [("sys", 1), ("inspect", 2), ("functools", 3)]:
    FAILURES["no-module-" + name] = (
        without_module(name), {}, ("ModuleNotFoundError", "import of %s halted; None in sys.modules" % name),
        line, True)


@pytest.mark.parametrize("before, tree, exc, line, recovers", FAILURES.values(), ids=list(FAILURES))
def test_initialisation_failure(tmp_path, before, tree, exc, line, recovers):
    first, second = child(tmp_path, before + "attempt()\nattempt()\n", **tree)
    assert (first["type"], first["message"]) == exc
    assert [e for e in first["entries"] if e[0] == INIT_ENTRY] == [INIT + [line]]
    if exc[0] in ("ImportError", "NameError", "ModuleNotFoundError"):
        assert first["entries"][-1] == INIT + [line]
    else:
        # Below the entry: only the frames of the code that raised.
        assert first["entries"][-1][1] != FILE
    # A failed initialisation leaves no module behind: the next import runs
    # it again, which fails again unless the cause went away.
    assert not first["in_modules"]
    if recovers:
        assert second["type"] is None and second["complete"]
    else:
        assert second == first


# Fails the same initialisation again and again in one process (a failed one
# leaves no module behind) and reports the growth of the reference total and
# of the allocated blocks over measured rounds, after warm-up rounds.
REPEATED_FAILURE = """
import gc
_clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
def snapshot():
    gc.collect()
    _clear_caches()
    return sys.gettotalrefcount(), sys.getallocatedblocks()
def fail_once():
    exec(BEFORE, {"sys": sys})
    try:
        import orvex.abstract.decorator
    except BaseException as exc:
        return type(exc).__name__
def rounds(count):
    return {fail_once() for _ in range(count)}
outcomes = rounds(15)
refs, blocks = [], []
for _ in range(6):
    r0, b0 = snapshot()
    outcomes |= rounds(5)
    r1, b1 = snapshot()
    refs.append(r1 - r0)
    blocks.append(b1 - b0)
report(None, outcomes=sorted(map(str, outcomes)), refs=refs, blocks=blocks)
"""


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of Python")
@pytest.mark.parametrize("case", [name for name, case in FAILURES.items() if case[0] or not case[4]])
def test_failed_initialisation_leaks_nothing(tmp_path, case):
    before, tree, exc, _, _ = FAILURES[case]
    (done,) = child(tmp_path, REPEATED_FAILURE.replace("BEFORE", repr(before)), **tree)
    assert done["outcomes"] == [exc[0]]
    assert not all(delta >= 1 for delta in done["refs"]), done["refs"]
    assert not all(delta >= 1 for delta in done["blocks"]), done["blocks"]


def test_failure_keeps_a_foreign_sys_modules_entry(tmp_path):
    magic = "import sys, types\nsys.modules['orvex.abstract.decorator'] = types.ModuleType('stand-in')\n"
    failed, after = child(tmp_path, "attempt()\nreport(None, entry=sys.modules[%r].__name__)\n" % MODULE_NAME,
                          magic=magic)
    assert failed["message"] == "cannot import name default_builder"
    assert after["entry"] == "stand-in"


def test_sibling_sees_the_partial_module(tmp_path):
    spy = "import sys\nPARTIAL = sys.modules['orvex.abstract.decorator']\nSEEN = sorted(vars(PARTIAL))\n"
    done, seen = child(tmp_path, """
        attempt()
        import orvex.abstract.magic as magic
        report(None, seen=[k for k in magic.SEEN if not k.startswith("__")],
               same=magic.PARTIAL is sys.modules["orvex.abstract.decorator"])
    """, magic=spy + real_source("magic.py"))
    assert done["complete"]
    assert seen["seen"] == ["functools", "inspect", "sys"] and seen["same"]


def test_builder_taken_from_builtins(tmp_path):
    package = real_source("package.py") + UNBIND_BUILDER.replace("RAISE", "False") + \
        "builtins.default_builder = 'from builtins'\n"
    done, kwdefaults = child(tmp_path, """
        attempt()
        report(None, builder=sys.modules["orvex.abstract.decorator"].LookupDecorator.__init__.__kwdefaults__["builder"])
    """, package=package)
    assert done["complete"] and kwdefaults["builder"] == "from builtins"


# ---- the version check, with builds that pretend another built-for version

REPO = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module", params=["2.7", "3.1"])
def pretend_build(request, tmp_path_factory):
    if not (REPO / "CMakeLists.txt").is_file() or not (REPO / "src/orvex/abstract/decorator.cpp").is_file():
        pytest.skip("sources not available")
    cmake = shutil.which("cmake")
    if not cmake or not any(shutil.which(c) for c in ("c++", "g++", "clang++")):
        pytest.skip("no cmake or C++ compiler")
    build = tmp_path_factory.mktemp("pretend")
    configure = [cmake, "-S", str(REPO), "-B", str(build), "-DCMAKE_BUILD_TYPE=Debug",
                 "-DPython_EXECUTABLE=" + sys.executable,
                 "-DORVEX_BUILT_FOR_VERSION=" + request.param]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    for command in (configure, [cmake, "--build", str(build), "-j", str(os.cpu_count() or 1)]):
        proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        if proc.returncode:
            pytest.fail("build failed:\n" + proc.stdout[-4000:])
    (extension,) = glob.glob(str(build / ("decorator*" + ".so")))
    return request.param, extension


def mismatch_message(built_for):
    return "compiletime version %s of module 'orvex.abstract.decorator' does not match " \
           "runtime version %d.%d" % (built_for, sys.version_info[0], sys.version_info[1])


def test_version_mismatch_warns(tmp_path, pretend_build):
    built_for, extension = pretend_build
    imported, done = child(tmp_path, """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            attempt()
        report(None, warnings=[[w.category.__name__, str(w.message)] for w in caught])
    """, extension=extension)
    assert imported["complete"]
    assert done["warnings"] == [["RuntimeWarning", mismatch_message(built_for)]]


def test_version_mismatch_under_warnings_as_errors(tmp_path, pretend_build):
    built_for, extension = pretend_build
    for report in child(tmp_path, "attempt()\nattempt()\n", flags=("-W", "error"), extension=extension):
        assert (report["type"], report["message"]) == ("RuntimeWarning", mismatch_message(built_for))
        # Raised before the module exists: no entry of its own, nothing left behind.
        assert not report["in_modules"]
        assert all(e[1] != FILE for e in report["entries"])
