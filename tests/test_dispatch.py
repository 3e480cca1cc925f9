"""Dispatch end to end: real abstraction packages on disk, the real builder,
token getter and AbstractPackage."""

import enum
import functools
import gc
import importlib
import os
import sys
import tracemalloc
from unittest import mock

import pytest

from orvex.abstract.decorator import default_token_getter
from orvex.abstract.magic import default_builder
from orvex.abstract.package import AbstractPackage
from support import (
    GET, PKG_ATTR, WRAPPER, frames, get_lines, lay_out, missing, module_entries, not_found,
)

LAYOUT = {
    "{pkg}/__init__.py": """
        from orvex.abstract import LookupDecorator

        class Top:
            os = None

            @LookupDecorator("os")
            def where(self):
                return "generic top"
    """,
    "{pkg}/ops.py": """
        from orvex.abstract import LookupDecorator

        class Device:
            def __init__(self, **tokens):
                self.__dict__.update(tokens)

        class Ops:
            def __init__(self, **tokens):
                self.__dict__.update(tokens)

            @LookupDecorator("os", "platform")
            def run(self, *args, **kwargs):
                return "generic", self, args, kwargs

            @LookupDecorator("os", "platform")
            def extra(self):
                return "generic extra"

            @LookupDecorator("os", "platform", mandatory=2)
            def strict(self):
                return "generic strict"

            class Inner:
                os, platform = "alpha", None

                @LookupDecorator("os", "platform")
                def run(self):
                    return "generic inner"

        def make_local():
            class Local:
                os = "alpha"

                @LookupDecorator("os")
                def run(self):
                    return "generic local"
            return Local
    """,
    "{pkg}/alpha/__init__.py": """
        class Top:
            def where(self):
                return "alpha top"
    """,
    "{pkg}/alpha/ops.py": """
        from {pkg} import ops

        class Ops(ops.Ops):  # extra and strict stay generic
            def run(self, *args, **kwargs):
                return "alpha", self, args, kwargs

            class Inner:
                def run(self):
                    raise NotImplementedError("alpha inner")
    """,
    "{pkg}/alpha/m2/__init__.py": "",
    "{pkg}/alpha/m2/ops.py": """
        class Ops:
            def run(self, *args, **kwargs):
                return "alpha.m2", self, args, kwargs
    """,
    "{pkg}/beta/__init__.py": "",
    "{pkg}/beta/ops.py": "raise RuntimeError('beta is broken')",
    "{pkg}/delta/__init__.py": "",
    "{pkg}/delta/ops.py": "{{}}['delta is broken']",
    "{pkg}/early/__init__.py": "",
    "{pkg}/early/ops.py": """
        from {pkg} import ops

        # A default instance made before the override exists: its fetch gets the generic code.
        EARLY = ops.Ops(os="early", platform=None).run()[0]

        class Ops(ops.Ops):
            def run(self, *args, **kwargs):
                return "early", self, args, kwargs
    """,
    "{pkg}_flat.py": """
        from orvex.abstract import LookupDecorator

        class Flat:
            @LookupDecorator()
            def run(self):
                pass
    """,
    "{other}/__init__.py": "",
    "{other}/sub.py": """
        from {pkg}.ops import Ops

        class Sub(Ops):
            pass
    """,
    "{other}/alpha/__init__.py": "",
    "{other}/alpha/sub.py": """
        class Sub:
            def run(self, *args, **kwargs):
                return "other alpha", self, args, kwargs
    """,
}


@pytest.fixture
def names(tmp_path, monkeypatch):
    """Lays out LAYOUT below tmp_path; forgets its modules and finders after."""
    names = {"pkg": "dispatch_pkg", "other": "dispatch_other"}
    forget = lay_out(tmp_path, monkeypatch, LAYOUT, names)
    yield names
    forget()


def ops_module(names):
    return importlib.import_module(names["pkg"] + ".ops")


@pytest.mark.parametrize("tokens, tag", [
    (dict(os="alpha", platform="m2"), "alpha.m2"),
    (dict(os="alpha", platform="k9"), "alpha"),
    (dict(os="alpha", platform=None), "alpha"),
    (dict(os="gamma", platform="m2"), "generic"),
    (dict(os=None, platform="m2"), "generic"),
    (dict(device=dict(os="alpha", platform="m2")), "alpha.m2"),
    (dict(os="alpha", device=dict(os="gamma", platform="m2")), "alpha.m2"),
])
def test_dispatch_by_tokens(names, tokens, tag):
    ops = ops_module(names)
    tokens = dict(tokens)
    if "device" in tokens:
        tokens["device"] = ops.Device(**tokens["device"])
    obj = ops.Ops(**tokens)
    assert obj.run(1, k=2) == (tag, obj, (1,), {"k": 2})
    assert ops.Ops.run(obj) == ("generic", obj, (), {})  # through the class: the plain function


def test_root_carries_one_learned_package(names):
    ops = ops_module(names)
    ops.Ops(os="alpha", platform="m2").run()
    root = sys.modules[names["pkg"]]
    package = getattr(root, PKG_ATTR)
    ops.Ops(os=None, platform=None).extra()
    assert getattr(root, PKG_ATTR) is package
    assert type(package) is AbstractPackage and package.name == names["pkg"] and package.learned


def test_inherited_and_nested(names):
    ops, pkg = ops_module(names), names["pkg"]
    assert ops.Ops(os="alpha", platform="k9").extra() == "generic extra"
    with pytest.raises(LookupError) as info:  # the first class found is the one used
        ops.Ops(os="alpha", platform="m2").extra
    assert str(info.value) == missing("Ops", pkg + ".alpha.m2.ops", "extra")
    assert get_lines(info.value) == [224]

    inner = ops.Ops.Inner()
    with pytest.raises(NotImplementedError) as info:
        inner.run()
    assert module_entries(info.value) == [(WRAPPER, 234), (WRAPPER, 232)]
    assert frames(info.value)[-1][1].endswith(os.path.join(pkg, "alpha", "ops.py"))

    inner.platform = "m2"
    with pytest.raises(LookupError) as info:
        inner.run
    assert str(info.value) == missing("Ops", pkg + ".alpha.m2.ops", "Inner")
    assert get_lines(info.value) == [218]


def test_class_in_root_init(names):
    Top = importlib.import_module(names["pkg"]).Top
    top = Top()
    assert top.where() == "generic top"
    top.os = "alpha"
    assert top.where() == "alpha top"


def test_function_local_class(names):
    local = ops_module(names).make_local()()
    with pytest.raises(LookupError) as info:
        local.run
    assert str(info.value) == missing("make_local", names["pkg"] + ".ops", "<locals>")
    assert type(info.value.__context__) is AttributeError


@pytest.mark.parametrize("tokens, shown", [
    (dict(os="alpha", platform=None), None),  # too few tokens: no search path at all
    (dict(os="alpha", platform="k9"), ("alpha", "k9")),
])
def test_builder_keywords(names, tokens, shown):
    with pytest.raises(LookupError) as info:
        ops_module(names).Ops(**tokens).strict
    assert str(info.value) == not_found((names["pkg"], "ops"), shown, "Ops")


def test_errors_from_the_package_and_getter(names):
    ops = ops_module(names)
    with pytest.raises(RuntimeError, match="beta is broken") as info:
        ops.Ops(os="beta", platform=None).run
    assert get_lines(info.value) == [201]
    # A LookupError of the override's own code is no "not found", also the second time.
    for _ in range(2):
        with pytest.raises(ImportError, match="'%s.delta.ops' raised KeyError" % names["pkg"]) as info:
            ops.Ops(os="delta", platform=None).run
        assert type(info.value.__cause__) is KeyError and get_lines(info.value) == [201]

    obj = ops.Ops(os="alpha")
    with pytest.raises(AttributeError) as info:
        obj.run
    assert str(info.value) == "No attribute 'platform' on '%s'" % obj
    assert module_entries(info.value) == [(GET, 185), ("orvex.abstract.decorator.default_token_getter", 33)]


def test_subclass_in_another_package(names):
    Sub = importlib.import_module(names["other"] + ".sub").Sub
    obj = Sub(os="alpha", platform="m2")
    assert obj.run(3) == ("other alpha", obj, (3,), {})
    obj.os = "gamma"
    assert obj.run()[0] == "generic"  # the found class inherits the decorated method
    assert getattr(sys.modules[names["other"]], PKG_ATTR).name == names["other"]


def test_plain_module_is_refused(names):
    flat = importlib.import_module(names["pkg"] + "_flat")
    with pytest.raises(LookupError) as info:
        flat.Flat().run
    assert info.value.args == ("LookupDecorator must be used within a package. Got " + flat.__file__,)
    assert get_lines(info.value) == [166]


@pytest.mark.parametrize("tokens", [dict(os="alpha", platform="k9"), dict(device=dict(os="alpha", platform="k9"))])
def test_fetch_runs_no_python_but_the_implementation(names, tokens):
    ops = ops_module(names)
    tokens = dict(tokens)
    if "device" in tokens:
        tokens["device"] = ops.Device(**tokens["device"])
    obj = ops.Ops(**tokens)  # ('alpha', 'k9') misses, ('alpha',) is found
    obj.run()  # the first fetch may index and import
    calls = []
    sys.setprofile(lambda frame, event, arg: calls.append(frame.f_code.co_name) if event == "call" else None)
    try:
        result = obj.run(1)
    finally:
        sys.setprofile(None)
    assert calls == ["run"] and result == ("alpha", obj, (1,), {})


def spy(log, name, real):
    def spy(*args, **kwargs):
        log.append(name)
        return real(*args, **kwargs)
    return spy


class LoggingPackage(AbstractPackage):
    def learn(self):
        self.log.append("learn")
        return super().learn()

    def lookup(self, relpath, seq, name):
        self.log.append("lookup")
        self.seqs.append(seq)
        return super().lookup(relpath, seq, name)


def replace_package(monkeypatch, names, log):
    package = LoggingPackage(names["pkg"])
    package.log, package.seqs = log, []
    monkeypatch.setattr(sys.modules[names["pkg"]], PKG_ATTR, package, raising=False)


# Whatever is not exactly the shipped object is called as it is.
@pytest.mark.parametrize("replace, called", [
    (lambda mp, ops, names, log: mp.setattr(functools, "wraps", spy(log, "wraps", functools.wraps)), ["wraps"]),
    (lambda mp, ops, names, log: mp.setattr(functools, "update_wrapper",
                                            spy(log, "update_wrapper", functools.update_wrapper)),
     ["update_wrapper"]),
    (lambda mp, ops, names, log: mp.setattr(functools, "partial", spy(log, "partial", functools.partial)),
     ["partial"]),
    (lambda mp, ops, names, log: mp.setattr(vars(ops.Ops)["run"], "_builder", spy(log, "builder", default_builder)),
     ["builder"]),
    (lambda mp, ops, names, log: mp.setattr(vars(ops.Ops)["run"], "_getter",
                                            spy(log, "getter", default_token_getter)), ["getter"]),
    (lambda mp, ops, names, log: replace_package(mp, names, log), ["learn", "lookup", "lookup"]),
])
def test_replaced_parts_are_called(names, monkeypatch, replace, called):
    ops = ops_module(names)
    obj = ops.Ops(os="alpha", platform="k9")
    obj.run()
    log = []
    replace(monkeypatch, ops, names, log)
    method = obj.run
    assert log == called
    assert method(2) == ("alpha", obj, (2,), {}) and method.__qualname__ == "Ops.run"


def test_wraps_defaults_are_followed(names, monkeypatch):
    ops = ops_module(names)
    obj = ops.Ops(os="alpha", platform="k9")
    monkeypatch.setattr(functools.wraps, "__defaults__", (("__name__",), ()))
    method = obj.run
    assert (method.__name__, method.__qualname__, method.__doc__) == ("run", "LookupDecorator.__get__.<locals>.wrapper",
                                                                      None)
    assert "__module__" not in vars(method) and method.__wrapped__.__module__.endswith(".alpha.ops")


class Caseless(str):
    """A token whose equality ignores case: Caseless("ALPHA") == "alpha", yet it spells ALPHA."""

    def __eq__(self, other):
        return isinstance(other, str) and self.lower() == other.lower()

    def __hash__(self):
        return hash(self.lower())


class EqualOnly(str):
    """A str that defines __eq__ alone, which makes it unhashable."""

    def __eq__(self, other):
        return str.__eq__(self, other)


# A path names its module by the token's text: Caseless("ALPHA") names <pkg>.ALPHA, which does not exist.
@pytest.mark.parametrize("fetches", [
    [(Caseless("ALPHA"), "generic"), ("alpha", "alpha")],
    [("alpha", "alpha"), (Caseless("ALPHA"), "generic")],
    [(EqualOnly("alpha"), "alpha"), (EqualOnly("gamma"), "generic"), ("alpha", "alpha"), (EqualOnly("alpha"), "alpha")],
], ids=["caseless first", "plain first", "unhashable"])
def test_str_subclass_tokens_dispatch_by_their_text(names, fetches):
    ops = ops_module(names)
    for token, tag in fetches:
        assert ops.Ops(os=token, platform=None).run()[0] == tag, repr(token)


class OS(str, enum.Enum):
    ALPHA = "alpha"
    GAMMA = "gamma"


_PLAIN = {}


def plain(text):
    # An equal str that no other fetch of the test holds; the same one on each
    # run, so that the builder's slots do not take a new one every time.
    return _PLAIN.setdefault(text, "".join(list(text)))


@pytest.mark.parametrize("makers", [(plain, OS), (OS, plain)], ids=["plain first", "enum first"])
@pytest.mark.parametrize("seen_by", ["package", "builder", "message"])
def test_each_fetch_passes_on_its_own_tokens(names, monkeypatch, makers, seen_by):
    ops = ops_module(names)
    log, built = [], []

    def builder(tokens, **kwargs):
        paths = default_builder(tokens, **kwargs)
        built.append((tokens, paths))
        return paths

    if seen_by == "package":
        replace_package(monkeypatch, names, log)
    elif seen_by == "builder":
        monkeypatch.setattr(vars(ops.Ops)["run"], "_builder", builder)
    for make in makers:
        if seen_by == "message":  # no token package: mandatory=2 leaves no path that matches
            token = make("gamma")
            with pytest.raises(LookupError) as info:
                ops.Ops(os=token, platform="k9").strict
            assert str(info.value) == not_found((names["pkg"], "ops"), (token, "k9"), "Ops")
            continue
        token = make("alpha")
        assert ops.Ops(os=token, platform=None).run()[0] == "alpha"
        if seen_by == "package":
            seqs = getattr(sys.modules[names["pkg"]], PKG_ATTR).seqs
            assert seqs and all(seq[0] is token for seq in seqs if seq), seqs
            del seqs[:]
        else:
            tokens, paths = built.pop()
            assert tokens[0] is token and all(path[0] is token for path in paths if path), paths


def patched(name):
    fake = type("Ops", (), {"run": lambda self, *args, **kwargs: ("fake", self, args, kwargs)})
    with mock.patch(name + ".Ops", fake):
        yield
    yield  # the patch left: the original again


def reloaded(name):
    importlib.reload(sys.modules[name])
    yield


def imported_again(name):
    del sys.modules[name]
    importlib.import_module(name)
    yield


# Each change of the class is followed by a lookup on it, which gives it a
# new version before the fetch.
def method_replaced(name):
    cls = sys.modules[name].Ops
    original = cls.run
    cls.run = lambda self, *args, **kwargs: ("replaced", self, args, kwargs)
    assert cls.run
    yield
    cls.run = original
    assert cls.run
    yield


def method_deleted(name):
    # The override's class then gives its base's: the generic method itself.
    cls = sys.modules[name].Ops
    original = cls.run
    del cls.run
    assert cls.run
    yield
    cls.run = original
    assert cls.run
    yield


@pytest.mark.parametrize("change", [patched, reloaded, imported_again, method_replaced, method_deleted])
def test_override_is_read_from_its_module_at_each_fetch(names, change):
    ops = ops_module(names)
    obj = ops.Ops(os="alpha", platform="k9")
    name = names["pkg"] + ".alpha.ops"
    assert obj.run.__wrapped__ is sys.modules[name].Ops.run
    for _ in change(name):
        assert obj.run.__wrapped__ is sys.modules[name].Ops.run


# The override module fetches at its top level, before its class exists:
# that fetch gets the generic code, every later one the override.
@pytest.mark.parametrize("start", ["fetch", "import"])
def test_miss_during_the_override_import_is_not_kept(names, start):
    ops = ops_module(names)
    assert ops.Ops(os=None, platform=None).run()[0] == "generic"  # the package is in use already
    obj = ops.Ops(os="early", platform=None)
    if start == "fetch":
        assert obj.run()[0] == "early"
    else:
        importlib.import_module(names["pkg"] + ".early.ops")
    assert sys.modules[names["pkg"] + ".early.ops"].EARLY == "generic"
    for _ in range(3):
        assert obj.run()[0] == "early"


# Each run fills more of the free places of the caches' largest tables
# (fewer each time): more references held, from tables that stay bounded.
@pytest.mark.no_refleaks
def test_memory_is_bounded_over_distinct_tokens(names):
    obj = ops_module(names).Ops(os=None, platform=None)

    def fetch(first, count):
        """Fetches with `count` new os values (no token package); the most memory traced meanwhile."""
        most = 0
        for k in range(first, first + count):
            obj.os = "os%d" % k
            obj.run
            if k % 1000 == 0:
                gc.collect()
                most = max(most, tracemalloc.get_traced_memory()[0])
        return most

    # The most over each half: a bounded cache emptied when full counts at its fullest in both.
    # Traced from the first fetch: a release of memory taken before tracing
    # began would not count, and a cache that replaces its entries one by
    # one would seem to grow until it had replaced them all. The first
    # 40,000 fill the largest tables (8,192 places in pairs, each filled at
    # random) to all but a few places.
    # Garbage is collected before each sample: cycles that failed imports
    # leave live until the collector runs, and when it runs moves from run
    # to run.
    tracemalloc.start()
    try:
        fetch(0, 40000)
        first = fetch(40000, 10000)
        second = fetch(50000, 10000)
    finally:
        tracemalloc.stop()
    # A cache that kept something per token would add a megabyte or more
    # per half; the tables still filling their last free places add a few
    # percent.
    assert second - first < max(64 * 1024, first // 16), (first, second)
