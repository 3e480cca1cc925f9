#!/usr/bin/env bash
# A representative part of the test suite under valgrind's memcheck, on
# Debian's release interpreter with its suppressions.  Sees what the
# sanitizer build cannot: invalid reads and writes by the interpreter through
# a pointer that the module handed it.  About 30 times slower than a plain
# run, hence the subset.
# Usage: bash tools/valgrind.sh [--install] [pytest arguments...] (default: the subset below)
set -euo pipefail
tool_name=valgrind
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$root"
parse_options "$@"
set -- "${args[@]+"${args[@]}"}"

# Every public operation, its error paths and the wrapper; not the tests
# that mostly start processes or run mypy.
SUBSET=(
    tests/test_function.py
    tests/test_arguments.py
    tests/test_default_token_getter.py
    tests/test_device_getter.py
    tests/test_from_device.py
    tests/test_construction.py
    tests/test_fetch.py
    tests/test_wrapper.py
    tests/test_dispatch.py
    tests/test_cycles.py
    tests/test_reentrancy.py
)

py=$(find_debian_python "")
if [ -z "$py" ] || ! has_headers "$py"; then
    apt_install python3 python3-dev
    py=$(find_debian_python "")
fi
[ -n "$py" ] || { say "no Debian interpreter found" >&2; exit 2; }
command -v valgrind >/dev/null || apt_install valgrind
debian_test_packages "$py"
supp=$(dpkg -L python3 2>/dev/null | grep -E 'valgrind/.*\.supp$' | head -n 1 || true)
if [ -z "$supp" ]; then
    for candidate in /usr/lib/valgrind/python3*.supp; do
        [ -f "$candidate" ] && supp=$candidate && break
    done
fi
[ -n "$supp" ] || { say "no valgrind suppressions file for Python found" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-valgrind.XXXXXX")
trap 'rm -rf "$work"' EXIT

say "building for $py"
tree=$(build_tree "$py" "$work" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
export PYTHONPATH=$tree PYTHONDONTWRITEBYTECODE=1
check_imports_from "$py" "$tree"

if [ "$#" = 0 ]; then
    set -- "${SUBSET[@]}"
    for file in "$@"; do [ -e "$file" ] || { say "missing $file" >&2; exit 2; }; done
fi
say "running under valgrind: $*"
status=0
# malloc, so that memcheck sees every object; processes the tests start run
# plainly (valgrind does not follow them).
PYTHONMALLOC=malloc valgrind -q --error-exitcode=99 --suppressions="$supp" \
    --num-callers=30 "$py" -m pytest -p no:cacheprovider -q -p no:faulthandler "$@" || status=$?
if [ "$status" = 0 ]; then
    say "clean"
else
    say "FAILED (exit status $status; 99 means valgrind found errors)"
fi
exit "$status"
