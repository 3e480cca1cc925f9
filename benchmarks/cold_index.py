# The cold path of an abstraction package: making AbstractPackage(name) and
# learning its token packages, counted under callgrind for the installed
# package ("ours") and the pure-Python baseline (baseline/package.py).
# Run as a script with --run it is the process that callgrind counts.
"""Instructions per token package of the first index, ours against the pure-Python baseline.

    python benchmarks/cold_index.py [--sizes 10,100,1000]

Needs valgrind. For each size, a root package with that many token packages
(each a directory with ``__init__.py`` and ``ops.py``) is laid out in a
temporary directory; each implementation runs twice under callgrind, once
making and learning ``AbstractPackage(name)`` and once not, everything else
alike (the root and the implementation imported in both). The difference of
the totals, divided by the size, is the cost per token package. The table
also gives the entries that learning left in ``sys.path_importer_cache``.
"""

import argparse
import concurrent.futures
import importlib
import importlib.util
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BASELINE = os.path.join(HERE, "baseline", "package.py")
ROOT_NAME = "coldpkg"
IMPLEMENTATIONS = ("ours", "baseline")


def lay_out(directory, size):
    """A root package with *size* token packages, each with an ops module, in *directory*."""
    root = os.path.join(directory, ROOT_NAME)
    os.makedirs(root)
    open(os.path.join(root, "__init__.py"), "w").close()
    for index in range(size):
        token = os.path.join(root, "t%04d" % index)
        os.mkdir(token)
        open(os.path.join(token, "__init__.py"), "w").close()
        with open(os.path.join(token, "ops.py"), "w") as handle:
            handle.write("class Ops:\n    pass\n")


def abstract_package(impl):
    """The AbstractPackage class of *impl*; the baseline's is loaded from its file."""
    if impl == "ours":
        from orvex.abstract.package import AbstractPackage

        return AbstractPackage
    spec = importlib.util.spec_from_file_location("cold_baseline_package", BASELINE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.AbstractPackage


def run(directory, impl, learn):
    """The counted process: import everything, then make and learn the package if *learn*."""
    sys.path.insert(0, directory)
    cls = abstract_package(impl)
    importlib.import_module(ROOT_NAME)
    before = len(sys.path_importer_cache)
    if learn:
        package = cls(ROOT_NAME)
        size = len(package.token_paths) - 1
    else:
        size = 0
    print("token packages %d, path importer cache +%d" % (size, len(sys.path_importer_cache) - before))


def callgrind(directory, impl, learn, out):
    """(total instructions, the process's report) of one counted run."""
    # The two runs of a pair must differ in nothing but the learning: a fixed
    # hash seed, and no byte code written by the first one.
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable,
               os.path.abspath(__file__), "--run", directory, impl, str(int(learn))]
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    found = re.search(r"refs:\s+([\d,]+)", done.stderr)
    if done.returncode != 0 or not found:
        raise RuntimeError("callgrind run failed: %s\n%s%s" % (" ".join(command), done.stdout, done.stderr))
    return int(found.group(1).replace(",", "")), done.stdout.strip()


def measure(scratch, sizes):
    """{(size, impl): (instructions per token package, cache entries added)}."""
    runs = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for size in sizes:
            directory = os.path.join(scratch, "size%d" % size)
            lay_out(directory, size)
            for impl in IMPLEMENTATIONS:
                for learn in (False, True):
                    out = os.path.join(scratch, "callgrind.%d.%s.%d" % (size, impl, learn))
                    runs[size, impl, learn] = pool.submit(callgrind, directory, impl, learn, out)
    results = {}
    for size in sizes:
        for impl in IMPLEMENTATIONS:
            idle, _ = runs[size, impl, False].result()
            learned, report = runs[size, impl, True].result()
            counted, added = map(int, re.match(r"token packages (\d+), path importer cache \+(\d+)",
                                               report).groups())
            if counted != size:
                raise AssertionError("%s learned %d token packages, not %d" % (impl, counted, size))
            results[size, impl] = ((learned - idle) / size, added)
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10,100,1000",
                        help="numbers of token packages, comma-separated (default 10,100,1000)")
    parser.add_argument("--run", nargs=3, metavar=("DIR", "IMPL", "LEARN"), help=argparse.SUPPRESS)
    args = parser.parse_args(sys.argv[1:] if argv is None else argv)
    if args.run:
        directory, impl, learn = args.run
        run(directory, impl, learn == "1")
        return
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not on PATH")
    sizes = [int(size) for size in args.sizes.split(",")]
    import orvex.abstract

    with tempfile.TemporaryDirectory(prefix="orvex-cold-index-") as scratch:
        results = measure(scratch, sizes)
    print("CPython %s (%s); orvex.abstract from %s"
          % (platform.python_version(), sys.executable, os.path.dirname(orvex.abstract.__file__)))
    print("Instructions per token package of making and learning AbstractPackage(name)")
    print("(callgrind: (refs(made and learned) - refs(not made)) / token packages)")
    row = "%14s %12s %12s %8s %16s %16s"
    print(row % ("token packages", "ours", "baseline", "ratio", "cache +ours", "cache +baseline"))
    for size in sizes:
        ours, ours_added = results[size, "ours"]
        base, base_added = results[size, "baseline"]
        print(row % ("{:,}".format(size), "{:,.0f}".format(ours), "{:,.0f}".format(base),
                     "%.2f" % (ours / base), ours_added, base_added))
    print("ratio = ours / baseline; cache + = entries learning added to sys.path_importer_cache")


if __name__ == "__main__":
    main()
