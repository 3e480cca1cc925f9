"""LookupDecorator.from_device: decorators that take their tokens from the device."""

import builtins
import importlib
import sys
import textwrap

import pytest

import orvex.abstract.decorator as decorator
from orvex.abstract import (
    LookupDecorator,
    default_builder,
    from_device_token_getter,
    lookup_from_device,
)
from support import entry, module_entries


def method(self):
    return "generic"


def builder(tokens):
    return [()]


def other_getter(obj, attrs):
    return ()


class CallableThing:
    def __call__(self):
        pass


@pytest.fixture
def recording(monkeypatch):
    """Rebinds the module's LookupDecorator to a class that records its use."""
    calls = []

    class Recording:
        applied = object()

        def __init__(self, *args, **kwargs):
            calls.append(("construct", args, kwargs, list(kwargs)))

        def __call__(self, *args, **kwargs):
            calls.append(("apply", args, kwargs))
            return self.applied

    Recording.calls = calls
    monkeypatch.setattr(decorator, "LookupDecorator", Recording)
    return Recording


def construct(args=(), **kwargs):
    keywords = {"attr_getter": from_device_token_getter, **kwargs}
    return ("construct", args, keywords, list(keywords))


@pytest.mark.parametrize("target", [method, CallableThing, CallableThing(), builtins.len],
                         ids=["function", "class", "callable instance", "builtin"])
def test_bare_form(recording, target):
    assert lookup_from_device(target) is recording.applied
    assert recording.calls == [construct(), ("apply", (target,), {})]


# Everything else constructs with the arguments given and applies nothing;
# the attr_getter keyword always comes first and is always the module's own.
UNAPPLIED_CASES = [
    pytest.param((), {}, (), {}, id="empty parentheses"),
    pytest.param(("os",), {"builder": builder}, ("os",), {"builder": builder}, id="names and builder"),
    pytest.param(("os",), {"attr_getter": other_getter}, ("os",), {}, id="attr_getter dropped"),
    pytest.param(("os",), {}, ("os",), {}, id="one name"),
    pytest.param(("os", "board"), {"mandatory": 1}, ("os", "board"), {"mandatory": 1},
                 id="builder keyword"),
    # a callable is the method only when it comes alone
    pytest.param((method,), {"builder": builder}, (method,), {"builder": builder},
                 id="callable with a keyword"),
    pytest.param((method,), {"attr_getter": other_getter}, (method,), {},
                 id="callable with attr_getter only"),
    pytest.param((method, method), {}, (method, method), {}, id="two callables"),
]


@pytest.mark.parametrize("args, kwargs, expected_args, expected_kwargs", UNAPPLIED_CASES)
def test_form_with_arguments(recording, args, kwargs, expected_args, expected_kwargs):
    result = lookup_from_device(*args, **kwargs)
    assert isinstance(result, recording)
    assert recording.calls == [construct(expected_args, **expected_kwargs)]


def test_callers_keywords_untouched(recording):
    keywords = {"attr_getter": other_getter, "builder": builder}
    lookup_from_device("os", **keywords)
    lookup_from_device(method, **keywords)
    assert keywords == {"attr_getter": other_getter, "builder": builder}
    assert [call[2]["attr_getter"] for call in recording.calls] == [from_device_token_getter] * 2


@pytest.mark.parametrize("make", [
    lambda: LookupDecorator.from_device(method),
    lambda: LookupDecorator.from_device()(method),
])
def test_bare_and_empty_parentheses_agree(make):
    made = make()
    assert type(made) is LookupDecorator
    assert vars(made) == {
        "_attrs": (), "_getter": from_device_token_getter, "_method": method,
        "_builder": default_builder, "_builder_kwargs": {}, "_method_name": "method",
    }


def test_real_decorator_with_arguments():
    made = LookupDecorator.from_device("os", "board", builder=builder, mandatory=1,
                                       attr_getter=other_getter)
    assert vars(made) == {
        "_attrs": ("os", "board"), "_getter": from_device_token_getter, "_method": None,
        "_builder": builder, "_builder_kwargs": {"mandatory": 1},
    }
    assert made(method) is made and made._method_name == "method"


def test_names_looked_up_at_call_time(recording, monkeypatch):
    monkeypatch.setattr(decorator, "from_device_token_getter", other_getter)
    lookup_from_device(method)
    lookup_from_device("os")
    assert [call[2] for call in recording.calls if call[0] == "construct"] == [
        {"attr_getter": other_getter}, {"attr_getter": other_getter}]


@pytest.mark.parametrize("args, line", [((method,), 252), (("os",), 258)])
@pytest.mark.parametrize("missing", [
    ("LookupDecorator",),
    ("from_device_token_getter",),
    # LookupDecorator is looked up first
    ("from_device_token_getter", "LookupDecorator"),
])
def test_missing_names(monkeypatch, args, line, missing):
    for name in missing:
        monkeypatch.delattr(decorator, name)
    with pytest.raises(NameError) as info:
        lookup_from_device(*args)
    assert str(info.value) == "name '%s' is not defined" % missing[-1]
    assert module_entries(info.value) == [entry("lookup_from_device", line)]


def test_names_from_builtins(recording, monkeypatch):
    monkeypatch.delattr(decorator, "LookupDecorator")
    monkeypatch.delattr(decorator, "from_device_token_getter")
    monkeypatch.setattr(builtins, "LookupDecorator", recording, raising=False)
    monkeypatch.setattr(builtins, "from_device_token_getter", other_getter, raising=False)
    lookup_from_device("os")
    assert recording.calls == [("construct", ("os",), {"attr_getter": other_getter},
                                ["attr_getter"])]


class Boom(Exception):
    pass


@pytest.mark.parametrize("stage, args, line", [
    ("construct", (method,), 252),
    ("apply", (method,), 252),
    ("construct", ("os",), 258),
])
def test_errors_from_the_decorator(monkeypatch, stage, args, line):
    error = Boom(stage)

    class Failing:
        def __init__(self, *args, **kwargs):
            if stage == "construct":
                raise error

        def __call__(self, method):
            raise error

    monkeypatch.setattr(decorator, "LookupDecorator", Failing)
    with pytest.raises(Boom) as info:
        lookup_from_device(*args)
    assert info.value is error
    assert module_entries(info.value) == [entry("lookup_from_device", line)]


class Nameless:
    """Callable, but without a __name__ for the decorator to record."""

    def __call__(self):
        pass


@pytest.mark.parametrize("call, exc, message, expected", [
    (lambda: lookup_from_device(Nameless()), AttributeError, "'Nameless' object has no attribute '__name__'",
     [entry("lookup_from_device", 252), entry("LookupDecorator.__call__", 131)]),
    (lambda: lookup_from_device("os", **{"self": 1}), TypeError,
     "__init__() got multiple values for keyword argument 'self'",
     [entry("lookup_from_device", 258), entry("LookupDecorator.__init__", 106)]),
])
def test_errors_with_the_real_decorator(call, exc, message, expected):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
    assert module_entries(info.value) == expected


# An abstracted package whose class takes its tokens from the device.
LAYOUT = {
    "__init__.py": "",
    "widget.py": """
        from orvex.abstract import LookupDecorator

        class Widget(object):
            def __init__(self, device, **tokens):
                self.device = device
                vars(self).update(tokens)

            @LookupDecorator.from_device
            def read(self, n):
                return "generic read %d" % n

            @LookupDecorator.from_device("os")
            def blink(self):
                return "generic blink"
        """,
    "vexos/__init__.py": "",
    "vexos/widget.py": """
        from ..widget import Widget as Generic

        class Widget(Generic):
            def read(self, n):
                return "vexos read %d" % n

            def blink(self):
                return "vexos blink"
        """,
    "vexos/k7/__init__.py": "",
    "vexos/k7/widget.py": """
        from ...widget import Widget as Generic

        class Widget(Generic):
            def read(self, n):
                return "vexos/k7 read %d" % n
        """,
    "k7/__init__.py": "",
    "k7/widget.py": """
        from ..widget import Widget as Generic

        class Widget(Generic):
            def read(self, n):
                return "k7 read %d" % n
        """,
}


class Device:
    def __init__(self, custom=None, **attrs):
        self.custom = custom
        vars(self).update(attrs)


def ordered(*names):
    return Device({"abstraction": {"order": list(names)}})


@pytest.fixture
def widget_module(tmp_path, monkeypatch):
    name = "orvex_test_from_device_widgets"  # no other test uses it
    assert name not in sys.modules
    for rel, text in LAYOUT.items():
        path = tmp_path / name / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(sys, "dont_write_bytecode", True)
    yield importlib.import_module(name + ".widget")
    for module in list(sys.modules):
        if module == name or module.startswith(name + "."):
            del sys.modules[module]
    for path in list(sys.path_importer_cache):
        if path.startswith(str(tmp_path)):
            del sys.path_importer_cache[path]


@pytest.mark.parametrize("device, tokens, read, blink", [
    (ordered("os", "board"), {"os": "vexos", "board": "k7"}, "vexos/k7 read 1",
     "generic blink"),  # k7 inherits the generic blink
    (ordered("board", "os"), {"os": "vexos", "board": "k7"}, "k7 read 1", "generic blink"),
    (ordered("os"), {"os": "vexos", "board": "k7"}, "vexos read 1", "vexos blink"),
    # a token the object lacks is read from the device
    (Device({"abstraction": {"order": ["os", "board"]}}, board="k7"), {"os": "vexos"},
     "vexos/k7 read 1", "generic blink"),
    # no token package for the value: the generic code
    (ordered("os"), {"os": "quill"}, "generic read 1", "generic blink"),
    # nothing listed: read has no names of its own, blink falls back to 'os'
    (Device(), {"os": "vexos"}, "generic read 1", "vexos blink"),
    (Device({"abstraction": {"order": []}}), {"os": "vexos"}, "generic read 1", "vexos blink"),
    (None, {"os": "vexos"}, "generic read 1", "vexos blink"),
])
def test_dispatch_end_to_end(widget_module, device, tokens, read, blink):
    Widget = widget_module.Widget
    widget = Widget(device, **tokens)
    assert widget.read(1) == read
    assert widget.blink() == blink
    assert Widget.read(widget, 1) == "generic read 1"  # through the class: the plain function
    for name, attrs in (("read", ()), ("blink", ("os",))):
        held = Widget.__dict__[name]
        assert type(held) is LookupDecorator
        assert held._getter is from_device_token_getter and held._attrs == attrs


def test_dispatch_follows_the_device_settings(widget_module):
    device = ordered("os")
    widget = widget_module.Widget(device, os="vexos", board="k7")
    read = widget.read
    device.custom["abstraction"]["order"].append("board")
    assert widget.read(2) == "vexos/k7 read 2"  # every fetch asks the device again
    assert read(2) == "vexos read 2"  # a fetched method keeps its choice
