#!/usr/bin/env bash
# Reference-leak check: builds orvex.abstract.decorator from this work tree for
# Debian's debug interpreter (python3.Xd, which has sys.gettotalrefcount) and
# runs the test suite under it with --refleaks (see tests/conftest.py).
# Usage: bash tools/refleaks.sh [--python DEBUG_PYTHON] [--install] [pytest arguments...];
# exits non-zero on a leak. Without --python: Debian's python3.Xd (installed
# when missing, with --install); with it (e.g. python3.15d in the Debian testing chroot),
# pytest and hypothesis come from PyPI.
set -euo pipefail
tool_name=refleaks
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$root"

parse_options "$@"
set -- "${args[@]+"${args[@]}"}"
py=$python
given=$python
if [ -z "$given" ]; then
    py=$(find_debian_python d)
    if [ -z "$py" ] || ! has_headers "$py"; then
        apt_install python3-dbg python3-dev
        py=$(find_debian_python d)
    fi
fi
if [ -z "$py" ] || ! "$py" -c 'import sys; sys.gettotalrefcount' 2>/dev/null; then
    say "no debug interpreter with sys.gettotalrefcount found (looked for /usr/bin/python3.Xd)" >&2
    exit 2
fi
has_headers "$py" || { say "no Python.h for $py" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-refleaks.XXXXXX")
trap 'rm -rf "$work"' EXIT

runner=$py
if [ -z "$given" ]; then debian_test_packages "$py" || true; fi
if [ -n "$given" ] || ! "$py" -c 'import pytest, hypothesis' 2>/dev/null; then
    # The hypothesis that Debian 12 ships, whatever else is installed: later
    # releases (6.170 on 3.15d) sometimes keep one memory block, with no
    # reference, per run of a fuzz test, depending on the examples drawn.
    say "pytest and hypothesis 6.67.1 from PyPI into a virtual environment of $py"
    "$py" -m venv "$work/venv"
    "$work/venv/bin/python" -m pip install -q 'pytest>=7' 'hypothesis==6.67.1'
    runner=$work/venv/bin/python
fi

say "building for $py"
# Debian's python3.Xd include directory holds symlinks into the release one.
# Given with -isystem (CMake's default for imported targets), GCC resolves
# them and takes the release pyconfig.h, without Py_DEBUG: the module would
# not count its references, and every object it frees would read as a leak.
# CMakeLists.txt defines Py_DEBUG for a debug interpreter; -I keeps the debug
# pyconfig.h as well, and the check after the build makes sure.
tree=$(build_tree "$py" "$work" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON)
# A module built for the debug interpreter updates its reference total.
for module in "$tree"/orvex/abstract/decorator*.so "$tree"/orvex/abstract/_native*.so; do
    # (grep reads all of nm's output: an early exit would fail the pipe under pipefail)
    if command -v nm >/dev/null && ! nm -D --undefined-only "$module" | grep -i reftotal >/dev/null; then
        say "$module was not built with Py_DEBUG (it never updates the reference total)" >&2
        exit 2
    fi
done

export PYTHONPATH=$tree
export PYTHONDONTWRITEBYTECODE=1
check_imports_from "$runner" "$tree"

say "running the tests under $py with --refleaks"
status=0
"$runner" -m pytest -p no:cacheprovider -q --refleaks "$@" || status=$?
if [ "$status" = 0 ]; then
    say "no leaks found"
else
    say "FAILED (pytest exit status $status)"
fi
exit "$status"
