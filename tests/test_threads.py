"""Threads: many threads fetch, call and construct through the module while
another thread rebinds and deletes what they read (tokens, the class
attribute, decorator attributes, the root's package, the root's entry in
sys.modules, module globals). Every outcome must be one that some order of
those changes allows.

The stress runs in a child interpreter (a crash fails the test) with the
allocator's debug hooks on (-X dev) and a switch interval of a microsecond.

Waiting for another thread's learning: a learner held inside indexing while
the main thread waits, or while another thread initialises the package anew.
"""

import json
import signal
import textwrap
import threading

import pytest

import orvex.abstract.package as package_mod
from orvex.abstract.package import AbstractPackage
from support import add_module, run_python

WATCHDOG = 5  # seconds before a wait that should have ended is given up

THREADS = 8
ITERATIONS = 1500  # per thread, times stress_rounds

LAYOUT = {
    "__init__.py": "",
    "ops.py": """
        from orvex.abstract import LookupDecorator

        class Device:
            def __init__(self, order, os="alpha"):
                self.custom = {"abstraction": {"order": order}}
                self.os = os

        class Ops:
            def __init__(self, device, **tokens):
                self.device = device
                vars(self).update(tokens)

            @LookupDecorator("os")
            def run(self, x, **kwargs):
                return "generic", self, x, kwargs

            @LookupDecorator("os", mandatory=1)
            def strict(self):
                return "generic", self

            @LookupDecorator.from_device
            def probe(self):
                return "generic", self

            @LookupDecorator.from_device("os")
            def info(self):
                return "generic", self

            @LookupDecorator("nosuch")
            def broken(self):
                return "generic", self
    """,
    "alpha/__init__.py": "",
    "alpha/ops.py": """
        from .. import ops

        class Ops(ops.Ops):
            def run(self, x, **kwargs):
                return "alpha", self, x, kwargs

            def strict(self):
                return "alpha", self

            def probe(self):
                return "alpha", self

            def info(self):
                return "alpha", self
    """,
    "beta/__init__.py": "",
    "beta/ops.py": """
        class Ops:
            def run(self, x, **kwargs):
                return "beta", self, x, kwargs

            def strict(self):
                return "beta", self

            def info(self):
                raise NotImplementedError("beta")
    """,
}

STRESS = r"""
import functools, gc, json, random, sys, threading, time, traceback, types
from collections import Counter
sys.path.insert(0, ROOT_DIR)
import orvex.abstract.decorator as dm
from orvex.abstract import AbstractPackage, LookupDecorator, default_builder
from orvex.abstract.decorator import default_token_getter as dtg, from_device_token_getter as fdtg
import stress_pkg
import stress_pkg.ops as ops
import stress_pkg.alpha.ops, stress_pkg.beta.ops

PKG_ATTR = "_LookupDecorator__abstract_pkg"
WRAPPER = "orvex.abstract.decorator.LookupDecorator.__get__.wrapper"
TAG = {"alpha": "alpha", "beta": "beta", "gamma": "generic", None: "generic"}
MODULE_OF = {"alpha": "stress_pkg.alpha.ops", "beta": "stress_pkg.beta.ops", "generic": "stress_pkg.ops"}
Ops, Device = ops.Ops, ops.Device
D = {name: Ops.__dict__[name] for name in ("run", "strict", "probe", "info", "broken")}
GENERIC_RUN = D["run"]._method

# Objects the mutator leaves alone, and objects whose tokens and device
# settings it changes (their os may also be deleted: the device's "alpha" is read).
FIXED = [Ops(Device(["os"]), os=os) for os in TAG]
MOVING = [Ops(Device(["os"]), os=os) for os in TAG]
OBJECTS = FIXED + MOVING
SHARED = [None] * 4  # wrappers fetched by one thread and called by others

# Errors that a change of the mutator can cause, whatever the object.
ANY_FETCH = {
    ("AttributeError", "'LookupDecorator' object has no attribute '_builder_kwargs'"),  # strict only
    ("LookupError", "LookupDecorator must be used within a package. Got %s" % ops.__file__),
    ("KeyError", "'stress_pkg'"),  # the root left sys.modules between the walk and its re-read
    ("ImportError", "abstraction package root 'stress_pkg' must be imported first: it is not in sys.modules"),
}
NO_OS = ("AttributeError", "'Ops' object has no attribute 'os'")  # deleted between its two reads


def entries(exc):
    found, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "src/orvex/abstract/decorator":
            found.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def tags(obj):
    # Tags the object's tokens can select; "generic" always (an alternative
    # decorator or builder may stand in).
    if obj in FIXED:
        return {TAG[obj.__dict__["os"]], "generic"}
    return {"alpha", "beta", "generic"}


def not_found(seq):
    return ("Cannot find combination based on the following criterion: \n relative path = "
            "('stress_pkg', 'ops')\n   search path = %s\n        target = Ops" % (seq,))


def error_ok(exc, obj, extra=()):
    key = (type(exc).__name__, str(exc) if not isinstance(exc, KeyError) else repr(exc.args[0]))
    return key in ANY_FETCH or key in extra or (obj in MOVING and key == NO_OS)


def check_result(obj, result, tagset, wrapper=None):
    tag = result[0]
    assert tag in tagset and result[1] is obj, (tag, tagset)
    if wrapper is not None:  # the metadata comes from the method it calls
        assert wrapper.__module__ == MODULE_OF[tag] and wrapper.__wrapped__.__module__ == MODULE_OF[tag]
    return tag


def op_run(rng, obj):
    x = rng.random()
    try:
        w = obj.run
    except Exception as exc:
        # The class attribute was deleted before the fetch, or during it
        # (then the generic class, found for the root, lacks it).
        assert error_ok(exc, obj, {("AttributeError", "'Ops' object has no attribute 'run'"), (
            "LookupError", "Class 'Ops' in 'stress_pkg.ops' is missing method definition 'run'")}), exc
        return "run " + type(exc).__name__
    tag = check_result(obj, w(x, k=x), tags(obj), w)
    assert w(x, k=x)[2:] == (x, {"k": x})
    time.sleep(0)
    assert w(0)[0] == tag  # a kept wrapper keeps its implementation
    SHARED[rng.randrange(len(SHARED))] = w  # for other threads to call
    return "run " + tag


def op_shared(rng, obj):
    w = SHARED[rng.randrange(len(SHARED))]
    if w is None:
        return "shared none"
    tag, instance, x, kwargs = w(rng.random())
    assert w.__module__ == MODULE_OF[tag] and isinstance(instance, Ops), (tag, w.__module__)
    return "shared call"


def op_strict(rng, obj):
    try:
        return "strict " + check_result(obj, obj.strict(), tags(obj))
    except LookupError as exc:
        if str(exc) in (not_found(("gamma",)), not_found(None)):
            assert entries(exc) == [("orvex.abstract.decorator.LookupDecorator.__get__", 208)], entries(exc)
            return "strict not found"
        assert error_ok(exc, obj), exc
    except Exception as exc:
        assert error_ok(exc, obj), exc
    return "strict error"


def op_probe(rng, obj):
    try:
        return "probe " + check_result(obj, obj.probe(), tags(obj))
    except LookupError as exc:
        if str(exc) == "Class 'Ops' in 'stress_pkg.beta.ops' is missing method definition 'probe'":
            return "probe missing"
        assert error_ok(exc, obj), exc
    except Exception as exc:
        assert error_ok(exc, obj), exc
    return "probe error"


def op_info(rng, obj):
    try:
        w = obj.info
    except Exception as exc:
        assert error_ok(exc, obj), exc
        return "info error"
    try:
        return "info " + check_result(obj, w(), tags(obj), w)
    except NotImplementedError as exc:
        assert str(exc) == "beta" and w.__module__ == "stress_pkg.beta.ops", exc
        assert entries(exc) == [(WRAPPER, 234), (WRAPPER, 232)], entries(exc)
        return "info beta raised"


def op_broken(rng, obj):
    try:
        obj.broken
    except AttributeError as exc:
        if str(exc) == "No attribute 'nosuch' on '%s'" % obj:
            return "broken"
        assert error_ok(exc, obj), exc
    except Exception as exc:
        assert error_ok(exc, obj), exc
    else:
        raise AssertionError("no error")
    return "broken other"


def op_getters(rng, obj):
    try:
        value = fdtg(obj, ("os",))
        assert type(value) is tuple and len(value) == 1 and value[0] in TAG, value
    except AttributeError as exc:
        assert obj in MOVING and str(exc) == NO_OS[1], exc
    try:
        dtg(obj, ["os", "nosuch"])
    except AttributeError as exc:
        assert str(exc) in ("No attribute 'nosuch' on '%s'" % obj, NO_OS[1]), exc
    else:
        raise AssertionError("no error")
    return "getters"


def op_construct(rng, obj):
    made = LookupDecorator.from_device("os", builder=default_builder, attr_getter=None, k=1)
    assert type(made) is LookupDecorator and made._getter in (fdtg, other_fdtg)
    assert (made._attrs, made._builder, made._builder_kwargs, made._method) == (
        ("os",), default_builder, {"k": 1}, None)
    bare = LookupDecorator.from_device(GENERIC_RUN)
    assert bare._method is GENERIC_RUN and bare._method_name == "run" and bare._attrs == ()
    try:
        LookupDecorator.__get__(made, obj, Ops, **{1: 2})
    except TypeError as exc:
        assert str(exc) == "__get__() keywords must be strings"
    else:
        raise AssertionError("no TypeError")
    try:
        assert Ops.run is GENERIC_RUN
    except AttributeError as exc:
        assert str(exc) == "type object 'Ops' has no attribute 'run'", exc
    return "construct"


OPS = [op_run, op_run, op_shared, op_strict, op_probe, op_info, op_broken, op_getters, op_construct]


def other_fdtg(obj, defaults=()):
    return fdtg(obj, defaults)


def other_dtg(obj, attrs):
    return dtg(obj, attrs)


def only_root(tokens, **kwargs):
    return [()]


ALT_RUN = LookupDecorator("os", builder=only_root)(GENERIC_RUN)
SWAPS = [  # (namespace, name, replacement); put back after a short while
    (Ops, "run", ALT_RUN), (Ops, "run", None),
    (D["strict"], "_builder", only_root), (D["strict"], "_builder_kwargs", None),
    (D["probe"], "_getter", other_fdtg), (D["info"], "_builder", only_root),
    (stress_pkg, PKG_ATTR, None), (stress_pkg, PKG_ATTR, "fresh"),
    (sys.modules, "stress_pkg", None),
    (dm, "functools", types.SimpleNamespace(wraps=functools.wraps)),
    (dm, "default_token_getter", other_dtg), (dm, "from_device_token_getter", other_fdtg),
]


def swap(target, name, value, rng):
    mapping = target is sys.modules
    old = target[name] if mapping else vars(target).get(name)
    if value == "fresh":
        value = AbstractPackage("stress_pkg", delay=True)
    if value is None:  # delete
        if mapping:
            del target[name]
        elif name in vars(target):
            delattr(target, name)
    elif mapping:
        target[name] = value
    else:
        setattr(target, name, value)
    if rng.random() < 0.3:  # a wide window for the other threads, else a narrow one
        time.sleep(0)
    for _ in range(rng.randrange(50)):
        pass
    if mapping:
        target[name] = old
    elif name == PKG_ATTR and (old is None or rng.random() < 0.5):
        vars(target).pop(name, None)  # the next fetch makes a new one
    else:
        setattr(target, name, old)


def new(text):
    return "".join(list(text))  # an equal str, but a new object


GETTERS = {"run": dtg, "info": fdtg, "probe": fdtg}


def churn(rng):
    # Replaces something that fetches read with an equal new object: the old
    # one is freed unless a fetch still holds it.
    name = rng.choice(sorted(GETTERS))
    d = vars(Ops)[name]
    kind = rng.randrange(8)
    if kind == 0:
        setattr(stress_pkg, PKG_ATTR, AbstractPackage(new("stress_pkg")))
    elif kind == 1:
        d._attrs = tuple(new(name) for name in d._attrs)
    elif kind == 2:
        d._builder_kwargs = {}
    elif kind == 3:
        d._method_name = new(d._method_name)
    elif kind == 4:
        getter = GETTERS[name]
        d._getter = lambda obj, attrs: getter(obj, attrs)
    elif kind == 5:
        d._builder = lambda tokens, **kwargs: default_builder(tokens, **kwargs)
    elif kind == 6:
        Ops.run = LookupDecorator(new("os"))(GENERIC_RUN)
    else:
        obj = rng.choice(MOVING)
        obj.device = Device(obj.device.custom["abstraction"]["order"], new("alpha"))


def mutate(rng, done, counts):
    while not done.is_set():
        action = rng.randrange(8)
        if action < 2:
            obj = rng.choice(MOVING)
            if rng.random() < 0.2:
                vars(obj).pop("os", None)
            else:
                value = rng.choice(list(TAG))
                obj.os = None if value is None else new(value)
        elif action == 2:
            rng.choice(MOVING).device.custom["abstraction"]["order"] = rng.choice([["os"], []])
        elif action < 6:
            churn(rng)
        elif action == 6:
            swap(*rng.choice(SWAPS), rng)
        elif rng.random() < 0.1:
            gc.collect()
        counts["mutations"] += 1


def work(index, iterations, barrier, failures, seen):
    rng = random.Random(index)
    seen = seen[index]
    barrier.wait()
    for i in range(iterations):
        op = rng.choice(OPS)
        obj = rng.choice(OBJECTS)
        try:
            seen[op(rng, obj)] += 1
        except BaseException as exc:
            failures.append("%s on %r (os=%r): %s" % (op.__name__, obj, vars(obj).get("os"), "".join(
                traceback.format_exception(type(exc), exc, exc.__traceback__))))
            if len(failures) > 5:
                return


def main(threads, iterations):
    for obj in OBJECTS:  # warm up: every module is imported, the package learned
        for op in OPS:
            op(random.Random(0), obj)
    failures, seen, counts = [], [Counter() for _ in range(threads)], Counter()
    barrier = threading.Barrier(threads + 1)
    done = threading.Event()
    workers = [threading.Thread(target=work, args=(i, iterations, barrier, failures, seen))
               for i in range(threads)]
    mutator = threading.Thread(target=lambda: (barrier.wait(), mutate(random.Random(-1), done, counts)))
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in workers + [mutator]:
            t.start()
        for t in workers:
            t.join()
        done.set()
        mutator.join()
    finally:
        sys.setswitchinterval(old)
    seen = sum(seen, Counter())
    print("REPORT-STRESS " + json.dumps(dict(
        threads=threads, iterations=iterations, ops=sum(seen.values()), failures=failures,
        seen=dict(seen), mutations=counts["mutations"])))
"""


def test_concurrent_fetches_and_changes(tmp_path, stress_rounds):
    for name, text in LAYOUT.items():
        path = tmp_path / "stress_pkg" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    iterations = ITERATIONS * stress_rounds
    code = "ROOT_DIR = %r\n" % str(tmp_path) + STRESS + "\nmain(%d, %d)\n" % (THREADS, iterations)
    proc = run_python(code, flags=("-X", "dev", "-B"))
    assert proc.returncode == 0, proc.stderr[-6000:]
    line = next(line for line in proc.stdout.splitlines() if line.startswith("REPORT-STRESS "))
    report = json.loads(line[len("REPORT-STRESS "):])
    assert report["failures"] == [], "\n".join(report["failures"])
    assert report["ops"] == THREADS * iterations
    # Outcomes that the fixed objects make certain.
    certain = {"run alpha", "run beta", "shared call", "info beta raised", "broken", "construct"}
    assert certain <= set(report["seen"])
    assert report["mutations"] > 0


@pytest.fixture
def stuck_learner(monkeypatch):
    """Yields (learn, release): learn(pkg) learns in a new thread, which the
    first indexing holds until `release` is set. Indexing a root gives the
    token paths (), (<the root's name>,)."""
    entered, release, threads = threading.Event(), threading.Event(), []

    def index(module):
        if not entered.is_set():
            entered.set()
            release.wait(4 * WATCHDOG)  # a safety net only: the tests release it
        return frozenset({(), (module.__name__,)})

    monkeypatch.setattr(package_mod, "_index", index)

    def learn(pkg):
        threads.append(threading.Thread(target=pkg.learn))
        threads[-1].start()
        assert entered.wait(WATCHDOG)

    try:
        yield learn, release
    finally:
        release.set()
        for thread in threads:
            thread.join(WATCHDOG)


def test_ctrl_c_interrupts_a_wait_for_learning(monkeypatch, stuck_learner):
    learn, release = stuck_learner
    add_module(monkeypatch, "waitroot")
    pkg = AbstractPackage("waitroot", delay=True)
    learn(pkg)
    waiting, given_up = threading.Event(), threading.Event()

    def on_sigint(signum, frame):
        if waiting.is_set():  # Ctrl-C, as long as the main thread is in learn()
            raise KeyboardInterrupt

    def interrupt():
        # Once the main thread has had the time to block in learn().
        if waiting.wait(WATCHDOG) and not release.wait(0.2) and waiting.is_set():
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    def watchdog():
        if not release.wait(WATCHDOG):
            given_up.set()
            release.set()

    threads = [threading.Thread(target=target) for target in (interrupt, watchdog)]
    previous = signal.signal(signal.SIGINT, on_sigint)
    interrupted = False
    try:
        for thread in threads:
            thread.start()
        try:
            try:
                waiting.set()
                pkg.learn()
            finally:
                waiting.clear()
        except KeyboardInterrupt:
            interrupted = not given_up.is_set()
    finally:
        release.set()
        for thread in threads:
            thread.join()
        signal.signal(signal.SIGINT, previous)
    assert interrupted, "learn() went on waiting for the learner after Ctrl-C"


def test_init_again_while_another_thread_learns(monkeypatch, stuck_learner):
    learn, release = stuck_learner
    add_module(monkeypatch, "firstroot")
    add_module(monkeypatch, "otherroot")
    pkg = AbstractPackage("firstroot", delay=True)
    learn(pkg)
    again = threading.Thread(target=pkg.__init__, args=("otherroot",))
    again.start()
    for _ in range(40):  # until __init__ has taken the new name or returned, for two seconds at most
        if pkg.name == "otherroot" or not again.is_alive():
            break
        again.join(0.05)
    release.set()
    again.join(WATCHDOG)
    assert not again.is_alive()
    assert pkg.name == "otherroot"
    assert pkg.token_paths == {(), ("otherroot",)}
