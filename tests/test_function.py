"""The module's function type: attributes and their setters, binding, repr,
pickling, weak references and cycle collection, traceback frames, and what
happens when someone executes one of its code objects."""

import copy
import functools
import gc
import inspect
import pickle
import re
import sys
import weakref

import pytest

import orvex.abstract.decorator as d
from support import FILE, entry, innermost_entry, preserved, reports, run_python

L = d.LookupDecorator
dtg = d.default_token_getter
FunctionType = type(dtg)

# Every function reachable without a fetch through an object.
FUNCTIONS = {
    "default_token_getter": dtg,
    "from_device_token_getter": d.from_device_token_getter,
    "__init__": L.__init__,
    "__call__": L.__call__,
    "__get__": L.__get__,
    "lookup_from_device": d.lookup_from_device,
}
each_function = pytest.mark.parametrize("f", FUNCTIONS.values(), ids=list(FUNCTIONS))

# Plain functions have __type_params__ from 3.12 and __annotate__ from 3.14.
TYPE_PARAMS = sys.version_info >= (3, 12)
ANNOTATE = sys.version_info >= (3, 14)
METADATA = ("__name__", "__qualname__", "__doc__", "__module__", "__dict__",
            "__defaults__", "__kwdefaults__", "__annotations__") + (
    ("__type_params__",) if TYPE_PARAMS else ()) + (("__annotate__",) if ANNOTATE else ())


@pytest.fixture
def fn():
    """default_token_getter, with its metadata restored afterwards."""
    with preserved(dtg, *METADATA):
        yield dtg


def test_type():
    assert FunctionType.__name__ == "orvex_function"
    assert FunctionType.__module__ == "orvex.abstract.decorator"
    assert all(type(g) is FunctionType for g in FUNCTIONS.values())
    with pytest.raises(TypeError):
        class Sub(FunctionType):
            pass
    with pytest.raises(TypeError):
        FunctionType()


@each_function
def test_read_only_fields(f):
    assert f.__closure__ is None and f.func_closure is None
    assert f.__self__ is None
    assert f.__globals__ is vars(d) and f.func_globals is vars(d)
    assert f.func_code is f.__code__
    for name in ("__globals__", "func_globals", "__closure__", "func_closure", "__self__",
                 "__code__", "func_code"):
        before = getattr(f, name)
        with pytest.raises(AttributeError):
            setattr(f, name, before)
        with pytest.raises(AttributeError):
            delattr(f, name)
        assert getattr(f, name) is before


@pytest.mark.parametrize("name, alias", [
    ("__name__", "func_name"), ("__doc__", "func_doc"), ("__dict__", "func_dict"),
    ("__defaults__", "func_defaults"),
])
def test_aliases_share_one_value(fn, name, alias):
    value = {"__name__": "renamed", "__doc__": "text", "__dict__": {"k": 1}, "__defaults__": (1, 2)}[name]
    assert getattr(fn, alias) is getattr(fn, name)
    setattr(fn, alias, value)
    assert getattr(fn, name) is value
    setattr(fn, name, type(value)(value))
    assert getattr(fn, alias) is getattr(fn, name)
    assert alias not in fn.__dict__


SETTER_ERRORS = [
    # attribute, rejected value, message; None stands for deletion
    ("__name__", 5, "__name__ must be set to a string object"),
    ("__name__", None, "__name__ must be set to a string object"),
    ("func_name", b"x", "__name__ must be set to a string object"),
    ("__qualname__", 5, "__qualname__ must be set to a string object"),
    ("__qualname__", None, "__qualname__ must be set to a string object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("func_dict", None, "function's dictionary may not be deleted"),
    ("__dict__", None, "function's dictionary may not be deleted"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", (), "__annotations__ must be set to a dict object"),
] + ([
    ("__type_params__", [], "__type_params__ must be set to a tuple"),
    ("__type_params__", None, "__type_params__ must be set to a tuple"),
] if TYPE_PARAMS else []) + ([
    ("__annotate__", 1, "__annotate__ must be callable or None"),
    ("__annotate__", None, "__annotate__ cannot be deleted"),
] if ANNOTATE else [])


def plain():
    pass


# The attributes of the newer versions are checked against the interpreter's own wording.
@pytest.mark.parametrize("name, value, message",
                         [row for row in SETTER_ERRORS if row[0] in ("__type_params__", "__annotate__")])
def test_setter_messages_are_the_interpreters(name, value, message):
    with pytest.raises(TypeError) as info:
        if value is None:
            delattr(plain, name)
        else:
            setattr(plain, name, value)
    assert str(info.value) == message


@pytest.mark.parametrize("name, value, message", SETTER_ERRORS)
def test_setter_refuses(fn, name, value, message):
    before = getattr(fn, name)
    with pytest.raises(TypeError) as info:
        if value is None:
            delattr(fn, name)
        else:
            setattr(fn, name, value)
    assert str(info.value) == message and type(info.value) is TypeError
    assert getattr(fn, name) is before


def test_writable_metadata(fn):
    class Text(str):
        pass

    fn.__name__ = Text("shown")
    assert fn.__name__ == "shown" and type(fn.__name__) is Text
    fn.__qualname__ = "Outer.inner"
    assert fn.__qualname__ == "Outer.inner"
    assert fn.__code__.co_name == "default_token_getter"
    fn.__doc__ = 42
    assert fn.__doc__ == 42
    del fn.__doc__
    assert fn.__doc__ is None
    fn.__module__ = 3
    assert fn.__module__ == 3
    del fn.__module__
    assert fn.__module__ is None


def test_dict(fn):
    fn.__dict__ = {}
    fn.extra = 1
    assert fn.__dict__ == {"extra": 1}
    replacement = {"other": 2}
    fn.__dict__ = replacement
    assert fn.__dict__ is replacement and fn.other == 2
    with pytest.raises(AttributeError):
        fn.extra
    del fn.other
    assert replacement == {}
    with pytest.raises(AttributeError):
        del fn.other


def test_defaults_views_are_independent():
    getter = d.from_device_token_getter
    with preserved(getter, "__defaults__", "__kwdefaults__"):
        original = getter.__defaults__
        getter.__kwdefaults__ = {"x": 1}
        assert getter.__defaults__ is original
        getter.__defaults__ = (1,)
        assert getter.__defaults__ == (1,) and getter.__kwdefaults__ == {"x": 1}
        del getter.__defaults__
        assert getter.__defaults__ is None
        del getter.__kwdefaults__
        assert getter.__kwdefaults__ is None
    init = L.__init__
    with preserved(init, "__defaults__", "__kwdefaults__"):
        original = init.__kwdefaults__
        init.__defaults__ = ("x",)
        assert init.__kwdefaults__ is original
        init.__kwdefaults__ = None
        assert init.__kwdefaults__ is None and init.__defaults__ == ("x",)
        del init.__defaults__
        assert init.__defaults__ is None


def test_annotations(fn):
    first = fn.__annotations__
    assert first == {} and fn.__annotations__ is first
    mine = {"obj": int, "return": str}
    fn.__annotations__ = mine
    assert fn.__annotations__ is mine
    assert str(inspect.signature(fn)) == "(obj: int, attrs) -> str"
    fn.__annotations__ = None
    fresh = fn.__annotations__
    assert fresh == {} and fresh is not mine
    fresh["x"] = 1
    del fn.__annotations__
    assert fn.__annotations__ == {}


@pytest.mark.skipif(not TYPE_PARAMS, reason="functions have __type_params__ from 3.12")
def test_type_params(fn):
    assert fn.__type_params__ == () and "__type_params__" not in vars(fn)
    params = (object(),)
    fn.__type_params__ = params
    assert fn.__type_params__ is params


@pytest.mark.skipif(not ANNOTATE, reason="functions have __annotate__ from 3.14")
def test_annotate(fn):
    calls = []

    def annotate(format):
        calls.append(format)
        return {"obj": int}

    assert fn.__annotate__ is None
    fn.__annotate__ = annotate
    assert fn.__annotations__ == {"obj": int} and fn.__annotations__ is fn.__annotations__
    assert calls == [1]  # once, in the VALUE format
    fn.__annotations__ = {"attrs": str}
    assert fn.__annotate__ is None and fn.__annotations__ == {"attrs": str}
    fn.__annotate__ = None
    assert fn.__annotations__ == {"attrs": str}
    fn.__annotate__ = lambda format: [format]
    with pytest.raises(TypeError, match="^__annotate__ returned non-dict of type 'list'$"):
        fn.__annotations__


def test_functools_wraps_is_accepted(fn):
    def found(self, x: int) -> str:
        "found's doc"

    found.tag = "t"
    fn.__dict__ = {}
    assert functools.wraps(found)(fn) is fn
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (
        "found", found.__qualname__, __name__, "found's doc")
    assert fn.__annotations__ == found.__annotations__
    assert fn.__wrapped__ is found and fn.tag == "t"
    assert re.fullmatch(r"<orvex_function %s at 0x[0-9a-f]+>" % re.escape(found.__qualname__), repr(fn))


@each_function
def test_repr(f):
    match = re.fullmatch(r"<orvex_function (\S+) at (0x[0-9a-f]+)>", repr(f))
    assert match and match.group(1) == f.__qualname__
    assert int(match.group(2), 16) == id(f)


def test_binding():
    inst = L.__new__(L)
    # Through the class, or with None as the instance: the function itself.
    assert L.__get__ is L.__dict__["__get__"]
    assert FunctionType.__get__(L.__get__, None, L) is L.__get__
    bound = inst.__get__
    assert inspect.ismethod(bound)
    assert bound.__func__ is L.__dict__["__get__"] and bound.__self__ is inst
    assert inspect.signature(bound).parameters.keys() == {"instance", "owner"}
    from_device = inst.from_device
    assert inspect.ismethod(from_device)
    assert from_device.__func__ is d.lookup_from_device and from_device.__self__ is inst


def test_bound_method_passes_the_instance_first():
    class Holder:
        get = dtg
        os = "linux"

    holder = Holder()
    assert holder.get(("os",)) == ("linux",)
    assert Holder.get(holder, ["os"]) == ("linux",)


@each_function
def test_reduce_names_the_definition(f):
    with preserved(f, "__name__", "__qualname__"):
        expected = f.__code__.co_name
        f.__name__ = "renamed"
        f.__qualname__ = "re.named"
        assert f.__reduce__() == expected


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    for f in (dtg, d.from_device_token_getter, d.lookup_from_device):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(dtg) is dtg and copy.deepcopy(dtg) is dtg


@each_function
def test_weakref_and_gc(f):
    ref = weakref.ref(f)
    assert ref() is f
    assert gc.is_tracked(f)


def test_traverse_visits_fields(fn):
    fn.__dict__ = {"k": 1}
    fn.__annotations__ = {"a": 1}
    fn.__doc__ = doc = object()
    referents = list(map(id, gc.get_referents(dtg)))
    for field in (fn.__dict__, fn.__annotations__, doc, fn.__globals__, fn.__code__, fn.__qualname__):
        assert id(field) in referents
    getter = d.from_device_token_getter
    assert id(getter.__defaults__) in map(id, gc.get_referents(getter))


EXECUTE = """
import types
import orvex.abstract.decorator as d
code = d.{name}.__code__
args = [None] * code.co_argcount
kwonly = code.co_varnames[code.co_argcount:code.co_argcount + code.co_kwonlyargcount]
for run in (lambda: exec(code, {{}}), lambda: types.FunctionType(code, {{}})(*args, **dict.fromkeys(kwonly))):
    try:
        run()
    except Exception as exc:
        try:
            last = list(traceback.extract_tb(exc.__traceback__)[-1])[:3]
        except Exception as failure:
            last = repr(failure)
        report(None, raised=type(exc).__name__, last=last)
"""


def execute(name):
    # A crash kills the child, and reports() fails on its exit status.
    outcomes = reports(run_python(EXECUTE.format(name=name)))
    assert len(outcomes) == 2
    return outcomes


@pytest.mark.parametrize("name", ["default_token_getter", "from_device_token_getter", "LookupDecorator.__init__",
                                  "LookupDecorator.__call__", "LookupDecorator.__get__", "lookup_from_device"])
def test_executing_a_code_object_raises(name):
    execute(name)


def test_executed_code_object_has_a_usable_traceback():
    # lookup_from_device takes no named parameters: the body itself runs.
    code = d.lookup_from_device.__code__
    # 3.10 reads an empty line table as "no line" (-1); the other versions
    # place the whole (empty or kept) body at the first line.
    line = -1 if sys.version_info[:2] == (3, 10) else code.co_firstlineno
    for outcome in execute("lookup_from_device"):
        assert outcome["last"] == [FILE, line, "lookup_from_device"]


def test_argument_error_frame():
    with pytest.raises(TypeError) as info:
        dtg()
    assert innermost_entry(info.value) == entry("default_token_getter", 9)
    tb = info.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is vars(d)
    assert tb.tb_frame.f_code.co_filename == FILE
    assert len(tb.tb_frame.f_locals) == 0
