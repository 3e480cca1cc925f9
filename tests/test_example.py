"""The example in examples/ runs and reaches the implementations it documents."""

import os
import subprocess
import sys

import pytest

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "examples", "run_example.py")

pytestmark = pytest.mark.skipif(not os.path.exists(EXAMPLE), reason="examples/ not present")


def test_example_dispatches_as_documented():
    result = subprocess.run([sys.executable, "-X", "dev", "-W", "error", EXAMPLE],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    blocks = {}
    current = None
    for line in result.stdout.splitlines():
        if line.startswith("    "):
            method, _, reached = line.strip().partition(" -> ")
            blocks[current][method.strip()] = reached
        else:
            current = line.split()[0] if not line.startswith("Calibration") else line.split(" apply")[0]
            blocks[current] = {}
            if line.startswith("Calibration"):
                blocks[current]["apply"] = line.rpartition(" -> ")[2]
    assert blocks["thermo-1"] == {"read": "vexos/k7 read", "describe": "generic describe",
                                  "blink": "vexos blink"}
    assert blocks["thermo-2"]["read"] == "vexos read"          # no m2 package: os level
    assert blocks["thermo-3"] == {"read": "quill read", "describe": "generic describe",
                                  "blink": "generic blink"}    # inherited generic code
    assert blocks["thermo-4"]["read"] == "generic read"        # unknown os: generic fallback
    assert blocks["thermo-5"]["blink"] == "vexos/k7 blink"     # token order from the board
    assert blocks["Calibration os=vexos "]["apply"] == "vexos calibration"
    assert blocks["Calibration os=quill "]["apply"] == "generic calibration"
