"""LookupDecorator construction and method capture."""

import pytest

import orvex.abstract.decorator as decorator_module
from orvex.abstract.decorator import LookupDecorator, default_token_getter
from orvex.abstract.magic import default_builder
from support import module_entries

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
