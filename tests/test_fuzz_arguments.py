"""Argument binding of the seven callables, fuzzed against Python's own.

Each example draws a call shape (positional count, keyword names valid,
invalid, duplicating a positional, str subclasses, non-str) and a way of
calling (literal call syntax, `*args/**kwargs`, a bound method, a class
call).  The same arguments go to a `def` with the same parameters, which
says whether binding succeeds and what binds where.  On success the callee's
effects must show that same binding; on failure the TypeError must carry
the module's own wording, computed here from its counting rules.

Argument values are `Val`s, made to reveal through the callee's attribute
reads which parameter they were bound to (see Val).
"""

import keyword
import sys
import types

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import orvex.abstract.decorator as d  # noqa: E402
from orvex.abstract.magic import default_builder  # noqa: E402
from support import FILE, PKG_ATTR, Package, frames, impl, paths  # noqa: E402

L = d.LookupDecorator
DEVICE_DEFAULTS = d.from_device_token_getter.__defaults__[0]
DTG = d.default_token_getter
FDTG = d.from_device_token_getter
ROOT = "fuzzroot_%d"
WRAPPER_ROOT = "fuzzroot_wrapper"


class Stopped(Exception):
    """Raised by a Val's `_getter`: (index of the decorator, instance, attrs)."""


class Val:
    """An argument value numbered `index`; attribute reads show its role.

    - as a token getter's object: a token name reads as (index, name), and
      `device` reads as None (logged, so that the object shows itself);
    - as token names (iterated): the single name "tok<index>";
    - as `self` of __init__/__call__: the attributes are set on it; its
      `__name__` is "name<index>" when it is the method;
    - as `self` of __get__: `_getter` raises Stopped naming it;
    - as `owner` of __get__: its `__module__` is a stand-in package root
      whose abstraction package logs `index` on learn().
    """

    def __init__(self, index, log):
        self.index = index
        self.log = log
        self.__module__ = ROOT % index

    def __iter__(self):
        return iter(["tok%d" % self.index])

    def __getattr__(self, name):
        index = object.__getattribute__(self, "index")
        object.__getattribute__(self, "log").append((index, name))
        if name.startswith("tok"):
            return index, name
        if name == "device":
            return None
        if name == "__name__":
            return "name%d" % index
        if name == "_attrs":
            return ("attr%d" % index,)
        if name == "_getter":
            def getter(instance, attrs):
                raise Stopped(index, instance, attrs)
            return getter
        raise AttributeError(name)


class CallableVal(Val):
    def __call__(self):
        pass


class Learner:
    def __init__(self, index, log):
        self.index, self.log = index, log

    def learn(self):
        self.log.append(("learn", self.index))


class Instance:
    """Stands for the object made by a class call of LookupDecorator."""


# ---- the reference: defs with the same parameters, returning what bound

def ref_dtg(obj, attrs):
    return locals()


def ref_fdtg(obj, defaults=DEVICE_DEFAULTS):
    return locals()


def ref_init(self, *attrs, builder=default_builder, attr_getter=DTG, **builder_kwargs):
    return locals()


def ref_call(self, method):
    return locals()


def ref_get(self, instance, owner):
    return locals()


def ref_star(*args, **kwargs):
    return locals()


class Signature:
    def __init__(self, name, reference, positional=(), required=0, kwonly=(), star=False):
        self.name, self.reference = name, reference
        self.positional, self.required, self.kwonly = positional, required, kwonly
        self.var_positional = self.var_keyword = star
        self.named = positional + kwonly


SIGNATURES = {
    "default_token_getter": Signature("default_token_getter", ref_dtg, ("obj", "attrs"), 2),
    "from_device_token_getter": Signature("from_device_token_getter", ref_fdtg, ("obj", "defaults"), 1),
    "__init__": Signature("__init__", ref_init, ("self",), 1, ("builder", "attr_getter"), star=True),
    "__call__": Signature("__call__", ref_call, ("self", "method"), 2),
    "__get__": Signature("__get__", ref_get, ("self", "instance", "owner"), 3),
    "wrapper": Signature("wrapper", ref_star, star=True),
    "lookup_from_device": Signature("lookup_from_device", ref_star, star=True),
}

ENTRIES = {
    "default_token_getter": [("orvex.abstract.decorator.default_token_getter", 9)],
    "from_device_token_getter": [("orvex.abstract.decorator.from_device_token_getter", 38)],
    "__init__": [("orvex.abstract.decorator.LookupDecorator.__init__", 106)],
    "__call__": [("orvex.abstract.decorator.LookupDecorator.__call__", 122)],
    "__get__": [("orvex.abstract.decorator.LookupDecorator.__get__", 135)],
    "wrapper": [],
    "lookup_from_device": [],
}


# ---- the module's argument errors, from its rules

def count_message(sig, given):
    exact = sig.required == len(sig.positional) and not sig.var_positional
    number = sig.required if given < sig.required else len(sig.positional)
    word = "exactly" if exact else "at least" if given < sig.required else "at most"
    return "%s() takes %s %d positional argument%s (%d given)" % (
        sig.name, word, number, "" if number == 1 else "s", given)


def expected_error(sig, n_args, kwargs):
    """The module's message for binding n_args positional arguments and
    `kwargs` (in this order), or None when binding succeeds."""
    if not sig.named:
        if any(not isinstance(key, str) for key in kwargs):
            return "%s() keywords must be strings" % sig.name
        return None
    if n_args > len(sig.positional) and not sig.var_positional:
        return count_message(sig, n_args)
    used = min(n_args, len(sig.positional))
    if not kwargs:
        return count_message(sig, n_args) if n_args < sig.required else None
    # Unfilled parameters are taken from the keywords in order; the first
    # required one missing is a count error naming its own position.
    for k in range(used, len(sig.named)):
        if k < sig.required and sig.named[k] not in kwargs:
            return count_message(sig, k)
    for key in kwargs:
        if not isinstance(key, str):
            return "%s() keywords must be strings" % sig.name
        if key in sig.named[used:]:
            continue
        if key in sig.positional[:used]:
            return "%s() got multiple values for keyword argument '%s'" % (sig.name, key)
        if not sig.var_keyword:
            return "%s() got an unexpected keyword argument '%s'" % (sig.name, key)
    return None


# ---- comparing bindings

def describe(value, names):
    """A comparable form of a bound value: Vals by index, known objects by
    name, containers item by item (dicts in order, with their key types)."""
    if isinstance(value, Val):
        return "v%d" % value.index
    if id(value) in names:
        return names[id(value)]
    if value is None or type(value) is str:
        return value
    if type(value) is tuple:
        return tuple(describe(item, names) for item in value)
    if type(value) is dict:
        return ("dict",) + tuple((type(k).__name__, k, describe(v, names)) for k, v in value.items())
    return ("object", id(value))


def observe_dtg(result, ctx):
    ((index, token),) = result
    return {"obj": ctx.vals[index], "attrs": ctx.vals[int(token[3:])]}


def observe_fdtg(result, ctx):
    index, name = ctx.log[0]
    assert name == "device"
    if result == ():
        return {"obj": ctx.vals[index], "defaults": DEVICE_DEFAULTS}
    ((again, token),) = result
    assert again == index
    return {"obj": ctx.vals[index], "defaults": ctx.vals[int(token[3:])]}


def observe_init(result, ctx):
    (self,) = [v for v in ctx.candidates() if "_attrs" in vars(v)]
    assert result is (self if ctx.mode == "class" else None)
    assert self._method is None and "_method_name" not in vars(self)
    return {"self": self, "attrs": self._attrs, "builder": self._builder,
            "attr_getter": self._getter, "builder_kwargs": self._builder_kwargs}


def observe_call(result, ctx):
    assert result._method_name == "name%d" % result._method.index
    return {"self": result, "method": result._method}


def observe_get(exc, ctx):
    index, instance, attrs = exc.args
    assert attrs == ("attr%d" % index,)
    ((_, owner),) = [entry for entry in ctx.log if entry[0] == "learn"]
    return {"self": ctx.vals[index], "instance": instance, "owner": ctx.vals[owner]}


def observe_wrapper(result, ctx):
    tag, args, kwargs = result
    assert tag == "w" and args[0] is ctx.instance
    assert kwargs is not ctx.kwargs  # a copy, never the caller's dict
    return {"args": args[1:], "kwargs": kwargs}


def observe_lfd(result, ctx):
    attrs = vars(result)
    return (attrs["_attrs"], attrs["_method"], attrs.get("_method_name"),
            attrs["_builder"], attrs["_getter"], attrs["_builder_kwargs"])


def expect_lfd(binding):
    """What lookup_from_device makes of the arguments it bound."""
    args, kwargs = binding["args"], binding["kwargs"]
    if len(args) == 1 and not kwargs and callable(args[0]):
        return (), args[0], "name%d" % args[0].index, default_builder, FDTG, {}
    rest = dict(kwargs)
    rest.pop("attr_getter", None)
    if "self" in rest:  # passed on to LookupDecorator, which has `self` already
        return "__init__() got multiple values for keyword argument 'self'"
    builder = rest.pop("builder", default_builder)
    return args, None, None, builder, FDTG, rest


OBSERVE = {
    "default_token_getter": observe_dtg,
    "from_device_token_getter": observe_fdtg,
    "__init__": observe_init,
    "__call__": observe_call,
    "__get__": observe_get,
    "wrapper": observe_wrapper,
}


# ---- calling

def call_direct(func, args, kwargs):
    """func(a0, a1, name=value, ..., **rest) in call syntax: identifier keys
    as literal keywords, the others through **. Returns (outcome, the
    keywords in the order the callee receives them)."""
    literal, rest = [], {}
    for key, value in kwargs.items():
        if type(key) is str and key.isidentifier() and not keyword.iskeyword(key):
            literal.append((key, value))
        else:
            rest[key] = value
    source = "f(%s)" % ", ".join(
        ["a[%d]" % i for i in range(len(args))]
        + ["%s=kw[%d]" % (key, i) for i, (key, _) in enumerate(literal)]
        + (["**rest"] if rest else []))
    namespace = {"f": func, "a": args, "kw": [value for _, value in literal], "rest": rest}
    return (lambda: eval(source, namespace)), {**dict(literal), **rest}


class Context:
    """One example: its Vals by index, the log of their reads, how it calls."""

    def __init__(self, log):
        self.log = log
        self.vals = {}
        self.made = []  # objects made by the call: a class call's instance
        self.instance = self.kwargs = None
        self.mode = None

    def val(self, index, cls=Val):
        self.vals[index] = cls(index, self.log)
        return self.vals[index]

    def candidates(self):
        return list(self.vals.values()) + self.made


def make_wrapper(ctx):
    """A dispatch wrapper whose implementation returns ("w", args, kwargs)."""
    found = impl("w")
    package = Package(answers={(): found})
    root = types.ModuleType(WRAPPER_ROOT)
    root.__file__ = "/fuzz/%s/__init__.py" % WRAPPER_ROOT
    setattr(root, PKG_ATTR, package)
    sys.modules[WRAPPER_ROOT] = root
    owner = type("Owner", (), {"__module__": WRAPPER_ROOT, "m": L(builder=paths(()))(found.m)})
    ctx.instance = owner()
    return ctx.instance.m


def target(name, ctx):
    return {
        "default_token_getter": DTG,
        "from_device_token_getter": FDTG,
        "__init__": L.__init__,
        "__call__": L.__call__,
        "__get__": L.__get__,
        "lookup_from_device": d.lookup_from_device,
    }.get(name) or make_wrapper(ctx)


class Alias:
    """Not a str, but equal to one and hashed like it: still not a keyword name."""

    def __init__(self, text):
        self.text = text

    def __eq__(self, other):
        return other == self.text

    def __hash__(self):
        return hash(self.text)

    def __repr__(self):
        return "Alias(%r)" % self.text


NON_STR = [7, 2.5, None, b"self", ("obj",), frozenset()] + [
    Alias(name) for name in ("obj", "attrs", "defaults", "self", "method", "owner", "builder")]
INVALID = ["bogus", "", "not an identifier", "class", "Self", "obj ", "\u00e9t\u00e9"]
EXTRA = ["attrs", "builder_kwargs", "args", "kwargs", "method", "owner"]


class Name(str):
    """A str subclass: a keyword name like any other."""

    def __repr__(self):
        return "Name(%s)" % str.__repr__(self)


MODES = ["direct", "star", "bound", "class"]


def calls(sig):
    """(positional count, keyword names, mode, whether argument 0 is callable).
    Half of the shapes are drawn to bind: leading parameters by position, the
    other required ones and some optional ones by keyword, in any order.
    Every strategy is made here, once: strategies made while drawing would
    fill hypothesis's caches, which the leak check reads as a leak."""
    names = list(sig.named) + EXTRA + INVALID
    any_keys = st.lists(st.one_of(st.sampled_from(names), st.sampled_from(names).map(Name),
                                  st.sampled_from(NON_STR)), max_size=5)
    any_count = st.integers(0, len(sig.positional) + (3 if sig.var_positional else 2))
    fitting_count = st.integers(0, len(sig.positional) + (2 if sig.var_positional else 0))
    order = st.lists(st.integers(0, 9), min_size=len(sig.named), max_size=len(sig.named))
    extras = st.lists(st.sampled_from(EXTRA + INVALID), max_size=3)
    flag, mode = st.booleans(), st.sampled_from(MODES)

    @st.composite
    def call(draw):
        if draw(flag):
            n_args, keys = draw(any_count), draw(any_keys)
        else:
            n_args = draw(fitting_count)
            rank = draw(order)
            left = [k for k in range(n_args, len(sig.named)) if k < sig.required or draw(flag)]
            keys = [Name(sig.named[k]) if draw(flag) else sig.named[k]
                    for k in sorted(left, key=rank.__getitem__)]
            if sig.var_keyword:
                keys += draw(extras)
        return n_args, keys, draw(mode), draw(flag)

    return call()


CALLS = {name: calls(sig) for name, sig in SIGNATURES.items()}


@pytest.mark.parametrize("func, args, key", [
    (DTG, (object(),), Alias("attrs")),
    (FDTG, (object(),), Alias("defaults")),
    (L.__call__, (types.SimpleNamespace(),), Alias("method")),
    (L.__init__, (), Alias("self")),
])
def test_non_str_key_equal_to_a_name_is_refused(func, args, key):
    with pytest.raises(TypeError) as info:
        func(*args, **{key: ()})
    assert str(info.value) == "%s() keywords must be strings" % func.__name__


@pytest.mark.parametrize("name", list(SIGNATURES))
@given(data=st.data())
def test_binding_matches_python(name, data):
    sig = SIGNATURES[name]
    n_args, key_list, mode, first_callable = data.draw(CALLS[name], label="call")
    log = []
    ctx = Context(log)
    args = tuple(ctx.val(i, CallableVal if i == 0 and first_callable else Val) for i in range(n_args))
    kwargs = {}
    for j, key in enumerate(key_list):
        if key not in kwargs:
            kwargs[key] = ctx.val(100 + j)
    roots = [ROOT % index for index in ctx.vals]
    for index in ctx.vals:
        module = types.ModuleType(ROOT % index)
        module.__file__ = "/fuzz/%s/__init__.py" % (ROOT % index)
        setattr(module, PKG_ATTR, Learner(index, log))
        sys.modules[ROOT % index] = module
    try:
        func = target(name, ctx)
        if mode in ("bound", "class") and not args or mode == "class" and name != "__init__":
            mode = "star"
        ctx.mode, ctx.kwargs = mode, kwargs
        ref_args = args
        if mode == "direct":
            run, kwargs = call_direct(func, args, kwargs)
        elif mode == "star":
            run = lambda: func(*args, **kwargs)  # noqa: E731
        elif mode == "bound":
            run = lambda: types.MethodType(func, args[0])(*args[1:], **kwargs)  # noqa: E731
        else:
            # The class call makes the instance that takes the place of args[0].
            ref_args = (Instance(),) + args[1:]
            run = lambda: L(*args[1:], **kwargs)  # noqa: E731
        passed = list(ctx.kwargs.items())
        try:
            outcome, failure = run(), None
        except Exception as exc:
            outcome, failure = None, exc
        assert list(ctx.kwargs.items()) == passed  # the caller's dict is left alone
        check(sig, ctx, ref_args, kwargs, outcome, failure)
    finally:
        for module in roots + [WRAPPER_ROOT]:
            sys.modules.pop(module, None)


def check(sig, ctx, args, kwargs, outcome, failure):
    message = expected_error(sig, len(args), kwargs)
    try:
        binding = sig.reference(*args, **kwargs)
    except TypeError:
        binding = None
    # The module's rules and Python's binding agree on what fails.
    assert (binding is None) == (message is not None), (message, binding)
    if message is not None:
        assert type(failure) is TypeError, failure
        non_str = any(not isinstance(key, str) for key in kwargs)
        if ctx.mode == "bound" and non_str and sys.version_info >= (3, 9):
            # The interpreter's bound method refuses them before the callee runs.
            assert str(failure) == "keywords must be strings"
            return
        assert str(failure) == message
        assert [(n, line) for n, f, line in frames(failure) if f == FILE] == ENTRIES[sig.name]
        return
    if sig.name == "__get__":
        assert type(failure) is Stopped, failure
        outcome = failure
    elif sig.name == "lookup_from_device":
        expected = expect_lfd(binding)
        if isinstance(expected, str):
            assert type(failure) is TypeError and str(failure) == expected
            lines = [line for n, f, line in frames(failure) if f == FILE]
            assert lines == [258, 106]
            return
        assert failure is None, failure
        names = {id(default_builder): "default_builder", id(FDTG): "fdtg"}
        assert describe(observe_lfd(outcome, ctx), names) == describe(expected, names)
        return
    else:
        assert failure is None, failure
    if ctx.mode == "class":
        ctx.made.append(outcome)
    names = {id(default_builder): "default_builder", id(DTG): "dtg", id(DEVICE_DEFAULTS): "device_defaults"}
    if ctx.made:
        names[id(ctx.made[0])] = names[id(args[0])] = "instance"
    observed = OBSERVE[sig.name](outcome, ctx)
    assert {k: describe(v, names) for k, v in observed.items()} == {
        k: describe(v, names) for k, v in binding.items()}
