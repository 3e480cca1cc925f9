# What the benchmarks measure: one abstraction package tree per implementation
# (written from one template), the cases, and their set-up in this process.
# Run as a script it is the loop that callgrind counts:
#     python cases.py ROOT IMPL CASE N      (--check ROOT IMPL... sets every case up once)
"""Package trees, implementations and cases of the dispatch benchmarks."""

import functools
import gc
import importlib
import itertools
import os
import shutil
import subprocess
import sys
import textwrap

BENCHMARKS = os.path.dirname(os.path.abspath(__file__))

# The module name of the Cython build of baseline/pydecorator.py.
CYTHON_MODULE = "cydecorator"
# Implementation -> the module its LookupDecorator comes from. Each gets its
# own tree, benchpkg_<impl>: the root attribute that holds the abstraction
# package has the same name in all of them.
DECORATORS = {
    "ours": "orvex.abstract",
    "python": "baseline.pydecorator",
    "cython": CYTHON_MODULE,
}
IMPLEMENTATIONS = tuple(DECORATORS)

# The object of every case has tokens os='alpha', platform='zz': the tree has
# a token package for 'alpha' but none for 'zz' under it, so the first search
# path, ('alpha', 'zz'), misses and the second, ('alpha',), hits.
TEMPLATE = {
    "__init__.py": "",
    "ops.py": '''
        import functools

        from {decorator} import LookupDecorator


        def fixed_paths(tokens):
            # A custom builder: the same two paths whatever the tokens.
            return [("alpha", "zz"), ("alpha",)]


        class Device(object):
            def __init__(self):
                self.os = "alpha"
                self.custom = {{"abstraction": {{"order": ["os"]}}}}


        class AlphaByHand(object):
            # What the anchors that dispatch by hand call for os="alpha".
            def run(self, x):
                return x


        BY_TOKEN = {{"alpha": AlphaByHand.run}}


        class Ops(object):
            def __init__(self, os="alpha", platform="zz"):
                self.os = os
                self.platform = platform

            def run_if(self, x):
                # The anchors: dispatch written out, a table, and functools.
                if self.os == "alpha":
                    return AlphaByHand.run(self, x)
                return x

            def run_table(self, x):
                return BY_TOKEN[self.os](self, x)

            @functools.singledispatchmethod
            def run_single(self, x):
                return x

            @run_single.register
            def _(self, x: int):
                return x

            @LookupDecorator("os", "platform")
            def run(self, x):
                return x

            @LookupDecorator("os", "platform", builder=fixed_paths)
            def run_custom(self, x):
                return x

            def plain(self, x):
                return x

            class Inner(object):
                def __init__(self, os="alpha", platform="zz"):
                    self.os = os
                    self.platform = platform

                @LookupDecorator("os", "platform")
                def run(self, x):
                    return x


        class One(object):
            # One token: the first search path, ("alpha",), is found.
            def __init__(self):
                self.os = "alpha"

            @LookupDecorator("os")
            def run(self, x):
                return x


        class Many(object):
            # Sixteen tokens: every search path misses but the last, ("alpha",).
            def __init__(self):
                self.os = "alpha"
                for k in range(1, 16):
                    setattr(self, "t%d" % k, "zz")

            @LookupDecorator("os", *["t%d" % k for k in range(1, 16)])
            def run(self, x):
                return x


        class DeviceOps(object):
            # No token attributes of its own: they come from the device.
            def __init__(self, device):
                self.device = device

            @LookupDecorator.from_device("os")
            def run(self, x):
                return x
        ''',
    "alpha/__init__.py": "",
    "alpha/ops.py": '''
        from {package} import ops as generic


        class Ops(generic.Ops):
            def run(self, x):
                return x

            def run_custom(self, x):
                return x

            class Inner(generic.Ops.Inner):
                def run(self, x):
                    return x


        class One(generic.One):
            def run(self, x):
                return x


        class Many(generic.Many):
            def run(self, x):
                return x


        class DeviceOps(generic.DeviceOps):
            def run(self, x):
                return x
        ''',
}


def package_name(impl):
    return "benchpkg_" + impl


def write_trees(root, impls):
    """Write the tree of each implementation into the directory *root*."""
    for impl in impls:
        fields = {"package": package_name(impl), "decorator": DECORATORS[impl]}
        for relative, text in TEMPLATE.items():
            path = os.path.join(root, package_name(impl), relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as handle:
                handle.write(textwrap.dedent(text.format(**fields)).lstrip())


def cython_version():
    """Cython's version, or None when this interpreter cannot import it."""
    try:
        import Cython
    except ImportError:
        return None
    return Cython.__version__


def build_cython(root):
    """Compile baseline/pydecorator.py with Cython into *root* as cydecorator.

    Returns None, or the compiler's output when the build failed.
    """
    build = os.path.join(root, "cython-build")
    os.makedirs(build)
    source = os.path.join(build, CYTHON_MODULE + ".py")
    shutil.copyfile(os.path.join(BENCHMARKS, "baseline", "pydecorator.py"), source)
    done = subprocess.run(
        [sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-3", "-q", source],
        cwd=build, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if done.returncode != 0:
        return done.stdout
    # Only the extension goes where the trees are imported from.
    for name in os.listdir(build):
        if name.startswith(CYTHON_MODULE + ".") and name.endswith((".so", ".pyd")):
            shutil.move(os.path.join(build, name), root)
    shutil.rmtree(build)
    return None


# Case -> (the statement the loop repeats on `o`, how `o` is made from the
# generic module, what the statement calls, the override that must be it).
# The anchors use no decorator.
CASES = {
    "plain method call": ("o.plain(1)", lambda g: g.Ops(), None, None),
    "partial call": ("o(1)", lambda g: functools.partial(g.Ops.plain, g.Ops()), None, None),
    "if/else dispatch": ("o.run_if(1)", lambda g: g.Ops(), None, None),
    "dict dispatch": ("o.run_table(1)", lambda g: g.Ops(), None, None),
    "singledispatchmethod": ("o.run_single(1)", lambda g: g.Ops(), None, None),
    "fetch+call": ("o.run(1)", lambda g: g.Ops(),
                   lambda o: o.run, lambda a: a.Ops.run),
    "held wrapper": ("o(1)", lambda g: g.Ops().run,
                     lambda o: o, lambda a: a.Ops.run),
    "nested class fetch": ("o.run(1)", lambda g: g.Ops.Inner(),
                           lambda o: o.run, lambda a: a.Ops.Inner.run),
    "from_device fetch": ("o.run(1)", lambda g: g.DeviceOps(g.Device()),
                          lambda o: o.run, lambda a: a.DeviceOps.run),
    "custom builder fetch": ("o.run_custom(1)", lambda g: g.Ops(),
                             lambda o: o.run_custom, lambda a: a.Ops.run_custom),
}


def cycled(generic, n):
    """Objects of n token combinations, taken in turn, each fetched through
    three times first: the counted fetches find the caches as they settle.
    (Their tables grow while the first round fills them; a combination
    pushed out before they grew misses once more in the second.)"""
    objects = [generic.Ops(platform="zz%d" % k) for k in range(n)]
    for _ in range(3):
        for o in objects:
            o.run(1)
    return itertools.cycle(objects)


# The same fetch through objects of as many token combinations, taken in turn.
CASES.update({
    "cycled over %s" % label: ("next(o).run(1)", lambda g, n=n: cycled(g, n),
                               lambda o: next(o).run, lambda a: a.Ops.run)
    for label, n in (("1", 1), ("32", 32), ("1,000", 1000))
})
CASES["1 token fetch"] = ("o.run(1)", lambda g: g.One(), lambda o: o.run, lambda a: a.One.run)
CASES["16 tokens fetch"] = ("o.run(1)", lambda g: g.Many(), lambda o: o.run, lambda a: a.Many.run)
# Anchor rows: their label -> their case.
ANCHORS = {"plain": "plain method call", "partial": "partial call", "if/else": "if/else dispatch",
           "dict": "dict dispatch", "singledispatch": "singledispatchmethod"}
# The tree the anchors' objects come from; they never fetch a decorated method.
ANCHOR_TREE = "python"
# Iterations before any that count: the first fetch imports the override and
# indexes the package, and the interpreter specialises the loop's code.
WARMUP = 200


def _fresh_loop(statement):
    # The loop runs as module-level code (o and the loop variable in a dict
    # namespace), the shape of the project's reference figures. A new code
    # object each time, so that no two cases in one process share the
    # interpreter's specialisations of it.
    code = compile("for _ in range(n):\n    %s\n" % statement, "<loop %s>" % statement, "exec")

    def loop(n, o):
        exec(code, {"n": n, "o": o})

    return loop


def prepare(root, impl, case):
    """Set up *case* for *impl* (None for an anchor) over the trees in *root*.

    Returns (loop, o): ``loop(n, o)`` runs the case's statement n times. The
    loop has run WARMUP times, and the override it reaches has been checked.
    """
    if root not in sys.path:
        sys.path.insert(0, root)
    statement, make, callee, expected = CASES[case]
    package = package_name(impl or ANCHOR_TREE)
    generic = importlib.import_module(package + ".ops")
    o = make(generic)
    if expected is not None:
        override = expected(importlib.import_module(package + ".alpha.ops"))
        if getattr(callee(o), "__wrapped__", None) is not override:
            raise AssertionError("%s/%s does not dispatch to %r" % (case, impl, override))
        if impl == "cython":
            module = sys.modules[CYTHON_MODULE]
            if not module.__file__.endswith((".so", ".pyd")):
                raise AssertionError("%s is not the compiled module" % module.__file__)
    loop = _fresh_loop(statement)
    loop(WARMUP, o)
    # The counted iterations start from empty young generations, so that the
    # collections among them fall at the same iterations in every process.
    gc.collect()
    return loop, o


def main(argv):
    if argv[0] == "--check":
        root, impls = argv[1], argv[2:]
        for case in CASES:
            for impl in ((None,) if case in ANCHORS.values() else impls):
                prepare(root, impl, case)
        return
    root, impl, case, n = argv
    loop, o = prepare(root, None if impl == "-" else impl, case)
    loop(int(n), o)


if __name__ == "__main__":
    main(sys.argv[1:])
