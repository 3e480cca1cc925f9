"""Memory-fault sweeps of orvex.abstract.decorator, run in a subprocess by
test_memory_faults.py (a crash then fails one test instead of killing pytest).

    python memory_fault_driver.py init            sweep module initialisation
    python memory_fault_driver.py init-one N      one initialisation, failing allocation N+1
    python memory_fault_driver.py op NAME [N M]   sweep one operation [points N to M-1]

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
An operation runs in this process, once per point (a child per point on a
debug build, and for what must be the first use in a process).

Outcomes that are the interpreter's doing, each also seen without this
module, are told apart narrowly: importlib's "can't allocate lock"
(importlib_lock_failure), messages dropped by PyErr_SetString/PyErr_Format
on older interpreters (find_quirks), an assertion of Debian's debug 3.11
(interpreter_abort). Others are kept out of the sweeps' way: the path finder
(KnownExtension), frame objects made during unwinding (operation_point).
A traceback entry that cannot be allocated raises MemoryError, with the
exception as its context.
"""

import faulthandler
import functools
import gc
import importlib.machinery
import importlib.util
import inspect  # noqa: F401 (imported before the module's initialisation)
import json
import os
import re
import shutil
import signal
import sys
import tempfile
import traceback
import types

import _testcapi

from support import FILE, PREFIX, frames
from support import MODULE_NAME as MODULE

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


def own_entries(exc):
    """(name, line) of the entries that the module added, outermost first."""
    return [(name[len(PREFIX):] if name.startswith(PREFIX) else name, line)
            for name, file, line in frames(exc) if file == FILE]


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
                if result["kind"] == "crash" and interpreter_abort(result["error"]):
                    result.update(kind="interpreter-abort", problems=[])
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


def interpreter_abort(error):
    """Whether a child died of one of the checks with which Debian's debug
    3.11 (3.11.2) aborts, also without this module:
    - the assertion when a Python function called from C fails on its first
      allocation -- also a pure Python one called through functools.partial
      (the evaluation loop's check of a Python frame's value stack);
    - "Slot * of type int succeeded with an exception set" in os.stat and
      os.lstat, which the abstraction layer's cold path reaches through
      os.path.realpath and the path finder (os.path.realpath under the same
      fault aborts alike);
    - "Slot __delitem__ of type dict succeeded with an exception set" while
      the importer creates the module: when registering a single-phase
      module fails, _PyImport_FixupExtensionObject deletes its sys.modules
      entry with the MemoryError still set (importing a three-line
      single-phase module under the same faults aborts alike)."""
    if extension_cache_crash(error) or crash_after_fault_315(error):
        return True
    if not (hasattr(sys, "gettotalrefcount") and sys.version_info[:2] == (3, 11)):
        return False
    if "ceval.c:" in error and "Assertion `STACK_LEVEL() == 0' failed." in error:
        return True
    stack = error.partition("(most recent call first):\n")[2].split("\n")
    innermost = stack[0]
    if ("_Py_CheckSlotResult: Slot __delitem__ of type dict succeeded with an exception set" in error
            and len(stack) > 1 and "in create_module" in stack[1]):
        return True
    return ("_Py_CheckSlotResult: Slot * of type int succeeded with an exception set" in error
            and any(place in innermost for place in ("posixpath.py", "genericpath.py", "<frozen importlib.")))


def extension_cache_crash(error):
    """Whether a child died in the interpreter's own code while the importer
    created an extension module (create_module; the interpreter keeps
    single-phase modules in a cache, _extensions_cache_set, which crashes
    when copying the name fails): CPython 3.14 and 3.15 crash so at four
    points in a row when importing their own single-phase test module,
    _testsinglephase, under the same faults. No frame of the C stack may be
    this package's."""
    python_stack, _, c_stack = error.partition("C stack trace")
    innermost = python_stack.partition("(most recent call first):\n")[2].splitlines()[:2]
    return (sys.version_info >= (3, 14) and "Segmentation fault" in error
            and all("<frozen importlib." in line for line in innermost)
            and any(line.endswith(" in create_module") for line in innermost)
            and "orvex" not in c_stack and "decorator" not in c_stack and "_native" not in c_stack)


def crash_after_fault_315(error):
    """Whether a child of CPython 3.15.0 died after the faulted call was over
    (no frame of under_fault on the stack), while formatting the exception or
    collecting garbage: 3.15.0 corrupts its heap when an exception raised and
    caught in Python code meets a fault. Importing a pure-Python module under
    the same faults, then formatting its exception, crashes alike, in
    traceback.py and in a collection during it."""
    python_stack = error.partition("C stack trace")[0]
    return (sys.version_info[:3] == (3, 15, 0) and "Segmentation fault" in error
            and " in under_fault" not in python_stack
            and ("traceback.py" in python_stack or "Garbage-collecting" in python_stack))


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
                    (PREFIX + "default_token_getter", FILE, 9)):
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


def importlib_lock_failure(exc, innermost=False):
    """Whether `exc` is importlib failing to allocate a module lock: the
    interpreter's own error, raised before the module's code runs (or, with
    `innermost`, by an import that the abstraction layer's cold path makes,
    on older interpreters; importlib.import_module("json") under the same
    fault raises it too)."""
    entries = frames(exc)[-1:] if innermost else frames(exc)[1:]
    return (type(exc) is RuntimeError and str(exc) == "can't allocate lock"
            and all(file.startswith("<frozen importlib") for _, file, _ in entries))


def under_fault(n, call):
    """Runs call() with allocation n+1 failing: (its value, None) or (None, what it raised)."""
    # The frame object of this frame, made now. A Python function that the
    # module calls leaves an exception through it: when it cannot be
    # allocated then, 3.11+ loses the exception (take_ownership() in frame.c)
    # and reports "<function ...> returned NULL without setting an exception"
    # (in pure Python too: sorted([2, 1], key=f) with f raising), or the
    # debug build aborts.
    sys._getframe()
    _testcapi.set_nomemory(n, n + 1)
    try:
        return call(), None
    except BaseException as exc:
        return None, exc
    finally:
        _testcapi.remove_mem_hooks()


def initialisation_point(package):
    def point(n):
        """Imports the module with allocation n+1 failing."""
        _, error = under_fault(n, functools.partial(__import__, MODULE))
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
    from orvex.abstract.magic import default_builder
    from orvex.abstract.package import AbstractPackage
    W.d = d
    W.builder = default_builder
    W.Package = AbstractPackage
    W.package = AbstractPackage("mfpkg")
    W.package.lookup(("mfpkg", "ops"), ("alpha",), "Ops")
    W.fresh = iter(range(10 ** 9))
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


def errors_of(*calls):
    """Makes each call, which must raise TypeError; the errors (other
    exceptions propagate)."""
    found = []
    for call in calls:
        try:
            call()
        except TypeError as exc:
            found.append(exc)
    return found


def call_with(f, kwargs):
    return f(**kwargs)


def described(found):
    return [describe(exc) for exc in found]


class Operation:
    def __init__(self, prepare, summary, fresh):
        self.prepare = prepare  # makes the call to sweep, a partial()
        self.summary = summary  # its result as comparable data
        self.fresh = fresh      # first use in a process: a forked child per point


OPERATIONS = {}


def operation(name, prepare, summary=text, fresh=False):
    """Registers an operation. `prepare` makes the call that is swept: a
    functools.partial, so that the module is called straight from the
    sweep's frame (see operation_point())."""
    OPERATIONS[name] = Operation(prepare, summary, fresh)


P = functools.partial

# Construction, application, the class fetch.
operation("construct", lambda: P(W.L, "os", "platform", builder=fixed_paths, mandatory=1), decorator_state)
operation("apply", lambda: P(W.L("os"), plain), decorator_state)
operation("class_fetch", lambda: P(getattr, W.Ops, "run"),
          lambda f: [text(f), f is W.Ops.__dict__["run"]._method])



def made_class(namespace):
    """type("Made", (), namespace). Before 3.12 the interpreter reports an
    error of __set_name__ as a RuntimeError caused by it: a MemoryError is
    taken out of it."""
    try:
        return type("Made", (), namespace)
    except RuntimeError as exc:
        if isinstance(exc.__cause__, MemoryError):
            raise exc.__cause__ from None
        raise


def class_errors(*namespaces):
    """The TypeError that each class statement raises (taken out of the
    interpreter's RuntimeError before 3.12, as a MemoryError is). Calls no
    Python function: on 3.11 a call that needs a new chunk of the frame stack
    fails without an exception set when that allocation fails."""
    found = []
    for namespace in namespaces:
        try:
            type("Made", (), namespace)
        except RuntimeError as exc:
            if isinstance(exc.__cause__, MemoryError):
                raise exc.__cause__ from None
            if not isinstance(exc.__cause__, TypeError):
                raise
            found.append(exc.__cause__)
        except TypeError as exc:
            found.append(exc)
    return found


def _shared(dec):
    return {"start": dec(plain), "stop": dec}


def _abstract(self):
    pass


_abstract.__isabstractmethod__ = True

# Class statements: __set_name__ for a sound decorator and for the misuse it
# refuses; the objects that the decorator refuses; __isabstractmethod__.
operation("class_statement", lambda: P(made_class, {"run": W.L("os")(plain), "go": W.L("os")(plain)}),
          lambda cls: sorted(vars(cls)))
operation("class_statement_refused", lambda: P(class_errors, {"run": W.L(plain)}, {"run": W.L("os")},
                                               _shared(W.L("os"))), described)
operation("apply_refused", lambda: P(errors_of, P(W.L("os"), classmethod(plain)),
                                     P(W.L("os"), property(plain)), P(W.L("os"), staticmethod(plain))),
          described)
operation("is_abstract", lambda: P(lambda: [W.L("os")(_abstract).__isabstractmethod__,
                                            W.L("os")(plain).__isabstractmethod__]))

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
    operation(_name, lambda make=_make, method=_method: P(getattr, make(), method),
              lambda w, args=_args: wrapper_state(w, *args))

# Calls of a wrapper: its fast path, keywords, more than seven arguments,
# keyword names that are not str, and errors from the method (with one and
# with two traceback entries of the wrapper).
operation("call_positional", lambda: P(fresh_wrapper(), 1, 2))
operation("call_keywords", lambda: P(fresh_wrapper(), a=1, b=2))
operation("call_many", lambda: P(fresh_wrapper(), 1, 2, 3, 4, 5, 6, 7, 8, 9))
operation("call_keyword_not_str", lambda: P(call_with, fresh_wrapper(), {1: 2}))
operation("call_raises", lambda: P(W.Ops("alpha").fail))
operation("call_not_implemented", lambda: P(W.Ops("alpha").refuse))

# The token getters and the device decorator.
operation("default_token_getter", lambda: P(
    W.d.default_token_getter, W.Ops("alpha", W.Device(platform="m2")), ("os", "platform")))
operation("default_token_getter_missing", lambda: P(
    W.d.default_token_getter, W.Ops("alpha", W.Device(platform="m2")), ("os", "nothing")))
operation("default_token_getter_name_not_str", lambda: P(W.d.default_token_getter, W.Ops("alpha"), ("os", 5)))
operation("from_device_token_getter", lambda: P(
    W.d.from_device_token_getter, W.Ops("alpha", settings("os", "platform", platform="m2"))))
operation("from_device_token_getter_defaults", lambda: P(W.d.from_device_token_getter, W.Ops("alpha"), ["os"]))
operation("from_device_token_getter_missing", lambda: P(
    W.d.from_device_token_getter, W.Ops("alpha", settings("os", "nothing"))))
operation("lookup_from_device_bare", lambda: P(W.d.lookup_from_device, plain), decorator_state)
operation("lookup_from_device_arguments", lambda: P(
    W.d.lookup_from_device, "os", builder=fixed_paths, attr_getter=len, mandatory=1), decorator_state)

# Argument errors.
operation("arguments_count", lambda: P(W.d.default_token_getter, 1))
operation("arguments_keywords", lambda: P(errors_of, P(W.L.__get__, W.L("os"), 1, 2, **{1: 2}),
                                          P(W.L.__call__, W.L("os"), plain, other=1),
                                          P(W.L.__init__, W.L("os"), self=None)), described)

# The function type: getters, the views built on first use (in a process
# where nothing read them yet), setters and their errors, repr, __reduce__.
_READ = ("__name__", "func_name", "__qualname__", "__doc__", "func_doc", "__module__", "__dict__",
         "func_dict", "__globals__", "func_globals", "__closure__", "func_closure", "__self__",
         "__code__", "func_code", "__defaults__", "func_defaults", "__kwdefaults__", "__annotations__")


def _read_attributes(f, names):
    return [getattr(f, name) for name in names]


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


operation("attributes_read", lambda: P(_read_attributes, fresh_wrapper(), _READ),
          lambda values: [shown(v) for v in values])
operation("attributes_first_read", lambda: P(lambda: [
    W.d.from_device_token_getter.__defaults__, W.L.__init__.__kwdefaults__,
    W.d.default_token_getter.__dict__, W.L.__call__.__annotations__]),
    lambda values: [shown(v) for v in values], fresh=True)
operation("attributes_write", lambda: P(_write_attributes, fresh_wrapper()),
          lambda w: [shown(getattr(w, name)) for name in _READ + ("extra",)])
operation("attributes_write_errors", lambda: P(errors_of, *(
    P(setattr, w, name, value) for w in [fresh_wrapper()] for name, value in [
        ("__name__", 5), ("__qualname__", None), ("__dict__", []), ("__defaults__", []),
        ("__kwdefaults__", ()), ("__annotations__", 1)]), P(delattr, fresh_wrapper(), "__dict__")),
    described)
operation("repr", lambda: P(list, map(repr, [fresh_wrapper(), W.d.default_token_getter])))
operation("reduce", lambda: P(list, map(lambda f: f.__reduce__(), [
    W.d.default_token_getter, W.L.__get__, W.d.lookup_from_device])))


# The compiled abstraction layer: the builder with remembered and new token
# tuples and its errors; AbstractPackage learning, and lookups that hit and
# miss, answered by a new package or by a package that remembers them.
def new_tokens():
    return ("t%d" % next(W.fresh), None, "x")


def shapes(paths):
    return [len(path) for path in paths]


def lookup_in(package, seq, name="Ops"):
    try:
        return text(package.lookup(("mfpkg", "ops"), seq, name))
    except KeyError as exc:
        return describe(exc)


operation("builder_remembered", lambda: P(W.builder, ("alpha", "m2"), mandatory=1))
operation("builder_new_tokens", lambda: P(W.builder, new_tokens()), shapes)
operation("builder_list", lambda: P(W.builder, ["alpha", None], mandatory=0))
operation("builder_errors", lambda: P(errors_of, P(W.builder, ("a", 3)), P(W.builder, ("a",), mandatory=True),
                                      P(W.builder, ("a",), depth=1)), described)
operation("package_learn", lambda: P(lambda: sorted(W.Package("mfpkg").token_paths)))
operation("package_lookup_new", lambda: P(lookup_in, W.Package("mfpkg", delay=True), ("alpha", "m2")))
operation("package_lookup_miss_new", lambda: P(lookup_in, W.Package("mfpkg", delay=True), ("beta",)))
operation("package_lookup_remembered", lambda: P(lookup_in, W.package, ("alpha",)))
operation("package_lookup_miss_remembered", lambda: P(lookup_in, W.package, ("alpha",), "Nothing"))
operation("package_repr", lambda: P(repr, W.package))


class PythonMiss:
    """A package whose lookup is Python code that raises KeyError: the same
    sweep as package_lookup_miss_* without this package's code. Only where
    it shows an interpreter's own crash (elsewhere the interpreter's frame
    handling under faults makes it no clean operation)."""

    def lookup(self, relpath, seq, name):
        raise KeyError("abstraction package 'mfpkg' has no token package %r" % ".".join(seq))


if sys.version_info[:3] == (3, 15, 0):
    operation("python_lookup_miss", lambda: P(lookup_in, PythonMiss(), ("beta",)))


# ---- classification


def outcome(op, value=None, error=None, ran=False):
    """The comparable outcome of `op`: of the run given, or of a new run."""
    if not ran:
        try:
            value = op.prepare()()
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
    """How an outcome under a fault compares with the fault-free one."""
    if got == expected:
        return "same"
    if got[0] == "raise" and got[1] == "MemoryError":
        return "memory"
    if got[0] == expected[0] == "return" and len(got[1]) == len(expected[1]) and all(
            type(item) is list and item[:1] == ["raise"] for item in got[1] + expected[1]):
        # Errors caught one by one: each compares as a raised one would.
        kinds = {classify(g, e) for g, e in zip(got[1], expected[1])} - {"same"}
        return kinds.pop() if len(kinds) == 1 and kinds <= ALLOWED else "wrong"
    if not (got[0] == expected[0] == "raise" and got[4] == expected[4]
            and subsequence(got[3], expected[3])):
        return "wrong"
    if "message-dropped" in QUIRKS and got[1] == expected[1] and got[2] == "" != expected[2]:
        return "message-dropped"
    return "wrong"


# Kinds of outcome under a fault that are not failures.
ALLOWED = {"same", "memory", "message-dropped"}

# The interpreter's own behaviours under a fault found on this one.
QUIRKS = set()


def find_quirks():
    """Some interpreters (3.8 to 3.11.2 at least), when PyErr_SetString or
    PyErr_Format cannot allocate the message, drop the MemoryError and set
    the exception with no message: int("1", 99) then raises ValueError(),
    as the module's own TypeErrors raised the same way do. Sweeps
    int("1", 99) to find out."""
    call = P(int, "1", 99)
    sys._getframe()
    for n in range(40):
        _testcapi.set_nomemory(n, n + 1)
        try:
            call()
        except ValueError as exc:
            error = exc
        except MemoryError:
            continue
        finally:
            _testcapi.remove_mem_hooks()
        if not error.args:
            QUIRKS.add("message-dropped")


def operation_point(op, expected):
    def point(n):
        value, error = under_fault(n, op.prepare())
        got = outcome(op, value, error, ran=True)
        result = {"kind": classify(got, expected), "problems": []}
        if result["kind"] == "wrong" and error is not None and importlib_lock_failure(error, innermost=True):
            result["kind"] = "lock"
        if result["kind"] not in ALLOWED | {"lock"}:
            result["problems"].append("got %r, without a fault %r" % (got, expected))
            if error is not None:
                result["error"] = formatted(error)
        # The same operation without a fault must give the usual result.
        again = outcome(op)
        if again != expected:
            result["problems"].append("afterwards %r, not %r" % (again, expected))
        return result
    return point


def sweep_operation(name, first=0, limit=2000):
    prepare_world()
    find_quirks()
    op = OPERATIONS[name]
    if op.fresh:
        with tempfile.TemporaryFile() as errors:
            expected = in_child(lambda n: {"outcome": outcome(op)}, 0, errors)["outcome"]
    else:
        # Warm-up: caches (the abstraction package, default_builder's paths,
        # traceback code objects, imported token modules) filled first.
        outcome(op)
        outcome(op)
        expected = outcome(op)
    # A debug build aborts on some of its own assertions (interpreter_abort()):
    # one child per point there.
    fork = op.fresh or hasattr(sys, "gettotalrefcount")
    sweep(operation_point(op, expected), first, limit, fork=fork)


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
            sweep_operation(argv[2], *map(int, argv[3:]))
        else:
            raise SystemExit("unknown mode %r" % mode)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv)
