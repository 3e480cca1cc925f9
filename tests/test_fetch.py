"""LookupDecorator.__get__: what a fetch reads and calls, in which order, and
what it raises, with stand-in roots and abstraction packages."""

import builtins
import copy
import dis
import functools
import sys
import threading
import types
import typing

import pytest

import orvex.abstract.decorator as decorator_module
from orvex.abstract.decorator import LookupDecorator
from support import (
    GET, PKG_ATTR, Colliding, Package, add_module, get_lines, impl, missing, module_entries, not_found,
    package_root, paths, python_calls,
)
from support import run_python

ROOT = "fetchroot"
Found = impl("found")


def owner_class(*attrs, module=ROOT, **kwargs):
    """A class of `module` whose method m carries LookupDecorator(*attrs, **kwargs)."""
    class Owner:
        @LookupDecorator(*attrs, **kwargs)
        def m(self):
            return "generic"
    Owner.__module__ = module
    Owner.__qualname__ = "Owner"
    return Owner


def test_class_fetch_returns_the_method_without_lookup(monkeypatch):
    package = package_root(monkeypatch, ROOT, {(): Found})
    Owner = owner_class(builder=paths(()))
    d = Owner.__dict__["m"]
    assert Owner.m is d._method and Owner.m(Owner()) == "generic"
    # Neither the owner nor the root is looked at.
    assert LookupDecorator.__get__(d, None, None) is d._method
    assert LookupDecorator.__get__(LookupDecorator(), None, Owner) is None
    assert package.log == []
    del d._method
    with pytest.raises(AttributeError) as info:
        Owner.m
    assert get_lines(info.value) == [150]


def test_falsy_instance_is_looked_up(monkeypatch):
    package_root(monkeypatch, ROOT, {(): Found})
    Owner = owner_class(builder=paths(()))
    assert LookupDecorator.__get__(Owner.__dict__["m"], 0, Owner)() == ("found", (0,), {})


def test_reads_and_calls_in_order(monkeypatch):
    log = []

    class Module(types.ModuleType):
        def __getattribute__(self, name):
            if name in ("__file__", "__name__", PKG_ATTR):
                log.append(("root", name))
            return super().__getattribute__(name)

    def logging_meta(label):
        class Meta(type):
            def __getattribute__(cls, name):
                if not name.startswith("__") or name in ("__module__", "__qualname__"):
                    log.append((label, name))
                return super().__getattribute__(name)
        return Meta

    class Recording(LookupDecorator):
        def __getattribute__(self, name):
            if name.startswith("_"):
                log.append(("decorator", name))
            return super().__getattribute__(name)

    def getter(obj, attrs):
        log.append(("getter", obj, attrs))
        return tokens

    def builder(tokens, **kwargs):
        log.append(("builder", tokens, kwargs))
        return ["p1", "p2"]

    tokens = ("t",)
    Inner = logging_meta("inner")("Inner", (), {"m": lambda self: "inner"})
    found = logging_meta("found")("Found", (), {"Inner": Inner})
    add_module(monkeypatch, ROOT, cls=Module, **{PKG_ATTR: Package(log, {"p2": found})})

    class Outer:
        class Inner(metaclass=logging_meta("owner")):
            @Recording("os", builder=builder, attr_getter=getter, k=1)
            def m(self):
                pass

    Owner = Outer.Inner
    Owner.__module__, Owner.__qualname__ = ROOT, "Outer.Inner"
    obj = Owner()
    del log[:]
    w = obj.m
    assert log == [
        ("owner", "__module__"), ("root", "__file__"),
        ("root", "__name__"), ("root", PKG_ATTR), ("root", PKG_ATTR), "learn",
        ("decorator", "_getter"), ("decorator", "_attrs"), ("getter", obj, ("os",)),
        ("decorator", "_builder"), ("decorator", "_builder_kwargs"), ("builder", tokens, {"k": 1}),
        ("owner", "__module__"), ("owner", "__qualname__"),
        ("lookup", (ROOT,), "p1", "Outer"), ("lookup", (ROOT,), "p2", "Outer"),
        ("found", "Inner"), ("decorator", "_method_name"), ("inner", "m"),
    ]
    assert w() == "inner" and w.__wrapped__ is Inner.__dict__["m"]


def test_shipped_getter_reads_in_order(monkeypatch):
    # The shipped getter reads the tokens between the decorator's _attrs and
    # _builder, and another builder gets them as one tuple.
    log = []

    class Recording(LookupDecorator):
        def __getattribute__(self, name):
            if name.startswith("_"):
                log.append(name)
            return super().__getattribute__(name)

    def builder(tokens, **kwargs):
        log.append(("builder", tokens, kwargs))
        return [()]

    class Owner:
        @property
        def os(self):
            log.append("os")
            return "v"
        platform = None

        @Recording("os", "platform", builder=builder, k=1)
        def m(self):
            pass
    Owner.__module__, Owner.__qualname__ = ROOT, "Owner"
    package_root(monkeypatch, ROOT, {(): Found})
    for _ in range(2):
        del log[:]
        assert Owner().m()[0] == "found"
        assert log[:7] == ["_getter", "_attrs", "os", "os", "_builder", "_builder_kwargs",
                           ("builder", ("v", None), {"k": 1})]


class Falsy:
    def __bool__(self):
        return False


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError


# What lookup() does for the search paths "a", "b" and "c", tried in that order.
@pytest.mark.parametrize("answers, tried, error, line", [
    ({"a": KeyError, "b": Found, "c": ValueError}, "ab", None, None),
    ({"a": IndexError, "b": LookupError, "c": Found}, "abc", None, None),
    ({"a": None, "b": Found}, "a", LookupError, 208),
    ({"a": Falsy(), "b": Found}, "a", LookupError, 208),
    ({}, "abc", LookupError, 208),
    ({"a": TypeError, "b": Found}, "a", TypeError, 201),
    ({"a": BadTruth(), "b": Found}, "a", ZeroDivisionError, 207),
])
def test_search(monkeypatch, answers, tried, error, line):
    package = package_root(monkeypatch, ROOT, answers)
    obj = owner_class(builder=paths("a", "b", "c"))()
    if error is None:
        assert obj.m(1) == ("found", (obj, 1), {})
    else:
        with pytest.raises(error) as info:
            obj.m
        assert get_lines(info.value) == [line]
        if error is LookupError:  # shows the last path tried; the discarded errors are not chained
            assert type(info.value) is LookupError and info.value.__context__ is None
            assert info.value.args == (not_found((ROOT,), tried[-1], "Owner"),)
    assert package.log == ["learn"] + [("lookup", (ROOT,), seq, "Owner") for seq in tried]


class Path:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def test_not_found_message(monkeypatch):
    package_root(monkeypatch, "pa.pb")
    obj = owner_class(builder=paths(Path("first"), Path("<last>")), module="pa.pb")()
    with pytest.raises(LookupError) as info:
        obj.m
    assert str(info.value) == (
        "Cannot find combination based on the following criterion: \n"
        " relative path = ('pa', 'pb')\n"
        "   search path = <last>\n"
        "        target = Owner")


def test_sequence_is_iterated_lazily_once(monkeypatch):
    log = []

    def sequence():
        for seq in "abc":
            log.append("next " + seq)
            yield seq
        raise AssertionError("iterated past the match")

    package_root(monkeypatch, ROOT, {"b": Found}, log)
    obj = owner_class(builder=lambda tokens: sequence())()
    assert obj.m()[0] == "found"
    assert log == ["learn", "next a", ("lookup", (ROOT,), "a", "Owner"),
                   "next b", ("lookup", (ROOT,), "b", "Owner")]


def test_empty_sequence_shows_none(monkeypatch):
    package = package_root(monkeypatch, ROOT, {(): Found})
    obj = owner_class(builder=lambda tokens: iter(()))()
    with pytest.raises(LookupError) as info:
        obj.m
    assert str(info.value) == not_found((ROOT,), None, "Owner")
    assert get_lines(info.value) == [208] and package.log == ["learn"]


def test_tokens_and_keywords(monkeypatch):
    calls = []
    tokens = object()

    def getter(*args):
        calls.append(args)
        return tokens

    def builder(*args, **kwargs):
        calls.append((args, kwargs))
        return [()]

    class Keywords:  # a mapping that is not a dict: converted with dict()
        def keys(self):
            return ["x", "y"]

        def __getitem__(self, key):
            return key * 2

    package_root(monkeypatch, ROOT, {(): Found})
    Owner = owner_class("os", builder=builder, attr_getter=getter)
    d = Owner.__dict__["m"]
    d._attrs = attrs = ["a", "list"]  # passed on as stored
    d._builder_kwargs = Keywords()
    obj = Owner()
    obj.m
    assert calls == [(obj, attrs), ((tokens,), {"x": "xx", "y": "yy"})]
    assert calls[0][1] is attrs and calls[1][0][0] is tokens


@pytest.mark.parametrize("qualname, structure, asked", [
    ("Owner", Found, "Owner"),
    ("Outer.Mid.Owner", type("X", (), {"Mid": type("Y", (), {"Owner": Found})}), "Outer"),
    ("f.<locals>.Owner", type("F", (), {"<locals>": type("L", (), {"Owner": Found})}), "f"),
])
def test_target_name_from_qualname(monkeypatch, qualname, structure, asked):
    package = package_root(monkeypatch, ROOT, {(): structure})
    Owner = owner_class(builder=paths(()))
    Owner.__qualname__ = qualname
    assert Owner().m()[0] == "found"
    assert package.log[1] == ("lookup", (ROOT,), (), asked)


def test_subclass_object_uses_its_own_names(monkeypatch):
    base = package_root(monkeypatch, ROOT)
    package = package_root(monkeypatch, "other.deep", {(): Found})
    Base = owner_class(builder=paths(()))

    class Sub(Base):
        __module__, __qualname__ = "other.deep", "Sub"

    assert Sub().m()[0] == "found"
    assert package.log == ["learn", ("lookup", ("other", "deep"), (), "Sub")]
    assert base.log == []


def test_found_decorator_gives_its_method(monkeypatch):
    # A found class that inherits the decorated method hands back the plain function.
    Owner = owner_class(builder=paths(()))
    Derived = type("Derived", (Owner,), {})
    package_root(monkeypatch, ROOT, {(): Derived})
    w = Owner().m
    assert w.__wrapped__ is Owner.__dict__["m"]._method and w() == "generic"


class Missing(type):
    """Metaclass whose class attributes named in `errors` raise that exception class."""

    errors = {}

    def __getattribute__(cls, name):
        if name in Missing.errors:
            raise Missing.errors[name]
        return super().__getattribute__(name)


@pytest.mark.parametrize("qualname, errors, error, line", [
    ("Outer.Inner", {}, LookupError, 218),
    ("Outer.Inner", {"__qualname__": ValueError}, ValueError, 219),
    ("Outer.Inner", {"Inner": KeyError}, KeyError, 216),
    ("Owner", {}, LookupError, 224),
    ("Owner", {"__qualname__": ValueError}, ValueError, 225),
    ("Owner", {"__module__": ValueError}, ValueError, 226),
    ("Owner", {"m": ValueError}, ValueError, 222),
])
def test_missing_definitions(monkeypatch, qualname, errors, error, line):
    monkeypatch.setattr(Missing, "errors", errors)
    found = Missing("Found", (), {"__module__": "impl.mod", "__qualname__": "Impl.Found"})
    package_root(monkeypatch, ROOT, {(): found})
    Owner = owner_class(builder=paths(()))
    Owner.__qualname__ = qualname
    with pytest.raises(error) as info:
        Owner().m
    exc = info.value
    assert get_lines(exc) == [line]
    if error is LookupError:
        assert type(exc) is LookupError
        what = "Inner" if "." in qualname else "m"
        assert str(exc) == missing("Impl.Found", "impl.mod", what)
    if line in (216, 222):
        assert exc.__context__ is None
    else:  # raised while handling the AttributeError of the failed fetch
        assert type(exc.__context__) is AttributeError and not exc.__suppress_context__


def test_missing_method_name(monkeypatch):
    # The name is read again for the message: that read fails too.
    package_root(monkeypatch, ROOT, {(): Found})
    Owner = owner_class(builder=paths(()))
    del Owner.__dict__["m"]._method_name
    with pytest.raises(AttributeError) as info:
        Owner().m
    assert get_lines(info.value) == [227]
    assert type(info.value.__context__) is AttributeError


class BadSplit(str):
    def split(self, *args):
        raise ArithmeticError


def raises(exc):
    def call(*args, **kwargs):
        raise exc
    return call


class Unprintable:
    def __str__(self):
        raise ArithmeticError


def break_module(d, Owner):
    Owner.__module__ = BadSplit(ROOT)


def break_qualname(d, Owner):
    Owner.__qualname__ = BadSplit("Owner")


@pytest.mark.parametrize("change, error, line", [
    (lambda d, O: delattr(d, "_getter"), AttributeError, 185),
    (lambda d, O: delattr(d, "_attrs"), AttributeError, 185),
    (lambda d, O: setattr(d, "_getter", raises(ArithmeticError)), ArithmeticError, 185),
    (lambda d, O: delattr(d, "_builder"), AttributeError, 188),
    (lambda d, O: delattr(d, "_builder_kwargs"), AttributeError, 188),
    (lambda d, O: setattr(d, "_builder", raises(ArithmeticError)), ArithmeticError, 188),
    (lambda d, O: setattr(d, "_builder_kwargs", None), TypeError, 188),
    (break_module, ArithmeticError, 191),
    (break_qualname, ArithmeticError, 195),
    (lambda d, O: setattr(d, "_builder", lambda tokens: 5), TypeError, 199),
    (lambda d, O: setattr(d, "_builder", lambda tokens: map(raises(KeyError), "a")), KeyError, 199),
    (lambda d, O: setattr(sys.modules[ROOT], PKG_ATTR, types.SimpleNamespace(learn=dict)), AttributeError, 201),
    (lambda d, O: setattr(d, "_builder", paths(Unprintable())), ArithmeticError, 212),
])
def test_failures(monkeypatch, change, error, line):
    package_root(monkeypatch, ROOT, {(): Found})
    Owner = owner_class(builder=paths(()))
    change(Owner.__dict__["m"], Owner)
    with pytest.raises(error) as info:
        Owner().m
    assert get_lines(info.value) == [line]
    if line == 188 and error is TypeError:
        assert str(info.value) == "argument after ** must be a mapping, not NoneType"


@pytest.mark.parametrize("name", ["_getter", "_attrs", "_builder", "_builder_kwargs", "_method_name"])
def test_decorator_attributes_follow_the_class(monkeypatch, name):
    # Read from the decorator's dict while its class has no attribute of
    # that name; a data descriptor put on the class later wins, as in Python.
    package_root(monkeypatch, ROOT, {(): Found})
    obj = owner_class(builder=paths(()))()
    reads = []

    def read(d):
        reads.append(name)
        return vars(d)[name]
    for _ in range(2):
        assert obj.m()[0] == "found" and reads == []
    with monkeypatch.context() as mp:
        mp.setattr(LookupDecorator, name, property(read), raising=False)
        assert obj.m()[0] == "found" and reads == [name]
    assert obj.m()[0] == "found" and reads == [name]


def copied_in(Owner, d):
    """A copy of the decorator in d's place (made without __init__, as copy
    does), fetched through once."""
    twin = copy.copy(d)
    Owner.m = twin
    assert Owner().m()[0] == "found"
    return twin


def changing_getter(d, builder):
    """A getter that stores `builder` on the decorator, then gives no tokens."""
    def getter(obj, attrs):
        d._builder = builder
        return ()
    return getter


# Ways the decorator's attributes change after fetches that its remembered
# values answered; each fetch after must see the change, as one that reads
# them again (as Python does) would.
DECORATOR_CHANGES = {
    "setattr": lambda Owner, d, new: setattr(d, "_builder", new),
    "dict item": lambda Owner, d, new: vars(d).__setitem__("_builder", new),
    "new dict": lambda Owner, d, new: setattr(d, "__dict__", dict(vars(d), _builder=new)),
    "copy, then setattr": lambda Owner, d, new: setattr(copied_in(Owner, d), "_builder", new),
    "inside the fetch": lambda Owner, d, new: setattr(d, "_getter", changing_getter(d, new)),
}


@pytest.mark.parametrize("change", list(DECORATOR_CHANGES))
def test_decorator_attribute_changes_are_seen(monkeypatch, change):
    package_root(monkeypatch, ROOT, {(): Found, "b": impl("b")})
    Owner = owner_class(builder=paths(()))
    obj = Owner()
    for _ in range(2):
        assert obj.m()[0] == "found"
    DECORATOR_CHANGES[change](Owner, Owner.__dict__["m"], paths("b"))
    for _ in range(2):
        assert obj.m()[0] == "b"


def test_a_fetch_whose_notes_another_thread_took_over_keeps_none(monkeypatch):
    # Thread b notes four of the decorator's attributes and waits in its
    # builder; thread a starts noting again and waits in its getter; b goes
    # on. What b noted before a started over must not complete what a notes.
    package_root(monkeypatch, ROOT, {(): Found})
    b_in_builder, a_in_getter = threading.Event(), threading.Event()

    def getter(obj, attrs):
        if threading.current_thread().name == "a":
            a_in_getter.set()
            b_done.wait(5)
        return ()

    def builder(tokens):
        if threading.current_thread().name == "b":
            b_in_builder.set()
            a_in_getter.wait(5)
        return [()]

    b_done = threading.Event()
    obj = owner_class(builder=builder, attr_getter=getter)()
    results = {}

    def fetch(name, after=None):
        if after:
            after.wait(5)
        results[name] = obj.m()[0]
        if name == "b":
            b_done.set()
    threads = [threading.Thread(target=fetch, args=("b",), name="b"),
               threading.Thread(target=fetch, args=("a", b_in_builder), name="a")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert results == {"a": "found", "b": "found"}
    for _ in range(2):
        assert obj.m()[0] == "found"


def test_more_decorators_than_watched_dicts_each_see_their_changes(monkeypatch):
    # More decorators than the dicts whose versions are kept where the
    # interpreter has no version tags (3.14+): those beyond are read at
    # every fetch, the others from what they remember.
    package_root(monkeypatch, ROOT, {(): Found, "b": impl("b")})
    owners = [owner_class(builder=paths(())) for _ in range(1100)]
    objs = [Owner() for Owner in owners]
    for _ in range(2):
        assert {obj.m()[0] for obj in objs} == {"found"}
    for Owner in owners[::2]:
        Owner.__dict__["m"]._builder = paths("b")
    assert [obj.m()[0] for obj in objs] == ["b", "found"] * 550


def test_token_error_keeps_getter_entry(monkeypatch):
    package_root(monkeypatch, ROOT, {(): Found})
    obj = owner_class("os", builder=paths(()))()
    with pytest.raises(AttributeError) as info:
        obj.m
    assert str(info.value) == "No attribute 'os' on '%s'" % obj
    assert module_entries(info.value) == [(GET, 185), ("orvex.abstract.decorator.default_token_getter", 33)]


def test_nothing_is_cached(monkeypatch):
    first = package_root(monkeypatch, ROOT, {(): Found})
    Owner = owner_class(builder=paths(()))
    d = Owner.__dict__["m"]
    obj = Owner()
    assert obj.m()[0] == "found"
    d._builder = paths("b")
    d._method_name = "other"
    second = package_root(monkeypatch, ROOT, {"b": type("B", (), {"other": lambda self: "b"})})
    assert obj.m() == "b"
    assert first.log == ["learn", ("lookup", (ROOT,), (), "Owner")]
    assert second.log == ["learn", ("lookup", (ROOT,), "b", "Owner")]


def test_wraps_is_looked_up_and_applied(monkeypatch):
    log = []

    def wraps(func):
        log.append(("wraps", func))

        def apply(wrapper):
            log.append(("apply", wrapper.__qualname__, wrapper.__code__.co_firstlineno))
            return "applied"
        return apply

    package_root(monkeypatch, ROOT, {(): Found})
    obj = owner_class(builder=paths(()))()
    assert obj.m.__wrapped__ is Found.m  # functools as it was, read last time
    monkeypatch.setattr(decorator_module, "functools", types.SimpleNamespace(wraps=wraps))
    assert obj.m == "applied"
    assert log == [("wraps", Found.m), ("apply", "LookupDecorator.__get__.<locals>.wrapper", 230)]

    monkeypatch.delattr(decorator_module, "functools")
    with pytest.raises(NameError) as info:
        obj.m
    assert str(info.value) == "name 'functools' is not defined" and get_lines(info.value) == [229]
    monkeypatch.setattr(builtins, "functools", types.SimpleNamespace(wraps=raises(ArithmeticError)),
                        raising=False)
    with pytest.raises(ArithmeticError) as info:
        obj.m
    assert get_lines(info.value) == [229]


# ---- functools changed: the wrapper comes out as functools.wraps(func)(wrapper) makes it

REAL_GETATTR = builtins.getattr


class Other(Exception):
    pass


def logged(log, real):
    """`real` (getattr or setattr), logging (its name, the attribute) first."""
    def call(obj, name, *rest):
        log.append((real.__name__, name))
        return real(obj, name, *rest)
    return call


def plain_function(mp, log):
    def m(self, x: int) -> str:
        """Doc of the found method."""
    m.__qualname__, m.__module__, m.marker = "Impl.m", "impl.mod", "kept"
    if sys.version_info >= (3, 12):
        m.__type_params__ = (typing.TypeVar("T"),)
    return m


def bare(self):
    """Doc of the bare method."""


bare.__qualname__, bare.__module__ = "Impl.m", "impl.mod"


def bare_function(mp, log):
    """A plain function with no attributes of its own: copied in one step
    once its __annotations__ were read (which makes them)."""
    return bare


class CallableObject:
    """Doc of the callable."""

    def __call__(self, *args):
        return args


def callable_object(mp, log):
    found = CallableObject()
    found.marker = "kept"
    return found


def named_then(change):
    """A callable whose __name__, when read, makes `change` (once)."""
    def make(mp, log):
        class Named(CallableObject):
            @property
            def __name__(self):
                if not self.changed:
                    self.changed = True
                    change(mp, log)
                return "named"
        found = Named()
        found.changed = False
        return found
    return make


def class_with_getattribute(mp, log):
    class Logging(types.ModuleType):
        def __getattribute__(self, name):
            log.append(("read", name))
            return super().__getattribute__(name)
    mp.setattr(functools, "__class__", Logging)


def shadow(name, make=lambda log, real: logged(log, real)):
    """functools.<name> set to a logging stand-in of the builtin."""
    return lambda mp, log: mp.setitem(vars(functools), name, make(log, getattr(builtins, name)))


def replace_builtin(name, make=lambda log, real: logged(log, real)):
    return lambda mp, log: mp.setattr(builtins, name, make(log, getattr(builtins, name)))


def other_builtins(as_module):
    """functools' __builtins__ replaced by a copy whose getattr logs: what
    update_wrapper runs with before 3.10; from 3.10 it keeps its own."""
    def change(mp, log):
        namespace = dict(vars(builtins), getattr=logged(log, REAL_GETATTR))
        if as_module:
            module = types.ModuleType("other_builtins")
            vars(module).update(namespace)
            namespace = module
        mp.setitem(vars(functools), "__builtins__", namespace)
    return change


def while_checked(looked_up, name):
    """A key colliding with `looked_up` puts a logging `name` into functools
    when a lookup first compares it: during the checks of a fetch, when its
    namespaces are read anew."""
    def change(mp, log):
        def put():
            mp.setitem(vars(functools), name, logged(log, getattr(builtins, name)))
        mp.setitem(vars(functools), Colliding(looked_up, put), None)
    return change


# id: (change, the found callable, the change that pure Python is compared with when not the same)
FUNCTOOLS_CHANGES = {
    "%s, %s" % (label, found.__name__): (change, found, None)
    for label, change in {
        "module class with __getattribute__": class_with_getattribute,
        "functools.getattr": shadow("getattr"),
        "functools.setattr": shadow("setattr"),
        "functools.AttributeError": shadow("AttributeError", lambda log, real: Other),
        "builtins.getattr": replace_builtin("getattr"),
        "builtins.setattr": replace_builtin("setattr"),
        "builtins.AttributeError": replace_builtin("AttributeError", lambda log, real: Other),
        "functools.__builtins__ a dict": other_builtins(as_module=False),
        "functools.__builtins__ a module": other_builtins(as_module=True),
    }.items()
    for found in (plain_function, callable_object)
}
FUNCTOOLS_CHANGES.update({
    "functools as it is, bare_function": (None, bare_function, None),
    # The checks compare the key before update_wrapper would: its effect is there from the start.
    "setattr put in while getattr is looked up": (while_checked("getattr", "setattr"), plain_function,
                                                  shadow("setattr")),
    "getattr put in while setattr is looked up": (while_checked("setattr", "getattr"), plain_function,
                                                  shadow("getattr")),
    "getattr put in while AttributeError is looked up": (while_checked("AttributeError", "getattr"),
                                                         callable_object, shadow("getattr")),
    # Made while the attributes are copied: what follows takes it.
    "functools.setattr while copying": (None, named_then(shadow("setattr")), None),
    "functools.getattr while copying": (None, named_then(shadow("getattr")), None),
    "functools.AttributeError while copying": (None, named_then(shadow("AttributeError", lambda log, real: Other)),
                                               None),
    "builtins.setattr while copying": (None, named_then(replace_builtin("setattr")), None),
})


def wraps_outcome(make, found, log):
    """What wrapping `found` with make() logs and shows: which of its
    attributes the wrapper took, the wrapper's own dict and __wrapped__;
    or the type of the exception that make() raised."""
    del log[:]
    try:
        wrapper = make()
    except Exception as exc:
        return list(log), type(exc)
    written = list(log)
    took = [name for name in functools.WRAPPER_ASSIGNMENTS
            if name != "__doc__" and REAL_GETATTR(wrapper, name, None) is REAL_GETATTR(found, name, 0)]
    return written, took, wrapper.__doc__, sorted(vars(wrapper)), wrapper.__wrapped__ is found


@pytest.mark.parametrize("change, make_found, compared", FUNCTOOLS_CHANGES.values(), ids=FUNCTOOLS_CHANGES)
def test_changed_functools_is_followed(monkeypatch, change, make_found, compared):
    log = []
    found_class = type("Impl", (), {})
    package_root(monkeypatch, ROOT, {(): found_class})
    obj = owner_class(builder=paths(()))()

    def outcome(change, make):
        with pytest.MonkeyPatch.context() as mp:
            found = make_found(mp, log)
            mp.setattr(found_class, "m", found, raising=False)
            if change is not None:
                change(mp, log)
            return wraps_outcome(lambda: make(found), found, log)

    def pure(*args, **kwargs):
        pass

    outcome(None, lambda found: obj.m)  # functools as it is: checked, and then trusted
    fetched = outcome(change, lambda found: obj.m)
    expected = outcome(compared or change, lambda found: functools.wraps(found)(pure))
    assert fetched == expected
    # Restored, the copy is done without functools' Python code again.
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(found_class, "m", plain_function(mp, log), raising=False)
        w, calls = python_calls(lambda: obj.m)
    assert w.__name__ == "m" and not {"wraps", "update_wrapper"} & set(calls)


def test_update_wrapper_looks_up_only_what_is_checked():
    # The names the copy checks; a functools whose update_wrapper looks up more needs more checks.
    loaded = {i.argval for i in dis.get_instructions(functools.update_wrapper) if i.opname == "LOAD_GLOBAL"}
    assert loaded == {"getattr", "setattr", "AttributeError"}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers came with 3.12")
def test_changes_are_followed_without_a_free_dict_watcher():
    # Every fetch then reads functools anew.
    pytest.importorskip("_testcapi")
    proc = run_python("""
        import builtins, functools, sys, types
        import _testcapi
        try:
            while True:
                _testcapi.add_dict_watcher(0)
        except RuntimeError:
            pass
        from orvex.abstract.decorator import LookupDecorator

        root = types.ModuleType("watchless_root")
        root.__file__ = "/nowhere/watchless_root/__init__.py"
        sys.modules["watchless_root"] = root

        def m(self):
            "found"

        class Package(object):
            def learn(self):
                pass

            def lookup(self, relpath, seq, name):
                return type("Impl", (), {"m": m})

        root._LookupDecorator__abstract_pkg = Package()
        Owner = type("Owner", (), {"__module__": "watchless_root", "__qualname__": "Owner",
                                   "m": LookupDecorator(builder=lambda tokens: [()])(m)})
        log = []
        print(Owner().m.__doc__, log)
        functools.setattr = lambda obj, name, value: log.append(name) or builtins.setattr(obj, name, value)
        print(Owner().m.__doc__, log)
        del functools.setattr
        print(Owner().m.__doc__, log)
    """)
    assert proc.returncode == 0, proc.stderr
    first, changed, restored = proc.stdout.splitlines()
    assert first == "found []"
    assert changed == "found %s" % list(functools.WRAPPER_ASSIGNMENTS)
    assert restored == changed  # nothing more was set through functools.setattr


def test_wrapper_carries_the_found_metadata(monkeypatch):
    def m(self, x: int) -> str:
        """Doc of the found method."""
    m.__qualname__ = "Impl.m"
    m.__module__ = "impl.mod"
    m.marker = "kept"
    package_root(monkeypatch, ROOT, {(): type("Impl", (), {"m": m})})
    obj = owner_class(builder=paths(()))()
    w = obj.m
    assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == (
        "m", "Impl.m", "impl.mod", "Doc of the found method.")
    assert w.__annotations__ == {"x": int, "return": str}
    assert w.__wrapped__ is m and w.marker == "kept"
    assert set(w.__dict__) == {"marker", "__wrapped__"}


# What each way of reaching a wrapper's dict sees, on the wrapper and on a
# plain function that functools.wraps copied the same way; "m" stands for
# the found method, "other" for another object.
WRAPPED_DICT_USES = {
    "read": lambda w, o: w.__wrapped__,
    "read bypassing getattr": lambda w, o: object.__getattribute__(w, "__wrapped__"),
    "dict": lambda w, o: list(vars(w).items()),
    "store": lambda w, o: (setattr(w, "x", 1), list(vars(w).items())),
    "store bypassing setattr": lambda w, o: (object.__setattr__(w, "x", 1), w.__wrapped__, list(vars(w))),
    "replace": lambda w, o: (setattr(w, "__wrapped__", o), w.__wrapped__, list(vars(w).items())),
    "delete": lambda w, o: (delattr(w, "__wrapped__"), vars(w), hasattr(w, "__wrapped__")),
    "delete bypassing delattr": lambda w, o: (object.__delattr__(w, "__wrapped__"), vars(w)),
    "delete twice": lambda w, o: (delattr(w, "__wrapped__"), delattr(w, "__wrapped__")),
    "new dict": lambda w, o: (setattr(w, "__dict__", {"y": 2}), hasattr(w, "__wrapped__"), vars(w)),
    "dict entry": lambda w, o: (vars(w).__setitem__("__wrapped__", o), w.__wrapped__),
}


@pytest.mark.parametrize("use", list(WRAPPED_DICT_USES))
def test_wrapper_dict_holds_wrapped_first(monkeypatch, use):
    package_root(monkeypatch, ROOT, {(): Found})
    w = owner_class(builder=paths(()))().m
    m, other = w.__wrapped__, object()
    model = functools.wraps(m)(lambda *args: None)

    def seen(f):
        try:
            result = WRAPPED_DICT_USES[use](f, other)
        except AttributeError as e:
            result = (type(e), str(e).replace(type(f).__name__, "function"), getattr(e, "name", "-"),
                      getattr(e, "obj", None) is f)
        text = repr(result).replace(repr(m), "m").replace(repr(other), "other")
        return text.replace(type(w).__module__ + ".", "")
    assert seen(w) == seen(model)


@pytest.mark.parametrize("annotation", ["'Later'"] + (["Later"] if sys.version_info >= (3, 14) else []))
def test_wrapper_annotations_resolve_later(monkeypatch, annotation):
    # The annotations name a class that the module defines only after the
    # method: quoted on every version, and plain where they are evaluated on
    # demand (3.14+).
    namespace = {"__name__": "impl_module"}
    exec("def m(self, x: %s) -> int:\n    pass\n" % annotation, namespace)
    package_root(monkeypatch, ROOT, {(): type("Impl", (), {"m": namespace["m"]})})
    w = owner_class(builder=paths(()))().m
    namespace["Later"] = Later = type("Later", (), {})
    assert typing.get_type_hints(w) == {"x": Later, "return": int}
    assert w.__annotations__ == {"x": annotation.strip("'") if annotation[0] == "'" else Later, "return": int}


def test_get_is_the_class_attribute_at_each_fetch(monkeypatch):
    package_root(monkeypatch, ROOT, {(): Found})
    Owner = owner_class(builder=paths(()))
    obj = Owner()
    for _ in range(2):
        assert obj.m()[0] == "found"
    own = LookupDecorator.__get__
    with monkeypatch.context() as mp:
        mp.setattr(LookupDecorator, "__get__", lambda d, instance, owner: "replaced")
        assert obj.m == "replaced"
    assert LookupDecorator.__get__ is own and obj.m()[0] == "found"

    class Sub(LookupDecorator):
        pass
    Owner.s = Sub(builder=paths(()))(Found.m)
    assert obj.s()[0] == "found"
    Sub.__get__ = lambda d, instance, owner: "sub"
    assert (obj.s, obj.m()[0]) == ("sub", "found")


def test_get_rebound_while_it_runs_does_not_free_itself():
    # The interpreter calls a class's __get__ through a borrowed reference
    # before 3.13: a builder that rebinds LookupDecorator.__get__ drops the
    # last reference to the function that is running the fetch.
    proc = run_python("""
        import gc, sys, types
        from orvex.abstract.decorator import LookupDecorator
        root = types.ModuleType("rebind_root")
        root.__file__ = "/nowhere/rebind_root/__init__.py"
        sys.modules["rebind_root"] = root

        class Impl(object):
            def work(self, x):
                return ("impl", x)

        class Package(object):
            def learn(self):
                pass

            def lookup(self, relpath, seq, name):
                return Impl

        root._LookupDecorator__abstract_pkg = Package()

        def builder(tokens):
            LookupDecorator.__get__ = lambda *args: None
            gc.collect()
            [dict(a=i) for i in range(1000)]  # reuse what was freed
            return [()]

        Owner = type("Owner", (object,), {"__module__": "rebind_root", "__qualname__": "Owner",
                                          "work": LookupDecorator(builder=builder)(Impl.work)})
        print(Owner().work(1))
    """, flags=("-X", "dev"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "('impl', 1)"
