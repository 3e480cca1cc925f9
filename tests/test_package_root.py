"""Package root discovery and the abstraction package kept on the root."""

import builtins
import sys
import types

import pytest

import orvex.abstract.decorator as decorator_module
from orvex.abstract.decorator import LookupDecorator
from support import NO_FILE, PKG_ATTR, Package, add_module, get_lines, impl, paths

Found = impl("found")
INIT = ""  # a package's __init__


def make_module(name, file=INIT, log=None, **attrs):
    """A module; an exception class among `__file__` and `attrs` is raised
    when that attribute is read, a list gives its values read by read. With a
    `log`, reads of __file__, __name__ and the package attribute are logged."""
    attrs["__file__"] = file
    props = {}
    for key, value in list(attrs.items()):
        if isinstance(value, list) or isinstance(value, type) and issubclass(value, BaseException):
            def read(self, value=value):
                if isinstance(value, list):
                    return value.pop(0)
                raise value
            props[key] = property(read)
            del attrs[key]
    if log is not None:
        def __getattribute__(self, attr):
            if attr in ("__file__", "__name__", PKG_ATTR):
                log.append((name, attr))
            return types.ModuleType.__getattribute__(self, attr)
        props["__getattribute__"] = __getattribute__
    module = type("Module", (types.ModuleType,), props)(name)
    if attrs.get("__file__") == INIT:
        attrs["__file__"] = "/%s/__init__.py" % name.replace(".", "/")
    if attrs.get("__file__") is NO_FILE:
        del attrs["__file__"]
    module.__dict__.update(attrs)
    return module


class Modules(dict):
    """The module registry the decorator sees: logs each key asked for."""

    def __init__(self, log, modules):
        super().__init__(modules)
        self.log = log

    def __getitem__(self, key):
        self.log.append(key)
        return super().__getitem__(key)


def fetch_through(monkeypatch, owner_module, files, log=None, log_reads=False):
    """Gives the decorator a `sys` whose modules are made from `files`
    ({name: what make_module takes as __file__}), fetches m through an object of a class of
    `owner_module`, and returns (wrapper or exception, modules, made), where
    made lists the (name, delay) of each abstraction package made."""
    log = [] if log is None else log
    modules = {name: make_module(name, file, log if log_reads else None) for name, file in files.items()}
    made = []

    def factory(name, **kwargs):
        made.append((name, kwargs))
        return Package(log, {(): Found})

    class Sys:
        @property
        def modules(self):
            log.append("sys.modules")
            return Modules(log, modules)

    monkeypatch.setattr(decorator_module, "sys", Sys())
    monkeypatch.setattr(decorator_module, "AbstractPackage", factory)

    class Owner:
        @LookupDecorator(builder=paths(()))
        def m(self):
            pass
    Owner.__module__, Owner.__qualname__ = owner_module, "Owner"
    try:
        return Owner().m, modules, made
    except Exception as exc:
        return exc, modules, made


def asked(log):
    return [entry for entry in log if isinstance(entry, str) and entry not in ("sys.modules", "learn")]


PLAIN = "/a/b/c.py"


@pytest.mark.parametrize("owner, files, root, keys", [
    ("a.b", {"a.b": INIT, "a": INIT}, "a.b", ["a.b"]),
    ("a.b.c", {"a.b.c": PLAIN, "a.b": INIT, "a": INIT}, "a.b", ["a.b.c", "a.b", "a.b"]),
    ("a.b.c", {"a.b.c": PLAIN, "a": INIT}, "a", ["a.b.c", "a.b", "a", "a"]),
    ("a.b.c", {"a.b.c": PLAIN, "a.b": None, "a": INIT}, "a", ["a.b.c", "a.b", "a", "a"]),
    ("a.b.c", {"a.b.c": PLAIN, "a.b": "/a/b/__init__.pyc", "a": INIT}, "a", ["a.b.c", "a.b", "a", "a"]),
    ("a.b.c", {"a.b.c": PLAIN, "a.b": NO_FILE, "a": INIT}, "a", ["a.b.c", "a.b", "a", "a"]),
    ("a.b.c", {"a.b.c": PLAIN, "a.b": AttributeError, "a": INIT}, "a", ["a.b.c", "a.b", "a", "a"]),
])
def test_root(monkeypatch, owner, files, root, keys):
    log = []
    wrapper, modules, made = fetch_through(monkeypatch, owner, files, log)
    assert callable(wrapper), wrapper
    assert asked(log) == keys
    assert made == [(root, {"delay": True})]
    assert [name for name, module in modules.items() if PKG_ATTR in vars(module)] == [root]


@pytest.mark.parametrize("owner, files, error, line, keys", [
    ("a.b", {"a": INIT}, KeyError, 152, ["a.b"]),
    ("a.b", {"a.b": NO_FILE, "a": INIT}, AttributeError, 154, ["a.b"]),
    ("a.b", {"a.b": None, "a": INIT}, AttributeError, 154, ["a.b"]),
    ("a.b", {"a.b": b"/a/b/__init__.py", "a": INIT}, TypeError, 154, ["a.b"]),
    ("a.b.c", {"a.b.c": PLAIN, "a.b": b"/a/b/__init__.py", "a": INIT}, TypeError, 161, ["a.b.c", "a.b"]),
    ("a.b.c", {"a.b.c": PLAIN, "a.b": ValueError, "a": INIT}, ValueError, 161, ["a.b.c", "a.b"]),
    ("m", {"m": "/m.py"}, LookupError, 166, ["m", ""]),
    ("a.b.c", {"a.b.c": PLAIN, "a.b": "/a/b/x.py"}, LookupError, 166, ["a.b.c", "a.b", "a", ""]),
])
def test_root_failures(monkeypatch, owner, files, error, line, keys):
    log = []
    exc, modules, made = fetch_through(monkeypatch, owner, files, log)
    assert type(exc) is error and get_lines(exc) == [line]
    assert asked(log) == keys and made == []
    if error is LookupError:  # the errors of the walk are discarded, not chained
        assert exc.args == ("LookupDecorator must be used within a package. Got %s" % files[owner],)
        assert exc.__context__ is None
    if error is KeyError:
        assert exc.args == (owner,)


def test_walk_order(monkeypatch):
    log = []
    files = {"w.x.y": "/w/x/y.py", "w.x": "/w/x/__init__.pyc", "w": INIT}
    assert callable(fetch_through(monkeypatch, "w.x.y", files, log, log_reads=True)[0])
    assert log[:log.index("learn")] == [
        "sys.modules", "w.x.y", ("w.x.y", "__file__"), ("w.x.y", "__name__"),
        "sys.modules", "w.x", ("w.x", "__file__"),
        "sys.modules", "w", ("w", "__file__"),
        "sys.modules", "w",
        ("w", "__name__"), ("w", PKG_ATTR), ("w", PKG_ATTR),
    ]


def test_file_is_read_again_for_the_message(monkeypatch):
    exc = fetch_through(monkeypatch, "solo", {"solo": ["/solo.py", "/again.py"]})[0]
    assert str(exc) == "LookupDecorator must be used within a package. Got /again.py"
    assert get_lines(exc) == [166]


def owner_in(module):
    class Owner:
        @LookupDecorator(builder=paths(()))
        def m(self):
            pass

        @LookupDecorator(builder=paths(()))
        def n(self):
            pass
    Owner.__module__, Owner.__qualname__ = module, "Owner"
    return Owner


def test_package_made_once_and_learned_on_every_fetch(monkeypatch):
    log = []

    def factory(*args, **kwargs):
        log.append(("make", args, kwargs))
        return Package(log, {(): Found})

    monkeypatch.setattr(decorator_module, "AbstractPackage", factory)
    # The package is named after the root's __name__, not its key in sys.modules.
    root = add_module(monkeypatch, "proot", __name__="renamed")
    add_module(monkeypatch, "proot.sub", file="/proot/sub.py")
    first, second = owner_in("proot"), owner_in("proot.sub")
    first().m()
    second().n()
    first().n()
    package = getattr(root, PKG_ATTR)
    assert isinstance(package, Package) and package.log is log
    assert log == [("make", ("renamed",), {"delay": True}), "learn", ("lookup", ("proot",), (), "Owner"),
                   "learn", ("lookup", ("proot", "sub"), (), "Owner"),
                   "learn", ("lookup", ("proot",), (), "Owner")]


def test_existing_package_is_used(monkeypatch):
    log = []
    monkeypatch.setattr(decorator_module, "AbstractPackage", None)  # never called
    add_module(monkeypatch, "proot", **{PKG_ATTR: Package(log, {(): Found})})
    owner_in("proot")().m()
    assert log == ["learn", ("lookup", ("proot",), (), "Owner")]


def test_package_from_a_module_getattr_is_read_twice(monkeypatch):
    # The presence test and the read are two reads: a __getattr__ that gives
    # the package answers both (the namespace, unchanged, proves nothing here).
    given = []

    def module_getattr(name):
        if name != PKG_ATTR:
            raise AttributeError(name)
        given.append(Package(answers={(): Found}))
        return given[-1]

    add_module(monkeypatch, "proot", __getattr__=module_getattr)
    owner_in("proot")().m()
    assert len(given) == 2 and given[0].log == [] and given[1].log[0] == "learn"


def test_any_error_reading_the_package_means_none(monkeypatch):
    made = []
    stored = Package(answers={(): Found})
    monkeypatch.setattr(decorator_module, "AbstractPackage", lambda *a, **k: made.append(a) or stored)
    add_module(monkeypatch, "proot", cls=type("M", (types.ModuleType,), {
        PKG_ATTR: property(lambda self: self.__dict__["pkg"] if self.__dict__.get("pkg") else 1 / 0,
                           lambda self, value: self.__dict__.update(pkg=value))}))
    owner_in("proot")().m()
    assert made == [("proot",)] and stored.log[0] == "learn"


class NoSetattr(types.ModuleType):
    def __setattr__(self, name, value):
        if name == PKG_ATTR:
            raise ArithmeticError


class DropsSetattr(types.ModuleType):
    def __setattr__(self, name, value):
        pass


def raise_(exc):
    def call(*args, **kwargs):
        raise exc
    return call


@pytest.mark.parametrize("namespace, root, error, line", [
    ({"AbstractPackage": raise_(ArithmeticError)}, {}, ArithmeticError, 176),
    ({"AbstractPackage": None}, {}, TypeError, 176),
    ({}, {"cls": NoSetattr}, ArithmeticError, 176),
    ({}, {"cls": DropsSetattr}, AttributeError, 179),
    ({}, {PKG_ATTR: object()}, AttributeError, 182),
    ({}, {PKG_ATTR: types.SimpleNamespace(learn=raise_(ArithmeticError))}, ArithmeticError, 182),
    ({"AbstractPackage": lambda *a, **k: types.SimpleNamespace(learn=raise_(ArithmeticError))}, {},
     ArithmeticError, 182),
])
def test_package_failures(monkeypatch, namespace, root, error, line):
    monkeypatch.setattr(decorator_module, "AbstractPackage", lambda *a, **k: Package())
    for name, value in namespace.items():
        monkeypatch.setattr(decorator_module, name, value)
    module = add_module(monkeypatch, "proot", **root)
    with pytest.raises(error) as info:
        owner_in("proot")().m
    assert get_lines(info.value) == [line]
    if line == 182:  # a failed learn() leaves the package, found or made, on the root
        package = vars(module)[PKG_ATTR]
        if root:
            assert package is root[PKG_ATTR]
        else:
            assert type(package) is types.SimpleNamespace


@pytest.mark.parametrize("file, line", [("/proot/mod.py", 155), (INIT, 171)])
def test_module_name_unreadable(monkeypatch, file, line):
    add_module(monkeypatch, "proot", **{PKG_ATTR: Package()})
    monkeypatch.setitem(sys.modules, "proot.mod", make_module("proot.mod", file, __name__=ArithmeticError))
    with pytest.raises(ArithmeticError) as info:
        owner_in("proot.mod")().m
    assert get_lines(info.value) == [line]


@pytest.mark.parametrize("name, line", [("sys", 152), ("AbstractPackage", 176)])
def test_names_are_looked_up_at_each_fetch(monkeypatch, name, line):
    monkeypatch.setattr(decorator_module, "AbstractPackage", lambda *a, **k: Package(answers={(): Found}))
    module = add_module(monkeypatch, "proot")
    Owner = owner_in("proot")
    monkeypatch.setattr(builtins, name, getattr(decorator_module, name), raising=False)
    monkeypatch.delattr(decorator_module, name)
    Owner().m()  # taken from the builtins
    monkeypatch.delattr(builtins, name)
    del module.__dict__[PKG_ATTR]
    with pytest.raises(NameError) as info:
        Owner().m
    assert str(info.value) == "name '%s' is not defined" % name and get_lines(info.value) == [line]


# ---- what a fetch takes from the last fetch through the same class

class FileCounter:
    """A namespace key that collides with "__file__": each read of the
    module's __file__ from its namespace compares it once."""

    def __init__(self):
        self.compared = 0

    def __hash__(self):
        return hash("__file__")

    def __eq__(self, other):
        self.compared += 1
        return False


ASKED = []  # what the packages of plan_scene are asked: ("lookup", relpath, seq, name)


def tagged_package(tag):
    return Package(ASKED, {(): impl(tag)})


def plan_scene(monkeypatch):
    """Real modules: the root planroot, planroot.sub (not a package) and
    planroot.sub.mod, which holds Owner; otherroot and otherroot.mod beside
    them. Each root's package answers a class tagged with the root's name."""
    del ASKED[:]
    def module(name, file, tag=None):
        attrs = {PKG_ATTR: tagged_package(tag)} if tag else {}
        return add_module(monkeypatch, name, file="/pkgs/" + file, **attrs)
    mods = {"planroot": module("planroot", "planroot/__init__.py", "planroot"),
            "planroot.sub": module("planroot.sub", "planroot/sub.py"),
            "planroot.sub.mod": module("planroot.sub.mod", "planroot/sub/mod.py"),
            "otherroot": module("otherroot", "otherroot/__init__.py", "otherroot"),
            "otherroot.mod": module("otherroot.mod", "otherroot/mod.py")}
    counter = FileCounter()
    ns = vars(mods["planroot.sub.mod"])
    file = ns.pop("__file__")
    ns[counter], ns["__file__"] = None, file

    class Base:
        pass

    def m(self):
        pass
    Owner = type("Owner", (Base,), {"__module__": "planroot.sub.mod", "m": LookupDecorator(builder=paths(()))(m)})
    return Owner, Base, mods, counter


def model_fetch(owner):
    """The root walk, the package and the names in plain Python: what the
    package is asked (relpath and name) and the tag of what it answers."""
    modules = vars(decorator_module)["sys"].modules
    module = modules[owner.__module__]
    root = module if module.__file__.endswith("__init__.py") else None
    names = module.__name__.split(".")
    for i in range(len(names) - 1, -1, -1):
        try:
            if root is None and modules[".".join(names[:i])].__file__.endswith("__init__.py"):
                root = modules[".".join(names[:i])]
        except (KeyError, AttributeError):
            pass
    if root is None:
        return LookupError
    relpath, name = tuple(owner.__module__.split(".")), owner.__qualname__.split(".")[0]
    return relpath, name, getattr(root, PKG_ATTR).lookup(relpath, (), name).m()[0]


def replace(mp, name, file, tag):
    module = types.ModuleType(name)
    vars(module).update({"__file__": "/pkgs/" + file, PKG_ATTR: tagged_package(tag)})
    mp.setitem(sys.modules, name, module)


def make_root(mp, module, tag):
    mp.setitem(vars(module), "__file__", vars(module)["__file__"].replace(".py", "/__init__.py"))
    mp.setitem(vars(module), PKG_ATTR, tagged_package(tag))


def set_qualname(mp, owner, value):
    old, owner.__qualname__ = owner.__qualname__, value
    return lambda: setattr(owner, "__qualname__", old)


PLAN_CHANGES = {
    "owner __module__": lambda mp, Owner, Base, mods: mp.setattr(Owner, "__module__", "otherroot.mod"),
    "owner __qualname__": lambda mp, Owner, Base, mods: set_qualname(mp, Owner, "Renamed"),
    "base class": lambda mp, Owner, Base, mods: mp.setattr(Base, "x", 1, raising=False),
    "sys rebound in the decorator's globals": lambda mp, Owner, Base, mods: mp.setattr(
        decorator_module, "sys", types.SimpleNamespace(modules=dict(sys.modules, planroot=mods["otherroot"]))),
    "sys.modules replaced": lambda mp, Owner, Base, mods: mp.setattr(
        sys, "modules", dict(sys.modules, planroot=mods["otherroot"])),
    "owner's module replaced": lambda mp, Owner, Base, mods: replace(mp, "planroot.sub.mod", "new/__init__.py", "new"),
    "owner's module __file__": lambda mp, Owner, Base, mods: make_root(mp, mods["planroot.sub.mod"], "mod"),
    "nearer package put in": lambda mp, Owner, Base, mods: replace(mp, "planroot.sub", "sub/__init__.py", "sub"),
    "nearer module __file__": lambda mp, Owner, Base, mods: make_root(mp, mods["planroot.sub"], "sub"),
    "root __file__": lambda mp, Owner, Base, mods: mp.setitem(vars(mods["planroot"]), "__file__", "/pkgs/x.py"),
    "root replaced": lambda mp, Owner, Base, mods: replace(mp, "planroot", "root2/__init__.py", "root2"),
    "root's package replaced": lambda mp, Owner, Base, mods: mp.setitem(
        vars(mods["planroot"]), PKG_ATTR, tagged_package("replaced")),
}


@pytest.mark.parametrize("change", PLAN_CHANGES)
def test_what_a_fetch_takes_from_the_last_follows_changes(monkeypatch, change):
    Owner, Base, mods, counter = plan_scene(monkeypatch)
    planned = model_fetch(Owner)
    assert planned[2] == "planroot"
    for _ in range(2):
        assert outcome(Owner) == planned
    compared = counter.compared
    assert outcome(Owner) == planned and counter.compared == compared  # the walk was not read again
    with monkeypatch.context() as mp:
        undo = PLAN_CHANGES[change](mp, Owner, Base, mods)
        expected = model_fetch(Owner)
        assert expected != planned or change == "base class"  # (that one changes no answer)
        assert outcome(Owner) == expected
        if callable(undo):
            undo()
    assert outcome(Owner) == planned  # undone, followed again


def test_a_class_of_another_metaclass_is_read_at_every_fetch(monkeypatch):
    Owner, Base, mods, counter = plan_scene(monkeypatch)
    reads = []

    class Meta(type):
        def __getattribute__(cls, name):
            reads.append(name)
            return type.__getattribute__(cls, name)

    Other = Meta("Other", (), dict(vars(Owner)))
    expected = model_fetch(Other)
    for _ in range(3):
        del reads[:]
        assert outcome(Other) == expected
        assert reads.count("__module__") == 2


def outcome(owner):
    """(relpath, name, tag) as the fetch asked and ran, or LookupError."""
    try:
        tag = owner().m()[0]
    except LookupError:
        return LookupError
    _, relpath, _, name = ASKED[-1]
    return relpath, name, tag
