# LookupDecorator written plainly in Python: the baseline that the extension's
# fetch path is measured against. It does what the extension's __get__, its
# wrapper and its token getters do, step by step and in the same order, over
# the pure-Python siblings beside it. The suite also compiles it with Cython.
"""Pure-Python LookupDecorator, for the benchmarks only."""

import functools
import sys

from baseline.magic import default_builder
from baseline.package import AbstractPackage

__all__ = [
    "LookupDecorator",
    "default_token_getter",
    "from_device_token_getter",
    "lookup_from_device",
]


def default_token_getter(obj, attrs):
    """The value of each attribute named in *attrs*, from *obj* or its device."""
    # The extension counts any exception from the first read as absence;
    # builtin hasattr lets all but AttributeError through. The benchmarks
    # never raise there, so the cost is the same.
    attributes = []
    for attr in attrs:
        if hasattr(obj, attr):
            attributes.append(getattr(obj, attr))
        elif hasattr(obj, "device") and hasattr(obj.device, attr):
            attributes.append(getattr(obj.device, attr))
        else:
            raise AttributeError("No attribute '%s' on '%s'" % (attr, obj))
    return tuple(attributes)


def from_device_token_getter(obj, defaults=[]):
    """The tokens named by ``obj.device.custom['abstraction']['order']``."""
    attrs = []
    device = getattr(obj, "device", None)
    if device and getattr(device, "custom", None):
        # get() runs before the attribute is looked at, as in the extension.
        abstraction = getattr(device.custom, "abstraction",
                              device.custom.get("abstraction", None))
        if abstraction:
            attrs = abstraction.get("order", None)
    return default_token_getter(obj, attrs or defaults)


class LookupDecorator(object):
    """Dispatches a method to the class that the object's tokens select."""

    def __init__(self, *attrs, builder=default_builder,
                 attr_getter=default_token_getter, **builder_kwargs):
        self._attrs = attrs
        self._getter = attr_getter
        self._method = None
        self._builder = builder
        self._builder_kwargs = builder_kwargs

    def __call__(self, method):
        self._method = method
        self._method_name = method.__name__
        return self

    def __get__(self, instance, owner):
        if instance is None:
            return self._method

        # The root: the owner's module if it is a package's __init__, else
        # the nearest enclosing package in sys.modules.
        module = sys.modules[owner.__module__]
        if not module.__file__.endswith("__init__.py"):
            names = module.__name__.split(".")
            for i in range(len(names) - 1, -1, -1):
                parent = ".".join(names[:i])
                try:
                    found = sys.modules[parent].__file__.endswith("__init__.py")
                except (KeyError, AttributeError):
                    continue
                if found:
                    module = sys.modules[parent]
                    break
            else:
                raise LookupError(
                    "LookupDecorator must be used within a package. Got %s"
                    % module.__file__)

        # Made once, kept on the root under the name the extension uses
        # (the mangled ``__abstract_pkg``), read again, asked to learn.
        module_name = module.__name__
        if not hasattr(module, "_LookupDecorator__abstract_pkg"):
            module._LookupDecorator__abstract_pkg = AbstractPackage(
                module_name, delay=True)
        package = module._LookupDecorator__abstract_pkg
        package.learn()

        tokens = self._getter(instance, self._attrs)
        sequence = self._builder(tokens, **self._builder_kwargs)
        relpath = tuple(owner.__module__.split("."))
        name, *rest = owner.__qualname__.split(".")

        cls = None
        seq = None
        for seq in sequence:
            try:
                cls = package.lookup(relpath, seq, name)
                break
            except LookupError:
                pass
        if not cls:
            raise LookupError(
                "Cannot find combination based on the following criterion: "
                "\n relative path = %s\n   search path = %s\n        target = %s"
                % (relpath, seq, name))

        for attr in rest:
            try:
                cls = getattr(cls, attr)
            except AttributeError:
                raise LookupError(
                    "Class '%s' in '%s' is missing method definition '%s'"
                    % (cls.__qualname__, cls.__module__, attr))
        try:
            func = getattr(cls, self._method_name)
        except AttributeError:
            raise LookupError(
                "Class '%s' in '%s' is missing method definition '%s'"
                % (cls.__qualname__, cls.__module__, self._method_name))

        @functools.wraps(func)
        def wrapper(*args, **kwargs):
            try:
                return func(instance, *args, **kwargs)
            except NotImplementedError:
                raise

        return wrapper


def lookup_from_device(*args, **kwargs):
    """LookupDecorator whose tokens the object's device names."""
    if len(args) == 1 and not kwargs and callable(args[0]):
        return LookupDecorator(attr_getter=from_device_token_getter)(args[0])
    kwargs.pop("attr_getter", None)
    return LookupDecorator(*args, attr_getter=from_device_token_getter, **kwargs)


# A plain function, as in the extension: fetched through the class, unbound.
LookupDecorator.from_device = lookup_from_device
