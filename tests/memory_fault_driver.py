"""Memory-fault sweeps of orvex.abstract.decorator, run in a subprocess by
test_memory_faults.py (a crash then fails one test instead of killing pytest).

    python memory_fault_driver.py init            sweep module initialisation
    python memory_fault_driver.py init-one N      one initialisation, failing allocation N+1
    python memory_fault_driver.py op NAME         sweep one operation

`_testcapi.set_nomemory(n, n + 1)` fails the (n+1)-th allocation after the
call. A sweep tries n = 0, 1, 2... until enough runs in a row come out as if
nothing had failed, and checks every outcome: the fault-free result, or
MemoryError, never a crash or another error; and the same operation run again
without a fault must give the fault-free result. The last line of output is
`RESULT <json>`: the points swept, a count per kind of outcome, and every
failure with what was seen.

Initialisation runs in a forked child per point (a single-phase module stays
initialised once it succeeded), `init-one` in one such child; under gdb:
    gdb -q -batch -ex 'set follow-fork-mode child' -ex run -ex bt \
        --args python memory_fault_driver.py init-one N
An operation runs in this process, once per point.
"""

import faulthandler
import functools  # noqa: F401 (imported before initialisation)
import gc
import importlib
import importlib.machinery  # noqa: F401
import importlib.util
import inspect  # noqa: F401
import json
import os
import pickle
import re
import shutil
import signal
import sys
import tempfile
import traceback
import types

import _testcapi

FILE = "src/orvex/abstract/decorator"
MODULE = "orvex.abstract.decorator"
PREFIX = MODULE + "."

# Names that initialisation puts in the namespace (the importer adds others).
NAMESPACE = {
    "__name__", "__doc__", "__package__", "__builtins__", "__test__", "sys", "inspect",
    "functools", "default_builder", "AbstractPackage", "default_token_getter",
    "from_device_token_getter", "LookupDecorator", "lookup_from_device",
}

# A small abstraction package and a top-level module, for dispatching.
SOURCES = {
    "mfpkg/__init__.py": "",
    "mfpkg/ops.py": '''
from orvex.abstract.decorator import LookupDecorator


class Device:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class Ops:
    def __init__(self, os=None, device=None):
        if os is not None:
            self.os = os
        if device is not None:
            self.device = device

    @LookupDecorator('os')
    def run(self, *args, **kwargs):
        return ('generic', args, kwargs)

    @LookupDecorator('os', 'platform')
    def both(self):
        return 'generic both'

    @LookupDecorator('os', mandatory=1)
    def strict(self):
        return 'generic strict'

    @LookupDecorator('os')
    def absent(self):
        return 'generic absent'

    @LookupDecorator('os')
    def refuse(self):
        return 'generic refuse'

    @LookupDecorator('os')
    def fail(self):
        return 'generic fail'

    @LookupDecorator.from_device('os')
    def configured(self):
        return 'generic configured'

    class Inner:
        def __init__(self, os):
            self.os = os

        @LookupDecorator('os')
        def run(self):
            return 'generic inner'


class Stray:
    os = 'alpha'

    @LookupDecorator('os')
    def run(self):
        return 'stray'


Stray.__module__ = 'mfpkg.nowhere'
''',
    "mfpkg/alpha/__init__.py": "",
    # Not derived from the generic Ops: it lacks `absent` and `Inner`.
    "mfpkg/alpha/ops.py": '''
class Ops:
    def run(self, *args, **kwargs):
        """alpha run"""
        return ('alpha', args, kwargs)

    run.tag = 'alpha'

    def both(self):
        return 'alpha both'

    def strict(self):
        return 'alpha strict'

    def refuse(self):
        raise NotImplementedError('alpha refuses')

    def fail(self):
        raise ValueError('alpha fails')

    def configured(self):
        return 'alpha configured'
''',
    "mfpkg/alpha/m2/__init__.py": "",
    "mfpkg/alpha/m2/ops.py": '''
from mfpkg.alpha.ops import Ops as AlphaOps


class Ops(AlphaOps):
    def both(self):
        return 'alpha m2 both'
''',
    "mftop.py": '''
from orvex.abstract.decorator import LookupDecorator


class Top:
    os = 'alpha'

    @LookupDecorator('os')
    def run(self):
        return 'top'
''',
}


def write_sources():
    """Writes SOURCES into a new temporary directory, put first on sys.path."""
    root = tempfile.mkdtemp(prefix="orvex-memfault-")
    for name, text in SOURCES.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text.lstrip())
    sys.path.insert(0, root)
    return root


_ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def text(value):
    """str() with object addresses blanked, so that runs compare equal."""
    return _ADDRESS.sub("0x?", str(value))


def frames(exc):
    """(file, function name, line) of each traceback entry, outermost first."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        found.append((code.co_filename, code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def own_entries(exc):
    """(name, line) of the entries that the module added, outermost first."""
    return [(name[len(PREFIX):] if name.startswith(PREFIX) else name, line)
            for file, name, line in frames(exc) if file == FILE]


def describe(exc):
    """An exception as comparable data: type, message, the module's own
    traceback entries and the type of its context."""
    context = exc.__context__
    return ["raise", type(exc).__name__, text(exc), own_entries(exc),
            None if context is None else type(context).__name__]


def formatted(exc):
    return "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))


def emit(result):
    sys.stdout.write("RESULT " + json.dumps(result) + "\n")
    sys.stdout.flush()


# ---- the sweep


# Outcomes that count as "nothing failed" for the stopping rule.
CLEAN = ("ok", "same")


def sweep(point, first=0, limit=2000, clean_stop=30, fork=False):
    """Runs point(n) for n = first, first + 1... until `clean_stop` clean
    outcomes in a row (or `limit`), each in a forked child when `fork`, and
    emits the summary. point(n) returns {"kind": ..., "problems": [...]}."""
    counts = {}
    points = {}
    failures = []
    clean = 0
    n = first
    with tempfile.TemporaryFile() as errors:
        while n < limit and clean < clean_stop:
            if fork:
                result = in_child(point, n, errors)
            else:
                # Tells a crash's point (a few bytes, written before the fault).
                os.write(1, b"POINT %d\n" % n)
                result = point(n)
            result["n"] = n
            kind = result["kind"]
            counts[kind] = counts.get(kind, 0) + 1
            points.setdefault(kind, []).append(n)
            if kind in ("wrong", "crash") or result["problems"]:
                failures.append(result)
            clean = clean + 1 if kind in CLEAN and not result["problems"] else 0
            n += 1
    emit({"points": n - first, "counts": counts, "failures": failures,
          "finished": clean >= clean_stop, "kinds": {k: v for k, v in points.items() if k not in CLEAN}})


def in_child(point, n, errors):
    """point(n) in a forked child; a crash or hang becomes a "crash" outcome
    with what the child wrote to stderr (faulthandler's traceback)."""
    gc.collect()  # the same starting state for every child
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            errors.seek(0)
            errors.truncate()
            os.dup2(errors.fileno(), 2)
            signal.alarm(30)
            os.write(write_end, json.dumps(point(n)).encode())
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(0)
    os.close(write_end)
    chunks = []
    while True:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    if chunks and os.WIFEXITED(status):
        return json.loads(b"".join(chunks))
    errors.seek(0)
    return {"kind": "crash", "problems": ["the process died: status %d" % status],
            "error": errors.read().decode(errors="replace")[-6000:]}


# ---- initialisation


def placeholder_package():
    """Puts a bare orvex.abstract in sys.modules and imports the siblings into
    it: the real __init__ would import the decorator module itself. Everything
    that initialisation imports (functools, inspect...: at the top of this
    file) is imported here first, so that the faults land in the module's
    own initialisation."""
    spec = importlib.util.find_spec("orvex.abstract")
    package = types.ModuleType("orvex.abstract")
    package.__path__ = list(spec.submodule_search_locations)
    package.__spec__ = spec
    sys.modules["orvex.abstract"] = package
    import orvex.abstract.magic, orvex.abstract.package  # noqa: E401,F401
    sys.meta_path.insert(0, KnownExtension(importlib.util.find_spec(MODULE).origin))
    return package


class KnownExtension:
    """Finds the extension with as little of the interpreter's own code as
    possible. Faults there would hide the module's own: on Debian's debug
    3.11, os.stat (which the path finder calls on every import) aborts with
    "Slot * of type int succeeded with an exception set", and a generator
    expression (as in spec_from_file_location) with "STACK_LEVEL() == 0";
    both also without this module."""

    def __init__(self, origin):
        self.origin = origin

    def find_spec(self, name, path=None, target=None):
        if name != MODULE:
            return None
        loader = importlib.machinery.ExtensionFileLoader(MODULE, self.origin)
        spec = importlib.machinery.ModuleSpec(MODULE, loader, origin=self.origin)
        spec.has_location = True
        return spec


def check_initialised(package, bound=True):
    """Problems with the module that an import produced: its namespace,
    class, defaults, argument errors with their traceback entries, and a
    dispatch through the test package. `bound`: the import finished, so the
    package holds the module as its attribute."""
    module = sys.modules.get(MODULE)
    if module is None:
        return ["the module is not in sys.modules after a successful import"]
    problems = []
    try:
        missing = NAMESPACE - set(vars(module))
        if missing:
            problems.append("namespace lacks %s" % sorted(missing))
        if bound and getattr(package, "decorator", None) is not module:
            problems.append("the package's attribute is not the module")
        L = module.LookupDecorator
        if L.from_device is not module.lookup_from_device:
            problems.append("LookupDecorator.from_device is not lookup_from_device")
        kwdefaults = L.__init__.__kwdefaults__
        if kwdefaults != {"builder": module.default_builder, "attr_getter": module.default_token_getter}:
            problems.append("__init__.__kwdefaults__ is %r" % (kwdefaults,))
        if module.from_device_token_getter.__defaults__ != ([],):
            problems.append("from_device_token_getter.__defaults__ is %r"
                            % (module.from_device_token_getter.__defaults__,))
        try:
            module.default_token_getter(1)
        except TypeError as exc:
            if (str(exc), frames(exc)[-1]) != (
                    "default_token_getter() takes exactly 2 positional arguments (1 given)",
                    (FILE, PREFIX + "default_token_getter", 9)):
                problems.append("argument error: %s" % formatted(exc))
        else:
            problems.append("default_token_getter(1) did not raise")
        from mfpkg.ops import Ops
        results = (Ops("alpha").run(1), Ops("beta").run(), Ops("alpha").refuse.__name__)
        if results != (("alpha", (1,), {}), ("generic", (), {}), "refuse"):
            problems.append("dispatch gave %r" % (results,))
    except BaseException as exc:
        problems.append("check failed: %s" % formatted(exc))
    return problems


def importlib_lock_failure(exc):
    """Whether `exc` is importlib failing to allocate a module lock: the
    interpreter's own error, raised before the module's code runs."""
    return (type(exc) is RuntimeError and str(exc) == "can't allocate lock"
            and all(file.startswith("<frozen importlib") for file, _, _ in frames(exc)[1:]))


def initialisation_point(package):
    def point(n):
        """Imports the module with allocation n+1 failing."""
        _testcapi.set_nomemory(n, n + 1)
        try:
            import orvex.abstract.decorator  # noqa: F401
        except BaseException as exc:
            error = exc
        else:
            error = None
        finally:
            _testcapi.remove_mem_hooks()
        if error is None:
            return {"kind": "ok", "problems": check_initialised(package)}
        if type(error) is MemoryError:
            kind = "memory"
        elif importlib_lock_failure(error):
            kind = "lock"
        else:
            kind = "wrong"
        result = {"kind": kind, "error": formatted(error)}
        if MODULE in sys.modules:
            # The initialisation finished and the importer failed after it
            # (in its own bookkeeping): the module must be complete.
            if kind == "memory":
                result["kind"] = "memory-after-init"
            result["problems"] = check_initialised(package, bound=False)
            return result
        # A failed initialisation leaves nothing behind, and the next import
        # runs it again in full.
        problems = []
        if hasattr(package, "decorator"):
            problems.append("the package kept a decorator attribute")
        try:
            import orvex.abstract.decorator  # noqa: F401,F811
        except BaseException as exc:
            problems.append("the import after the failure failed: %s" % formatted(exc))
        else:
            problems.extend(check_initialised(package))
        result["problems"] = problems
        return result
    return point


def sweep_initialisation(first=0, limit=3000):
    package = placeholder_package()
    gc.collect()
    if hasattr(gc, "freeze"):  # keeps the children's collections short
        gc.freeze()
    sweep(initialisation_point(package), first, limit, clean_stop=50, fork=True)


# ---- operations

# What the operations work on; filled by prepare_world().
W = types.SimpleNamespace()


def prepare_world():
    import orvex.abstract.decorator as d
    import mfpkg.alpha.ops
    import mfpkg.ops
    import mftop
    W.d = d
    W.L = d.LookupDecorator
    W.Ops = mfpkg.ops.Ops
    W.Device = mfpkg.ops.Device
    W.Stray = mfpkg.ops.Stray
    W.Top = mftop.Top


def fixed_paths(tokens, **kwargs):
    return [("alpha",), ()]


def plain(self):
    return "plain"


def settings(*order, **attrs):
    """A device whose settings name the tokens `order`."""
    return W.Device(custom={"abstraction": {"order": list(order)}}, **attrs)


def fresh_wrapper():
    return W.Ops("alpha").run


def decorator_state(dec):
    return [text(dec)] + [text(getattr(dec, name, "<unset>")) for name in (
        "_attrs", "_builder", "_getter", "_builder_kwargs", "_method", "_method_name")]


def wrapper_state(wrapper, *args):
    return [type(wrapper).__name__, wrapper.__name__, wrapper.__qualname__, text(wrapper.__module__),
            wrapper.__doc__, text(wrapper.__wrapped__), sorted(vars(wrapper)),
            text(wrapper.__annotations__), text(wrapper(*args))]


def shown(value):
    if value is vars(W.d):
        return "<module namespace>"
    if isinstance(value, types.CodeType):
        return [value.co_name, value.co_firstlineno, value.co_varnames]
    return text(value)


def errors_of(calls):
    """Each call, which must raise TypeError; the errors (others propagate)."""
    found = []
    for call, args, kwargs in calls:
        try:
            call(*args, **kwargs)
        except TypeError as exc:
            found.append(exc)
    return found


class Operation:
    def __init__(self, run, setup, summary, fresh):
        self.run = run
        self.setup = setup
        self.summary = summary
        self.fresh = fresh  # first use in a process: a forked child per point


OPERATIONS = {}


def operation(setup=lambda: None, summary=text, fresh=False, name=None):
    def register(run):
        OPERATIONS[name or run.__name__] = Operation(run, setup, summary, fresh)
        return run
    return register


# Construction, application, the class fetch.
operation(summary=decorator_state, name="construct")(
    lambda _: W.L("os", "platform", builder=fixed_paths, mandatory=1))
operation(setup=lambda: W.L("os"), summary=decorator_state, name="apply")(lambda dec: dec(plain))
operation(summary=lambda f: [text(f), f is W.Ops.__dict__["run"]._method], name="class_fetch")(
    lambda _: W.Ops.run)

# Fetches through an object: (object, method name, arguments of the call
# that checks the wrapper). The last six end in the lookup's errors.
for _name, _make, _method, _args in [
        ("fetch", lambda: W.Ops("alpha"), "run", (1,)),
        ("fetch_generic", lambda: W.Ops("beta"), "run", ()),
        ("fetch_two_tokens", lambda: W.Ops("alpha", W.Device(platform="m2")), "both", ()),
        ("fetch_nested_class", lambda: W.Ops.Inner("beta"), "run", ()),
        ("fetch_from_device", lambda: W.Ops("alpha", settings("os", "platform", platform="m2")),
         "configured", ()),
        ("fetch_outside_package", lambda: W.Top(), "run", ()),
        ("fetch_not_found", lambda: W.Ops("beta"), "strict", ()),
        ("fetch_missing_nested_class", lambda: W.Ops.Inner("alpha"), "run", ()),
        ("fetch_missing_method", lambda: W.Ops("alpha"), "absent", ()),
        ("fetch_missing_token", lambda: W.Ops(), "run", ()),
        ("fetch_unknown_module", lambda: W.Stray(), "run", ())]:
    operation(setup=_make, summary=lambda w, args=_args: wrapper_state(w, *args), name=_name)(
        lambda obj, method=_method: getattr(obj, method))

# Calls of a wrapper: its fast path, keywords, more than seven arguments,
# keyword names that are not str, and errors from the method (with one and
# with two traceback entries of the wrapper).
operation(setup=fresh_wrapper, name="call_positional")(lambda w: w(1, 2))
operation(setup=fresh_wrapper, name="call_keywords")(lambda w: w(a=1, b=2))
operation(setup=fresh_wrapper, name="call_many")(lambda w: w(1, 2, 3, 4, 5, 6, 7, 8, 9))
operation(setup=fresh_wrapper, name="call_keyword_not_str")(lambda w: w(**{1: 2}))
operation(setup=lambda: W.Ops("alpha").fail, name="call_raises")(lambda w: w())
operation(setup=lambda: W.Ops("alpha").refuse, name="call_not_implemented")(lambda w: w())

# The token getters and the device decorator.
operation(setup=lambda: W.Ops("alpha", W.Device(platform="m2")), name="default_token_getter")(
    lambda obj: W.d.default_token_getter(obj, ("os", "platform")))
operation(setup=lambda: W.Ops("alpha", W.Device(platform="m2")), name="default_token_getter_missing")(
    lambda obj: W.d.default_token_getter(obj, ("os", "nothing")))
operation(setup=lambda: W.Ops("alpha"), name="default_token_getter_name_not_str")(
    lambda obj: W.d.default_token_getter(obj, ("os", 5)))
operation(setup=lambda: W.Ops("alpha", settings("os", "platform", platform="m2")),
          name="from_device_token_getter")(lambda obj: W.d.from_device_token_getter(obj))
operation(setup=lambda: W.Ops("alpha"), name="from_device_token_getter_defaults")(
    lambda obj: W.d.from_device_token_getter(obj, ["os"]))
operation(setup=lambda: W.Ops("alpha", settings("os", "nothing")),
          name="from_device_token_getter_missing")(lambda obj: W.d.from_device_token_getter(obj))
operation(summary=decorator_state, name="lookup_from_device_bare")(lambda _: W.d.lookup_from_device(plain))
operation(summary=decorator_state, name="lookup_from_device_arguments")(
    lambda _: W.d.lookup_from_device("os", builder=fixed_paths, attr_getter=len, mandatory=1))

# Argument errors.
operation(name="arguments_count")(lambda _: W.d.default_token_getter(1))
operation(setup=lambda: W.L("os"), summary=lambda found: [describe(exc) for exc in found],
          name="arguments_keywords")(lambda dec: errors_of([
              (W.L.__get__, (dec,), {1: 2}),
              (W.L.__call__, (dec, plain), {"other": 1}),
              (W.L.__init__, (dec,), {"self": dec})]))

# The function type: getters, the views built on first use (in a process
# where nothing read them yet), setters and their errors, repr, __reduce__.
_READ = ("__name__", "func_name", "__qualname__", "__doc__", "func_doc", "__module__", "__dict__",
         "func_dict", "__globals__", "func_globals", "__closure__", "func_closure", "__self__",
         "__code__", "func_code", "__defaults__", "func_defaults", "__kwdefaults__", "__annotations__")
operation(setup=fresh_wrapper, summary=lambda values: [shown(v) for v in values], name="attributes_read")(
    lambda w: [getattr(w, name) for name in _READ])
operation(summary=lambda values: [shown(v) for v in values], fresh=True, name="attributes_first_read")(
    lambda _: [W.d.from_device_token_getter.__defaults__, W.L.__init__.__kwdefaults__,
               W.d.default_token_getter.__dict__, W.L.__call__.__annotations__])


def _write_attributes(w):
    w.__name__ = "renamed"
    w.__qualname__ = "Some.renamed"
    w.__doc__ = "doc"
    w.__module__ = "elsewhere"
    w.__dict__ = {"x": 1}
    w.__defaults__ = (1,)
    w.__kwdefaults__ = {"k": 2}
    w.__annotations__ = {"a": int}
    w.extra = 3
    del w.func_doc
    return w


operation(setup=fresh_wrapper, summary=lambda w: [shown(getattr(w, name)) for name in _READ + ("extra",)],
          name="attributes_write")(_write_attributes)
operation(setup=fresh_wrapper, summary=lambda found: [describe(exc) for exc in found],
          name="attributes_write_errors")(lambda w: errors_of([
              (setattr, (w, "__name__", 5), {}),
              (setattr, (w, "__qualname__", None), {}),
              (delattr, (w, "__dict__"), {}),
              (setattr, (w, "__dict__", []), {}),
              (setattr, (w, "__defaults__", []), {}),
              (setattr, (w, "__kwdefaults__", ()), {}),
              (setattr, (w, "__annotations__", 1), {})]))
operation(setup=fresh_wrapper, name="repr")(lambda w: [repr(w), repr(W.d.default_token_getter)])
operation(name="reduce")(lambda _: [W.d.default_token_getter.__reduce__(), W.L.__get__.__reduce__(),
                                    W.d.lookup_from_device.__reduce_ex__(2)])


def outcome(op, value=None, error=None, ran=False):
    """The comparable outcome of `op`: of the run given, or of a new run."""
    if not ran:
        try:
            value = op.run(op.setup())
        except BaseException as exc:
            error = exc
    try:
        data = describe(error) if error is not None else ["return", op.summary(value)]
    except BaseException as exc:
        data = ["summary failed", formatted(exc)]
    return json.loads(json.dumps(data))


def subsequence(short, long):
    it = iter(long)
    return all(item in it for item in short)


def classify(got, expected):
    if got == expected:
        return "same"
    if got[0] == "raise" and got[1] == "MemoryError":
        return "memory"
    # A traceback entry that could not be allocated: the exception is kept
    # without it.
    if (got[0] == expected[0] == "raise" and got[1:3] == expected[1:3] and got[4] == expected[4]
            and subsequence(got[3], expected[3])):
        return "entry-dropped"
    return "wrong"


def operation_point(op, expected):
    def point(n):
        state = op.setup()
        _testcapi.set_nomemory(n, n + 1)
        try:
            value = op.run(state)
        except BaseException as exc:
            error = exc
        else:
            error = None
        finally:
            _testcapi.remove_mem_hooks()
        got = outcome(op, value if error is None else None, error, ran=True)
        result = {"kind": classify(got, expected), "problems": []}
        if result["kind"] == "wrong":
            result["problems"].append("got %r, without a fault %r" % (got, expected))
            if error is not None:
                result["error"] = formatted(error)
        # The same operation without a fault must give the usual result.
        again = outcome(op)
        if again != expected:
            result["problems"].append("afterwards %r, not %r" % (again, expected))
        return result
    return point


def sweep_operation(name):
    prepare_world()
    op = OPERATIONS[name]
    if op.fresh:
        with tempfile.TemporaryFile() as errors:
            expected = in_child(lambda n: {"outcome": outcome(op)}, 0, errors)["outcome"]
        sweep(operation_point(op, expected), fork=True)
        return
    # Warm-up: caches (the abstraction package, default_builder's paths,
    # traceback code objects, imported token modules) filled before measuring.
    outcome(op)
    outcome(op)
    sweep(operation_point(op, outcome(op)))


def main(argv):
    faulthandler.enable()
    mode = argv[1]
    root = write_sources()
    try:
        if mode == "init":
            sweep_initialisation()
        elif mode == "init-one":
            n = int(argv[2])
            sweep_initialisation(n, n + 1)
        elif mode == "op":
            sweep_operation(argv[2])
        else:
            raise SystemExit("unknown mode %r" % mode)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv)
