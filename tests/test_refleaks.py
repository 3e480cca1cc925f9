"""The --refleaks harness itself (a debug build of Python only)."""

import sys
from pathlib import Path

import pytest

pytest_plugins = ["pytester"]
pytestmark = [
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of Python"),
    pytest.mark.no_refleaks,
]

LEAKY = """
KEPT = []

class Kept:
    pass

def test_keeps_an_object_each_run():
    KEPT.append(Kept())

def test_keeps_nothing():
    [{} for _ in range(3)]
"""


def test_a_leak_names_the_types_that_grew(pytester):
    pytester.makeconftest((Path(__file__).parent / "conftest.py").read_text())
    pytester.makepyfile(test_leaky=LEAKY)
    result = pytester.runpytest_subprocess("--refleaks", "-p", "no:cacheprovider")
    result.assert_outcomes(failed=1, passed=1)
    result.stdout.fnmatch_lines(["*leaked references * over 6 runs; grew in each of two more runs: Kept +1*"])
