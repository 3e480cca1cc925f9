"""What README.md, docs/ and CHANGELOG.md say holds: their examples run as
doctests, the README's first example is the code in examples/mylib/, and each
pitfall they describe behaves as described, on real package trees."""

import asyncio
import doctest
import importlib
import inspect
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import orvex.abstract
from orvex.abstract import explain, from_device_token_getter
from support import creation_error, lay_out
from support import package_dir

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
EXAMPLES = ROOT / "examples"
DOCS = [README, ROOT / "docs" / "api.md", ROOT / "docs" / "development.md", ROOT / "CHANGELOG.md"]

pytestmark = pytest.mark.skipif(not README.exists() or not (EXAMPLES / "mylib").exists(),
                                reason="not run from a source checkout")


def forget_mylib():
    for name in list(sys.modules):
        if name.split(".")[0] == "mylib":
            del sys.modules[name]


@pytest.fixture
def examples_on_path(monkeypatch):
    forget_mylib()  # a test package of the same name may have been imported
    monkeypatch.syspath_prepend(str(EXAMPLES))
    monkeypatch.setattr(sys, "dont_write_bytecode", True)
    yield
    forget_mylib()
    for path in list(sys.path_importer_cache):
        if path.startswith(str(EXAMPLES)):
            del sys.path_importer_cache[path]


@pytest.mark.parametrize("doc", ["README.md", "docs/api.md"])
def test_doctests(examples_on_path, doc):
    failed, attempted = doctest.testfile(
        str(ROOT / doc), module_relative=False, verbose=False, encoding="utf-8",
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert attempted > 10 and failed == 0


def test_readme_example_is_examples_mylib():
    """Each README block that starts with '# mylib/<file>' is that file of examples/mylib."""
    blocks = re.findall(r"```python\n(# (mylib/\S+\.py)[^\n]*\n.*?)```", README.read_text("utf-8"), re.S)
    assert sorted(name for _, name in blocks) == ["mylib/alpha/ops.py", "mylib/ops.py"]
    for text, name in blocks:
        assert (EXAMPLES / name).read_text("utf-8") == text, name


def test_readme_command_lines():
    lines = README.read_text("utf-8").splitlines()
    assert "python -m pip install '.[test]' && python -m pytest -q" in lines  # .ci/run greps it
    assert "python -m pip install . && python examples/run_example.py" in lines


# Sections of the README a user decides with -> whether its examples are
# doctests (run by test_doctests).
SECTIONS = {"Laying out your package": True, "When to use it": False,
            "Testing code that uses it": True}


@pytest.mark.parametrize("heading", list(SECTIONS))
def test_readme_sections(heading):
    text = README.read_text("utf-8")
    match = re.search(r"^## %s\n(.*?)(?=^## )" % re.escape(heading), text, re.M | re.S)
    assert match, heading
    assert ("\n>>> " in match.group(1)) == SECTIONS[heading]


def test_api_reference_quotes_no_internal_lines():
    # Traceback lines are the module's business; a reader needs only the step.
    api = (ROOT / "docs" / "api.md").read_text("utf-8")
    assert not re.search(r"\blines? \d", api)


def slug(heading):
    """The anchor a Markdown renderer gives a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


@pytest.mark.parametrize("doc", DOCS, ids=lambda p: p.name)
def test_links_resolve(doc):
    """Relative links name existing files, and #anchors existing headings."""
    text = doc.read_text("utf-8")
    links = re.findall(r"\]\(([^)\s]+)\)", text)
    assert links
    for link in links:
        if "://" in link:
            continue  # outside the project
        target, _, anchor = link.partition("#")
        path = (doc.parent / target).resolve() if target else doc
        assert path.exists(), link
        if anchor:
            headings = re.findall(r"^#+ (.*)$", path.read_text("utf-8"), re.M)
            assert anchor in [slug(h) for h in headings], link


def test_development_guide_names_every_tool():
    guide = (ROOT / "docs" / "development.md").read_text("utf-8")
    tools = sorted("tools/" + p.name for p in (ROOT / "tools").glob("*.sh"))
    assert tools and [t for t in tools if t not in guide] == []
    assert ".ci/run" in guide and "benchmarks/run.py" in guide


def test_changelog_names_this_version():
    first = re.search(r"^## \[([^\]]+)\]", (ROOT / "CHANGELOG.md").read_text("utf-8"), re.M)
    assert first.group(1) == orvex.abstract.__version__


def test_installed_metadata():
    metadata = pytest.importorskip("importlib.metadata")
    try:
        dist = metadata.distribution("orvex-abstract")
    except metadata.PackageNotFoundError:
        pytest.skip("orvex-abstract is not installed")
    installed = Path(str(dist.locate_file("orvex/abstract/__init__.py"))).resolve()
    if installed != Path(orvex.abstract.__file__).resolve():
        pytest.skip("the package imported is not the distribution installed")
    assert metadata.version("orvex-abstract") == orvex.abstract.__version__
    assert dist.metadata["License-Expression"] == "MIT"
    assert dist.metadata.get_all("License-File") == ["LICENSE"]
    (license_file,) = [f for f in dist.files if f.name == "LICENSE"]
    assert "MIT License" in license_file.read_text()


# ---- the pitfalls, on package trees written for each test


@pytest.fixture
def layout(tmp_path, monkeypatch):
    """lay_out() below tmp_path, forgotten after the test; returns tmp_path."""
    forgets = []

    def write(files, **names):
        forgets.append(lay_out(tmp_path, monkeypatch, files, names))
        return tmp_path
    yield write
    for forget in forgets:
        forget()

SELF_LAYOUT = {
    "{pkg}/__init__.py": "",
    "{pkg}/ops.py": """
        from orvex.abstract import LookupDecorator

        class Ops:
            def __init__(self, os):
                self.os = os

            @LookupDecorator("os")
            def run(self, how):
                return "generic run"

            @LookupDecorator("os")
            def stop(self):
                return "generic stop"

            @LookupDecorator("os")
            async def wait(self):
                return "generic wait"

            @property
            def label(self):  # a plain property over a decorated method
                return self._label()

            @LookupDecorator("os")
            def _label(self):
                return "generic label"
    """,
    "{pkg}/alpha/__init__.py": "",
    "{pkg}/alpha/ops.py": """
        from {pkg}.ops import Ops as GenericOps

        CALLS = []

        def helper(ops):
            return "module helper of " + ops.os

        class Ops(GenericOps):
            def run(self, how):
                if how == "super":
                    return super().run(how)
                if how == "method helper":
                    return self.helper()
                if how == "generic":
                    return "alpha, then " + GenericOps.run(self, how)
                if how == "function helper":
                    return helper(self)
                if how == "self.stop":
                    return self.stop()
                return type(self)

            def helper(self):
                return "method helper"

            def stop(self):
                CALLS.append("stop")
                return "alpha stop"

            async def wait(self):
                return "alpha wait"

            def _label(self):
                return "alpha label"
    """,
}


@pytest.fixture
def self_pkg(layout):
    layout(SELF_LAYOUT, pkg="docs_self")
    return importlib.import_module("docs_self.ops")


def test_override_runs_with_the_fetched_object_as_self(self_pkg):
    ops = self_pkg.Ops("alpha")
    assert ops.run("type of self") is self_pkg.Ops
    with pytest.raises(TypeError, match=r"^super\(type, obj\): obj (must be an instance or subtype of type$|"
                                        r"\(instance of Ops\) is not an instance or subtype of type \(Ops\)\.$)"
                       ) as raised:
        ops.run("super")
    assert ("(instance of Ops)" in str(raised.value)) == (sys.version_info >= (3, 13))
    with pytest.raises(AttributeError, match="'Ops' object has no attribute 'helper'"):
        ops.run("method helper")
    assert ops.run("generic") == "alpha, then generic run"
    assert ops.run("function helper") == "module helper of alpha"
    assert ops.run("self.stop") == "alpha stop"  # dispatched again
    assert self_pkg.Ops.run(ops, "generic") == "generic run"  # through the class: no lookup
    assert ops.label == "alpha label"


def test_fetched_method_of_an_async_def(self_pkg):
    ops = self_pkg.Ops("alpha")
    assert not inspect.iscoroutinefunction(ops.wait)
    assert inspect.iscoroutinefunction(self_pkg.Ops.wait)
    coroutine = ops.wait()
    assert inspect.iscoroutine(coroutine)
    assert asyncio.run(coroutine) == "alpha wait"
    assert ops.wait is not ops.wait and ops.wait != ops.wait


SUBCLASS_LAYOUT = {
    "{pkg}/__init__.py": "",
    "{pkg}/ops.py": """
        from orvex.abstract import LookupDecorator

        class Ops:
            os = "alpha"

            @LookupDecorator("os")
            def run(self):
                return "generic"

            @LookupDecorator("os", mandatory=1)
            def strict(self):
                return "generic"

        class Sub(Ops):
            pass
    """,
    "{pkg}/myops.py": """
        from {pkg}.ops import Ops

        class MyOps(Ops):
            pass
    """,
    "{pkg}/alpha/__init__.py": "",
    "{pkg}/alpha/ops.py": """
        class Ops:
            def run(self):
                return "alpha Ops"
    """,
    "{pkg}/alpha/myops.py": """
        from {pkg}.alpha.ops import Ops

        class MyOps(Ops):
            def strict(self):
                return "alpha MyOps"
    """,
}


def test_subclass_dispatches_by_its_own_name(layout):
    layout(SUBCLASS_LAYOUT, pkg="docs_sub")
    ops = importlib.import_module("docs_sub.ops")
    MyOps = importlib.import_module("docs_sub.myops").MyOps
    assert ops.Ops().run() == "alpha Ops"
    assert ops.Sub().run() == "generic"  # alpha/ops.py has no Sub
    with pytest.raises(LookupError, match="Cannot find combination"):
        ops.Sub().strict()
    assert MyOps().run() == "alpha Ops"  # alpha/myops.py's MyOps, inherited
    assert MyOps().strict() == "alpha MyOps"


SHARED_LAYOUT = {
    "{pkg}/__init__.py": "",
    "{pkg}/engine.py": """
        import functools
        from orvex.abstract import LookupDecorator

        by_os_factory = functools.partial(LookupDecorator, "os")

        class Engine2:
            os = "alpha"

            @by_os_factory()
            def start(self):
                return "generic start"

            @by_os_factory()
            def stop(self):
                return "generic stop"
    """,
    "{pkg}/shared.py": """
        from orvex.abstract import LookupDecorator

        by_os = LookupDecorator("os")

        class Engine:
            os = "alpha"

            @by_os
            def start(self):
                return "generic start"

            @by_os
            def stop(self):
                return "generic stop"
    """,
    "{pkg}/alpha/__init__.py": "",
    "{pkg}/alpha/engine.py": """
        class Engine2:
            def start(self):
                return "alpha start"

            def stop(self):
                return "alpha stop"
    """,
}


def test_one_decorator_object_per_method(layout):
    layout(SHARED_LAYOUT, pkg="docs_shared")
    with pytest.raises((TypeError, RuntimeError)) as info:
        importlib.import_module("docs_shared.shared")
    assert str(creation_error(info.value)) == (
        "Engine.start and Engine.stop are one LookupDecorator object, which holds one method, the "
        "last it was applied to ('stop'): use one LookupDecorator per method "
        "(functools.partial(LookupDecorator, ...) makes each with the same settings)")
    factory = importlib.import_module("docs_shared.engine").Engine2()
    assert (factory.start(), factory.stop()) == ("alpha start", "alpha stop")


# Each combination, in its own module of a package, with an override for os
# 'alpha'; the child reports for each whether the class statement, the fetch
# through an object and the call raised, or what they gave.
DECORATED = {
    "cm_over": ("@classmethod\n@LookupDecorator('os')", "@classmethod", "cls"),
    "cm_under": ("@LookupDecorator('os')\n@classmethod", "@classmethod", "cls"),
    "sm_over": ("@staticmethod\n@LookupDecorator('os')", "@staticmethod", ""),
    "sm_under": ("@LookupDecorator('os')\n@staticmethod", "@staticmethod", ""),
    "p_over": ("@property\n@LookupDecorator('os')", "@property", "self"),
    "p_under": ("@LookupDecorator('os')\n@property", "@property", "self"),
}

COMBINATION_CHILD = """
import importlib, json
from orvex.abstract import LookupDecorator

def outcome(step):
    try:
        value = step()
    except Exception as exc:
        return [type(exc).__name__, str(exc)]
    if value == "alpha":
        return ["dispatched", ""]
    return ["value", type(value).__name__]

for name in %r:
    result = {"define": None}
    try:
        cls = importlib.import_module("docs_combo." + name).A
    except Exception as exc:
        result["define"] = [type(exc).__name__, str(exc)]
    else:
        obj = cls()
        result["fetch"] = outcome(lambda: getattr(obj, "m"))
        result["call"] = outcome(lambda: obj.m())
    print("RESULT " + json.dumps([name, result]))
"""


def child_env(*paths):
    """The environment for a child interpreter that imports this orvex.abstract."""
    path = [str(p) for p in paths] + [str(package_dir().parent.parent)]
    if os.environ.get("PYTHONPATH"):
        path.append(os.environ["PYTHONPATH"])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path), PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONWARNINGS", None)
    # A crash under AddressSanitizer is reported on the child's stderr, not
    # in the report files that fail a sanitizer run.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] = ":".join(o for o in env["ASAN_OPTIONS"].split(":")
                                       if not o.startswith("log_path="))
    return env


def no_core_dump():
    import resource
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run_child(args, cwd, env, stdin=None):
    return subprocess.run([sys.executable, *args], cwd=str(cwd), env=env, input=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120, preexec_fn=no_core_dump)


def combination_layout():
    files = {"docs_combo/__init__.py": "", "docs_combo/alpha/__init__.py": ""}
    for name, (generic, override, first) in DECORATED.items():
        files["docs_combo/%s.py" % name] = (
            "from orvex.abstract import LookupDecorator\n\nclass A:\n    os = 'alpha'\n"
            + textwrap.indent(generic, "    ") + "\n    def m(%s):\n        return 'generic'\n" % first)
        files["docs_combo/alpha/%s.py" % name] = (
            "class A:\n    %s\n    def m(%s):\n        return 'alpha'\n" % (override, first))
    return files


def test_other_decorators_do_not_dispatch(layout):
    base = layout(combination_layout())  # imported by the child only
    proc = run_child(["-c", COMBINATION_CHILD % sorted(DECORATED)], base, child_env(base))
    assert proc.returncode == 0, proc.stderr
    results = dict(json.loads(line[7:]) for line in proc.stdout.splitlines()
                   if line.startswith("RESULT "))
    assert sorted(results) == sorted(DECORATED)
    for name, result in results.items():
        assert "dispatched" not in json.dumps(result), name
    # Below the decorator: refused as the class body applies it, on every version.
    for name, kind in [("cm_under", "classmethod"), ("sm_under", "staticmethod"),
                       ("p_under", "property")]:
        assert results[name]["define"] == [
            "TypeError", "LookupDecorator cannot decorate a %s object: @%s works with "
            "LookupDecorator in neither order (a lookup reads the tokens of the object the method "
            "is fetched through). Decorate a plain function (def or async def)%s"
            % (kind, kind, ", and call the decorated method from the property"
               if kind == "property" else "")], name
    # Above it, the class is made; @property hands the object to the decorator.
    assert {name for name, result in results.items() if result["define"] is not None} == {
        "cm_under", "sm_under", "p_under"}
    for step in ("fetch", "call"):
        assert results["p_over"][step][0] == "TypeError"
        assert results["p_over"][step][1].startswith("LookupDecorator under @property: <docs_combo")
    assert results["sm_over"]["fetch"] == ["value", "LookupDecorator"]
    assert results["sm_over"]["call"][0] == "TypeError" and "__call__()" in results["sm_over"]["call"][1]
    if sys.version_info < (3, 9) or sys.version_info >= (3, 13):
        # @classmethod binds the decorator itself, which the call reaches with the class.
        assert results["cm_over"]["call"] == [
            "TypeError", "LookupDecorator under @classmethod: <class 'docs_combo.cm_over.A'> "
            "reached the decorator itself, as the method to hold. @classmethod works with "
            "LookupDecorator in neither order; decorate a plain function (def or async def)"]
    else:
        assert results["cm_over"]["call"][0] in ("TypeError", "AttributeError")


CLASSMETHOD_LAYOUT = {
    "docs_cm/__init__.py": "",
    "docs_cm/ops.py": """
        from orvex.abstract import LookupDecorator

        class Ops:
            os = "beta"  # no token package: the generic code

            @classmethod
            @LookupDecorator("os")
            def m(cls):
                return "generic"
    """,
}


@pytest.mark.skipif(not (3, 10) <= sys.version_info < (3, 13), reason="seen on CPython 3.10 to 3.12")
def test_classmethod_over_the_decorator_recurses(layout):
    # Bounded like Python calls: a RecursionError, not a crash of the interpreter.
    base = layout(CLASSMETHOD_LAYOUT)  # imported by the child only
    proc = run_child(["-c", "from docs_cm.ops import Ops\nOps.m()\nprint('returned')"],
                     base, child_env(base))
    assert "returned" not in proc.stdout
    assert proc.returncode == 1 and "RecursionError: maximum recursion depth exceeded while fetching a " \
        "decorated method" in proc.stderr, proc.stderr[-2000:]


OPS = """
import sys
from orvex.abstract import LookupDecorator

class Ops:
    os = "alpha"

    @LookupDecorator("os")
    def run(self):
        return "generic"

if __name__ == "__main__":
    import docs_pkg.ops
    print("same class:", sys.modules["__main__"].Ops is docs_pkg.ops.Ops)
    try:
        print(Ops().run())
    except Exception as exc:
        print("%s: %s" % (type(exc).__name__, exc))
"""
OVERRIDE = "class Ops:\n    def run(self):\n        return 'alpha'\n"
ROOT_LAYOUT = {
    "docs_ns/ops.py": OPS,  # no docs_ns/__init__.py: a namespace package
    "docs_ns/alpha/__init__.py": "",
    "docs_ns/alpha/ops.py": OVERRIDE,
    "docs_top.py": OPS,
    "docs_pkg/__init__.py": "",
    "docs_pkg/ops.py": OPS,
    "docs_pkg/alpha/__init__.py": "",
    "docs_pkg/alpha/ops.py": OVERRIDE,
}


@pytest.fixture
def roots(layout):
    return layout(ROOT_LAYOUT)


@pytest.mark.parametrize("module", ["docs_ns.ops", "docs_top"])
def test_root_must_be_a_regular_package(roots, module):
    ops = importlib.import_module(module).Ops()
    with pytest.raises(LookupError, match="^LookupDecorator must be used within a package. Got .*docs_"):
        ops.run()


def test_root_outside_the_package(roots):
    assert importlib.import_module("docs_pkg.ops").Ops().run() == "alpha"
    env = child_env(roots)
    for args in (["-m", "docs_pkg.ops"], ["docs_pkg/ops.py"]):  # the class is in __main__
        proc = run_child(args, roots, env)
        assert proc.returncode == 0, proc.stderr
        same, error = proc.stdout.splitlines()
        assert same == "same class: False"
        assert re.match(r"LookupError: LookupDecorator must be used within a package\. Got \S*docs_pkg/ops\.py$",
                        error), error
    # Defined in the interpreter itself: with -c, and typed into the interactive one.
    code = OPS.split("if __name__")[0] + ("try:\n    Ops().run()\nexcept Exception as exc:\n"
                                          "    print(repr(exc))\n    print(getattr(exc, '__notes__', None))\n")
    code = re.sub(r"\n\s*\n(?=\s)", "\n", code)  # a blank line ends a block when typed
    note = repr(["To see why, run orvex.abstract.explain(obj, 'run') with obj the Ops object that the "
                 "method was fetched through."]) if sys.version_info >= (3, 11) else "None"
    for args, stdin in [(["-c", code], None), (["-i"], code + "\n")]:
        proc = run_child(args, roots, env, stdin)
        assert "AttributeError(\"module '__main__' has no attribute '__file__'\")\n" + note in proc.stdout, \
            (proc.stdout, proc.stderr)


FROM_DEVICE_LAYOUT = {
    "{pkg}/__init__.py": "",
    "{pkg}/ops.py": """
        from orvex.abstract import LookupDecorator

        class Device:
            platform = "m2"

        class Ops:
            os = "alpha"

            def __init__(self, device):
                self.device = device

            @LookupDecorator.from_device("os")
            def run(self):
                return "generic"

            @LookupDecorator.from_device
            def bare(self):
                return "generic"
    """,
    "{pkg}/alpha/__init__.py": "",
    "{pkg}/alpha/ops.py": """
        class Ops:
            def run(self):
                return "alpha"
            bare = run
    """,
    "{pkg}/m2/__init__.py": "",
    "{pkg}/m2/ops.py": """
        class Ops:
            def run(self):
                return "m2"
            bare = run
    """,
}
MISSING = object()


@pytest.mark.parametrize("custom", [
    MISSING, None, {}, 0, "", {"other": 1}, {"abstraction": None}, {"abstraction": {}},
    {"abstraction": {"order": None}}, {"abstraction": {"order": []}},
    {"abstraction": {"oder": ["platform"]}},
])
def test_from_device_falls_back_silently(layout, custom):
    layout(FROM_DEVICE_LAYOUT, pkg="docs_device")
    module = importlib.import_module("docs_device.ops")
    listed = module.Device()
    listed.custom = {"abstraction": {"order": ["platform"]}}
    assert (module.Ops(listed).run(), module.Ops(listed).bare()) == ("m2", "m2")
    device = module.Device()
    if custom is not MISSING:
        device.custom = custom
    ops = module.Ops(device)
    assert from_device_token_getter(ops, ["os"]) == ("alpha",)
    assert (ops.run(), ops.bare()) == ("alpha", "generic")


def test_explain_reports_without_calling(self_pkg):
    report = explain(self_pkg.Ops("alpha"), "stop")
    assert importlib.import_module("docs_self.alpha.ops").CALLS == []
    assert report.ok
    text = str(report)
    assert "('alpha',)" in text and "matched" in text
