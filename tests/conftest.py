"""Shared pytest set-up.

``--refleaks`` (a debug build of Python only; ``bash tools/refleaks.sh`` runs
it): each test runs a few times to warm up, then several measured times, then
once more as the run that pytest reports.  Every run is a whole run, with its
function-scoped fixtures made anew and torn down after it.  The test fails
when the interpreter's total reference count, or its count of allocated memory
blocks, grew in every measured run: a leak of at least one reference per run.

A test that passes once but fails when run again fails too, with the error of
the run that failed.  One that cannot be repeated (it depends on state that
its fixtures do not reset) takes ``@pytest.mark.no_refleaks`` and then runs
once, unchecked.  Two kinds of test are run once without the mark: one
parametrised with an iterator, which its first run uses up, and one that
starts a process (``subprocess``, ``os.fork``, ``os.system``...), which the
check sees on the first run.

``--memory-faults`` runs the tests marked ``memory_faults``: sweeps that fail
each allocation in turn during an operation (they start many processes and
are skipped otherwise).  ``--stress`` makes the thread stress tests run longer
(the ``stress_rounds`` fixture).  Hypothesis profiles: ``default`` for the
everyday run, ``thorough`` (``--hypothesis-profile=thorough``) for the full
check, and ``refleaks``, taken under ``--refleaks`` unless another is named.
"""

import collections.abc
import gc
import linecache
import re
import sys

import pytest

# Runs before measuring, and measured runs; the reported run comes after both.
REFLEAK_WARMUPS = 3
REFLEAK_RUNS = 6

# Audit events that show that a test starts another process.
_PROCESS_EVENTS = frozenset({
    "subprocess.Popen", "os.system", "os.fork", "os.forkpty",
    "os.posix_spawn", "os.spawn", "os.exec", "pty.spawn",
})

_started_process = False


# How much longer the stress tests run under --stress.
STRESS_FACTOR = 10

try:
    import hypothesis
except ImportError:  # the fuzz tests skip themselves
    hypothesis = None
else:
    hypothesis.settings.register_profile("default", deadline=None, max_examples=150)
    hypothesis.settings.register_profile("thorough", deadline=None, max_examples=3000)
    # Under --refleaks each test runs ten times; the leak check needs the
    # paths, not the breadth. Nor does it fail a run whose random draws came
    # out too large: with ten runs of few examples, that happens by chance.
    hypothesis.settings.register_profile(
        "refleaks", deadline=None, max_examples=25,
        suppress_health_check=[hypothesis.HealthCheck.data_too_large])
    hypothesis.settings.load_profile("default")


# The interpreter's caches that a measurement empties first; 3.13 renamed
# the call (the old name warns from 3.15, and each warning would be kept).
_clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def _process_audit(event, args):
    global _started_process
    if event in _PROCESS_EVENTS:
        _started_process = True


def _refleaks_active(config):
    return config.getoption("refleaks") and hasattr(sys, "gettotalrefcount")


def pytest_addoption(parser):
    parser.getgroup("orvex").addoption(
        "--refleaks",
        action="store_true",
        default=False,
        help="run each test repeatedly and fail it if the total reference count or "
        "the allocated memory blocks grow on every run (needs a debug build of Python)",
    )
    parser.getgroup("orvex").addoption(
        "--memory-faults",
        action="store_true",
        default=False,
        help="run the memory-fault sweeps (tests marked memory_faults)",
    )
    parser.getgroup("orvex").addoption(
        "--stress",
        action="store_true",
        default=False,
        help="run the thread stress tests %d times longer" % STRESS_FACTOR,
    )


@pytest.fixture
def stress_rounds(request):
    """Multiplier for the length of a stress test: 1, or more under --stress."""
    return STRESS_FACTOR if request.config.getoption("stress") else 1


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "no_refleaks: run the test once under --refleaks, without the leak check "
        "(for a test that cannot be repeated)",
    )
    config.addinivalue_line(
        "markers",
        "memory_faults: a memory-fault sweep, run only with --memory-faults",
    )
    if _refleaks_active(config):
        # Audit hooks cannot be removed; this one only sets a flag.
        sys.addaudithook(_process_audit)
        if hypothesis is not None and config.getoption("hypothesis_profile", None) is None:
            hypothesis.settings.load_profile("refleaks")


def pytest_report_header(config):
    if not config.getoption("refleaks"):
        return None
    if hasattr(sys, "gettotalrefcount"):
        return "refleaks: %d warm-up and %d measured runs per test" % (
            REFLEAK_WARMUPS, REFLEAK_RUNS)
    return "refleaks: not available on this interpreter (no sys.gettotalrefcount)"


def pytest_collection_modifyitems(config, items):
    if not config.getoption("memory_faults"):
        skip_sweep = pytest.mark.skip(reason="memory-fault sweep: run with --memory-faults")
        for item in items:
            if item.get_closest_marker("memory_faults") is not None:
                item.add_marker(skip_sweep)
    if config.getoption("refleaks") and not hasattr(sys, "gettotalrefcount"):
        skip = pytest.mark.skip(
            reason="--refleaks needs a debug build of Python (sys.gettotalrefcount is missing)")
        for item in items:
            item.add_marker(skip)


def _snapshot():
    # Caches that fill with what each run makes anew (source lines of files
    # in a new tmp_path, patterns), as regrtest clears them.
    linecache.clearcache()
    re.purge()
    gc.collect()
    _clear_caches()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def _leaks(deltas):
    return all(delta >= 1 for delta in deltas)


def _passed(reports):
    return all(report.passed for report in reports)


# ---- pytest's internals, which the leak check cannot do without; all of
# them are here. Checked on pytest 7.2 (Debian 12), 8.3 (Python 3.8) and 9.2.


def _run_protocol(item, nextitem):
    """Set up, call and tear down *item* towards *nextitem*, without logging."""
    from _pytest.runner import runtestprotocol

    return runtestprotocol(item, log=False, nextitem=nextitem)


def _repeatable(item):
    """Whether *item* is a plain test function that _run_protocol can repeat."""
    return hasattr(item, "_report_sections")


def _appended_per_run(item, first):
    """Lists that pytest appends to on every run of *item* and trims later.

    The captured output and logs of the item; after the first run also the
    finalizers that every request of a fixture of a wider scope registers
    (on the node that holds the fixture, and on that fixture for each
    fixture that depends on it), which stay until that scope ends.  Repeated
    runs only add copies of what the first run registered.
    """
    lists = [item._report_sections, item.user_properties]
    if first:
        return lists
    setupstate = getattr(item.session, "_setupstate", None)
    for entry in getattr(setupstate, "stack", {}).values():
        if isinstance(entry, tuple) and entry and isinstance(entry[0], list):
            lists.append(entry[0])
    fixtureinfo = getattr(item, "_fixtureinfo", None)
    for fixturedefs in getattr(fixtureinfo, "name2fixturedefs", {}).values():
        for fixturedef in fixturedefs:
            finalizers = getattr(fixturedef, "_finalizers", None)
            if isinstance(finalizers, list):
                lists.append(finalizers)
    return lists


def _unlogged_run(item, first):
    """Set up, call and tear down *item* without reporting; return the reports.

    The teardown stops at the item's parent, so that only function-scoped
    fixtures are made anew by the next run.  Apart from what the first run
    registers, what pytest adds to its own lists during a run is dropped
    after it: it would grow with every run and read as a leak.
    """
    kept = [(appended, len(appended)) for appended in _appended_per_run(item, first)]
    # A path put on sys.path (a new tmp_path each run) gets a finder cached.
    importer_cache = dict(sys.path_importer_cache)
    # hypothesis' pytest plugin wraps the settings of a parametrised test in
    # new ones at every run, each the parent of the next.
    function = getattr(getattr(item, "obj", None), "__func__", getattr(item, "obj", None))
    settings = getattr(function, "_hypothesis_internal_use_settings", None)
    try:
        return _run_protocol(item, item.parent)
    finally:
        for appended, length in kept:
            del appended[length:]
        if not first:
            sys.path_importer_cache.clear()
            sys.path_importer_cache.update(importer_cache)
            if settings is not None:
                function._hypothesis_internal_use_settings = settings


def _check(item):
    """Run *item* for the leak check; return why it fails, or None.

    The reason is (text, report of the run that failed or None, whether
    that was the first run).
    """
    global _started_process
    _started_process = False
    # Everything alive now is left out of the collections that measure: each
    # then scans only what the runs of this test made, not the whole heap.
    gc.collect()
    gc.freeze()
    try:
        return _measure(item)
    finally:
        gc.unfreeze()


def _measure(item):
    reports = _unlogged_run(item, first=True)
    if not _passed(reports):
        failed = next((report for report in reports if report.failed), None)
        if failed is None:
            return None  # skipped: the reported run says so
        return ("The test failed on its first run under --refleaks.", failed, True)
    if _started_process:
        return None
    total = 1 + REFLEAK_WARMUPS + REFLEAK_RUNS
    refs, blocks = [], []
    # Bound before measuring, as in every measured run after the first.
    refs0, blocks0 = _snapshot()
    refs1, blocks1 = _snapshot()
    for run in range(2, total + 1):
        measured = run > 1 + REFLEAK_WARMUPS
        if measured:
            refs0, blocks0 = _snapshot()
        reports = _unlogged_run(item, first=False)
        if measured:
            refs1, blocks1 = _snapshot()
            refs.append(refs1 - refs0)
            blocks.append(blocks1 - blocks0)
        if not _passed(reports):
            failed = next(report for report in reports if not report.passed)
            return ("The test passed on its first run but not on run %d of %d under "
                    "--refleaks (%s). A test that cannot be repeated takes "
                    "@pytest.mark.no_refleaks." % (run, total, failed.when), failed, False)
    found = []
    if _leaks(refs):
        found.append("references %s (%d in all)" % (refs, sum(refs)))
    if _leaks(blocks):
        found.append("memory blocks %s (%d in all)" % (blocks, sum(blocks)))
    if found:
        return ("leaked %s over %d runs; %s" % (" and ".join(found), REFLEAK_RUNS, _grown_types(item)),
                None, False)
    return None


def _census():
    gc.collect()
    return collections.Counter(type(obj).__qualname__ for obj in gc.get_objects())


def _grown_types(item):
    """Which types of object grew in each of two more runs of *item*.

    Counts the objects the collector tracks and made since the check began
    (what was alive before is frozen); the censuses themselves add one
    Counter each, which is left out.
    """
    first = _census()
    _unlogged_run(item, first=False)
    second = _census()
    _unlogged_run(item, first=False)
    third = _census()
    grown = sorted((name, third[name] - second[name]) for name in third
                   if name != "Counter" and third[name] > second[name] > first[name])
    if not grown:
        return "no type of object that the collector tracks grew in two more runs"
    return "grew in each of two more runs: " + ", ".join("%s +%d" % item for item in grown)


def _single_use_parameters(item):
    """Whether *item* is parametrised with an iterator, which its first run uses up."""
    callspec = getattr(item, "callspec", None)
    return any(isinstance(value, collections.abc.Iterator)
               for value in getattr(callspec, "params", {}).values())


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if (not _refleaks_active(item.config)
            or item.get_closest_marker("no_refleaks") is not None
            or _single_use_parameters(item)
            or not _repeatable(item)):
        return None  # pytest's own protocol
    ihook = item.ihook
    ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    failure = _check(item)
    # The reported run, torn down towards the next test as usual.
    reports = _run_protocol(item, nextitem)
    call = next((report for report in reports if report.when == "call"), None)
    if failure is not None and call is not None:
        text, failed, on_first_run = failure
        if call.passed:
            call.outcome = "failed"
            if failed is None:
                call.longrepr = text
            else:
                call.longrepr = failed.longrepr
                call.sections.append(("refleaks", text))
        elif not on_first_run:  # else the reported failure says it all
            call.sections.append(("refleaks", text))
    for report in reports:
        ihook.pytest_runtest_logreport(report=report)
    ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
