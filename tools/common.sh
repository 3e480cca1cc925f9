# shellcheck shell=bash
# Shared by the scripts in tools/: finding interpreters, installing what a
# check needs, and building orvex.abstract.decorator from this work tree into
# an importable tree.  Source it; it defines functions and $root only.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

say() { printf '%s: %s\n' "${tool_name:-tools}" "$*"; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# The options every script takes before its own arguments:
#   --python PYTHON   the interpreter to check (each script has a default)
#   --install         install missing system packages through apt (as root);
#                     exported, so that the scripts a script runs install too
# Sets $python ("" when not given); what is left goes to the array $args.
parse_options() {
    python=
    args=()
    while [ $# -gt 0 ]; do
        case $1 in
        --python)
            [ $# -ge 2 ] || { say "--python needs an interpreter" >&2; exit 2; }
            python=$2
            shift 2
            ;;
        --install)
            export ORVEX_INSTALL=1
            shift
            ;;
        *)
            args+=("$1")
            shift
            ;;
        esac
    done
}

# apt-get install, refreshing the package lists once if the first try fails;
# only with --install, else it says what is missing and fails.
apt_install() {
    if [ "${ORVEX_INSTALL:-0}" != 1 ]; then
        say "missing: $* (apt-get install $*, or run again with --install)" >&2
        return 2
    fi
    say "apt-get install $*"
    if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null; then
        as_root apt-get update -q >/dev/null
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null
    fi
}

pyenv_root() {
    pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}"
}

# Newest pyenv interpreter 3.<minor>.x, or nothing.
find_pyenv_python() {
    local dir found=()
    for dir in "$(pyenv_root)"/versions/3."$1".*; do
        [[ $dir =~ /3\.$1\.[0-9]+$ ]] && [ -x "$dir/bin/python" ] && found+=("$dir")
    done
    [ "${#found[@]}" -gt 0 ] || return 1
    dir=$(printf '%s\n' "${found[@]}" | sort -V | tail -n 1)
    echo "$dir/bin/python"
}

# The newest pyenv interpreter of 3.8 to 3.13, or nothing (and failure).
newest_pyenv_python() {
    local minor
    for minor in 13 12 11 10 9 8; do
        find_pyenv_python "$minor" && return 0
    done
    return 1
}

# "3.11.2", with a "d" after it for a debug build.
python_version() {
    "$1" -c 'import platform, sys; print(platform.python_version() + ("d" if hasattr(sys, "gettotalrefcount") else ""))'
}

# Debian's interpreter for the system python3 ("" or "d" for the debug build).
find_debian_python() {
    local version
    version=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
    if [ -n "$version" ] && [ -x "/usr/bin/python${version}$1" ]; then
        echo "/usr/bin/python${version}$1"
    fi
}

# pytest and hypothesis for a Debian interpreter, from Debian: its packages
# are pure Python in dist-packages, which the release and debug builds share.
debian_test_packages() {
    "$1" -c 'import pytest, hypothesis' 2>/dev/null || apt_install python3-pytest python3-hypothesis
}

has_headers() {
    "$1" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null
}

# The requirements of the "test" extra, one per line, read from pyproject.toml.
test_requirements() {
    "$1" - "$root/pyproject.toml" <<'EOF'
import re, sys
text = open(sys.argv[1]).read()
block = re.search(r"^test = \[(.*?)^\]", text, re.S | re.M).group(1)
for line in block.splitlines():
    line = line.split("#")[0].strip().rstrip(",")
    if line:
        print(line.strip("\"'"))
EOF
}

# A virtual environment of interpreter $1 in $2 with the test requirements
# (not the package itself: the checks import a tree built by build_tree).
# Prints the environment's python.
test_venv() {
    local python=$1 dir=$2
    if [ ! -x "$dir/bin/python" ]; then
        "$python" -m venv "$dir" >&2
        "$dir/bin/python" -m pip install -q --upgrade pip >"$dir.log" 2>&1 || true
        mapfile -t reqs < <(test_requirements "$python")
        "$dir/bin/python" -m pip install -q "${reqs[@]}" >>"$dir.log" 2>&1 || {
            cat "$dir.log" >&2
            say "could not install the test requirements for $python" >&2
            return 2
        }
    fi
    echo "$dir/bin/python"
}

# Builds the module for interpreter $1 in $2/build with any further CMake
# arguments, then makes $2/tree importable: the package's Python files and
# the module just built.  Prints the tree's path; the build log is
# $2/build.log.
build_tree() {
    local python=$1 dir=$2 suffix module
    shift 2
    local cmake=cmake
    if ! cmake --version >/dev/null 2>&1; then
        apt_install cmake
        cmake=/usr/bin/cmake
    fi
    mkdir -p "$dir"
    if ! { "$cmake" -S "$root" -B "$dir/build" -DPython_EXECUTABLE="$python" "$@" >"$dir/build.log" 2>&1 &&
        "$cmake" --build "$dir/build" -j "$(nproc 2>/dev/null || echo 2)" >>"$dir/build.log" 2>&1; }; then
        cat "$dir/build.log" >&2
        say "build for $python failed" >&2
        return 2
    fi
    suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    rm -rf "$dir/tree"
    mkdir -p "$dir/tree"
    (cd "$root/src" && find orvex -type f \( -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \) \
        -exec cp --parents {} "$dir/tree/" \;)
    for name in decorator _native; do
        module=$(find "$dir/build" -maxdepth 1 -name "$name$suffix" -print -quit)
        if [ -z "$module" ]; then
            say "the build made no $name$suffix" >&2
            return 2
        fi
        cp "$module" "$dir/tree/orvex/abstract/"
    done
    echo "$dir/tree"
}

# Fails unless interpreter $1 with PYTHONPATH=$2 imports the module from $2.
check_imports_from() {
    local found
    found=$(PYTHONPATH=$2 "$1" -c 'import orvex.abstract.decorator as m; print(m.__file__)') || return 2
    case $found in
    "$2"/*) ;;
    *)
        say "imported $found instead of the module built from this tree" >&2
        return 2
        ;;
    esac
}
