import importlib
import sys
import threading
import time
import types
import zipfile
import zipimport

import pytest

import orvex.abstract.package as package_mod
from orvex.abstract.package import AbstractPackage
from support import PKG_ATTR

OPS = "import mylib\nmylib.LOADS.append(__name__)\nclass Ops:\n    pass\n"
CLS = "class Ops:\n    pass\n"
LAYOUT = {
    "mylib/__init__.py": "LOADS = []\nclass Root:\n    pass\n",
    "mylib/ops.py": OPS,
    "mylib/sub/__init__.py": "",
    "mylib/sub/ops.py": OPS,
    "mylib/alpha/__init__.py": "class Alpha:\n    pass\n",
    "mylib/alpha/ops.py": OPS,
    "mylib/alpha/sub/__init__.py": "",
    "mylib/alpha/sub/ops.py": OPS,
    "mylib/alpha/m2/__init__.py": "",
    "mylib/alpha/m2/ops.py": OPS,
    # none of these is a token package
    "mylib/data/inner/__init__.py": "",
    "mylib/not-a-token/__init__.py": "",
    "mylib/__pycache__/__init__.py": "",
}
TOKEN_PATHS = {(), ("alpha",), ("alpha", "m2"), ("alpha", "sub"), ("sub",)}


@pytest.fixture
def write(tmp_path, monkeypatch):
    """Write files below tmp_path, which is on sys.path; forget their modules after."""
    roots = set()

    def write(files, base=tmp_path):
        for rel, text in files.items():
            (base / rel).parent.mkdir(parents=True, exist_ok=True)
            (base / rel).write_text(text)
            roots.add(rel.split("/")[0].rsplit(".py", 1)[0])
        importlib.invalidate_caches()

    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(sys, "dont_write_bytecode", True)  # files get rewritten
    yield write
    for name in list(sys.modules):
        if name.split(".")[0] in roots:
            del sys.modules[name]


@pytest.fixture
def pkg(write, tmp_path):
    write(LAYOUT)
    (tmp_path / "mylib/alpha/loop").symlink_to(tmp_path / "mylib/alpha")
    importlib.import_module("mylib")
    return AbstractPackage("mylib")


def test_learn(pkg, tmp_path):
    assert pkg.token_paths == TOKEN_PATHS
    assert "mylib.alpha" not in sys.modules  # learning imports nothing
    lazy = AbstractPackage("mylib", delay=True)
    assert not lazy.learned and "not learned" in repr(lazy)
    (tmp_path / "mylib/beta").mkdir()
    (tmp_path / "mylib/beta/__init__.py").write_text("")
    pkg.learn()
    assert pkg.token_paths == TOKEN_PATHS  # learned once
    assert lazy.lookup(("mylib",), ("beta",), "__name__") == "mylib.beta"  # learns first
    assert lazy.token_paths == TOKEN_PATHS | {("beta",)}
    # invalidate_caches() of one package leaves the others as they are.
    lazy.invalidate_caches()
    assert not lazy.learned and pkg.learned and pkg.token_paths == TOKEN_PATHS


@pytest.mark.parametrize(
    "relpath, seq, name, module",
    [
        (("mylib", "ops"), (), "Ops", "mylib.ops"),
        (("mylib", "ops"), ("alpha",), "Ops", "mylib.alpha.ops"),
        (("mylib", "ops"), ["alpha", "m2"], "Ops", "mylib.alpha.m2.ops"),
        (("mylib", "sub", "ops"), (), "Ops", "mylib.sub.ops"),
        (("mylib", "sub", "ops"), ("alpha",), "Ops", "mylib.alpha.sub.ops"),
        (("mylib",), (), "Root", "mylib"),
        (("mylib",), ("alpha",), "Alpha", "mylib.alpha"),
    ],
)
def test_lookup_finds(pkg, relpath, seq, name, module):
    assert pkg.lookup(relpath, seq, name) is getattr(sys.modules[module], name)


@pytest.mark.parametrize(
    "relpath, seq, name, message",
    [
        (("other", "ops"), (), "Ops", "'other.ops' is outside .* 'mylib'"),
        (("mylib", "ops"), ("m2",), "Ops", "no token package 'm2'"),
        (("mylib", "ops"), ("data",), "Ops", "no token package 'data'"),
        (("mylib", "ops"), ("alpha", "loop"), "Ops", "no token package 'alpha.loop'"),
        (("mylib", "ops"), ("alpha",), "f", "'mylib.alpha.ops' has no attribute 'f'"),
        (("mylib", "nope"), ("alpha",), "Ops", "no module named 'mylib.alpha.nope'"),
        (("mylib", "nope", "ops"), (), "Ops", "no module named 'mylib.nope'"),
        (("mylib", "ops", "deeper"), (), "X", "'mylib.ops' is not a package"),
    ],
)
def test_lookup_misses(pkg, relpath, seq, name, message):
    for _ in range(2):  # fresh and cached
        with pytest.raises(KeyError, match=message):
            pkg.lookup(relpath, seq, name)


@pytest.mark.parametrize(
    "seq, relpath, match",
    [
        ("alpha", ("mylib", "ops"), "seq must be an iterable of str"),
        (("alpha", 1), ("mylib", "ops"), r"seq items must be str, got 1 \(int\)"),
        ((), ("mylib", None), "relpath items must be str"),
    ],
)
def test_lookup_bad_arguments(pkg, seq, relpath, match):
    with pytest.raises(TypeError, match=match):
        pkg.lookup(relpath, seq, "Ops")


def test_answers_follow_the_module(pkg, tmp_path):
    ops = ("mylib", "ops")
    first = pkg.lookup(ops, ("alpha",), "Ops")
    module = sys.modules["mylib.alpha.ops"]
    assert pkg.lookup(ops, ["alpha"], "Ops") is first
    del module.Ops  # a miss of the attribute is not kept past a change
    with pytest.raises(KeyError, match="^\"module 'mylib.alpha.ops' has no attribute 'Ops'\"$"):
        pkg.lookup(ops, ("alpha",), "Ops")
    module.Ops = first
    assert pkg.lookup(ops, ("alpha",), "Ops") is first
    # A missing module is remembered until the import system hears of a change.
    with pytest.raises(KeyError):
        pkg.lookup(("mylib", "late"), (), "Ops")
    (tmp_path / "mylib/late.py").write_text(CLS)
    with pytest.raises(KeyError, match="no module named 'mylib.late'"):
        pkg.lookup(("mylib", "late"), (), "Ops")
    importlib.invalidate_caches()
    assert pkg.lookup(("mylib", "late"), (), "Ops").__module__ == "mylib.late"


@pytest.mark.parametrize(
    "path, body, relpath, seq, exc",
    [
        ("mylib/bad.py", "raise RuntimeError('bad')", ("mylib", "bad"), (), RuntimeError),
        ("mylib/bad.py", "import no_such_dep_q7", ("mylib", "bad"), (), ModuleNotFoundError),
        # a LookupError would pass for "not found": it comes as an ImportError
        ("mylib/bad.py", "raise KeyError('bad')", ("mylib", "bad"), (), ImportError),
        ("mylib/bad.py", "[][1]  # bad", ("mylib", "bad"), (), ImportError),
        ("mylib/bad.py", "def __getattr__(name):\n    raise KeyError('bad')", ("mylib", "bad"), (), ImportError),
        # the missing module is inside the package, next to the looked-up one
        ("mylib/alpha/bad/__init__.py", "import mylib.alpha.bad.nope", ("mylib", "bad", "ops"),
         ("alpha",), ModuleNotFoundError),
        ("mylib/gamma/__init__.py", "raise RuntimeError('bad')", ("mylib",), ("gamma",), RuntimeError),
    ],
)
def test_import_errors_propagate(pkg, write, path, body, relpath, seq, exc):
    write({path: body, "mylib/alpha/bad/ops.py": CLS})
    fresh = AbstractPackage("mylib")  # knows the new token packages
    with pytest.raises(exc, match="bad|no_such_dep_q7|index out of range") as caught:
        fresh.lookup(relpath, seq, "Ops")
    if type(caught.value) is ImportError:
        assert isinstance(caught.value.__cause__, LookupError)
        assert caught.value.name == "mylib.bad" and "'mylib.bad'" in str(caught.value)
    sys.modules.pop("mylib.bad", None)  # imported, but its attribute read failed
    write({path: CLS})  # once fixed it is found: the error was not cached
    assert fresh.lookup(relpath, seq, "Ops").__name__ == "Ops"


ZIPPED_OPS = """
from orvex.abstract import LookupDecorator

class Ops:
    os = "alpha"

    @LookupDecorator("os")
    def run(self):
        return "generic"
"""


def reject(path):
    raise ImportError("not this hook's")


def test_zipped_package(tmp_path, monkeypatch):
    archive = tmp_path / "lib.zip"
    with zipfile.ZipFile(str(archive), "w") as zipped:
        for rel, text in {"zipped/__init__.py": "", "zipped/ops.py": ZIPPED_OPS, "zipped/alpha/__init__.py": "",
                          "zipped/alpha/ops.py": "class Ops:\n    def run(self):\n        return 'alpha'\n",
                          "zipped/alpha/m2/__init__.py": "",
                          # none of these is a token package
                          "zipped/beta/ops.py": CLS, "zipped/not-a-token/__init__.py": "",
                          "zipped/__pycache__/__init__.py": ""}.items():
            zipped.writestr(rel, text)
    monkeypatch.syspath_prepend(str(archive))
    monkeypatch.setattr(sys, "path_hooks", [reject] + sys.path_hooks)  # the next hook takes the path
    try:
        importlib.import_module("zipped")
        cached = set(sys.path_importer_cache)
        pkg = AbstractPackage("zipped")
        assert set(sys.path_importer_cache) - cached == set()  # no importer per token package left behind
        assert pkg.token_paths == {(), ("alpha",), ("alpha", "m2")}
        assert pkg.lookup(("zipped", "ops"), ("alpha",), "Ops").__module__ == "zipped.alpha.ops"
        with pytest.raises(KeyError, match="no module named 'zipped.alpha.m2.ops'"):
            pkg.lookup(("zipped", "ops"), ("alpha", "m2"), "Ops")
        assert importlib.import_module("zipped.ops").Ops().run() == "alpha"
    finally:
        for name in [name for name in sys.modules if name.split(".")[0] == "zipped"]:
            del sys.modules[name]
        zipimport._zip_directory_cache.pop(str(archive), None)  # each run has its own archive


def test_object_protocol(pkg):
    class Sub(AbstractPackage):
        pass

    sub = Sub("mylib", delay=True)
    assert sub.lookup(("mylib", "ops"), ("alpha",), "Ops") is pkg.lookup(("mylib", "ops"), ("alpha",), "Ops")
    sub.extra = 1  # subclasses may add attributes; the class itself has none
    with pytest.raises(AttributeError):
        pkg.extra = 1
    bare = AbstractPackage.__new__(AbstractPackage)
    assert repr(bare) == "<AbstractPackage (not initialised)>"
    for use in (bare.learn, lambda: bare.lookup(("mylib",), (), "Root"), lambda: bare.token_paths):
        with pytest.raises(RuntimeError, match="not initialised"):
            use()
    with pytest.raises(TypeError, match="name must be a str, not bytes"):
        AbstractPackage(b"mylib")
    assert repr(pkg).startswith("<AbstractPackage 'mylib': token paths (), ('alpha',), ('alpha', 'm2')")


def test_roots(write, tmp_path):
    extra = tmp_path / "extra"
    write({"mylib/__init__.py": "__path__.append(%r)\n" % str(extra), "plainroot.py": CLS,
           "outer/__init__.py": "", "outer/lib/__init__.py": "", "outer/lib/alpha/__init__.py": "",
           "outer/lib/alpha/ops.py": CLS})
    write({"beta/__init__.py": "", "beta/ops.py": CLS}, extra)
    # up leads to outer, a package, where lib is reached again (a loop, though lib is no symlink)
    (tmp_path / "outer/lib/up").symlink_to(tmp_path / "outer")
    for name in ("mylib", "plainroot", "outer.lib"):
        importlib.import_module(name)
    cached = set(sys.path_importer_cache)
    for name in ("mylib", "plainroot", "outer.lib"):
        AbstractPackage(name)
    assert set(sys.path_importer_cache) - cached == set()  # learning leaves no importers behind
    assert AbstractPackage("mylib").lookup(("mylib", "ops"), ("beta",), "Ops").__module__ == "mylib.beta.ops"
    plain = AbstractPackage("plainroot")
    assert plain.token_paths == {()}
    assert plain.lookup(("plainroot",), (), "Ops") is sys.modules["plainroot"].Ops
    dotted = AbstractPackage("outer.lib")
    assert dotted.token_paths == {(), ("alpha",), ("up",)}
    assert dotted.lookup(("outer", "lib", "ops"), ("alpha",), "Ops").__module__ == "outer.lib.alpha.ops"
    with pytest.raises(KeyError, match="outside"):
        dotted.lookup(("outer", "ops"), (), "Ops")
    with pytest.raises(ImportError, match="'never_imported' .* not in sys.modules"):
        AbstractPackage("never_imported")


def test_concurrent_first_fetch(pkg, monkeypatch):
    scans = []
    real_scan = package_mod._scan

    def slow_scan(directory, prefix, found, ancestors):
        if prefix == ():
            scans.append(directory)
            time.sleep(0.01)  # widen the window for a racing thread
        real_scan(directory, prefix, found, ancestors)

    monkeypatch.setattr(package_mod, "_scan", slow_scan)
    lazy = AbstractPackage("mylib", delay=True)
    barrier = threading.Barrier(8)
    results, errors = [], []

    def first_fetch():
        barrier.wait()
        try:
            lazy.learn()
            results.append(lazy.lookup(("mylib", "ops"), ("alpha", "m2"), "Ops"))
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=first_fetch) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and len(scans) == 1
    assert results == [sys.modules["mylib.alpha.m2.ops"].Ops] * 8


DECORATED = """
from orvex.abstract import LookupDecorator

class Ops:
    os = "beta"

    @LookupDecorator("os")
    def run(self):
        return "generic"
"""


@pytest.mark.parametrize("forget", ["importlib", "package"])
def test_new_token_packages_after_invalidating(write, tmp_path, forget):
    write({"newtok/__init__.py": "", "newtok/ops.py": DECORATED})
    obj = importlib.import_module("newtok.ops").Ops()
    assert obj.run() == "generic"
    used, other = getattr(sys.modules["newtok"], PKG_ATTR), AbstractPackage("newtok")
    # Not through `write`, which invalidates the import system's caches.
    (tmp_path / "newtok/beta").mkdir()
    (tmp_path / "newtok/beta/__init__.py").write_text("")
    (tmp_path / "newtok/beta/ops.py").write_text("class Ops:\n    def run(self):\n        return 'beta'\n")
    assert obj.run() == "generic"  # learned once
    if forget == "importlib":
        importlib.invalidate_caches()
        assert ("beta",) in other.token_paths
    else:
        sys.path_importer_cache[str(tmp_path / "newtok")].invalidate_caches()  # the import system's own
        used.invalidate_caches()
        assert not used.learned
    assert obj.run() == "beta"
    assert ("beta",) in used.token_paths


class _Sub(types.ModuleType):
    @property
    def Ops(self):
        return "from the class"


def test_remembered_reads_see_what_plain_getattr_sees(pkg, monkeypatch):
    ops, alpha = ("mylib", "ops"), ("alpha",)
    module = importlib.import_module("mylib.alpha.ops")
    # A read answered again must not outlive a switched module class.
    assert pkg.lookup(ops, alpha, "Ops") is pkg.lookup(ops, alpha, "Ops") is module.Ops
    monkeypatch.setattr(module, "__class__", _Sub)
    assert pkg.lookup(ops, alpha, "Ops") == "from the class"
    monkeypatch.undo()
    # Releasing the value replaced runs code that reads another name: each
    # name keeps its own value.
    module.B = "b"

    class Reads:
        def __del__(self):
            pkg.lookup(ops, alpha, "B")

    module.A = Reads()
    pkg.lookup(ops, alpha, "A")
    module.A = "a2"
    assert pkg.lookup(ops, alpha, "A") == pkg.lookup(ops, alpha, "A") == "a2"


def test_module_without_namespace(pkg, monkeypatch):
    monkeypatch.setitem(sys.modules, "mylib.alpha.ops", types.ModuleType.__new__(types.ModuleType))
    with pytest.raises(KeyError, match="has no attribute 'Ops'"):
        pkg.lookup(("mylib", "ops"), ("alpha",), "Ops")
