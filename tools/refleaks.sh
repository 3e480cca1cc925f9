#!/usr/bin/env bash
# Reference-leak check: builds orvex.abstract.decorator from this work tree for
# Debian's debug interpreter (python3.Xd, which has sys.gettotalrefcount) and
# runs the test suite under it with --refleaks (see tests/conftest.py).
# Usage: bash tools/refleaks.sh [pytest arguments...]; exits non-zero on a leak.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

say() { printf 'refleaks: %s\n' "$*"; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# apt-get install, refreshing the package lists once if the first try fails.
apt_install() {
    say "apt-get install $*"
    if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null; then
        as_root apt-get update -q >/dev/null
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null
    fi
}

# The debug build of the system's python3, else the newest /usr/bin/python3.Xd.
find_debug_python() {
    local version
    version=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
    if [ -n "$version" ] && [ -x "/usr/bin/python${version}d" ]; then
        echo "/usr/bin/python${version}d"
        return
    fi
    ls /usr/bin/python3*d 2>/dev/null | grep -E '/python3\.[0-9]+d$' | sort -V | tail -n 1 || true
}

has_headers() {
    "$1" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null
}

py=$(find_debug_python)
if [ -z "$py" ] || ! has_headers "$py"; then
    apt_install python3-dbg python3-dev
    py=$(find_debug_python)
fi
if [ -z "$py" ] || ! "$py" -c 'import sys; sys.gettotalrefcount' 2>/dev/null; then
    say "no debug interpreter with sys.gettotalrefcount found (looked for /usr/bin/python3.Xd)" >&2
    exit 2
fi
has_headers "$py" || { say "no Python.h for $py" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-refleaks.XXXXXX")
trap 'rm -rf "$work"' EXIT

# pytest for the debug interpreter: Debian's python3-pytest is pure Python in
# dist-packages, which the debug interpreter shares with the release one.
runner=$py
if ! "$py" -c 'import pytest' 2>/dev/null; then
    apt_install python3-pytest || true
fi
if ! "$py" -c 'import pytest' 2>/dev/null; then
    say "pytest from PyPI into a virtual environment of $py"
    "$py" -m venv --system-site-packages "$work/venv"
    "$work/venv/bin/python" -m pip install -q 'pytest>=7'
    runner=$work/venv/bin/python
fi

cmake=cmake
if ! cmake --version >/dev/null 2>&1; then
    apt_install cmake
    cmake=/usr/bin/cmake
fi

suffix=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
say "building for $py ($suffix)"
# Debian's python3.Xd include directory holds symlinks into the release one.
# Given with -isystem (CMake's default for imported targets), GCC resolves
# them and takes the release pyconfig.h, without Py_DEBUG: the module would
# not count its references, and every object it frees would read as a leak.
# CMakeLists.txt defines Py_DEBUG for a debug interpreter; -I keeps the debug
# pyconfig.h as well, and the check after the build makes sure.
"$cmake" -S "$root" -B "$work/build" -DPython_EXECUTABLE="$py" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON >"$work/build.log" 2>&1 &&
    "$cmake" --build "$work/build" -j "$(nproc 2>/dev/null || echo 2)" >>"$work/build.log" 2>&1 || {
    cat "$work/build.log" >&2
    say "build failed" >&2
    exit 2
}
module=$(find "$work/build" -maxdepth 1 -name "decorator$suffix" -print -quit)
if [ -z "$module" ]; then
    say "the build made no decorator$suffix:" >&2
    ls "$work/build" >&2
    exit 2
fi

# A module built for the debug interpreter updates its reference total.
if command -v nm >/dev/null && ! nm -D --undefined-only "$module" | grep -qi reftotal; then
    say "$module was not built with Py_DEBUG (it never updates the reference total)" >&2
    exit 2
fi

# An importable tree: the package's Python files and the module just built.
tree=$work/tree
mkdir -p "$tree"
(cd src && find orvex -type f \( -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \) \
    -exec cp --parents {} "$tree/" \;)
cp "$module" "$tree/orvex/abstract/"

export PYTHONPATH=$tree
export PYTHONDONTWRITEBYTECODE=1
found=$("$runner" -c 'import orvex.abstract.decorator as m; print(m.__file__)')
case $found in
"$tree"/*) ;;
*)
    say "imported $found instead of the module built from this tree" >&2
    exit 2
    ;;
esac

say "running the tests under $py with --refleaks"
status=0
"$runner" -m pytest -p no:cacheprovider -q --refleaks "$@" || status=$?
if [ "$status" = 0 ]; then
    say "no leaks found"
else
    say "FAILED (pytest exit status $status)"
fi
exit "$status"
