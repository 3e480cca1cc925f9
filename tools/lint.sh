#!/usr/bin/env bash
# The house style and the compilers' warnings, each a failure when it finds
# anything:
#   clang-format   the C++ layout (.clang-format)
#   clang-tidy     bugprone, performance, function size and unused code
#                  (.clang-tidy), over the warnings build's compile commands
#   warnings       the extension built with -Werror -Wall -Wextra -Wshadow
#                  -Wconversion -Wsign-conversion, for the oldest and the
#                  newest pyenv interpreter, by GCC and by Clang (macOS's
#                  compiler)
#   ruff           the Python code, tests, examples and benchmarks
#                  ([tool.ruff] in pyproject.toml)
#   scripts        shellcheck over the scripts in tools/ and .ci/run
# Usage: bash tools/lint.sh [--install]; --install gets clang-format,
# clang-tidy, clang and shellcheck through apt when missing (ruff comes from
# PyPI).
set -uo pipefail
tool_name=lint
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$root" || exit 2
parse_options "$@"

# The versions the tree is kept clean for.
RUFF=ruff==0.17.6

for tool in clang-format clang-tidy clang++ shellcheck; do
    command -v "$tool" >/dev/null || apt_install "${tool%++}" || exit 2
done

work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-lint.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
declare -a summary=()

# check NAME COMMAND...: runs one check and records its outcome.
check() {
    local check_label=$1 status=0
    shift
    echo "== $check_label"
    "$@" || status=$?
    if [ "$status" = 0 ]; then
        summary+=("$check_label  pass")
    else
        summary+=("$check_label  FAIL")
        failures=$((failures + 1))
    fi
}

mapfile -t cxx < <(git ls-files 'src/*.cpp' 'src/*.hpp')
mapfile -t units < <(git ls-files 'src/*.cpp')
mapfile -t scripts < <(git ls-files 'tools/*.sh' '.ci/run')
mapfile -t python_tools < <(git ls-files 'tools/*.py')

check "clang-format" clang-format --dry-run --Werror "${cxx[@]}"

# build_tree with Debian's clang (called through check).
# shellcheck disable=SC2317
clang_tree() (
    export CXX=clang++
    build_tree "$@"
)

declare -a pythons=()
oldest=$(find_pyenv_python 8) && pythons+=("$oldest")
newest=$(newest_pyenv_python) && pythons+=("$newest")
[ "${#pythons[@]}" -gt 0 ] || { say "no pyenv CPython 3.8 to 3.13 found" >&2; exit 2; }
for python in "${pythons[@]}"; do
    version=$(python_version "$python")
    check "warnings $version" build_tree "$python" "$work/$version" -DORVEX_WERROR=ON
    check "warnings $version (clang)" clang_tree "$python" "$work/clang-$version" -DORVEX_WERROR=ON
done

# The newest build's compile commands; clang-tidy reads GCC's flags.
check "clang-tidy" clang-tidy -p "$work/$(python_version "${pythons[-1]}")/build" --quiet "${units[@]}"

check "shellcheck" shellcheck -x "${scripts[@]}"

ruff_venv() {
    "${pythons[-1]}" -m venv "$work/ruff" && "$work/ruff/bin/python" -m pip install -q "$RUFF"
}
if ruff_venv; then
    check "ruff" "$work/ruff/bin/ruff" check --no-cache src tests examples benchmarks "${python_tools[@]}"
else
    summary+=("ruff  FAIL (could not install $RUFF)")
    failures=$((failures + 1))
fi

echo
echo "== Summary of tools/lint.sh"
for line in "${summary[@]}"; do echo "$line"; done
exit $((failures > 0))
