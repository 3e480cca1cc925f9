"""default_token_getter: the values it collects, the exact order of the
attribute reads it makes, and how and where it fails."""

import builtins

import pytest

import orvex.abstract.decorator as d
from support import Colliding, Raises, Reads, Recorder, entry, innermost_entry, module_entries

dtg = d.default_token_getter
REAL_ATTRIBUTE_ERROR = AttributeError

DOC = "\n".join([
    "default_token_getter",
    "",
    "    default api to be used by the LookupDecorator in order to collect the",
    "    provided attributes during runtime.",
    "",
    "    This api first attempts to get obj.<attr>. If not found, attempts to collect",
    "    from obj.device.<attr>, else raise error.",
    "",
    "    Arguments",
    "    ---------",
    "        obj (object): object to collect attribute from",
    "        attrs (list of strings): names of attribute to get",
    "",
    "    Returns",
    "    -------",
    "        collected attributes",
    "    ",
])


def test_metadata():
    assert dtg.__doc__ == DOC
    assert (dtg.__name__, dtg.__qualname__, dtg.__module__) == (
        "default_token_getter", "default_token_getter", "orvex.abstract.decorator")


class Boom(Exception):
    pass


class Interrupt(BaseException):
    pass


def no_attribute(attr, obj):
    return "No attribute '%s' on '%s'" % (attr, obj)


def at(line):
    return entry("default_token_getter", line)


# Each case: attributes of "obj" and of "dev" (the device), then the reads
# expected and the result (a tuple) or (exception type, line).
# "dev" is obj.device unless obj's attributes say otherwise.
READ_ORDERS = {
    "found on the object": (
        dict(a=1), {}, ["obj.a", "obj.a"], (1,)),
    "found only on the device": (
        {}, dict(a=2),
        ["obj.a", "obj.device", "obj.device", "dev.a", "obj.device", "dev.a"], (2,)),
    "on both: the device is not read": (
        dict(a=1), dict(a=2), ["obj.a", "obj.a"], (1,)),
    "no device": (
        dict(device=Raises(AttributeError, "device")), {},
        ["obj.a", "obj.device"], (AttributeError, 33)),
    "device lacks the name": (
        {}, {}, ["obj.a", "obj.device", "obj.device", "dev.a"], (AttributeError, 33)),
    "first read raising KeyError counts as absent": (
        dict(a=Raises(KeyError, "a")), dict(a=2),
        ["obj.a", "obj.device", "obj.device", "dev.a", "obj.device", "dev.a"], (2,)),
    "any exception counts as absent": (
        dict(a=Raises(Interrupt)), {},
        ["obj.a", "obj.device", "obj.device", "dev.a"], (AttributeError, 33)),
    "device raising on the presence test counts as absent": (
        dict(device=Raises(Boom)), {}, ["obj.a", "obj.device"], (AttributeError, 33)),
    "name on the device raising in the presence test": (
        {}, dict(a=Raises(Boom)), ["obj.a", "obj.device", "obj.device", "dev.a"], (AttributeError, 33)),
    "second read of the name raising": (
        dict(a=Reads(1, Raises(Boom))), {}, ["obj.a", "obj.a"], (Boom, 31)),
    "second read of the device raising": (
        "device reads", [Raises(Boom)], ["obj.a", "obj.device", "obj.device"], (Boom, 32)),
    "third read of the device raising": (
        "device reads", ["dev", Raises(Boom)],
        ["obj.a", "obj.device", "obj.device", "dev.a", "obj.device"], (Boom, 35)),
    "last read of the name on the device raising": (
        {}, dict(a=Reads(2, Raises(Boom))),
        ["obj.a", "obj.device", "obj.device", "dev.a", "obj.device", "dev.a"], (Boom, 35)),
    "falsy values are collected": (
        dict(a=None), {}, ["obj.a", "obj.a"], (None,)),
    "a device of None still counts as a device": (
        dict(device=None), {}, ["obj.a", "obj.device", "obj.device"], (AttributeError, 33)),
}


def make(obj_attrs, dev_attrs, log):
    if obj_attrs == "device reads":
        dev = Recorder("dev", log, a=2)
        # The first read (the presence test) gives the device; later reads as listed.
        reads = [dev] + [dev if value == "dev" else value for value in dev_attrs]
        return Recorder("obj", log, device=Reads(*reads))
    dev = Recorder("dev", log, **dev_attrs)
    return Recorder("obj", log, **dict(dict(device=dev), **obj_attrs))


@pytest.mark.parametrize("obj_attrs, dev_attrs, reads, outcome", READ_ORDERS.values(), ids=list(READ_ORDERS))
def test_read_order(obj_attrs, dev_attrs, reads, outcome):
    log = []
    obj = make(obj_attrs, dev_attrs, log)
    if type(outcome) is tuple and outcome and isinstance(outcome[0], type):
        exc_type, line = outcome
        with pytest.raises(exc_type) as info:
            dtg(obj, ["a"])
        assert type(info.value) is exc_type
        assert module_entries(info.value) == [at(line)]
        if exc_type is AttributeError:
            assert info.value.args == (no_attribute("a", "obj"),)
            # The failed reads before it are neither chained nor reported.
            assert info.value.__context__ is None and info.value.__cause__ is None
            assert innermost_entry(info.value) == at(33)
    else:
        assert dtg(obj, ("a",)) == outcome
    assert log == reads


@pytest.mark.parametrize("during_the_first_read", [False, True])
def test_a_descriptor_put_on_the_class_later_is_read_twice(during_the_first_read):
    # That no name needs a second read is remembered for the type, until it changes.
    class Plain:
        pass
    obj, reads = Plain(), []
    obj.a, obj.b = 1, 2

    def put_property():
        Plain.b = property(lambda self: reads.append("b") or 3)
    for _ in range(2):
        assert dtg(obj, ("a", "b")) == (1, 2)
    if during_the_first_read:
        obj, key = Plain(), Colliding("a", None)  # compared when "a" is looked up in obj's dict
        vars(obj)[key] = None
        obj.a, obj.b, key.then = 1, 2, put_property
    else:
        put_property()
    assert dtg(obj, ("a", "b")) == (1, 3) and reads == ["b", "b"]


class Device:
    a, b = "device-a", "device-b"


def switch_class(o):
    # Same layout, names shared in the other order.
    Other = type("Other", (), {})
    other = Other()
    other.b, other.a = 0, 0
    o.__class__ = Other


def many_attributes(o):
    for k in range(40):
        setattr(o, "x%d" % k, k)
    o.a = "after many"


def delete_then_class_value(o):
    del o.a
    type(o).a = "class-a"


# Changes made to an object (or its class) after its tokens were read: each
# read after them must be what getattr gives, as on the first read.
OWN_VALUE_CHANGES = {
    "set again": lambda o: setattr(o, "a", "changed"),
    "deleted: from the device": lambda o: delattr(o, "a"),
    "dict asked for, set through it": lambda o: vars(o).__setitem__("a", "through dict"),
    "dict asked for, then a new name": lambda o: (vars(o), setattr(o, "c", 1), setattr(o, "a", "then")),
    "dict replaced": lambda o: setattr(o, "__dict__", {"a": "fresh", "b": "fresh-b"}),
    "dict cleared": lambda o: vars(o).clear(),
    "more names than are shared": many_attributes,
    "class switched": switch_class,
    "deleted: from the class": delete_then_class_value,
    "a property on the class": lambda o: setattr(type(o), "b", property(lambda self: "property-b")),
}


@pytest.mark.parametrize("change", list(OWN_VALUE_CHANGES))
def test_own_values_follow_every_change(change):
    # The values are read where the object keeps them, by a place found once
    # per class; the plain-Python model is getattr, then the device.
    def model(obj, names):
        return tuple(getattr(obj, n) if hasattr(obj, n) else getattr(obj.device, n) for n in names)

    class Owner:
        device = Device()
    objects = [Owner() for _ in range(3)]
    for k, obj in enumerate(objects):
        obj.a, obj.b = "a%d" % k, "b%d" % k
    names = ("a", "b")
    for obj in objects:
        assert dtg(obj, names) == model(obj, names)
    OWN_VALUE_CHANGES[change](objects[1])
    for obj in objects + objects[::-1]:
        assert dtg(obj, names) == model(obj, names)


def test_own_values_of_many_classes_and_names_in_turn():
    # More (class, names) pairs than the getter keeps places for, read in turn.
    classes = [type("C%d" % k, (), {}) for k in range(12)]
    objects = []
    for k, cls in enumerate(classes):
        obj = cls()
        for j in range(k % 5 + 1):
            setattr(obj, "n%d" % ((j + k) % 7), "%d-%d" % (k, j))
        objects.append(obj)
    tuples = [tuple("n%d" % j for j in range(k % 7 + 1)) for k in range(9)]
    for _ in range(2):
        for obj in objects:
            for names in tuples:
                expected = tuple(getattr(obj, n, None) for n in names)
                if None in expected:
                    with pytest.raises(AttributeError):
                        dtg(obj, names)
                else:
                    assert dtg(obj, names) == expected


def test_each_device_read_is_used_as_described():
    log = []
    first, second, third = (Recorder(name, log, a=name + "-value") for name in ("d1", "d2", "d3"))
    obj = Recorder("obj", log, device=Reads(first, second, third))
    # Presence on the second device, value from the third.
    assert dtg(obj, ["a"]) == ("d3-value",)
    assert log == ["obj.a", "obj.device", "obj.device", "d2.a", "obj.device", "d3.a"]


def names(*items):
    yield from items


# attrs, then the result and the reads, against one object: obj has a, b, c, o
# and s; its device has d.
SHAPES = {
    "empty": ([], (), []),
    "a list gives a tuple": (["c", "d", "a"], ([], 4, 1), [
        "obj.c", "obj.c", "obj.d", "obj.device", "obj.device", "dev.d", "obj.device", "dev.d",
        "obj.a", "obj.a"]),
    "a str is iterated by character": ("os", ("O", "S"), ["obj.o", "obj.o", "obj.s", "obj.s"]),
    "a generator": (lambda: names("b", "a", "b"), (0, 1, 0),
                    ["obj.b", "obj.b", "obj.a", "obj.a", "obj.b", "obj.b"]),
    "a failure stops collection": (("a", "zz", "a"), AttributeError,
                                   ["obj.a", "obj.a", "obj.zz", "obj.device", "obj.device", "dev.zz"]),
}


@pytest.mark.parametrize("attrs, result, reads", SHAPES.values(), ids=list(SHAPES))
def test_attrs_shapes(attrs, result, reads):
    log = []
    value = []
    obj = Recorder("obj", log, a=1, b=0, c=value, o="O", s="S", device=Recorder("dev", log, d=4))
    attrs = attrs() if callable(attrs) else attrs
    if result is AttributeError:
        with pytest.raises(AttributeError, match="^No attribute 'zz' on 'obj'$"):
            dtg(obj, attrs)
    else:
        got = dtg(obj, attrs)
        assert type(got) is tuple and got == result
        assert value not in got or got[0] is value
    assert log == reads


def test_str_subclass_names():
    class Shown(str):
        def __str__(self):
            return "shown"

    log = []
    obj = Recorder("obj", log, a=1, device=None)
    assert dtg(obj, [Shown("a")]) == (1,)
    with pytest.raises(AttributeError) as info:
        dtg(obj, [Shown("b")])
    # The message holds str() of the name, not its text.
    assert str(info.value) == no_attribute("shown", "obj")


@pytest.mark.parametrize("name", [1, b"a", None])
def test_name_not_a_string(name):
    log = []
    obj = Recorder("obj", log, a=1)
    with pytest.raises(TypeError) as info:
        dtg(obj, ["a", name, "a"])
    assert str(info.value) == "hasattr(): attribute name must be string"
    assert innermost_entry(info.value) == at(30)
    # Nothing is read for it, or after it.
    assert log == ["obj.a", "obj.a"]


class BadIterable:
    def __iter__(self):
        yield "a"
        raise Boom("iteration")


@pytest.mark.parametrize("attrs, exc_type", [(5, TypeError), (BadIterable(), Boom)])
def test_iteration_failures(attrs, exc_type):
    log = []
    with pytest.raises(exc_type) as info:
        dtg(Recorder("obj", log, a=1), attrs)
    assert type(info.value) is exc_type
    assert module_entries(info.value) == [at(29)]


class Unprintable:
    def __str__(self):
        raise Boom("no str")


class UnprintableName(str):
    def __str__(self):
        raise Boom("no str for the name")


@pytest.mark.parametrize("obj, name, message", [
    (Unprintable(), "a", "no str"),
    (object(), UnprintableName("a"), "no str for the name"),
])
def test_message_building_failure_propagates(obj, name, message):
    with pytest.raises(Boom) as info:
        dtg(obj, [name])
    assert str(info.value) == message
    assert module_entries(info.value) == [at(33)]
    # The entry sits between the caller and the failing __str__.
    assert innermost_entry(info.value)[0] == "__str__"


def test_attribute_error_taken_at_import(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(builtins, "AttributeError", Other)
    with pytest.raises(REAL_ATTRIBUTE_ERROR) as info:
        dtg(object(), ["x"])
    assert type(info.value) is REAL_ATTRIBUTE_ERROR


def test_inside_a_handler_the_handled_exception_is_the_context():
    handled = Boom("handled")
    try:
        raise handled
    except Boom:
        with pytest.raises(AttributeError) as info:
            dtg(object(), ["x"])
    assert info.value.__context__ is handled
