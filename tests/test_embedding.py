"""Where the package runs: the main interpreter, its threads and the children
it forks. A sub-interpreter, sharing the GIL or with its own, is refused at
import with a message that says what to do, and neither interpreter is left
with anything half-made; the main interpreter imports and dispatches as
before, whether it imported first or not, and exits cleanly.

Each scenario runs in a child process of its own with a deadline, so that a
hang fails instead of blocking, and a crash at exit fails too.
"""

import json
import sys
import textwrap

import pytest

from support import run_python

MESSAGE = ("orvex.abstract runs only in the main interpreter, not in a sub-interpreter: configure the host that "
           "embeds Python to run this application in the main interpreter, or run it in a process of its own")

LAYOUT = {
    "mylib/__init__.py": "",
    "mylib/ops.py": """
        from orvex.abstract import LookupDecorator

        class Ops:
            def __init__(self, os):
                self.os = os

            @LookupDecorator('os')
            def run(self):
                return 'generic'
    """,
    "mylib/alpha/__init__.py": "",
    "mylib/alpha/ops.py": """
        from mylib.ops import Ops as Generic

        class Ops(Generic):
            def run(self):
                return 'alpha'
    """,
}

# In the child: sub(kind, code) runs `code` in a new interpreter and returns
# the REPORT dict it filled; attempt() is how that code tries an import.
PRELUDE = """
import json, os, sys, tempfile

def sub(kind, code):
    fd, path = tempfile.mkstemp()
    os.close(fd)
    text = SUB_PRELUDE + code + "\\nwith open(%r, 'w') as f: json.dump(REPORT, f)\\n" % path
    if kind == "shared":  # sharing the GIL, as embedding hosts make them
        import _testcapi
        assert _testcapi.run_in_subinterp(text) == 0
    else:  # with its own GIL
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        assert interpreters.run_string(interp, text) is None
        interpreters.destroy(interp)
    with open(path) as f:
        report = json.load(f)
    os.unlink(path)
    return report

SUB_PRELUDE = '''
import json, sys
REPORT = {}

def attempt(name):
    try:
        __import__(name)
    except ImportError as exc:
        return [type(exc).__name__, exc.name, str(exc)]
    return None

def ours():
    return sorted(name for name in sys.modules if name.startswith("orvex.abstract"))
'''

NAMES = ["orvex.abstract", "orvex.abstract.decorator", "orvex.abstract._native",
         "orvex.abstract.magic", "orvex.abstract.package"]
TRY_ALL = "REPORT['attempts'] = [attempt(n) for n in %r]; REPORT['modules'] = ours()" % NAMES

def ours():
    return sorted(name for name in sys.modules if name.startswith("orvex.abstract"))

def dispatch():
    from mylib.ops import Ops
    return [Ops('alpha').run(), Ops('beta').run()]

def out(**data):
    print("OUT " + json.dumps(data), flush=True)
"""

REFUSED = [["ImportError", "orvex.abstract._native", MESSAGE]] * 5

SCENARIOS = {
    # The main interpreter imported and dispatched first.
    "main first": ("""
        before = dispatch()
        modules = ours()
        report = sub("shared", TRY_ALL)
        out(before=before, report=report, after=dispatch(), unchanged=ours() == modules)
    """, lambda o: o == {"before": ["alpha", "generic"], "after": ["alpha", "generic"], "unchanged": True,
                         "report": {"attempts": REFUSED, "modules": []}}),
    # A sub-interpreter with a mylib of its own on its path, which once
    # dispatched through the main interpreter's modules and left its classes
    # in the main interpreter's package (a crash at exit on 3.12).
    "own mylib": ("""
        before = dispatch()
        other = tempfile.mkdtemp()
        for name, text in LAYOUT.items():
            os.makedirs(os.path.dirname(os.path.join(other, name)), exist_ok=True)
            with open(os.path.join(other, name), "w") as f:
                f.write(text.replace("'generic'", "'sub generic'").replace("'alpha'", "'sub alpha'"))
        code = "sys.path.insert(0, %r)\\ntry:\\n    from mylib.ops import Ops\\n" % other
        code += "    REPORT['run'] = Ops('alpha').run()\\nexcept ImportError as exc:\\n    REPORT['run'] = str(exc)\\n"
        report = sub("shared", code)
        out(before=before, report=report, after=dispatch())
    """, lambda o: o == {"before": ["alpha", "generic"], "report": {"run": MESSAGE}, "after": ["alpha", "generic"]}),
    # A sub-interpreter tried first: the main interpreter then imports afresh.
    "sub first": ("""
        report = sub("shared", TRY_ALL)
        untouched = ours()
        from orvex.abstract import LookupDecorator
        out(report=report, untouched=untouched, cls=type(LookupDecorator).__name__, after=dispatch())
    """, lambda o: o == {"report": {"attempts": REFUSED, "modules": []}, "untouched": [], "cls": "type",
                         "after": ["alpha", "generic"]}),
    # Asked again after a refusal, the sub-interpreter is refused again.
    "twice": ("""
        first = sub("shared", TRY_ALL)
        second = sub("shared", TRY_ALL)
        out(same=first == second, after=dispatch())
    """, lambda o: o == {"same": True, "after": ["alpha", "generic"]}),
    # One with its own GIL hears the same refusal, not the interpreter's own.
    "own GIL": ("""
        before = dispatch()
        report = sub("own", TRY_ALL)
        out(report=report, after=dispatch())
    """, lambda o: o == {"report": {"attempts": REFUSED, "modules": []}, "after": ["alpha", "generic"]}),
    # The dict watchers of other code see their events while the package watches its own dicts.
    "watchers": ("""
        import _testcapi
        watcher = _testcapi.add_dict_watcher(0)
        watched = {}
        _testcapi.watch_dict(watcher, watched)
        before = dispatch()
        watched["key"] = "value"
        after = dispatch()
        del watched["key"]
        events = list(_testcapi.get_dict_watcher_events())  # clearing the watcher may empty it
        _testcapi.clear_dict_watcher(watcher)
        out(events=events, both=before == after == ["alpha", "generic"])
    """, lambda o: o == {"events": ["new:key:value", "del:key"], "both": True}),
    # A child forked while a thread of the parent learns (held inside indexing)
    # has no learner: it makes the lock anew and learns itself.
    "fork while learning": ("""
        import signal, threading
        import orvex.abstract.package as package_mod
        entered, release, learner = threading.Event(), threading.Event(), []
        real_index = package_mod._index

        def index(module):
            if threading.get_ident() in learner:
                entered.set()
                release.wait()
            return real_index(module)

        package_mod._index = index

        def learn():
            learner.append(threading.get_ident())
            dispatch()

        thread = threading.Thread(target=learn)
        thread.start()
        assert entered.wait(10)
        pid = os.fork()
        if pid == 0:
            signal.alarm(10)  # a child that hangs dies
            os._exit(0 if dispatch() == ["alpha", "generic"] else 3)
        release.set()
        thread.join()
        _, status = os.waitpid(pid, 0)
        out(status=status)
    """, lambda o: o == {"status": 0}),
    # Forked while another thread keeps fetching.
    "fork while fetching": ("""
        import signal, threading
        stop = threading.Event()

        def fetch():
            while not stop.is_set():
                dispatch()

        dispatch()
        thread = threading.Thread(target=fetch)
        thread.start()
        statuses = []
        for _ in range(20):
            pid = os.fork()
            if pid == 0:
                signal.alarm(10)
                os._exit(0 if dispatch() == ["alpha", "generic"] else 3)
            statuses.append(os.waitpid(pid, 0)[1])
        stop.set()
        thread.join()
        out(statuses=sorted(set(statuses)))
    """, lambda o: o == {"statuses": [0]}),
    # multiprocessing's workers, forked after the parent dispatched.
    "multiprocessing": ("""
        import multiprocessing

        def work(os_name):
            from mylib.ops import Ops
            return Ops(os_name).run()

        dispatch()
        with multiprocessing.get_context("fork").Pool(2) as pool:
            results = pool.map(work, ["alpha", "beta"] * 4, chunksize=1)
        out(results=results)
    """, lambda o: o == {"results": ["alpha", "generic"] * 4}),
}

# Forking with threads running is deprecated from 3.12: the warning is expected.
FORKS = {"fork while learning", "fork while fetching"}

NEEDS = {
    "own GIL": ((3, 12), "interpreters with their own GIL came with 3.12"),
    "watchers": ((3, 12), "dict watchers came with 3.12"),
}


def run_scenario(tmp_path, code, flags=()):
    layout = {path: textwrap.dedent(text) for path, text in LAYOUT.items()}
    for path, text in layout.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text)
    code = "LAYOUT = %r\n" % layout + PRELUDE + textwrap.dedent(code)
    proc = run_python(code, tree=tmp_path, flags=flags, timeout=60)
    assert proc.returncode == 0 and not proc.stderr, proc.stderr[-3000:]
    [line] = [line for line in proc.stdout.splitlines() if line.startswith("OUT ")]
    return json.loads(line[4:])


@pytest.mark.parametrize("name", SCENARIOS)
def test_scenario(tmp_path, name):
    version, reason = NEEDS.get(name, ((3, 8), ""))
    if sys.version_info < version:
        pytest.skip(reason)
    if name in {"main first", "own mylib", "sub first", "twice", "watchers"} and not _has("_testcapi"):
        pytest.skip("needs _testcapi")
    if name == "own GIL" and not (_has("_interpreters") or _has("_xxsubinterpreters")):
        pytest.skip("no interpreters module in this build")
    code, expected = SCENARIOS[name]
    flags = ("-W", "ignore::DeprecationWarning") if name in FORKS else ()
    outcome = run_scenario(tmp_path, code, flags)
    assert expected(outcome), outcome


def _has(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True
