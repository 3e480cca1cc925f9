"""Reference cycles through the module's objects: the function objects and
closure records report every reference to the collector and drop them when
it breaks a cycle; cycles through wrappers, decorators, methods and classes
are freed; and collections in the middle of fetches and calls change no
result."""

import collections
import gc
import os
import types

import pytest

import orvex.abstract.decorator as d
from orvex.abstract.decorator import LookupDecorator
from support import add_module, impl, package_root, paths
from support import reports, run_python

ROOT = "cycroot"


def census(*kinds):
    """How many objects of each kind the collector tracks: a type, or the
    name of a class (counting the classes of that name). A weak reference
    would not do: the collector clears those before breaking a cycle, so they
    die even when the cycle then survives."""
    counts = collections.Counter()
    for o in gc.get_objects():
        counts[type(o)] += 1
        if isinstance(o, type):
            counts[o.__name__] += 1
    return [counts[kind] for kind in kinds]


FUNCTION = type(d.default_token_getter)


class Text(str):
    """A str that can hold references (and so close a cycle through __name__)."""


def make_owner(monkeypatch):
    """An object whose method m dispatches to the m of a new class Impl_found."""
    package = package_root(monkeypatch, ROOT, {(): impl("found")})

    class Owner:
        @LookupDecorator(builder=paths(()))
        def m(self):
            pass
    Owner.__module__, Owner.__qualname__ = ROOT, "Owner"
    return Owner(), package


def test_traverse_reports_every_field(monkeypatch):
    obj, _ = make_owner(monkeypatch)
    w = obj.m
    func = w.__wrapped__
    values = {"__name__": Text("n"), "__qualname__": Text("q"), "__doc__": object(),
              "__module__": object(), "__defaults__": (object(),), "__kwdefaults__": {"k": 1},
              "__annotations__": {"a": 1}, "__dict__": {"x": 1}}
    for name, value in values.items():
        setattr(w, name, value)
    # The wrapper holds its two variables itself until its closure record is
    # asked for, and the record holds them from then on.
    referents = list(map(id, gc.get_referents(w)))
    for value in list(values.values()) + [w.__globals__, w.__code__, func, obj]:
        assert id(value) in referents
    record = w.__self__
    referents = list(map(id, gc.get_referents(w)))
    assert id(record) in referents and id(func) not in referents and id(obj) not in referents
    assert gc.is_tracked(w) and gc.is_tracked(record)
    assert [id(r) for r in gc.get_referents(record)] == [id(func), id(obj)]
    # The stored defaults, whatever the views say.
    init = LookupDecorator.__init__
    assert any(type(r) is tuple and set(map(id, r)) == {id(v) for v in init.__kwdefaults__.values()}
               for r in gc.get_referents(init))


def close_through(field, w, obj):
    """Makes a cycle from the wrapper `w` back to itself through `field`."""
    if field in ("__name__", "__qualname__"):
        text = Text("t")
        text.back = w
        setattr(w, field, text)
    elif field in ("__doc__", "__module__", "__defaults__"):
        setattr(w, field, (w,))  # a tuple: only the wrapper's own clear breaks it
    elif field in ("__kwdefaults__", "__annotations__"):
        setattr(w, field, {"back": w})
    elif field == "__dict__":
        w.__dict__["me"] = w
    elif field == "instance":
        obj.saved = w  # instance -> wrapper -> record -> instance
    elif field == "func":
        w.__wrapped__.saved = w  # found method -> wrapper -> record -> method


@pytest.mark.parametrize("field", ["__name__", "__qualname__", "__doc__", "__module__", "__defaults__",
                                   "__kwdefaults__", "__annotations__", "__dict__", "instance", "func"])
def test_cycles_through_a_wrapper_are_collected(monkeypatch, field):
    obj, package = make_owner(monkeypatch)
    record = type(obj.m.__self__)
    gc.collect()
    before = census(FUNCTION, record, "Impl_found")
    w = obj.m
    close_through(field, w, obj)
    package.answers.clear()
    del obj, w
    gc.collect()
    assert census(FUNCTION, record, "Impl_found") == [before[0], before[1], before[2] - 1]


def test_decorator_method_class_cycles_are_collected(monkeypatch):
    package = package_root(monkeypatch, ROOT)

    def define():
        class CycleOwner:
            @LookupDecorator(builder=paths(()))
            def m(self):
                return CycleOwner  # method -> closure cell -> class -> decorator -> method

        CycleOwner.__module__, CycleOwner.__qualname__ = ROOT, "CycleOwner"
        return CycleOwner

    gc.collect()
    kinds = (FUNCTION, LookupDecorator, types.FunctionType, "CycleOwner")
    before = census(*kinds)
    Owner = define()
    decorator = vars(Owner)["m"]
    decorator.__dict__["me"] = decorator
    method = decorator._method
    method.__dict__["me"] = method
    package.answers[()] = Owner
    obj = Owner()
    w = obj.m
    assert w() is Owner and w.__wrapped__ is method
    w.__dict__["me"] = w
    Owner.saved = w  # class -> wrapper -> record -> instance -> class
    # The wrapper, the decorator, the method and the builder, the class.
    assert census(*kinds) == [before[0] + 1, before[1] + 1, before[2] + 2, 1]
    package.answers.clear()
    del Owner, decorator, method, obj, w
    gc.collect()
    assert census(*kinds) == before
    assert gc.garbage == []


class Device:
    def __init__(self, custom=None, **tokens):
        self.custom = custom
        self.__dict__.update(tokens)


def dispatch_cases(monkeypatch):
    """(label, make) pairs over the dispatch variants and their error paths:
    make() gives a new object to fetch `m` through."""
    alpha, generic, bare = impl("alpha"), impl("generic"), type("Bare", (), {})
    package_root(monkeypatch, ROOT, {("alpha",): alpha, (): generic, ("bare",): bare})
    add_module(monkeypatch, "cycflat", file="/nowhere/cycflat.py")
    by_device = {"abstraction": {"order": ["os"]}}

    def owner(decorator, module=ROOT):
        def m(self):
            pass
        return type("Owner", (), {"__module__": module, "m": decorator(m)})

    plain = owner(LookupDecorator("os"))
    strict = owner(LookupDecorator("os", mandatory=1))
    device = owner(LookupDecorator.from_device("os"))
    device_bare = owner(LookupDecorator.from_device)
    flat = owner(LookupDecorator("os"), module="cycflat")

    def make(cls, **attrs):
        obj = cls()
        obj.__dict__.update(attrs)
        return obj

    return [
        ("own attribute", lambda: make(plain, os="alpha")),
        ("device attribute", lambda: make(plain, device=Device(os="alpha"))),
        ("generic", lambda: make(plain, os="beta")),
        ("device settings", lambda: make(device, device=Device(by_device, os="alpha"))),
        ("device fallback", lambda: make(device, os="zeta", device=Device({}))),
        ("bare device", lambda: make(device_bare, device=Device(by_device, os="alpha"))),
        ("missing token", lambda: make(plain)),
        ("no path", lambda: make(strict, os="beta")),
        ("missing method", lambda: make(plain, os="bare")),
        ("not in a package", lambda: make(flat, os="alpha")),
    ]


def run_case(make):
    """Fetches and calls m through a new object; the outcome, comparable
    between runs."""
    obj = make()
    try:
        w = obj.m
        obj.saved = w  # garbage for the collector to find later
        tag, args, kwargs = w(1, k=[2])
        return tag, args[0] is obj, args[1:], kwargs
    except (LookupError, AttributeError) as exc:
        return type(exc).__name__, str(exc).replace(str(obj), "<obj>")


class SetItem:
    """Stands for pytest's monkeypatch where there is none (in a child)."""

    def setitem(self, mapping, key, value):
        mapping[key] = value


DISPATCH_UNDER_COLLECTION = """
import gc, sys
sys.path.insert(0, %r)
import test_cycles as t

cases = t.dispatch_cases(t.SetItem())
expected = [(label, t.run_case(make)) for label, make in cases]
gc.collect()
gc.set_threshold(1)  # a collection at nearly every allocation
collections = sum(gen["collections"] for gen in gc.get_stats())
changed = []
for _ in range(%d):
    changed += [label for label, make in cases if (label, t.run_case(make)) not in expected]
report(None, kinds=sorted({outcome[0] for _, outcome in expected}), changed=changed,
       collections=sum(gen["collections"] for gen in gc.get_stats()) - collections)
"""


def test_collections_during_dispatch_change_nothing():
    # In a child: a collection at every step is where a reference that the
    # collector cannot see, or a record tracked too early, would crash.
    rounds = 250
    (outcome,) = reports(run_python(DISPATCH_UNDER_COLLECTION % (os.path.dirname(__file__), rounds)))
    assert outcome["kinds"] == ["AttributeError", "LookupError", "alpha", "generic"]
    assert outcome["changed"] == []
    assert outcome["collections"] > rounds * 10  # ten cases: more than one collection each
