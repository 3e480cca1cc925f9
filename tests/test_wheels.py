"""The binary wheels: the modules imported are built for the interpreter
running them (a mis-tagged cross build fails here when the suite runs
against an installed wheel), and tools/wheel_info.py, which tools/wheels.sh
checks its wheels, sdists and aarch64 headers with, finds what it is there
to find."""

import importlib.util
import platform
import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import orvex.abstract._native as native
import orvex.abstract.decorator as d

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "wheel_info.py"
SCRIPT = ROOT / "tools" / "wheels.sh"


@pytest.fixture(scope="module")
def info():
    if not TOOL.exists():
        pytest.skip("tools/wheel_info.py is not here")
    spec = importlib.util.spec_from_file_location("wheel_info", TOOL)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("module", [d, native], ids=["decorator", "_native"])
def test_module_built_for_this_interpreter(info, module):
    assert module.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
    machine = info.MACHINES.get(platform.machine())
    if machine is None:
        pytest.skip("no ELF machine known for %s" % platform.machine())
    with open(module.__file__, "rb") as f:
        assert info.elf_machine(f.read(20)) == machine


# ---- pyconfig.h for aarch64

X86_PYCONFIG = """\
/* Define if we can use x64 gcc inline assembler */
#define HAVE_GCC_ASM_FOR_X64 1

/* Define if we can use gcc inline assembler to get and set x87 control word */
#define HAVE_GCC_ASM_FOR_X87 1
#define SIZEOF_LONG 8
/* #undef HAVE_USABLE_WCHAR_T */
/* #undef X87_DOUBLE_ROUNDING */
#define PY_SUPPORT_TIER 1
"""


def test_pyconfig_for_aarch64(info):
    out = info.pyconfig_for_aarch64(X86_PYCONFIG)
    assert not re.search(r"^#define \w*(X64|X87)", out, re.M)
    assert "/* #undef HAVE_GCC_ASM_FOR_X64 (x86 only) */" in out
    assert "#define HAVE_USABLE_WCHAR_T 1" in out.splitlines()
    # Everything else kept as it was, line for line.
    def rest(text):
        return [line for line in text.splitlines() if not re.search("HAVE_GCC_ASM|HAVE_USABLE_WCHAR_T", line)]
    assert rest(out) == rest(X86_PYCONFIG)


def test_pyconfig_with_an_unknown_x86_setting_is_refused(info):
    with pytest.raises(ValueError, match="HAVE_GCC_ASM_FOR_X86_AVX"):
        info.pyconfig_for_aarch64(X86_PYCONFIG + "#define HAVE_GCC_ASM_FOR_X86_AVX 1\n")


def test_pyconfig_of_this_interpreter(info):
    path = sysconfig.get_config_h_filename()
    if platform.machine() != "x86_64" or not Path(path).exists():
        pytest.skip("needs an x86_64 interpreter with its pyconfig.h")
    text = Path(path).read_text("utf-8")
    out = info.pyconfig_for_aarch64(text)
    assert len(out.splitlines()) == len(text.splitlines())
    changed = [b for a, b in zip(text.splitlines(), out.splitlines()) if a != b]
    assert len(changed) <= len(info.X86_ONLY) + len(info.AARCH64_ONLY)


# ---- wheels

ELF_X86 = b"\x7fELF\x02\x01" + bytes(12) + (62).to_bytes(2, "little") + bytes(40)
ELF_ARM = b"\x7fELF\x02\x01" + bytes(12) + (183).to_bytes(2, "little") + bytes(40)
NAME = "orvex_abstract-1.0-cp311-cp311-manylinux_2_17_aarch64.manylinux2014_aarch64.whl"
WHEEL = ("Wheel-Version: 1.0\nRoot-Is-Purelib: false\n"
         "Tag: cp311-cp311-manylinux_2_17_aarch64\nTag: cp311-cp311-manylinux2014_aarch64\n")


def good_members():
    return {
        "orvex/abstract/__init__.py": b"",
        "orvex/abstract/decorator.cpython-311-aarch64-linux-gnu.so": ELF_ARM,
        "orvex/abstract/_native.cpython-311-aarch64-linux-gnu.so": ELF_ARM,
        "orvex_abstract-1.0.dist-info/WHEEL": WHEEL.encode(),
    }


def edit(path, value):
    """The good wheel's members with PATH set to VALUE (removed if None)."""
    members = good_members()
    members[path] = value
    return {k: v for k, v in members.items() if v is not None}


DECORATOR = "orvex/abstract/decorator.cpython-311-aarch64-linux-gnu.so"
WHEEL_FILE = "orvex_abstract-1.0.dist-info/WHEEL"
BAD_WHEELS = {
    "x86_64 module": (NAME, edit(DECORATOR, ELF_X86), "ELF machine 62"),
    "x86_64 suffix": (NAME, edit(DECORATOR.replace("aarch64", "x86_64"), ELF_ARM), "expected orvex/abstract/decorator"),
    "module missing": (NAME, edit(DECORATOR, None), "no module decorator"),
    "not ELF": (NAME, edit(DECORATOR, b"#!/bin/sh\n"), "ELF machine None"),
    "other version": (NAME.replace("cp311", "cp312"), good_members(), "not tagged cp311"),
    "tag in WHEEL": (NAME, edit(WHEEL_FILE, WHEEL.replace("aarch64", "x86_64", 1).encode()), "WHEEL tags"),
    "purelib": (NAME, edit(WHEEL_FILE, WHEEL.replace("false", "true").encode()), "Root-Is-Purelib"),
    "source file": (NAME, edit("orvex/abstract/compat.hpp", b""), "a source file"),
    "grafted library": (NAME, edit("orvex_abstract.libs/libc++.so.1", b""), "grafted"),
}


def test_good_wheel(info):
    assert info.wheel_problems(NAME, good_members(), "aarch64", "3.11") == []


@pytest.mark.parametrize("name, members, problem", BAD_WHEELS.values(), ids=list(BAD_WHEELS))
def test_bad_wheel(info, name, members, problem):
    problems = info.wheel_problems(name, members, "aarch64", "3.11")
    assert any(problem in p for p in problems), problems


# ---- sdist

def test_sdist_needs_every_source_that_cmake_names(info):
    cmake = (ROOT / "CMakeLists.txt").read_text("utf-8")
    sources = info.sources_named(cmake)
    assert "src/orvex/abstract/decorator.cpp" in sources and "src/orvex/abstract/native/module.cpp" in sources
    if (ROOT / "src").exists():
        assert [s for s in sources if not (ROOT / s).exists()] == []
    base = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
            "src/orvex/abstract/__init__.py", "src/orvex/abstract/compat.hpp"]
    names = ["orvex_abstract-1.0"] + ["orvex_abstract-1.0/" + n for n in base + sources]
    assert info.sdist_problems(names, cmake) == []
    missing = [n for n in names if not n.endswith("/lookup/get.cpp")]
    assert info.sdist_problems(missing, cmake) == ["orvex_abstract-1.0: no src/orvex/abstract/lookup/get.cpp"]


# ---- tools/wheels.sh's arguments

REFUSED = {
    "unknown arch": (["--arch", "sparc"], "--arch takes x86_64 or aarch64"),
    "arch without value": (["--arch"], "--arch takes x86_64 or aarch64"),
    "unsupported version": (["--python", "3.7"], "--python takes one of 3.8 "),
    "quick narrowed": (["--quick", "--arch", "x86_64"], "--quick is a set of its own"),
    "unknown option": (["--fast"], "unknown argument: --fast"),
}


@pytest.mark.skipif(platform.machine() != "x86_64" or shutil.which("bash") is None,
                    reason="tools/wheels.sh runs on the x86_64 build machine")
@pytest.mark.parametrize("args, message", REFUSED.values(), ids=list(REFUSED))
def test_wheels_script_refuses(args, message):
    if not SCRIPT.exists():
        pytest.skip("tools/wheels.sh is not here")
    result = subprocess.run(["bash", str(SCRIPT)] + args, capture_output=True, text=True, timeout=60)
    assert result.returncode == 2 and message in result.stderr, result.stderr
