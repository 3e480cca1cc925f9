"""The dispatch wrapper that a fetch through an object returns."""

import gc
import inspect
import sys
import types
import weakref

import pytest

import orvex.abstract.decorator as decorator_module
from orvex.abstract.decorator import LookupDecorator
from support import WRAPPER, frames, module_entries, package_root, paths

ROOT = "wraproot"


def owner_for(monkeypatch, func):
    """A class whose m dispatches to `func` (the attribute m of the found class)."""
    found = type("Found", (), {"m": func})
    package_root(monkeypatch, ROOT, {(): found})

    class Owner:
        @LookupDecorator(builder=paths(()))
        def m(self):
            pass
    Owner.__module__, Owner.__qualname__ = ROOT, "Owner"
    return Owner


def record(*args, **kwargs):
    return args, kwargs


@pytest.mark.parametrize("count", [0, 1, 7, 8, 20])
@pytest.mark.parametrize("kwargs", [{}, {"k": 2, "j": None}])
def test_arguments_follow_the_instance(monkeypatch, count, kwargs):
    obj = owner_for(monkeypatch, record)()
    args = tuple(object() for _ in range(count))
    got_args, got_kwargs = obj.m(*args, **kwargs)
    assert len(got_args) == count + 1 and all(a is b for a, b in zip(got_args, (obj,) + args))
    assert got_kwargs == kwargs
    assert obj.m(obj)[0] == (obj, obj)  # never taken for the instance


def cls_record(cls, *args):
    return cls, args


class CallableObject:
    def __call__(self, *args):
        return args


@pytest.mark.parametrize("func, arg, expected", [
    (staticmethod(record), 1, lambda obj, found: ((obj, 1), {})),
    (classmethod(cls_record), 1, lambda obj, found: (found, (obj, 1))),
    (CallableObject(), 1, lambda obj, found: (obj, 1)),
    (getattr, "__class__", lambda obj, found: type(obj)),
])
def test_any_callable(monkeypatch, func, arg, expected):
    obj = owner_for(monkeypatch, func)()
    found = sys.modules[ROOT]._LookupDecorator__abstract_pkg.answers[()]
    assert obj.m(arg) == expected(obj, found)


def test_results_are_returned_unchanged(monkeypatch):
    result = object()
    Owner = owner_for(monkeypatch, lambda self, value: value)
    assert Owner().m(result) is result and Owner().m(None) is None


@pytest.mark.parametrize("count", [0, 8])
def test_callee_gets_a_copy_of_the_keywords(monkeypatch, count):
    _testcapi = pytest.importorskip("_testcapi")
    obj = owner_for(monkeypatch, _testcapi.get_kwargs)()
    args = (0,) * count
    w = obj.m
    assert w(*args) is None and w(*args, **{}) is None  # no keywords: no dict passed on
    caller = {"k": 1}
    for got in (w(*args, **caller), obj.m(*args, **caller),
                _testcapi.pyobject_fastcalldict(w, args, caller)):  # hands over the caller's dict
        assert got == caller and got is not caller


def test_keyword_names_must_be_strings(monkeypatch):
    obj = owner_for(monkeypatch, record)()
    w = obj.m
    assert w.__name__ == "record"
    with pytest.raises(TypeError) as info:
        w(**{1: 2})
    assert str(info.value) == "wrapper() keywords must be strings"
    assert module_entries(info.value) == []


class Unimplemented(NotImplementedError):
    pass


class Stop(BaseException):
    pass


@pytest.mark.parametrize("error, entries", [
    (NotImplementedError, [(WRAPPER, 234), (WRAPPER, 232)]),
    (Unimplemented, [(WRAPPER, 234), (WRAPPER, 232)]),
    (ValueError, [(WRAPPER, 232)]),
    (Stop, [(WRAPPER, 232)]),
])
def test_exceptions_pass_through(monkeypatch, error, entries):
    raised = []

    def callee(self):
        raised.append(error("x"))
        raise raised[0]

    obj = owner_for(monkeypatch, callee)()
    with pytest.raises(error) as info:
        obj.m()
    assert info.value is raised[0]
    assert module_entries(info.value) == entries
    assert frames(info.value)[-1][0] == "callee"  # the callee's own frame stays innermost


def test_not_callable(monkeypatch):
    obj = owner_for(monkeypatch, 5)()
    with pytest.raises(TypeError, match="'int' object is not callable") as info:
        obj.m()
    assert module_entries(info.value) == [(WRAPPER, 232)]


def test_implementation_is_fixed_at_fetch(monkeypatch):
    found = {("a",): type("A", (), {"m": lambda self: "a"}),
             ("b",): type("B", (), {"m": lambda self: "b"})}
    package_root(monkeypatch, ROOT, found)

    class Owner:
        tok = "a"

        @LookupDecorator("tok", builder=lambda tokens: [tokens])
        def m(self):
            pass
    Owner.__module__, Owner.__qualname__ = ROOT, "Owner"
    obj = Owner()
    w = obj.m
    obj.tok = "b"
    assert (w(), obj.m()) == ("a", "b")


def test_closure_record(monkeypatch):
    obj = owner_for(monkeypatch, record)()
    w1, w2 = obj.m, obj.m
    assert w1 is not w2 and w1.__self__ is not w2.__self__
    record_ = w1.__self__
    assert gc.is_tracked(record_)
    referents = gc.get_referents(record_)
    assert len(referents) == 2 and referents[0] is record and referents[1] is obj


def test_wrapper_keeps_instance_alive_and_cycles_are_collected(monkeypatch):
    Owner = owner_for(monkeypatch, record)
    obj = Owner()
    w, ref = obj.m, weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is not None and w()[0][0] is ref()

    obj = Owner()
    obj.saved = obj.m  # instance -> wrapper -> record -> instance
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


def test_metadata_before_wraps(monkeypatch):
    monkeypatch.setattr(decorator_module, "functools", types.SimpleNamespace(wraps=lambda f: lambda w: w))
    w = owner_for(monkeypatch, record)().m
    assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == (
        "wrapper", "LookupDecorator.__get__.<locals>.wrapper", "orvex.abstract.decorator", None)
    assert (w.__code__.co_firstlineno, w.__code__.co_varnames) == (230, ("args", "kwargs", "e"))
    assert str(inspect.signature(w)) == "(*args, **kwargs)"


def set_handled(self, exc, raise_after=False):
    """Changes the caller's handled exception, as C code can."""
    import _testcapi
    _testcapi.set_exc_info(type(exc), exc, None)
    if raise_after:
        raise KeyError("callee")


@pytest.mark.parametrize("raise_after", [False, True])
def test_handled_exception_is_restored(monkeypatch, raise_after):
    pytest.importorskip("_testcapi")
    obj = owner_for(monkeypatch, set_handled)()
    other = RuntimeError("callee's")
    try:
        raise ValueError("caller's")
    except ValueError as caller:
        try:
            obj.m(other, raise_after)
        except KeyError as exc:
            assert exc.__context__ is other
        assert sys.exc_info()[1] is caller
        set_handled(None, other)  # called directly, the change sticks
        assert sys.exc_info()[1] is other
    obj.m(RuntimeError(), False)
    assert sys.exc_info() == (None, None, None)


def test_generator_handled_state_is_left_alone(monkeypatch):
    # Putting back the handled exception unasked would store the caller's in
    # the generator's own state, where a later resume would still see it.
    obj = owner_for(monkeypatch, record)()

    def gen():
        obj.m()
        yield sys.exc_info()[1]
        yield sys.exc_info()[1]

    g = gen()
    try:
        raise ValueError
    except ValueError as exc:
        assert next(g) is exc
    assert next(g) is None
