#!/usr/bin/env bash
# Every reliability check, one after another, with a summary at the end:
#   refleaks       the whole suite under Debian's debug interpreter, each test
#                  repeated, failing on reference or memory-block growth
#   sanitize       the whole suite with AddressSanitizer + UBSan, stress tests
#                  run long
#   memory-faults  every allocation failed in turn during the module's
#                  initialisation and during each public operation
#   fuzz+stress    argument-binding fuzzing with many examples, thread stress
#                  run long, re-entrancy and cycle tests
#   valgrind       a representative part of the suite under memcheck
#   wheels         the Linux wheels built, checked and tested as installed
#                  (tools/wheels.sh; the suite under emulation makes it
#                  the longest check)
# The full run takes every CPython 3.8 to 3.13 found under pyenv, and 3.14
# and 3.15 from the Debian testing chroot of tools/testing_chroot.sh (about
# two hours on 2 cores).  --quick, the part that CI runs, does the leak
# check (Debian 12's 3.11d and the chroot's 3.15d), the sanitizer run on the
# newest pyenv interpreter and on 3.15, and the memory-fault sweeps on two
# interpreters.
# Usage: bash tools/check.sh [--quick] [--install]; exits non-zero if any
# check fails. --install lets the checks install what they miss through apt.
set -uo pipefail
tool_name=check
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$root" || exit 2

quick=0
parse_options "$@"
for arg in "${args[@]+"${args[@]}"}"; do
    case $arg in
    --quick) quick=1 ;;
    *) say "unknown argument: $arg" >&2; exit 2 ;;
    esac
done

declare -a pythons=()
for minor in 8 9 10 11 12 13; do
    python=$(find_pyenv_python "$minor") && pythons+=("$python")
done
if [ "${#pythons[@]}" = 0 ]; then
    say "no pyenv CPython 3.8 to 3.13 found" >&2
    exit 2
fi
newest=${pythons[-1]}
debug=$(find_debian_python d)

declare -a summary=()
failures=0
started=$SECONDS

# run NAME COMMAND...: runs a check and records its outcome.
run() {
    local name=$1 t0=$SECONDS status=0
    shift
    echo "== $name: $*"
    "$@" || status=$?
    if [ "$status" = 0 ]; then
        summary+=("$(printf '%-40s pass  (%ds)' "$name" $((SECONDS - t0)))")
    else
        summary+=("$(printf '%-40s FAIL  (%ds, exit status %d)' "$name" $((SECONDS - t0)) "$status")")
        failures=$((failures + 1))
    fi
}

run "refleaks" bash tools/refleaks.sh

# CPython 3.14 and 3.15 (release and debug builds) from Debian testing.
in_chroot() { bash tools/testing_chroot.sh run "$@"; }

if [ "$quick" = 1 ]; then
    run "refleaks 3.15d (chroot)" in_chroot bash tools/refleaks.sh --python /usr/bin/python3.15d
    run "sanitize $(python_version "$newest")" bash tools/sanitize.sh --python "$newest" --stress
    run "sanitize 3.15 (chroot)" in_chroot bash tools/sanitize.sh --python /usr/bin/python3.15 --stress
    for python in "${pythons[0]}" "${debug:-${pythons[-2]}}"; do
        [ -n "$python" ] || continue
        run "memory-faults $(python_version "$python")" bash tools/suite.sh --python "$python" \
            --memory-faults tests/test_memory_faults.py
    done
else
    for python in "${pythons[@]}"; do
        run "sanitize $(python_version "$python")" bash tools/sanitize.sh --python "$python" --stress
    done
    for python in "${pythons[@]}" $debug; do
        run "memory-faults $(python_version "$python")" bash tools/suite.sh --python "$python" \
            --memory-faults tests/test_memory_faults.py
    done
    for python in "${pythons[@]}"; do
        run "fuzz+stress $(python_version "$python")" bash tools/suite.sh --python "$python" \
            --stress --hypothesis-profile=thorough --hypothesis-show-statistics \
            tests/test_fuzz_arguments.py tests/test_threads.py tests/test_reentrancy.py tests/test_cycles.py
    done
    run "valgrind" bash tools/valgrind.sh
    run "wheels (tools/wheels.sh)" bash tools/wheels.sh
    for version in 3.14 3.15; do
        run "refleaks ${version}d (chroot)" in_chroot bash tools/refleaks.sh --python /usr/bin/python${version}d
        run "sanitize $version (chroot)" in_chroot bash tools/sanitize.sh --python /usr/bin/python$version --stress
        run "memory-faults $version (chroot)" in_chroot bash tools/suite.sh --python /usr/bin/python$version \
            --memory-faults tests/test_memory_faults.py
        run "fuzz+stress $version (chroot)" in_chroot bash tools/suite.sh --python /usr/bin/python$version \
            --stress --hypothesis-profile=thorough tests/test_fuzz_arguments.py tests/test_threads.py \
            tests/test_reentrancy.py tests/test_cycles.py
    done
fi

echo
echo "== Summary of tools/check.sh$([ "$quick" = 1 ] && echo " --quick")"
for line in "${summary[@]}"; do echo "$line"; done
echo "total time $((SECONDS - started)) s"
if [ "$failures" -ne 0 ]; then
    echo "CHECKS FAILED ($failures)"
    exit 1
fi
echo "all checks passed"
