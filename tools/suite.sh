#!/usr/bin/env bash
# The tests, or some of them, against a build of this work tree for one
# interpreter, in a test environment of its own (the package is not
# installed: the tests import the built tree).  Used by tools/check.sh for
# the memory-fault sweeps and the long fuzz and stress runs.
# Usage: bash tools/suite.sh [--python PYTHON] [--install] [pytest arguments...]
# (default interpreter: the newest pyenv CPython 3.x).
set -euo pipefail
tool_name=suite
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$root"

parse_options "$@"
set -- "${args[@]+"${args[@]}"}"
[ -n "$python" ] || python=$(newest_pyenv_python) || { say "no pyenv CPython 3.8 to 3.13 found" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-suite.XXXXXX")
trap 'rm -rf "$work"' EXIT

version=$(python_version "$python")
case $python in
/usr/bin/*)
    debian_test_packages "$python"
    runner=$python
    extra=(-DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON)
    ;;
*)
    runner=$(test_venv "$python" "$work/venv")
    extra=()
    ;;
esac
tree=$(build_tree "$python" "$work" -DCMAKE_BUILD_TYPE=Debug "${extra[@]}")
export PYTHONPATH=$tree PYTHONDONTWRITEBYTECODE=1
check_imports_from "$runner" "$tree"
say "CPython $version: pytest $*"
status=0
"$runner" -m pytest -p no:cacheprovider -q "$@" || status=$?
exit "$status"
