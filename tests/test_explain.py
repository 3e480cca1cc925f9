"""explain(): what a fetch does and why, on real package trees."""

import functools
import importlib
import sys

import pytest

from orvex.abstract import Attempt, Explanation, LookupDecorator, Token, explain
from support import lay_out, missing, not_found

LAYOUT = {
    "{pkg}/__init__.py": "",
    "{pkg}/ops.py": """
        from orvex.abstract import LookupDecorator

        CALLS = []

        class Device:
            def __init__(self, **settings):
                self.__dict__.update(settings)

        class Ops:
            def __init__(self, **tokens):
                self.__dict__.update(tokens)

            @LookupDecorator("os", "platform")
            def run(self):
                CALLS.append("run")

            @LookupDecorator("os", mandatory=1)
            def strict(self):
                CALLS.append("strict")

            @LookupDecorator.from_device("os")
            def blink(self):
                CALLS.append("blink")

            @LookupDecorator(attr_getter=lambda obj, attrs: ("alpha",))
            def fixed(self):
                CALLS.append("fixed")

            @LookupDecorator()
            def untokened(self):
                CALLS.append("untokened")

            @LookupDecorator.from_device
            def blink_bare(self):
                CALLS.append("blink_bare")

        class MyOps(Ops):
            pass

        by_os = LookupDecorator("os")

        class Shared:
            os = "alpha"

            @by_os
            def start(self):
                CALLS.append("start")

            def stop(self):
                CALLS.append("stop")

        # Applied again once the class exists, which no class statement sees.
        Shared.stop = by_os(Shared.stop)

        def loose(self):
            CALLS.append("loose")

        # Set once the class exists: no class statement refused them.
        Ops.bare = LookupDecorator(loose)
        Ops.unapplied = LookupDecorator("os")
    """,
    "{pkg}/alpha/__init__.py": "",
    "{pkg}/alpha/ops.py": """
        class Ops:
            def run(self):
                pass

            def blink(self):
                pass

            def fixed(self):
                pass
    """,
    "{pkg}/alpha/m2/__init__.py": "",
    "{pkg}/alpha/m2/ops.py": """
        class Ops:
            def run(self):
                pass
    """,
    # A directory without __init__.py: no token package.
    "{pkg}/gamma/ops.py": """
        class Ops:
            def run(self):
                pass
    """,
    # Not an identifier: no token package.
    "{pkg}/my-os/__init__.py": "",
    "{pkg}/my-os/ops.py": """
        class Ops:
            def run(self):
                pass
    """,
    # The override class is not named after the generic one.
    "{pkg}/omicron/__init__.py": "",
    "{pkg}/omicron/ops.py": """
        class AlphaOps:
            def run(self):
                pass
    """,
    # An override that calls super().
    "{pkg}/epsilon/__init__.py": "",
    "{pkg}/epsilon/ops.py": """
        from {pkg}.ops import Ops as GenericOps

        class Ops(GenericOps):
            def run(self):
                return super().run()

            def blink(self):
                return GenericOps.blink(self)
    """,
    # A subclass in another package: that package is its root.
    "{pkg}_other/__init__.py": "",
    "{pkg}_other/sub.py": """
        from {pkg}.ops import Ops

        class SubOps(Ops):
            pass
    """,
    "{pkg}_flat.py": """
        from orvex.abstract import LookupDecorator

        class Flat:
            os = "alpha"

            @LookupDecorator("os")
            def run(self):
                pass
    """,
}
PKG = "explain_pkg"


@pytest.fixture
def ops(tmp_path, monkeypatch):
    forget = lay_out(tmp_path, monkeypatch, LAYOUT, {"pkg": PKG})
    module = __import__(PKG + ".ops", fromlist=["Ops"])
    yield module
    forget()


def impl(path, cls="Ops", name="run"):
    return ".".join((PKG,) + path + ("ops", cls, name))


# (object, name) -> statuses of the search paths, what runs (or the error),
# and a piece of each note expected.
CASES = {
    "match on the device's token": (
        lambda m: m.Ops(os="alpha", device=m.Device(platform="m2")), "run",
        ["matched", "not tried", "not tried"], impl(("alpha", "m2")), []),
    "typo in a token": (
        lambda m: m.Ops(os="alpah", platform=None), "run",
        ["missed", "matched"], impl((), name="run"),
        ["there is no token package 'alpah' (os = 'alpah', read from the object); "
         "did you mean 'alpha'?"]),
    "directory without __init__.py": (
        lambda m: m.Ops(os="gamma", platform=None), "run",
        ["missed", "matched"], impl(()),
        ["gamma is a directory without __init__.py, so it is not a token package"]),
    "subclass looked up by its own name": (
        lambda m: m.MyOps(os="alpha", platform=None), "run",
        ["missed", "matched"], impl(()),
        [PKG + ".alpha.ops defines 'Ops' but not 'MyOps'",
         PKG + ".ops.MyOps inherits 'run' from " + PKG + ".ops.Ops"]),
    "one decorator object on two methods": (
        lambda m: m.Shared(), "start",
        ["missed", "matched"], impl((), "Shared", "stop"),
        ["holds the method 'stop', so fetching 'start' runs 'stop'"]),
    "mandatory token without a package": (
        lambda m: m.Ops(os="beta"), "strict",
        ["missed"], LookupError(not_found((PKG, "ops"), ("beta",), "Ops")), []),
    "override class lacks the method": (
        lambda m: m.Ops(os="alpha"), "strict",
        ["matched"], LookupError(missing("Ops", PKG + ".alpha.ops", "strict")), []),
    "fallback names of from_device": (
        lambda m: m.Ops(os="alpha", device=m.Device(custom={})), "blink",
        ["matched", "not tried"], impl(("alpha",), name="blink"), []),
    "without parentheses": (
        lambda m: m.Ops(), "bare", [], TypeError("hasattr(): attribute name must be string"),
        [PKG + ".ops.Ops.bare is a LookupDecorator used without parentheses"]),
    "never applied": (
        lambda m: m.Ops(os="alpha"), "unapplied", ["matched", "not tried"],
        AttributeError("'LookupDecorator' object has no attribute '_method_name'"),
        [PKG + ".ops.Ops.unapplied is a LookupDecorator that holds no method"]),
    "no token names": (
        lambda m: m.Ops(), "untokened", ["matched"], impl((), name="untokened"),
        ["the decorator names no token attributes (LookupDecorator() with no names), so there "
         "are no tokens and every fetch runs the generic code"]),
    "no token names on the device": (
        lambda m: m.Ops(os="alpha"), "blink_bare", ["matched"], impl((), name="blink_bare"),
        ["there are no tokens: the device lists no token names and from_device was given no "
         "fallback names"]),
    "token directory that is not an identifier": (
        lambda m: m.Ops(os="my-os", platform=None), "run", ["missed", "matched"], impl(()),
        ["my-os is named 'my-os', which is not a Python identifier, so it is not a token "
         "package: token values name packages, and must be identifiers ('my_os', for one)."]),
    "token value that is not an identifier": (
        lambda m: m.Ops(os="no-such", platform=None), "run", ["missed", "matched"], impl(()),
        ["the token value 'no-such' (os = 'no-such', read from the object) is not a Python "
         "identifier"]),
    "override class named differently": (
        lambda m: m.Ops(os="omicron", platform=None), "run", ["missed", "matched"], impl(()),
        [PKG + ".omicron.ops defines the class 'AlphaOps', and the lookup looks for the class 'Ops' "
         "there (the name of the object's class): an override of Ops must have that name."]),
    "super() in an override": (
        lambda m: m.Ops(os="epsilon", platform=None), "run", ["matched", "not tried"],
        impl(("epsilon",)),
        ["the override %s calls super(), which raises TypeError when it runs: self is a %s.ops.Ops "
         "object, not an instance of the override class %s.epsilon.ops.Ops. Call the generic code "
         "through the generic class instead (Ops.run(self, ...))."
         % (impl(("epsilon",)), PKG, PKG)]),
    "generic code called through the class": (
        lambda m: m.Ops(os="epsilon"), "blink", ["matched", "not tried"],
        impl(("epsilon",), name="blink"), []),
    "subclass in another package": (
        lambda m: importlib.import_module(PKG + "_other.sub").SubOps(os="alpha", platform=None),
        "run", ["missed", "matched"], impl(()),
        ["%s_other.sub.SubOps is in the package '%s_other', which is therefore the package root: "
         "the lookup searches %s_other's token packages, not those of '%s', where %s.ops.Ops "
         "holds the decorator." % (PKG, PKG, PKG, PKG, PKG)]),
    "not a decorated method": (
        lambda m: m.Ops(), "__init__", [], None,
        [PKG + ".ops.Ops.__init__ is a function, not a LookupDecorator"]),
}


@pytest.mark.parametrize("case", list(CASES))
def test_report(ops, case):
    make, name, statuses, outcome, notes = CASES[case]
    obj = make(ops)
    report = explain(obj, name)
    assert [attempt.status for attempt in report.attempts] == statuses
    if isinstance(outcome, Exception):
        assert type(report.error) is type(outcome) and str(report.error) == str(outcome)
        assert not report.ok and report.implementation is None
        assert "raises %s: %s" % (type(outcome).__name__, str(outcome).split("\n")[0]) \
            in str(report)
    elif outcome is not None:
        assert report.error is None and report.ok
        where = report.implementation
        assert "%s.%s" % (where.__module__, where.__qualname__) == outcome
        assert "runs " + outcome in str(report)
        # The same implementation as a fetch.
        assert getattr(obj, name).__wrapped__ is where
    for note in notes:
        assert any(note in text for text in report.notes), report.notes
        assert note in str(report).replace("\n    ", " ")
    if not notes:
        assert report.notes == ()
    assert ops.CALLS == []  # nothing was called


def test_typo_report_in_full(ops):
    report = explain(ops.Ops(os="alpah", platform="m2"), "run")
    pkg = PKG
    assert str(report) == "\n".join([
        "Fetching 'run' through a %s.ops.Ops object:" % pkg,
        "  decorator    LookupDecorator holding Ops.run, found on %s.ops.Ops" % pkg,
        "  root         %s, abstraction package %r" % (pkg, report.package),
        "  tokens       os = 'alpah' (from the object), platform = 'm2' (from the object)",
        "  search paths ('alpah', 'm2'), ('alpah',), ()",
        "    ('alpah', 'm2')  missed: abstraction package '%s' has no token package 'alpah.m2'"
        % pkg,
        "    ('alpah',)       missed: abstraction package '%s' has no token package 'alpah'"
        % pkg,
        "    ()               matched: %s.ops.Ops" % pkg,
        "  result       runs %s.ops.Ops.run (the generic code)" % pkg,
        "Notes:",
        "  - there is no token package 'alpah' (os = 'alpah', read from the object); did you "
        "mean 'alpha'?",
    ])
    assert repr(report) == "<Explanation of Ops.run: runs %s.ops.Ops.run>" % pkg
    assert report.generic and report.root == pkg and report.defined_on is ops.Ops


def test_fields(ops):
    device = ops.Device(platform="k9", custom={"abstraction": {"order": ["os", "platform"]}})
    report = explain(ops.Ops(os="alpha", device=device), "blink")
    assert isinstance(report, Explanation)
    assert report.tokens == (Token("os", "alpha", "object"), Token("platform", "k9", "device"))
    assert report.names_from == "device.custom's abstraction order"
    assert report.paths == [("alpha", "k9"), ("alpha",), ()]
    assert report.attempts[0] == Attempt(("alpha", "k9"), "missed",
                                         "abstraction package '%s' has no token package "
                                         "'alpha.k9'" % PKG)
    assert report.attempts[1][:2] == (("alpha",), "matched")
    assert report.attempts[1].found.__module__ == PKG + ".alpha.ops"
    fixed = explain(ops.Ops(), "fixed")
    assert fixed.tokens == (Token(None, "alpha", "getter"),)


def test_outside_a_package(ops):
    flat = __import__(PKG + "_flat")
    report = explain(flat.Flat(), "run")
    assert isinstance(report.error, LookupError)
    assert str(report.error).startswith("LookupDecorator must be used within a package. Got ")
    assert report.root is None and report.attempts == ()
    assert report.notes == ("module '%s_flat' is in no regular package (a package with an "
                            "__init__.py): a decorated class must live in one." % PKG,)


def test_unsupported_uses(ops):
    assert "Ops is a class" in explain(ops.Ops, "run").notes[0]
    obj = ops.Ops(os="alpha")
    obj.run = functools.partial(print)
    assert "own attribute 'run' hides" in str(explain(obj, "run"))
    for wrapper in (classmethod, staticmethod, property):
        shadowed = type("Wrapped", (), {"run": wrapper(ops.Ops.__dict__["run"])})
        report = explain(shadowed(), "run")
        assert "under @%s, which is not supported" % wrapper.__name__ in str(report)
        assert repr(report) == "<Explanation of Wrapped.run: no lookup>"
    with pytest.raises(TypeError, match="takes the method's name as a str"):
        explain(obj, b"run")


def test_token_package_added_after_learning(ops, tmp_path):
    obj = ops.Ops(os="beta", platform=None)
    assert explain(obj, "run").generic
    beta = tmp_path / PKG / "beta"
    beta.mkdir()
    (beta / "__init__.py").write_text("")
    (beta / "ops.py").write_text("class Ops:\n    def run(self):\n        pass\n")
    report = explain(obj, "run")
    assert report.generic
    assert any("beta looks like the token package 'beta', which the abstraction package has "
               "not learned" in note and "importlib.invalidate_caches()" in note
               for note in report.notes), report.notes
    importlib.invalidate_caches()
    report = explain(obj, "run")
    assert report.notes == () and report.implementation.__module__ == PKG + ".beta.ops"


def explain_note(name, cls="Ops"):
    """The note a failed fetch of `name` takes, as a list of notes."""
    if sys.version_info < (3, 11):  # no add_note, and nothing would print them
        return None
    return ["To see why, run orvex.abstract.explain(obj, %r) with obj the %s object that the "
            "method was fetched through." % (name, cls)]


def test_failed_fetch_points_to_explain(ops):
    with pytest.raises(LookupError) as info:
        ops.Ops(os="beta").strict()
    assert str(info.value) == not_found((PKG, "ops"), ("beta",), "Ops")
    assert getattr(info.value, "__notes__", None) == explain_note("strict")
    with pytest.raises(LookupError) as info:
        ops.Ops(os="alpha").strict()
    assert getattr(info.value, "__notes__", None) == explain_note("strict")
    with pytest.raises(AttributeError) as info:
        ops.Ops().run  # no os, on the object or a device
    assert getattr(info.value, "__notes__", None) == explain_note("run")
    # Named as the class holds it, also under a name that is not the method's.
    ops.Shared.other = ops.Ops.__dict__["strict"]
    with pytest.raises(LookupError) as info:
        ops.Shared().other
    assert getattr(info.value, "__notes__", None) == explain_note("other", "Shared")


def test_notes_only_where_explain_helps(ops):
    stored = AttributeError("stored")

    def getter(obj, attrs):
        raise stored

    def typed(obj, attrs):
        raise TypeError("typed")

    ops.Ops.stored = LookupDecorator(attr_getter=getter)(lambda self: None)
    ops.Ops.typed = LookupDecorator(attr_getter=typed)(lambda self: None)
    for _ in range(2):  # an exception raised again takes the note once
        with pytest.raises(AttributeError):
            ops.Ops().stored
    assert getattr(stored, "__notes__", None) == explain_note("stored")
    with pytest.raises(TypeError) as info:
        ops.Ops().typed
    assert not hasattr(info.value, "__notes__")
    # Fetched through the class: no lookup, no note.
    del vars(ops.Ops)["stored"]._method
    with pytest.raises(AttributeError) as info:
        ops.Ops.stored
    assert not hasattr(info.value, "__notes__")
