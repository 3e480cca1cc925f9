"""Argument checking of the module's functions: the messages, which error
wins when several apply, and the traceback entry that an argument error gets.

Only calls that fail binding are made, except for default_token_getter: the
other bodies must not run here."""

import pytest

import orvex.abstract.decorator as d
from support import entry, innermost_entry, module_entries, preserved

L = d.LookupDecorator
dtg = d.default_token_getter


def count(name, word, number, given):
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, word, number, "" if number == 1 else "s", given)


def unexpected(name, key):
    return "%s() got an unexpected keyword argument '%s'" % (name, key)


def twice(name, key):
    return "%s() got multiple values for keyword argument '%s'" % (name, key)


def not_strings(name):
    return "%s() keywords must be strings" % name


DTG = "default_token_getter"
FDTG = "from_device_token_getter"

CASES = [
    # function, positional arguments, keyword arguments, message
    (DTG, (), {}, count(DTG, "exactly", 2, 0)),
    (DTG, (1,), {}, count(DTG, "exactly", 2, 1)),
    (DTG, (1, 2, 3), {}, count(DTG, "exactly", 2, 3)),
    # Too many positional arguments wins over everything else.
    (DTG, (1, 2, 3), {"attrs": 4, 5: 6}, count(DTG, "exactly", 2, 3)),
    # With keywords, "given" is the position of the first missing parameter.
    (DTG, (), {"attrs": 1}, count(DTG, "exactly", 2, 0)),
    (DTG, (), {"obj": 1}, count(DTG, "exactly", 2, 1)),
    (DTG, (1,), {"bogus": 2}, count(DTG, "exactly", 2, 1)),
    (DTG, (), {1: 2}, count(DTG, "exactly", 2, 0)),
    (DTG, (1, 2), {"bogus": 3}, unexpected(DTG, "bogus")),
    (DTG, (1, 2), {"obj": 3}, twice(DTG, "obj")),
    (DTG, (1, 2), {"attrs": 3}, twice(DTG, "attrs")),
    (DTG, (1,), {"attrs": 2, "obj": 3}, twice(DTG, "obj")),
    (DTG, (1, 2), {3: 4}, not_strings(DTG)),
    (DTG, (1,), {"attrs": 2, 3: 4}, not_strings(DTG)),
    # Leftover keywords are checked in the order of the dict.
    (DTG, (1, 2), {"bogus": 1, 3: 4}, unexpected(DTG, "bogus")),
    (DTG, (1, 2), {3: 4, "bogus": 1}, not_strings(DTG)),
    (DTG, (1, 2), {"obj": 1, "bogus": 2}, twice(DTG, "obj")),
    (DTG, (1, 2), {"bogus": 2, "obj": 1}, unexpected(DTG, "bogus")),
    (FDTG, (), {}, count(FDTG, "at least", 1, 0)),
    (FDTG, (1, 2, 3), {}, count(FDTG, "at most", 2, 3)),
    (FDTG, (1, 2, 3), {"defaults": 4}, count(FDTG, "at most", 2, 3)),
    (FDTG, (), {"defaults": 1}, count(FDTG, "at least", 1, 0)),
    (FDTG, (1,), {"obj": 2}, twice(FDTG, "obj")),
    (FDTG, (1, 2), {"defaults": 3}, twice(FDTG, "defaults")),
    (FDTG, (1,), {"bogus": 2}, unexpected(FDTG, "bogus")),
    (FDTG, (1,), {2: 3}, not_strings(FDTG)),
    ("__init__", (), {}, count("__init__", "at least", 1, 0)),
    ("__init__", (), {"builder": 1}, count("__init__", "at least", 1, 0)),
    ("__init__", (), {1: 2}, count("__init__", "at least", 1, 0)),
    ("__init__", (1,), {"self": 2}, twice("__init__", "self")),
    ("__init__", (1, "a"), {"self": 2}, twice("__init__", "self")),
    ("__init__", (1,), {2: 3}, not_strings("__init__")),
    ("__init__", (1, "a"), {"x": 1, "builder": 2, 3: 4}, not_strings("__init__")),
    ("__call__", (), {}, count("__call__", "exactly", 2, 0)),
    ("__call__", (1,), {}, count("__call__", "exactly", 2, 1)),
    ("__call__", (1, 2, 3), {}, count("__call__", "exactly", 2, 3)),
    # A required parameter missing wins over an unknown keyword.
    ("__call__", (1,), {"foo": 2}, count("__call__", "exactly", 2, 1)),
    ("__call__", (1, 2), {"method": 3}, twice("__call__", "method")),
    ("__call__", (1, 2), {"foo": 3}, unexpected("__call__", "foo")),
    ("__call__", (1, 2), {3: 4}, not_strings("__call__")),
    ("__get__", (1,), {}, count("__get__", "exactly", 3, 1)),
    ("__get__", (L.__new__(L), 1, 2, 3), {}, count("__get__", "exactly", 3, 4)),
    ("__get__", (1,), {1: 2}, count("__get__", "exactly", 3, 1)),
    ("__get__", (), {"self": 1, "instance": 2}, count("__get__", "exactly", 3, 2)),
    ("__get__", (1, 2), {"owner": 3, "instance": 4}, twice("__get__", "instance")),
    ("__get__", (1, 2, 3), {"x": 4}, unexpected("__get__", "x")),
    ("__get__", (1, 2, 3), {1: 2}, not_strings("__get__")),
]

FUNCTIONS = {
    DTG: (dtg, "default_token_getter", 9),
    FDTG: (d.from_device_token_getter, "from_device_token_getter", 38),
    "__init__": (L.__init__, "LookupDecorator.__init__", 106),
    "__call__": (L.__call__, "LookupDecorator.__call__", 122),
    "__get__": (L.__get__, "LookupDecorator.__get__", 135),
}


@pytest.mark.parametrize("name, args, kwargs, message", CASES,
                         ids=["%s%r%r" % (c[0], c[1], c[2]) for c in CASES])
def test_argument_error(name, args, kwargs, message):
    func, qualname, line = FUNCTIONS[name]
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    # One entry, at the function's first line.
    assert module_entries(info.value) == [entry(qualname, line)]
    assert innermost_entry(info.value) == entry(qualname, line)


@pytest.mark.parametrize("args, kwargs", [((), {1: 2}), ((1, 2), {"a": 1, 3: 4})])
def test_star_only_function(args, kwargs):
    with pytest.raises(TypeError) as info:
        d.lookup_from_device(*args, **kwargs)
    assert str(info.value) == not_strings("lookup_from_device")
    # No entry of its own: the innermost entry is this test's frame.
    assert module_entries(info.value) == []
    assert innermost_entry(info.value)[0] == "test_star_only_function"
    with pytest.raises(TypeError, match=r"^lookup_from_device\(\) keywords must be strings$"):
        L.from_device(**kwargs)


def test_class_call_keeps_the_own_message():
    with pytest.raises(TypeError) as info:
        L(**{1: 2})
    assert str(info.value) == not_strings("__init__")
    assert innermost_entry(info.value) == entry("LookupDecorator.__init__", 106)


def test_bound_method_counts_the_instance():
    inst = L.__new__(L)
    with pytest.raises(TypeError) as info:
        inst.__get__()
    assert str(info.value) == count("__get__", "exactly", 3, 1)
    with pytest.raises(TypeError) as info:
        inst.__get__(1, 2, 3)
    assert str(info.value) == count("__get__", "exactly", 3, 4)
    with pytest.raises(TypeError) as info:
        inst.__call__(1, method=2)
    assert str(info.value) == twice("__call__", "method")


def test_messages_use_the_definition_name():
    with preserved(dtg, "__name__", "__qualname__"):
        dtg.__name__ = "renamed"
        dtg.__qualname__ = "Re.named"
        with pytest.raises(TypeError) as info:
            dtg(1)
        assert str(info.value) == count(DTG, "exactly", 2, 1)
        assert innermost_entry(info.value) == entry("default_token_getter", 9)


def test_assigned_defaults_are_not_used():
    with preserved(dtg, "__defaults__"):
        dtg.__defaults__ = ("obj", ())
        with pytest.raises(TypeError, match=r"\(0 given\)$"):
            dtg()
        with pytest.raises(TypeError, match=r"\(1 given\)$"):
            dtg(object())


class Name(str):
    """A str subclass: accepted as a keyword name."""


@pytest.mark.parametrize("args, kwargs", [
    ((), {"obj": 1, "attrs": ()}),
    ((), {"attrs": (), "obj": 1}),
    ((1,), {"attrs": ()}),
    ((), {Name("obj"): 1, Name("attrs"): ()}),
])
def test_binding_by_keyword(args, kwargs):
    assert dtg(*args, **kwargs) == ()

