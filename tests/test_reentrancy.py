"""Re-entrancy: the code that a fetch calls out to (getter, builder, learn,
lookup, the module registry, attribute hooks, __str__, __hash__, __del__)
changes what the fetch is reading at that moment.

Each case runs one fetch (and a call of what it returns) in a scene whose
callback points can run one action. What the fetch gives must follow from the
order of its reads: a value read before the callback is the one used, a read
after it sees the change. The actions drop the last reference to what they
remove, so every case runs first in a child interpreter with the memory
allocator's debug hooks (freed memory is overwritten), where a use after
free crashes the child instead of pytest; then again in this process, where
--refleaks watches it.
"""

import collections
import functools
import gc
import itertools
import json
import os
import sys
import types
import weakref

import pytest

import orvex.abstract.decorator as decorator_module
from orvex.abstract.decorator import LookupDecorator, default_token_getter, from_device_token_getter
from support import PKG_ATTR, PREFIX, Package, add_module, module_entries, package_root, paths
from support import impl as tagged
from support import run_python

ROOT = "reentry_root"
MOD = ROOT + ".mod"
OTHER = "reentry_other"
GLOBALS = ("sys", "functools", "AbstractPackage", "default_token_getter",
           "from_device_token_getter", "LookupDecorator")
MISSING = object()

current = None  # the scene of the running case


def fire(point):
    if current is not None:
        current.fire(point)


# ---- objects whose reads, calls and releases are callback points

class Module(types.ModuleType):
    """Fires "<label>.<name>" after __file__, __name__ or the package attribute is read."""

    def __getattribute__(self, name):
        value = super().__getattribute__(name)
        if name in ("__file__", "__name__", PKG_ATTR):
            fire(super().__getattribute__("__dict__")["_label"] + "." + name)
        return value


class OwnerMeta(type):
    """Fires "owner.<name>" right after __module__ or __qualname__ is read."""

    def __getattribute__(cls, name):
        value = super().__getattribute__(name)
        if name in ("__module__", "__qualname__"):
            fire("owner." + name)
        return value


class FoundMeta(type):
    """Found classes: fire "found.<name>" before a plain attribute is read, "found.bool" on truth."""

    def __getattribute__(cls, name):
        if not name.startswith("__"):
            fire("found." + name)
        return super().__getattribute__(name)

    def __bool__(cls):
        fire("found.bool")
        return True


class Obj:
    """Fires "obj.<name>" after os or device is read (or failed to be); str() fires "obj.str"."""

    def __getattribute__(self, name):
        try:
            return object.__getattribute__(self, name)
        finally:
            if name in ("os", "device"):
                fire("obj." + name)

    def __str__(self):
        fire("obj.str")
        return "OBJ"


class Seq(tuple):
    """A search path: fires "seq.str" when shown in a message, "seq.del" when freed."""

    def __str__(self):
        fire("seq.str")
        return "<%s>" % ".".join(self)

    def __del__(self):
        fire("seq.del")


class Holder:
    """A found object holding the nested class: fires "holder.del" when freed."""

    def __init__(self, **attrs):
        vars(self).update(attrs)

    def __del__(self):
        fire("holder.del")


class KeyStr(str):
    """A module name: its hash fires "key.hash", its comparison "key.eq"."""

    def __hash__(self):
        fire("key.hash")
        return str.__hash__(self)

    def __eq__(self, other):
        fire("key.eq")
        return str.__eq__(self, other)


class Keywords:
    """A builder-keywords mapping that is not a dict: keys() fires "keywords"."""

    def keys(self):
        fire("keywords")
        return []

    def __getitem__(self, key):
        raise KeyError(key)


class Pkg:
    """An abstraction package that logs learn() and lookup() under its label."""

    def __init__(self, label, answers):
        self.label = label
        self.answers = answers

    def learn(self):
        fire("learn")
        current.log.append("learn " + self.label)

    def lookup(self, relpath, seq, name):
        fire("lookup")
        current.log.append("%s:%s" % (self.label, ".".join(seq)))
        found = self.answers.get(tuple(seq))
        if found is None:
            raise KeyError(seq)
        return found() if type(found) is types.FunctionType else found


def impl(tag, *methods):
    def method(name):
        return lambda self: tag + "." + name
    body = {name: method(name) for name in methods}
    body["__module__"] = "impls"
    return FoundMeta(tag, (), body)


def getter(obj, attrs):
    fire("getter")
    return default_token_getter(obj, attrs)


def builder(tokens):
    fire("builder")

    def sequence():
        for path in (tuple(tokens), ()):
            fire("iter")
            yield Seq(path)
    return sequence()


def m(self):
    return "generic"


class Scene:
    """Root ROOT (a package carrying the abstraction package p1), owner
    module MOD under it, and Owner, whose m carries LookupDecorator("os",
    builder=builder, attr_getter=getter); obj is an Owner whose os is "a".

    The scene keeps no reference to the modules or packages, so that an
    action that removes them frees them."""

    def __init__(self):
        self.log = []
        self.actions = {}
        self.counts = collections.Counter()
        self.A, self.B, self.G = impl("A", "m", "n"), impl("B", "m", "n"), impl("G", "m", "n")
        self.E, self.F = impl("E", "n"), impl("F", "m")
        self.packages = {}
        root = self.module(ROOT, "root", "/reentry/%s/__init__.py" % ROOT)
        setattr(root, PKG_ATTR, self.package("p1", {("a",): self.A, ("b",): self.B, (): self.G}))
        self.module(MOD, "mod", "/reentry/%s/mod.py" % ROOT)
        self.Owner = OwnerMeta("Owner", (Obj,), {
            "__module__": MOD, "__qualname__": "Owner",
            "m": LookupDecorator("os", builder=builder, attr_getter=getter)(m)})
        self.obj = self.Owner()
        self.obj.os = "a"

    def module(self, name, label, file, key=None):
        module = Module(name)
        vars(module).update(__file__=file, _label=label)
        sys.modules[key or name] = module
        return module

    def package(self, label, answers):
        package = Pkg(label, answers)
        self.packages[label] = weakref.ref(package)
        return package

    def other_root(self, key=OTHER):
        """A second package root carrying p2, which finds B for ("a",)."""
        root = self.module(OTHER, "other", "/reentry/%s/__init__.py" % OTHER, key)
        setattr(root, PKG_ATTR, self.package("p2", {("a",): self.B}))
        return root

    def pkg(self, label):
        return self.packages[label]()

    @property
    def d(self):
        return vars(self.Owner)["m"]

    def fire(self, point):
        self.counts[point] += 1
        action = self.actions.get((point, self.counts[point]))
        if action is not None:
            del self.actions[point, self.counts[point]]
            action(self)


def describe(exc):
    context = exc.__context__
    return ["error", type(exc).__name__, str(exc),
            [[name[len(PREFIX):], line] for name, line in module_entries(exc)],
            None if context is None else type(context).__name__]


def fetch(s):
    try:
        got = s.obj.m
    except Exception as exc:
        return describe(exc)
    if not callable(got):
        return ["value", got]
    try:
        return ["ok", got()]
    except Exception as exc:
        return describe(exc)


# ---- what each case expects

def ok(result, *log):
    return [["ok", result], list(log)]


def err(exc, message, entries, *log, context=None):
    return [["error", exc, message, entries, context], list(log)]


def at(*lines, fn="LookupDecorator.__get__"):
    return [[fn, line] for line in lines]


LEARNED = ("learn p1", "p1:a")
GONE = "'%s'" % ROOT
MADE = ok("F.m", "made %s delay=True" % ROOT, "learn made", "made:a")


def set_pkg(label):
    return lambda s: setattr(sys.modules[ROOT], PKG_ATTR, s.package(label, {("a",): s.B}))


def drop_root(s):
    """Removes the root and its package; both are freed unless a fetch holds them."""
    root = sys.modules.pop(ROOT)
    vars(root).pop(PKG_ATTR, None)
    del root
    gc.collect()


def drop_owner_attribute(s):
    delattr(s.Owner, "m")
    gc.collect()


def replace_lookup(s):
    s.pkg("p1").lookup = lambda relpath, seq, name: current.log.append("new:" + ".".join(seq)) or s.B


def factory(name, delay):
    fire("factory")
    current.log.append("made %s delay=%s" % (name, delay))
    return current.package("made", {("a",): current.F})


def unmade(s):
    """No package on the root yet; AbstractPackage is `factory`."""
    delattr(sys.modules[ROOT], PKG_ATTR)
    decorator_module.AbstractPackage = factory


def package_getattr(s):
    """The root's module __getattr__ makes packages g1, g2, ... on demand."""
    made = itertools.count(1)
    vars(sys.modules[ROOT])["__getattr__"] = lambda name: s.package("g%d" % next(made), {("a",): s.A})


def rename(s):
    s.d._method_name = "n"


class Functools:
    """A functools stand-in whose wraps() fires "wraps" before delegating."""

    @staticmethod
    def wraps(func):
        fire("wraps")
        return functools.wraps(func)


class Custom(dict):
    """Device settings whose get() fires "custom.get"."""

    def get(self, key, default=None):
        fire("custom.get")
        return dict.get(self, key, default)


def device_settings(s):
    s.d._getter = from_device_token_getter
    s.obj.device = types.SimpleNamespace(custom=Custom(abstraction={"order": ["os"]}))


def from_device_twice(s):
    """Probe: from_device bare, then with arguments, making a subclass whose __init__ fires "init"."""
    class Sub(LookupDecorator):
        def __init__(self, *args, **kwargs):
            fire("init")
            super().__init__(*args, **kwargs)

    decorator_module.LookupDecorator = Sub
    bare = LookupDecorator.from_device(m)
    outcome = [type(bare).__name__, bare._getter is from_device_token_getter, bare._method_name]
    try:
        LookupDecorator.from_device("os", attr_getter=None)
    except Exception as exc:
        return ["value", outcome + describe(exc)]
    return ["value", outcome]


Case = collections.namedtuple("Case", "point action expected nth setup then probe")


def case(point, action, expected, nth=1, setup=None, then=None, probe=None):
    return Case(point, action, expected, nth, setup, then, probe)


CASES = {
    # Decorator attributes: the getter's are read before it is called, the
    # builder's after, the method name after the search and again for the message.
    "getter rebinds _attrs": case("getter", lambda s: setattr(s.d, "_attrs", ("zz",)), ok("A.m", *LEARNED)),
    "getter rebinds _builder": case(
        "getter", lambda s: setattr(s.d, "_builder", lambda tokens: [()]), ok("G.m", "learn p1", "p1:")),
    "getter deletes _builder": case(
        "getter", lambda s: delattr(s.d, "_builder"),
        err("AttributeError", "'LookupDecorator' object has no attribute '_builder'", at(188), "learn p1")),
    "getter sets _builder_kwargs to None": case(
        "getter", lambda s: setattr(s.d, "_builder_kwargs", None),
        err("TypeError", "argument after ** must be a mapping, not NoneType", at(188), "learn p1")),
    "getter deletes the class attribute": case(
        "getter", drop_owner_attribute, ok("A.m", *LEARNED),
        then=err("AttributeError", "'Owner' object has no attribute 'm'", [])),
    "getter fetches the method again": case(
        "getter", lambda s: current.log.append("inner " + s.obj.m()),
        ok("A.m", "learn p1", "learn p1", "p1:a", "inner A.m", "p1:a")),
    "builder deletes _method_name": case(
        "builder", lambda s: delattr(s.d, "_method_name"),
        err("AttributeError", "'LookupDecorator' object has no attribute '_method_name'", at(227), *LEARNED,
            context="AttributeError")),
    "keywords mapping rebinds _builder": case(
        "keywords", lambda s: setattr(s.d, "_builder", None), ok("A.m", *LEARNED),
        setup=lambda s: setattr(s.d, "_builder_kwargs", Keywords())),
    "method read renames the method": case(
        "found.m", rename,
        err("LookupError", "Class 'E' in 'impls' is missing method definition 'n'", at(224), *LEARNED,
            context="AttributeError"),
        setup=lambda s: s.pkg("p1").answers.update({("a",): s.E})),
    "freed outer object renames the method": case(
        "holder.del", rename, ok("A.n", *LEARNED),
        setup=lambda s: (setattr(s.Owner, "__qualname__", "Outer.Owner"),
                         s.pkg("p1").answers.update({("a",): lambda: Holder(Owner=s.A)}))),
    "truth test deletes the method": case(
        "found.bool", lambda s: delattr(s.A, "m"),
        err("LookupError", "Class 'A' in 'impls' is missing method definition 'm'", at(224), *LEARNED,
            context="AttributeError")),

    # The module registry and the root: sys.modules is read at each step of
    # the walk and again for the root it stops at.
    "owner module read removes the module": case(
        "owner.__module__", lambda s: sys.modules.pop(MOD), err("KeyError", "'%s'" % MOD, at(152))),
    "owner module read rebinds sys": case(
        "owner.__module__", lambda s: setattr(decorator_module, "sys", types.SimpleNamespace(
            modules={ROOT: s.other_root()})), ok("B.m", "learn p2", "p2:a")),
    "module key hash removes the module": case(
        "key.hash", lambda s: sys.modules.pop(MOD), err("KeyError", "'%s'" % MOD, at(152)),
        setup=lambda s: setattr(s.Owner, "__module__", KeyStr(MOD))),
    "module key comparison renames the method": case(
        "key.eq", rename, ok("A.n", *LEARNED), setup=lambda s: setattr(s.Owner, "__module__", KeyStr(MOD))),
    "module __getattr__ gives a new package each time": case(
        "root.__name__", package_getattr, ok("A.m", "learn g2", "g2:a"),
        setup=lambda s: delattr(sys.modules[ROOT], PKG_ATTR)),
    "root file read removes the root": case("root.__file__", drop_root, err("KeyError", GONE, at(169))),
    "root file read replaces the root": case(
        "root.__file__", lambda s: s.other_root(key=ROOT), ok("B.m", "learn p2", "p2:a")),
    "root name read rebinds AbstractPackage": case(
        "root.__name__", lambda s: setattr(decorator_module, "AbstractPackage", factory), MADE,
        setup=lambda s: delattr(sys.modules[ROOT], PKG_ATTR)),
    "presence test then removal": case(
        "root." + PKG_ATTR, lambda s: delattr(sys.modules[ROOT], PKG_ATTR),
        err("AttributeError", "module '%s' has no attribute '%s'" % (ROOT, PKG_ATTR), at(179))),
    "factory stores its own package first": case("factory", set_pkg("p2"), MADE, setup=unmade),
    "factory removes the root": case("factory", drop_root, MADE, setup=unmade),
    "learn replaces the package": case(
        "learn", set_pkg("p2"), ok("A.m", *LEARNED), then=ok("B.m", "learn p2", "p2:a")),
    "learn removes the root": case("learn", drop_root, ok("A.m", *LEARNED), then=err(
        "LookupError", "LookupDecorator must be used within a package. Got /reentry/%s/mod.py" % ROOT,
        at(166))),

    # The search: the package is read once, its lookup once per search path.
    "lookup renames the method": case("lookup", rename, ok("A.n", *LEARNED)),
    "lookup replaces its own method": case(
        "lookup", replace_lookup, ok("B.m", "learn p1", "p1:a", "new:"),
        setup=lambda s: s.pkg("p1").answers.pop(("a",))),
    "iteration replaces the package": case(
        "iter", set_pkg("p2"), ok("G.m", "learn p1", "p1:a", "p1:"), nth=2,
        setup=lambda s: s.pkg("p1").answers.pop(("a",))),
    "freed search path replaces lookup": case(
        "seq.del", replace_lookup, ok("B.m", "learn p1", "p1:a", "new:"),
        setup=lambda s: s.pkg("p1").answers.pop(("a",))),
    "message str drops everything": case(
        "seq.str", lambda s: (drop_owner_attribute(s), drop_root(s)),
        err("LookupError", "Cannot find combination based on the following criterion: \n relative path = "
            "('%s', 'mod')\n   search path = <>\n        target = Owner" % ROOT, at(208), "learn p1", "p1:a",
            "p1:"),
        setup=lambda s: s.pkg("p1").answers.clear()),

    # The wrapper: functools is read after the search; wraps() runs before
    # the wrapper exists, and the found method is held from then on.
    "builder deletes functools": case(
        "builder", lambda s: delattr(decorator_module, "functools"),
        err("NameError", "name 'functools' is not defined", at(229), *LEARNED)),
    "learn rebinds functools": case(
        "learn", lambda s: setattr(decorator_module, "functools", types.SimpleNamespace(
            wraps=lambda func: lambda wrapper: "wrapped " + wrapper.__qualname__)),
        [["value", "wrapped LookupDecorator.__get__.<locals>.wrapper"], list(LEARNED)]),
    "wraps frees the found method": case(
        "wraps", lambda s: (delattr(s.A, "m"), gc.collect()), ok("A.m", *LEARNED),
        setup=lambda s: setattr(decorator_module, "functools", Functools)),

    # The object's tokens: the presence test and the value are two reads.
    "token presence then removal": case(
        "obj.os", lambda s: delattr(s.obj, "os"),
        err("AttributeError", "'Owner' object has no attribute 'os'",
            at(185) + at(31, fn="default_token_getter"), "learn p1")),
    "builder changes the token": case(
        "builder", lambda s: setattr(s.obj, "os", "b"), ok("A.m", *LEARNED),
        then=ok("B.m", "learn p1", "p1:b")),
    "device replaced between its reads": case(
        "obj.device", lambda s: setattr(s.obj, "device", types.SimpleNamespace(os="b")),
        ok("B.m", "learn p1", "p1:b"), nth=2,
        setup=lambda s: (delattr(s.obj, "os"), setattr(s.obj, "device", types.SimpleNamespace(os="a")))),
    "device removed before its last read": case(
        "obj.device", lambda s: delattr(s.obj, "device"),
        err("AttributeError", "'Owner' object has no attribute 'device'",
            at(185) + at(35, fn="default_token_getter"), "learn p1"), nth=2,
        setup=lambda s: (delattr(s.obj, "os"), setattr(s.obj, "device", types.SimpleNamespace(os="a")))),
    "message str drops the class attribute": case(
        "obj.str", drop_owner_attribute,
        err("AttributeError", "No attribute 'os' on 'OBJ'", at(185) + at(33, fn="default_token_getter"),
            "learn p1"),
        setup=lambda s: delattr(s.obj, "os")),

    # The device getter looks default_token_getter up after reading the
    # settings; lookup_from_device reads its two names before it constructs.
    "device settings rebind default_token_getter": case(
        "custom.get", lambda s: setattr(decorator_module, "default_token_getter", lambda obj, names: ("b",)),
        ok("B.m", "learn p1", "p1:b"), setup=device_settings),
    "construction rebinds the names of from_device": case(
        "init", lambda s: (setattr(decorator_module, "from_device_token_getter", None),
                           setattr(decorator_module, "LookupDecorator", None)),
        [["value", ["Sub", True, "m", "error", "TypeError", "'NoneType' object is not callable",
                    at(258, fn="lookup_from_device"), None]], []],
        probe=from_device_twice),
}


def run_case(name):
    """Runs the case `name` in a new scene; returns its outcome(s) in JSON form."""
    global current
    spec = CASES[name]
    saved = {key: vars(decorator_module).get(key, MISSING) for key in GLOBALS}
    try:
        current = s = Scene()
        if spec.setup:
            spec.setup(s)
        s.actions[spec.point, spec.nth] = spec.action
        s.counts.clear()
        outcome = [(spec.probe or fetch)(s), s.log]
        if spec.then is not None:
            s.log = []
            outcome += [fetch(s), s.log]
        if s.actions:
            outcome.append("callback point not reached")
        return json.loads(json.dumps(outcome))
    finally:
        current = None
        for key in (ROOT, MOD, OTHER):
            sys.modules.pop(key, None)
        for key, value in saved.items():
            if value is MISSING:
                vars(decorator_module).pop(key, None)
            else:
                setattr(decorator_module, key, value)


def expected_outcome(name):
    spec = CASES[name]
    return json.loads(json.dumps(spec.expected + (spec.then or [])))


@pytest.fixture(scope="module")
def child_outcomes():
    """Every case, run once in a child under -X dev (debug hooks on the allocators)."""
    proc = run_python("""
        import json, sys
        sys.path.insert(0, %r)
        import test_reentrancy
        for name in test_reentrancy.CASES:
            print("CASE " + json.dumps([name, test_reentrancy.run_case(name)]), flush=True)
    """ % os.path.dirname(os.path.abspath(__file__)), flags=("-X", "dev"))
    found = dict(json.loads(line[5:]) for line in proc.stdout.splitlines() if line.startswith("CASE "))
    return found, proc


@pytest.mark.parametrize("name", list(CASES))
def test_callback_changes_what_is_read(name, child_outcomes):
    found, proc = child_outcomes
    assert name in found, "the child stopped before this case (exit %s):\n%s" % (
        proc.returncode, proc.stderr[-4000:])
    expected = expected_outcome(name)
    assert found[name] == expected
    assert run_case(name) == expected


def test_unbounded_reentry_is_a_recursion_error():
    # A getter that fetches the method again, through Python code or through
    # the builtin getattr alone: the recursion limit stops it, in the main
    # thread and in a thread with the default stack size.
    proc = run_python("""
        import sys, threading, types
        from orvex.abstract.decorator import LookupDecorator
        root = types.ModuleType("deep_root")
        root.__file__ = "/deep/deep_root/__init__.py"
        root._LookupDecorator__abstract_pkg = types.SimpleNamespace(learn=lambda: None)
        sys.modules["deep_root"] = root

        def fetch_again(obj, attrs):
            return obj.m

        class Python:
            __module__ = "deep_root"

            @LookupDecorator(attr_getter=fetch_again)
            def m(self):
                pass

        class Builtin:
            __module__ = "deep_root"

            @LookupDecorator(attr_getter=getattr)
            def m(self):
                pass
        Builtin.__dict__["m"]._attrs = "m"  # getattr(obj, "m")

        def fetch(cls):
            try:
                cls().m
            except RecursionError:
                print("RecursionError", cls.__name__)

        for cls in (Python, Builtin):
            fetch(cls)
            thread = threading.Thread(target=fetch, args=(cls,))
            thread.start()
            thread.join()
    """, flags=("-X", "dev"))
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.splitlines() == ["RecursionError Python"] * 2 + ["RecursionError Builtin"] * 2


# ---- the root walk: code run by a plain read of sys.modules or of a module

class Collider:
    """A namespace key whose hash is that of "__file__": a read of the
    module's __file__ compares it with the key, which runs `action` once."""

    action = None

    def __hash__(self):
        return hash("__file__")

    def __eq__(self, other):
        action, self.action = self.action, None
        if action is not None:
            action()
        return False


def walk_scene(monkeypatch, root):
    """Root `root` (its package finds "first") and `root`.mod, which holds
    the class Owner; a second root, not in sys.modules, whose package finds
    "other". Returns (Owner, the owner module, the second root)."""
    package_root(monkeypatch, root, {(): tagged("first")})
    owner_module = add_module(monkeypatch, root + ".mod", file="/pkgs/%s/mod.py" % root)
    other = types.ModuleType(root)
    vars(other).update({"__file__": "/other/%s/__init__.py" % root, PKG_ATTR: Package(answers={(): tagged("other")})})
    Owner = type("Owner", (), {"__module__": root + ".mod", "m": LookupDecorator(builder=paths(()))(m)})
    return Owner, owner_module, other


def collide_on_file(module, action):
    """Puts a Collider ahead of module's __file__, so that it runs `action` at the next read."""
    key, ns = Collider(), vars(module)
    file = ns.pop("__file__")
    ns[key] = None
    ns["__file__"] = file
    key.action = action


def rebind_sys(monkeypatch, other):
    return lambda: monkeypatch.setattr(decorator_module, "sys", types.SimpleNamespace(modules={other.__name__: other}))


# The walk reads sys.modules[parent].__file__, then sys.modules[parent] again for the root.
@pytest.mark.parametrize("where, change", [
    ("root", "replace the entry"),
    ("root", "rebind sys"),
    ("owner module", "rebind sys"),
])
def test_reads_of_the_walk_follow_code_run_by_a_dict_lookup(monkeypatch, where, change):
    root = "collide_root"
    Owner, owner_module, other = walk_scene(monkeypatch, root)
    actions = {"rebind sys": rebind_sys(monkeypatch, other),
               "replace the entry": lambda: monkeypatch.setitem(sys.modules, root, other)}
    collide_on_file(sys.modules[root] if where == "root" else owner_module, actions[change])
    assert Owner().m()[0] == "other"


RUNS = itertools.count()


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="from 3.12 on, collections wait for the interpreter loop")
@pytest.mark.no_refleaks  # each run takes a new module name
def test_collection_during_the_walk_rebinds_sys(monkeypatch):
    # A chain of cyclic garbage: every collection finds one, until the
    # owner module's __file__ has been read; the next collection, in the
    # walk up to the root if the walk allocates, rebinds sys.
    root = "gc_root%d" % next(RUNS)  # a name the walk has not seen
    Owner, owner_module, other = walk_scene(monkeypatch, root)
    state = {"armed": False, "rebound": False, "old root read": False, "stale": False}

    class Garbage:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            if state["rebound"]:
                return
            if state["armed"]:
                state["rebound"] = True
                rebind_sys(monkeypatch, other)()
            else:
                Garbage()

    collide_on_file(owner_module, lambda: state.update(armed=True))
    collide_on_file(sys.modules[root], lambda: state.update({"old root read": True, "stale": state["rebound"]}))
    obj = Owner()
    thresholds = gc.get_threshold()
    gc.collect()
    Garbage()
    gc.set_threshold(1)
    try:
        found = obj.m
    finally:
        gc.set_threshold(*thresholds)
        state["rebound"] = True
        gc.collect()
    # Read before sys is rebound, the old registry gives the first root; a
    # walk that reads it after has missed the change. Else the other root.
    assert (found()[0], state["stale"]) == ("first" if state["old root read"] else "other", False)
