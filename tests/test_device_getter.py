"""from_device_token_getter: token names from the device's custom settings.

Its argument errors are in test_arguments.py."""

import builtins

import pytest

import orvex.abstract.decorator as decorator
from orvex.abstract.decorator import default_token_getter, from_device_token_getter
from support import Raises, Reads, Recorder, entry, module_entries

GETTER = "from_device_token_getter"


class Probe(Recorder):
    """A Recorder whose truth tests are logged too, as "bool(<label>)".

    *truth* is the answer, or an exception to raise.
    """

    def __init__(self, label, log=None, truth=True, **attrs):
        super().__init__(label, [] if log is None else log, **attrs)
        object.__setattr__(self, "_truth", truth)

    def __bool__(self):
        label, log, _ = object.__getattribute__(self, "_rec")
        log.append("bool(%s)" % label)
        truth = object.__getattribute__(self, "_truth")
        if isinstance(truth, BaseException):
            raise truth
        return truth


class Call:
    """A callable that logs its calls and returns *result*."""

    def __init__(self, label, log, result=None):
        self.label, self.log, self.result = label, log, result

    def __call__(self, *args, **kwargs):
        self.log.append(self.label + repr(args) + (repr(kwargs) if kwargs else ""))
        return self.result


class Obj:
    def __init__(self, **attrs):
        vars(self).update(attrs)


class Gone(AttributeError):
    pass


class Custom(dict):
    """Settings (never empty) that also carry an ``abstraction`` attribute."""

    def __init__(self, attribute, entries=()):
        super().__init__(entries, other=1)
        self.abstraction = attribute


def with_custom(custom, **attrs):
    return Obj(device=Obj(custom=custom), **attrs)


def order_of(names):
    return {"abstraction": {"order": names}}


ORDER = ["os", "board"]
NOT_LIST = 5  # true but not iterable: passed on as it is

# (object, where the names come from): "defaults", or the order object itself
CONFIGS = [
    pytest.param(lambda: Obj(), "defaults", id="no device"),
    pytest.param(lambda: Probe("obj", device=Raises(Gone, "device")), "defaults",
                 id="device raises AttributeError subclass"),
    *(pytest.param(lambda d=d: Obj(device=d), "defaults", id="device %r" % (d,))
      for d in (None, 0, [])),
    pytest.param(lambda: Obj(device=Probe("device", truth=False, custom=order_of(ORDER))),
                 "defaults", id="device false by __bool__"),
    pytest.param(lambda: Obj(device=Obj()), "defaults", id="no custom"),
    *(pytest.param(lambda c=c: with_custom(c), "defaults", id="custom %r" % (c,))
      for c in (None, {})),
    pytest.param(lambda: with_custom({"other": 1}), "defaults", id="no abstraction"),
    *(pytest.param(lambda a=a: with_custom({"abstraction": a}), "defaults",
                   id="abstraction %r" % (a,))
      for a in (None, {}, {"x": 1})),
    *(pytest.param(lambda o=o: with_custom(order_of(o)), "defaults", id="order %r" % (o,))
      for o in ([], None)),
    pytest.param(lambda: with_custom(order_of(ORDER)), ORDER, id="order list"),
    pytest.param(lambda: with_custom(order_of("ab")), "ab", id="order str"),
    pytest.param(lambda: with_custom(order_of(NOT_LIST)), NOT_LIST, id="order not iterable"),
    pytest.param(lambda: with_custom(Custom(order_of(ORDER)["abstraction"])), ORDER,
                 id="abstraction attribute"),
    # only an AttributeError lets the get() result through
    pytest.param(lambda: with_custom(Custom(None, order_of(ORDER))), "defaults",
                 id="abstraction attribute wins even when None"),
    pytest.param(lambda: Obj(device=Obj(custom=Probe("c", get=lambda k, d: order_of(ORDER)[k]))),
                 ORDER, id="no abstraction attribute: get() result"),
]


@pytest.fixture
def recorder(monkeypatch):
    """Rebinds the module's default_token_getter to a recorder of its calls."""
    calls = []
    result = object()

    def record(*args, **kwargs):
        calls.append((args, kwargs))
        return result

    record.calls, record.result = calls, result
    monkeypatch.setattr(decorator, "default_token_getter", record)
    return record


@pytest.mark.parametrize("make, expected", CONFIGS)
def test_names_passed_on(recorder, make, expected):
    obj = make()
    defaults = ("os",)
    assert from_device_token_getter(obj, defaults) is recorder.result
    [(args, kwargs)] = recorder.calls
    assert kwargs == {} and len(args) == 2 and args[0] is obj
    assert args[1] is (defaults if expected == "defaults" else expected)


@pytest.mark.parametrize("obj, defaults, expected", [
    (Obj(), [], ()),
    (with_custom(order_of(["board", "os"]), os="vexos", board="k7"), ["nothing"], ("k7", "vexos")),
    # listed names are still looked for on the device second
    (Obj(os="vexos", device=Obj(board="k7", custom=order_of(["os", "board"]))), [],
     ("vexos", "k7")),
    (with_custom(order_of([]), os="vexos"), ["os"], ("vexos",)),
    (with_custom(order_of("ab"), a=1, b=2), ["os"], (1, 2)),
])
def test_collected_values(obj, defaults, expected):
    assert from_device_token_getter(obj, defaults) == expected


def test_empty_custom_is_not_asked():
    log = []
    obj = Obj(os="vexos", device=Obj(custom=Probe("custom", log, truth=False, get=Call("get", log))))
    assert from_device_token_getter(obj, ["os"]) == ("vexos",)
    assert log == ["bool(custom)"]


def chain(log, name_on_object=True, abstraction_attribute=True):
    """An object whose device's three reads of custom give c1, c2 and c3."""
    abstraction = Probe("abstraction", log, get=Call("abstraction.get", log, ["board"]))
    c2 = Probe("c2", log, **({"abstraction": abstraction} if abstraction_attribute else {}))
    c3 = Probe("c3", log, get=Call("c3.get", log, None if abstraction_attribute else abstraction))
    device = Probe("device", log, custom=Reads(Probe("c1", log), c2, c3), board="k7")
    return Probe("obj", log, device=device, **({"board": "k9"} if name_on_object else {}))


HEAD = ["obj.device", "bool(device)", "device.custom", "bool(c1)", "device.custom",
        "device.custom", "c3.get", "c3.get('abstraction', None)", "c2.abstraction",
        "bool(abstraction)", "abstraction.get", "abstraction.get('order', None)"]


@pytest.mark.parametrize("name_on_object, abstraction_attribute, expected, tail", [
    (True, True, ("k9",), ["obj.board", "obj.board"]),
    # get() is called every time; its value counts only when the attribute is missing
    (True, False, ("k9",), ["obj.board", "obj.board"]),
    # default_token_getter reads the device again on its own
    (False, True, ("k7",), ["obj.board", "obj.device", "obj.device", "device.board",
                            "obj.device", "device.board"]),
])
def test_read_sequence(name_on_object, abstraction_attribute, expected, tail):
    log = []
    obj = chain(log, name_on_object, abstraction_attribute)
    assert from_device_token_getter(obj, ["unused"]) == expected
    assert log == HEAD + tail


def failing(device_truth=True, custom_truth=True, custom=None,
            abstraction=order_of(["os"])["abstraction"], get=True):
    """The chain of test_read_sequence, without logging, with one link replaced."""
    attrs = {"get": get if callable(get) else (lambda key, default: None)} if get else {}
    attrs["abstraction"] = abstraction
    good = Probe("c", **attrs)
    if custom is None:
        custom = Reads(Probe("c1", truth=custom_truth), good, good)
    return Probe("obj", device=Probe("device", truth=device_truth, custom=custom), os="vexos")


def raising(exc_type, *args):
    def get(key, default):
        raise exc_type(*args)
    return get


ERRORS = [
    (lambda: Probe("obj", device=Raises(KeyError, "device")), KeyError, "device", 62),
    (lambda: failing(device_truth=ZeroDivisionError("truth")), ZeroDivisionError, "truth", 63),
    (lambda: Obj(device=Probe("device", custom=Raises(KeyError, "custom"))), KeyError, "custom", 63),
    (lambda: failing(custom_truth=ValueError("custom truth")), ValueError, "custom truth", 63),
    # after the first read, a missing custom is an error
    (lambda: failing(custom=Reads({"x": 1}, Raises(Gone, "second"))), Gone, "second", 64),
    (lambda: failing(custom=Reads({"x": 1}, {"x": 1}, Raises(Gone, "third"))), Gone, "third", 65),
    (lambda: failing(get=False), AttributeError, "get", 65),
    (lambda: failing(get=raising(LookupError, "in get")), LookupError, "in get", 65),
    (lambda: failing(abstraction=Raises(KeyError, "abstraction")), KeyError, "abstraction", 64),
    (lambda: failing(abstraction=Probe("a", truth=RuntimeError("a truth"))),
     RuntimeError, "a truth", 66),
    (lambda: failing(abstraction=["os"]), AttributeError, "'list' object has no attribute 'get'", 67),
    (lambda: failing(abstraction=Probe("a", get=raising(IndexError, "order"))), IndexError, "order", 67),
    (lambda: failing(abstraction={"order": Probe("order", truth=OSError("order truth"))}),
     OSError, "order truth", 69),
]


@pytest.mark.parametrize("make, exc, message, line", ERRORS)
def test_errors(make, exc, message, line):
    with pytest.raises(exc) as info:
        from_device_token_getter(make(), ["os"])
    assert type(info.value) is exc
    assert message in str(info.value)
    assert module_entries(info.value) == [entry(GETTER, line)]


@pytest.mark.parametrize("order, exc, message, inner", [
    (["missing"], AttributeError, "No attribute 'missing' on 'OBJ'", 33),
    ([1], TypeError, "hasattr(): attribute name must be string", 30),
    (5, TypeError, "'int' object is not iterable", 29),
])
def test_default_token_getter_errors_pass_through(order, exc, message, inner):
    obj = with_custom(order_of(order))
    with pytest.raises(exc) as info:
        from_device_token_getter(obj, ["os"])
    assert str(info.value) == message.replace("OBJ", str(obj))
    assert module_entries(info.value) == [entry(GETTER, 69), entry("default_token_getter", inner)]


def test_default_list_is_shared(recorder):
    assert from_device_token_getter.__defaults__ == ([],)
    shared = from_device_token_getter.__defaults__[0]
    from_device_token_getter(Obj())
    from_device_token_getter(with_custom(order_of([])))
    from_device_token_getter(obj=Obj())
    passed = [args[1] for args, kwargs in recorder.calls]
    assert len(passed) == 3 and all(names is shared for names in passed)
    assert shared == []


def test_mutating_the_shared_default(recorder):
    shared = from_device_token_getter.__defaults__[0]
    shared.append("os")
    try:
        from_device_token_getter(Obj())
    finally:
        shared.remove("os")
    assert recorder.calls[0][0][1] is shared


@pytest.mark.parametrize("replacement", [(["os"],), None, ()])
def test_assigning_defaults_changes_the_report_only(recorder, monkeypatch, replacement):
    shared = from_device_token_getter.__defaults__[0]
    monkeypatch.setattr(from_device_token_getter, "__defaults__", replacement)
    assert from_device_token_getter.__defaults__ == replacement
    from_device_token_getter(Obj())
    assert recorder.calls[0][0][1] is shared


def test_collector_looked_up_at_call_time(monkeypatch):
    monkeypatch.delattr(decorator, "default_token_getter")
    with pytest.raises(NameError) as info:
        from_device_token_getter(Obj())
    assert str(info.value) == "name 'default_token_getter' is not defined"
    assert module_entries(info.value) == [entry(GETTER, 69)]

    # then the builtins are asked
    monkeypatch.setattr(builtins, "default_token_getter", lambda obj, names: ("builtin", names),
                        raising=False)
    assert from_device_token_getter(Obj(), ["os"]) == ("builtin", ["os"])
    monkeypatch.setattr(decorator, "default_token_getter", lambda obj, names: "module",
                        raising=False)
    assert from_device_token_getter(Obj()) == "module"
    # the name is looked up, not the object kept from import
    monkeypatch.setattr(decorator, "default_token_getter", default_token_getter)
    assert from_device_token_getter(Obj(os=1), ["os"]) == (1,)
