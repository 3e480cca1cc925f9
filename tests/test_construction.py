"""LookupDecorator construction and method capture, and the misuse that the
class statement and the decoration refuse."""

import abc

import pytest

import orvex.abstract.decorator as decorator_module
from orvex.abstract.decorator import LookupDecorator, default_token_getter
from orvex.abstract.magic import default_builder
from support import creation_error, module_entries

INIT = "orvex.abstract.decorator.LookupDecorator.__init__"
CALL = "orvex.abstract.decorator.LookupDecorator.__call__"


def test_defaults(monkeypatch):
    # Rebinding the module names later changes nothing: the defaults were taken at import.
    monkeypatch.setattr(decorator_module, "default_token_getter", lambda obj, attrs: ())
    monkeypatch.setattr(decorator_module, "default_builder", lambda tokens: [])
    d = LookupDecorator()
    assert vars(d) == {"_attrs": (), "_getter": default_token_getter, "_method": None,
                        "_builder": default_builder, "_builder_kwargs": {}}
    assert d._getter is default_token_getter and d._builder is default_builder


def test_arguments_are_stored_as_given():
    def getter(obj, attrs):
        pass

    def builder(tokens, **kwargs):
        pass

    extra = {"mandatory": 1, "attrs": "a", "builder_kwargs": "b"}
    d = LookupDecorator("os", builder, attr_getter=getter, builder=builder, **extra)
    extra["mandatory"] = 2
    # A positional never fills builder or attr_getter; same-named keywords are ordinary extras.
    assert d._attrs == ("os", builder)
    assert d._getter is getter and d._builder is builder
    assert d._builder_kwargs == {"mandatory": 1, "attrs": "a", "builder_kwargs": "b"}
    assert type(d._builder_kwargs) is dict and type(d._attrs) is tuple

    d = LookupDecorator(builder=None, attr_getter=None)
    assert d._builder is None and d._getter is None


def test_call_records_method_and_returns_self():
    d = LookupDecorator("os")

    def run(self):
        pass

    class Owner:
        other_name = d(run)

    assert Owner.__dict__["other_name"] is d
    assert d._method is run and d._method_name == "run"
    run.__name__ = "renamed"  # the name is taken when the decorator is applied
    assert d._method_name == "run"

    def second(self):
        pass

    assert d(second) is d and (d._method, d._method_name) == (second, "second")
    d.__init__("x")  # a new __init__ resets _method but keeps _method_name
    assert d._method is None and d._method_name == "second" and d._attrs == ("x",)


def test_applied_without_parentheses():
    def run(self):
        pass

    d = LookupDecorator(run)
    assert d._attrs == (run,) and d._method is None and not hasattr(d, "_method_name")


def test_name_is_read_through_attribute_lookup():
    reads = []

    class Named:
        @property
        def __name__(self):
            reads.append("__name__")
            return "dynamic"

    method = Named()
    d = LookupDecorator()
    d(method)
    assert (d._method, d._method_name, reads) == (method, "dynamic", ["__name__"])

    with pytest.raises(AttributeError) as info:
        d(object())
    assert module_entries(info.value) == [(CALL, 131)]
    assert type(d._method) is object and d._method_name == "dynamic"


class Recording(LookupDecorator):
    """Logs every attribute assignment; raises for the one named in `fail_on`."""

    fail_on = None

    def __setattr__(self, name, value):
        self.__dict__.setdefault("log", []).append(name)
        if name == self.fail_on:
            raise RuntimeError(name)
        super().__setattr__(name, value)


def test_assignment_order():
    d = Recording("os")
    d(test_assignment_order)
    assert d.log == ["_attrs", "_getter", "_method", "_builder", "_builder_kwargs",
                     "_method", "_method_name"]


INIT_SET = ["_attrs", "_getter", "_method", "_builder", "_builder_kwargs"]


@pytest.mark.parametrize("index, line", list(enumerate([112, 113, 116, 119, 120])))
def test_failed_assignment_in_init(index, line):
    d = Recording.__new__(Recording)
    d.fail_on = INIT_SET[index]
    with pytest.raises(RuntimeError) as info:
        d.__init__("os")
    assert module_entries(info.value) == [(INIT, line)]
    assert sorted(vars(d)) == sorted(INIT_SET[:index] + ["fail_on", "log"])  # earlier ones stay


@pytest.mark.parametrize("name, line", [("_method", 130), ("_method_name", 131)])
def test_failed_assignment_in_call(name, line):
    d = Recording("os")
    d.fail_on = name
    with pytest.raises(RuntimeError) as info:
        d(len)
    assert module_entries(info.value) == [(CALL, line)]
    assert d._method is (len if name == "_method_name" else None)


# Class bodies that misuse the decorator -> the start of the TypeError that
# the class statement raises (from __set_name__), naming the class, the
# attribute and the fix.
MISUSED_BODIES = {
    "without parentheses": (
        "@LookupDecorator\ndef read(self):\n    pass",
        "Driver.read is a LookupDecorator used without parentheses: @LookupDecorator above the "
        "method took the function for a token name, and no method is held. Write "
        "@LookupDecorator('os'), with the names of the token attributes, or "
        "@LookupDecorator.from_device to take them from the device's settings"),
    "never applied": (
        "read = LookupDecorator('os')",
        "Driver.read is a LookupDecorator that holds no method: apply it to the method, as in "
        "@LookupDecorator('os') above its def"),
    "one object on two methods": (
        "@by_os\ndef start(self):\n    pass\n@by_os\ndef stop(self):\n    pass",
        "Driver.start and Driver.stop are one LookupDecorator object, which holds one method, the "
        "last it was applied to ('stop'): use one LookupDecorator per method"),
    "one object under three names": (
        "@by_os\ndef start(self):\n    pass\nbegin = start\nrun = start",
        "Driver.start, Driver.begin and Driver.run are one LookupDecorator object"),
}

# Class bodies that are fine as they are.
SOUND_BODIES = {
    "from_device without parentheses": "@LookupDecorator.from_device\ndef read(self):\n    pass",
    "from_device with parentheses": "@LookupDecorator.from_device()\ndef read(self):\n    pass",
    "held under another name": "other = LookupDecorator('os')(lambda self: None)",
    "the same object in another class": "read = SHARED",
}


def class_statement(body, by_os=None):
    namespace = {"LookupDecorator": LookupDecorator, "by_os": by_os or LookupDecorator("os"),
                 "SHARED": SHARED}
    exec("class Driver:\n" + "\n".join("    " + line for line in body.split("\n")), namespace)
    return namespace["Driver"]


SHARED = LookupDecorator("os")(lambda self: None)


@pytest.mark.parametrize("case", list(MISUSED_BODIES))
def test_class_creation_refuses_misuse(case):
    body, message = MISUSED_BODIES[case]
    by_os = LookupDecorator("os")
    with pytest.raises((TypeError, RuntimeError)) as info:
        class_statement(body, by_os)
    assert str(creation_error(info.value)).startswith(message)
    if case == "never applied":
        assert vars(by_os) == {"_attrs": ("os",), "_getter": default_token_getter, "_method": None,
                               "_builder": default_builder, "_builder_kwargs": {}}


@pytest.mark.parametrize("case", list(SOUND_BODIES))
def test_class_creation_takes_sound_uses(case):
    Driver = class_statement(SOUND_BODIES[case])
    assert all(vars(d)["_method"] is not None for d in vars(Driver).values()
               if isinstance(d, LookupDecorator))


def test_class_creation_without_a_readable_method():
    # A subclass that keeps no _method is not judged; an error reading it propagates.
    class Elsewhere(LookupDecorator):
        def __init__(self):
            pass

    held = Elsewhere()
    assert vars(type("Driver", (), {"read": held}))["read"] is held

    class Failing(LookupDecorator):
        def __getattribute__(self, name):
            if name == "_method":
                raise KeyError(name)
            return super().__getattribute__(name)

    with pytest.raises((KeyError, RuntimeError)) as info:
        type("Driver", (), {"read": Failing()})
    assert isinstance(info.value, KeyError) or isinstance(info.value.__cause__, KeyError)


def plain(self):
    pass


# What the decorator is handed -> the kind named in the TypeError.
WRAPPED = {
    "classmethod": classmethod(plain),
    "staticmethod": staticmethod(plain),
    "property": property(plain),
    "a subclass of property": type("cached", (property,), {})(plain),
}


@pytest.mark.parametrize("case", list(WRAPPED))
def test_decoration_refuses_wrapped_methods(case):
    kind = case.split()[-1]
    d = LookupDecorator("os")
    with pytest.raises(TypeError) as info:
        d(WRAPPED[case])
    assert str(info.value).startswith(
        "LookupDecorator cannot decorate a %s object: @%s works with LookupDecorator in neither "
        "order (a lookup reads the tokens of the object the method is fetched through). Decorate a "
        "plain function (def or async def)" % (kind, kind))
    assert module_entries(info.value) == [(CALL, 130)]
    # Nothing was recorded.
    assert d._method is None and not hasattr(d, "_method_name")


def test_decoration_refuses_what_a_wrapper_above_hands_it():
    d = LookupDecorator("os")
    Driver = type("Driver", (), {"read": property(d), "load": classmethod(d)})
    with pytest.raises(TypeError, match=r"^LookupDecorator under @property: <.*Driver object"):
        Driver().read
    with pytest.raises(TypeError, match=r"^LookupDecorator under @classmethod: <class '.*Driver'>"):
        d(Driver)  # what a call of Driver.load() does where @classmethod binds the decorator
    assert d._method is None and not hasattr(d, "_method_name")
    # A class that holds the decorator no such way is recorded as usual.
    assert d(type("Other", (), {"read": classmethod(plain)})) is d and d._method_name == "Other"


def test_abstract_methods_stay_abstract():
    class Base(abc.ABC):
        @LookupDecorator("os")
        @abc.abstractmethod
        def read(self):
            pass

        @LookupDecorator("os")
        def write(self):
            return "generic"

    with pytest.raises(TypeError, match="abstract"):
        Base()
    assert Base.__abstractmethods__ == frozenset({"read"})
    assert vars(Base)["read"].__isabstractmethod__ is True
    assert vars(Base)["write"].__isabstractmethod__ is False

    class Inherits(Base):
        pass

    class Overrides(Base):
        @LookupDecorator("os")
        def read(self):
            pass

    assert Inherits.__abstractmethods__ == frozenset({"read"})
    assert Overrides.__abstractmethods__ == frozenset()
    # Answered from the method held now, with no attribute of its own.
    d = vars(Base)["read"]
    assert sorted(vars(d)) == ["_attrs", "_builder", "_builder_kwargs", "_getter", "_method",
                               "_method_name"]
    assert LookupDecorator("os").__isabstractmethod__ is False
    d2 = LookupDecorator("os")(plain)
    plain.__isabstractmethod__ = 1
    try:
        assert d2.__isabstractmethod__ is True
    finally:
        del plain.__isabstractmethod__
    assert d2.__isabstractmethod__ is False
    with pytest.raises(AttributeError):
        d2.__isabstractmethod__ = True
    del d2._method
    with pytest.raises(AttributeError):
        d2.__isabstractmethod__
