#!/usr/bin/env bash
# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer: builds
# orvex.abstract.decorator with ORVEX_SANITIZE=ON for an uninstrumented
# interpreter and runs the tests with the sanitizer runtime preloaded.  A bad
# access or undefined behaviour in the module's own code aborts the process
# and fails the run (tests that start processes pass the runtime on to them).
# Usage: bash tools/sanitize.sh [--python PYTHON] [--install] [pytest arguments...]
# (default interpreter: the newest pyenv CPython 3.x).
set -euo pipefail
tool_name=sanitize
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$root"

parse_options "$@"
set -- "${args[@]+"${args[@]}"}"
[ -n "$python" ] || python=$(newest_pyenv_python) || { say "no pyenv CPython 3.8 to 3.13 found" >&2; exit 2; }

asan=$(gcc -print-file-name=libasan.so)
if [ ! -e "$asan" ]; then
    say "no libasan.so from gcc ($asan)" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-sanitize.XXXXXX")
trap 'rm -rf "$work"' EXIT

version=$(python_version "$python")
say "test environment and sanitizer build for CPython $version"
runner=$(test_venv "$python" "$work/venv")
tree=$(build_tree "$python" "$work" -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE=ON)

# The interpreter's own allocator hides bad accesses to freed objects from
# ASan: use malloc.  Leaks are the leak check's job (and the interpreter
# keeps memory on purpose at exit).
export PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1
# Reports go to files: pytest captures the standard error of its tests.
mkdir -p "$work/reports"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:print_summary=1:log_path=$work/reports/asan
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$work/reports/ubsan
export LD_PRELOAD=$asan
# Instrumented frames are several times larger than plain ones, while the
# interpreter's recursion limits are sized for plain ones: give the main
# thread, and (through the same limit) new threads, the room they would have.
ulimit -s 65536 2>/dev/null || ulimit -s "$(ulimit -H -s)" || true
check_imports_from "$runner" "$tree"

say "running the tests with AddressSanitizer and UBSan"
status=0
PYTHONPATH=$tree "$runner" -m pytest -p no:cacheprovider -q "$@" || status=$?
for report in "$work"/reports/*; do
    [ -e "$report" ] || continue
    echo "---- $(basename "$report")"
    cat "$report"
    if [ "$status" = 0 ]; then status=1; fi
done
if [ "$status" = 0 ]; then
    say "clean"
else
    say "FAILED (pytest exit status $status)"
fi
exit "$status"
