# Entry point of the dispatch benchmarks: instructions per operation under
# callgrind and time under pyperf, for the installed extension ("ours"), a
# pure-Python decorator ("python") and that decorator compiled with Cython
# ("cython"), each over its own copy of one package tree.
"""Dispatch cost of orvex.abstract against a pure-Python and a Cython decorator.

    python benchmarks/run.py [--fast | --rigorous] [--instructions-only | --time-only]

Needs pyperf (``pip install '.[bench]'``) and, for the instruction table,
valgrind; the cython row needs Cython in the same interpreter. Prints a table
of instructions per operation and a table of times, each with ratios to the
plain method call and to the python row, then the ratios the project tracks.
"""

import argparse
import concurrent.futures
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

import cases

HERE = os.path.dirname(os.path.abspath(__file__))
# Iteration counts of the two callgrind runs of a case: the difference of their
# totals, divided by the difference of the counts, is the cost of one iteration.
SHORT, LONG = 10, 2010
# The cases that dispatch: one row per implementation (the anchors have one).
DISPATCH_CASES = [case for case in cases.CASES if case not in cases.ANCHORS.values()]


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    speed = parser.add_mutually_exclusive_group()
    speed.add_argument("--fast", action="store_true", help="pyperf's fast mode: a quick look")
    speed.add_argument("--rigorous", action="store_true", help="pyperf's rigorous mode")
    only = parser.add_mutually_exclusive_group()
    only.add_argument("--instructions-only", action="store_true", help="skip the time table")
    only.add_argument("--time-only", action="store_true", help="skip the instruction table")
    parser.add_argument("--case", action="append", choices=DISPATCH_CASES,
                        help="measure only this case (repeatable; anchors are always measured)")
    return parser.parse_args(argv)


def implementations(root):
    """The implementations to measure, and notes on those skipped."""
    impls, notes = ["ours", "python"], []
    version = cases.cython_version()
    if version is None:
        notes.append("cython row skipped: Cython is not importable (pip install '.[bench]')")
    else:
        failure = cases.build_cython(root)
        if failure is None:
            impls.append("cython")
            notes.append("cython row: Cython %s" % version)
        else:
            tail = failure.strip().splitlines()[-3:]
            notes.append("cython row skipped: the build failed:\n  " + "\n  ".join(tail))
    return impls, notes


def measurements(impls, selected):
    """(row, case, impl) in table order; impl is None for an anchor."""
    triples = [(label, case, None) for label, case in cases.ANCHORS.items()]
    for case in selected:
        triples.extend((impl, case, impl) for impl in impls)
    return triples


# Instructions.

def callgrind_refs(root, impl, case, n, out):
    """Total instructions of one run of the loop script under callgrind."""
    # The two runs of a case must differ in nothing but the iteration count:
    # a fixed hash seed, and no byte code written between them.
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
               sys.executable, os.path.join(HERE, "cases.py"), root, impl or "-", case, str(n)]
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    found = re.search(r"refs:\s+([\d,]+)", done.stderr)
    if done.returncode != 0 or not found:
        raise RuntimeError("callgrind run failed: %s\n%s" % (" ".join(command), done.stderr))
    return int(found.group(1).replace(",", ""))


def count_instructions(root, triples):
    """{case: {row: instructions per iteration}}; the anchors under "anchors"."""
    runs = [(triple, n) for triple in triples for n in (SHORT, LONG)]
    progress("callgrind: %d runs, 2 at a time" % len(runs))
    refs = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        futures = {}
        for index, ((row, case, impl), n) in enumerate(runs):
            out = os.path.join(root, "callgrind.%d" % index)
            futures[pool.submit(callgrind_refs, root, impl, case, n, out)] = (row, case, n)
        for future in concurrent.futures.as_completed(futures):
            refs[futures[future]] = future.result()
    counts = {}
    for row, case, impl in triples:
        group = "anchors" if impl is None else case
        per_iteration = (refs[row, case, LONG] - refs[row, case, SHORT]) / (LONG - SHORT)
        counts.setdefault(group, {})[row] = per_iteration
    return counts


# Time.

def time_groups(root, impls, selected, mode):
    """{case: {row: (mean, stdev) in seconds}}, one pyperf run per case.

    Each run times the case for every implementation, the plain method call
    and, for the held wrapper, the partial: the ratios come from one run.
    """
    import pyperf

    times = {}
    for case in selected:
        progress("pyperf%s: %s" % (" --" + mode if mode else "", case))
        with tempfile.TemporaryDirectory() as scratch:
            out = os.path.join(scratch, "result.json")
            command = [sys.executable, os.path.join(HERE, "timing.py"), "--quiet", "-o", out,
                       "--root", root, "--case", case, "--impls", ",".join(impls)]
            if mode:
                command.append("--" + mode)
            if "PYTHONPATH" in os.environ:
                # pyperf's workers start with a minimal environment.
                command += ["--inherit-environ", "PYTHONPATH"]
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  universal_newlines=True)
            if done.returncode != 0:
                raise RuntimeError("pyperf run failed: %s\n%s" % (" ".join(command), done.stdout))
            for benchmark in pyperf.BenchmarkSuite.load(out).get_benchmarks():
                row = benchmark.get_name().partition("/")[2]
                times.setdefault(case, {})[row] = (benchmark.mean(), benchmark.stdev())
    return times


# Output.

def progress(message):
    sys.stderr.write("... %s\n" % message)
    sys.stderr.flush()


def ratio(value, base):
    return "%.2f" % (value / base)


def format_time(mean, stdev):
    """'7.42 us +- 1.70 us': both in the largest unit the mean is 1 or more of."""
    for unit, scale in (("s", 1.0), ("ms", 1e3), ("us", 1e6), ("ns", 1e9)):  # noqa: B007 (read after)
        if mean * scale >= 1:
            break

    def figure(value):
        # Three significant digits for the mean, as many decimals for both.
        return "%.*f" % (0 if mean * scale >= 100 else 1 if mean * scale >= 10 else 2, value)

    return "%s %s +- %s %s" % (figure(mean * scale), unit, figure(stdev * scale), unit)


ROW = "%-22s %-14s %16s %8s %9s"


def instruction_table(counts, impls, selected):
    print("Instructions per operation (callgrind: (refs(%d) - refs(%d)) / %d, loop included)"
          % (LONG, SHORT, LONG - SHORT))
    print(ROW % ("case", "row", "instructions", "x plain", "x python"))
    plain = counts["anchors"]["plain"]
    for row, case in cases.ANCHORS.items():
        value = counts["anchors"][row]
        print(ROW % (case, row, "{:,.0f}".format(value), ratio(value, plain), ""))
    for case in selected:
        for index, impl in enumerate(impls):
            value = counts[case][impl]
            print(ROW % (case if index == 0 else "", impl, "{:,.0f}".format(value),
                         ratio(value, plain), ratio(value, counts[case]["python"])))
    print()


def time_table(times, impls, selected, mode):
    print("Time per operation (pyperf%s: mean +- std dev; each case one run)"
          % (" --" + mode if mode else ""))
    print(ROW % ("case", "row", "time", "x plain", "x python"))
    for case in selected:
        group = times[case]
        labels = [label for label in cases.ANCHORS if label in group] + impls
        for index, label in enumerate(labels):
            mean, stdev = group[label]
            print(ROW % (case if index == 0 else "", label,
                         format_time(mean, stdev),
                         ratio(mean, group["plain"][0]),
                         ratio(mean, group["python"][0]) if label in impls else ""))
    print()


def tracked(counts, times, impls):
    """The ratios the project follows from one release to the next."""
    lines = []
    if "fetch+call" in counts:
        fetch = counts["fetch+call"]
        lines += [("fetch+call instructions, %s/ours" % impl, fetch[impl] / fetch["ours"])
                  for impl in ("python", "cython") if impl in impls]
        lines.append(("fetch+call instructions, ours/singledispatch",
                      fetch["ours"] / counts["anchors"]["singledispatch"]))
    if "held wrapper" in counts:
        lines.append(("held wrapper instructions, ours/partial",
                      counts["held wrapper"]["ours"] / counts["anchors"]["partial"]))
    if not counts:
        # Without instructions, the same ratios in time.
        if "fetch+call" in times:
            fetch = times["fetch+call"]
            lines += [("fetch+call time, %s/ours" % impl, fetch[impl][0] / fetch["ours"][0])
                      for impl in ("python", "cython") if impl in impls]
            lines.append(("fetch+call time, ours/singledispatch", fetch["ours"][0] / fetch["singledispatch"][0]))
        if "held wrapper" in times:
            held = times["held wrapper"]
            lines.append(("held wrapper time, ours/partial", held["ours"][0] / held["partial"][0]))
    if lines:
        print("Tracked ratios")
        for label, figure in lines:
            print("  %-46s %6.3f" % (label, figure))


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    mode = "fast" if args.fast else "rigorous" if args.rigorous else None
    selected = [case for case in DISPATCH_CASES if not args.case or case in args.case]
    if not args.time_only and shutil.which("valgrind") is None:
        sys.exit("valgrind is not on PATH: install it, or run with --time-only")
    started = time.monotonic()
    import orvex.abstract

    with tempfile.TemporaryDirectory(prefix="orvex-bench-") as root:
        cases.write_trees(root, cases.IMPLEMENTATIONS)
        impls, notes = implementations(root)
        # Sets every case up once and checks that each reaches its override.
        subprocess.run([sys.executable, os.path.join(HERE, "cases.py"), "--check", root] + impls,
                       check=True)
        triples = measurements(impls, selected)
        counts = {} if args.time_only else count_instructions(root, triples)
        times = {} if args.instructions_only else time_groups(root, impls, selected, mode)
    progress("measured in %.0f s" % (time.monotonic() - started))

    print("CPython %s (%s); orvex.abstract from %s"
          % (platform.python_version(), sys.executable, os.path.dirname(orvex.abstract.__file__)))
    for note in notes:
        print(note)
    print()
    if counts:
        instruction_table(counts, impls, selected)
    if times:
        time_table(times, impls, selected, mode)
    tracked(counts, times, impls)


if __name__ == "__main__":
    main()
