#!/usr/bin/env bash
# The newest CPython releases (3.14 and 3.15, with their debug builds and
# headers) come from Debian testing, in a chroot that this script makes when
# it is missing and reuses when present. .ci/run and tools/check.sh use it;
# so can developers (as root):
#
#   bash tools/testing_chroot.sh ensure            make or refresh the chroot
#                                                  (--install first: apt-get
#                                                  install debootstrap if missing)
#   bash tools/testing_chroot.sh test 3.15 CMD     the work tree copied into the
#                                                  chroot, CMD run there in a new
#                                                  virtual environment of 3.15
#   bash tools/testing_chroot.sh run CMD...        CMD run in a copy of the work tree
#
# The chroot lives in $ORVEX_CHROOT (default /var/tmp/orvex-debian-testing).
set -euo pipefail
tool_name=testing-chroot
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

chroot_dir=${ORVEX_CHROOT:-/var/tmp/orvex-debian-testing}
# What the lanes and checks need: both interpreters with headers, venv and
# debug builds, a compiler (with the sanitizer runtimes) and CMake.
packages=python3.14-dev,python3.15-dev,python3.14-venv,python3.15-venv,python3.14-dbg,python3.15-dbg
packages=$packages,g++,make,cmake,ca-certificates
marker=$chroot_dir/.orvex-packages

# The Debian mirror this machine's own apt uses.
mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -oE '^(URIs:|deb) +https?://[^ ]+' | awk '{print $2}' | grep -E '/debian/?$' | head -n 1)
    echo "${uri:-http://deb.debian.org/debian}"
}

ensure() {
    if [ ! -f "$marker" ] || [ "$(cat "$marker")" != "$packages" ]; then
        command -v debootstrap >/dev/null || apt_install debootstrap
        if mountpoint -q "$chroot_dir/proc"; then umount "$chroot_dir/proc"; fi
        rm -rf --one-file-system "$chroot_dir"
        say "making the Debian testing chroot in $chroot_dir (about 2 minutes)"
        # Debian 12's debootstrap knows testing only under sid's script.
        debootstrap --variant=minbase --include="$packages" forky "$chroot_dir" "$(mirror)" \
            /usr/share/debootstrap/scripts/sid >"$chroot_dir.log" 2>&1 || {
            tail -n 30 "$chroot_dir.log" >&2
            say "debootstrap failed (log: $chroot_dir.log)" >&2
            return 2
        }
        echo "$packages" >"$marker"
    fi
    # pip inside trusts what the host trusts and resolves names as it does.
    cp /etc/ssl/certs/ca-certificates.crt "$chroot_dir/etc/ssl/certs/ca-certificates.crt"
    cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"
    mountpoint -q "$chroot_dir/proc" || mount -t proc proc "$chroot_dir/proc"
}

# A copy of the work tree (what git tracks and what it does not ignore) in
# the chroot; prints its path inside the chroot.
copy_tree() {
    local inside
    inside=$(mktemp -d "$chroot_dir/tmp/orvex-tree.XXXXXX")
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 -I{} cp --parents -P {} "$inside/" 2>/dev/null) ||
        (cd "$root" && tar -c --exclude=build --exclude=.git . | tar -x -C "$inside")
    echo "${inside#"$chroot_dir"}"
}

in_chroot() {
    chroot "$chroot_dir" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
        LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PIP_NO_INPUT=1 \
        PYTEST_ADDOPTS="${PYTEST_ADDOPTS:-}" /bin/bash -c "$1"
}

if [ "${1:-}" = --install ]; then
    export ORVEX_INSTALL=1  # debootstrap, when missing
    shift
fi
command=${1:-}
shift || true
case $command in
ensure)
    ensure
    ;;
test)
    version=$1
    shift
    ensure
    tree=$(copy_tree)
    trap 'rm -rf "$chroot_dir$tree" "$chroot_dir$tree.venv"' EXIT
    in_chroot "cd $tree && python$version -m venv $tree.venv && source $tree.venv/bin/activate && $*"
    ;;
run)
    ensure
    tree=$(copy_tree)
    trap 'rm -rf "$chroot_dir$tree"' EXIT
    in_chroot "cd $tree && $*"
    ;;
*)
    echo "usage: bash tools/testing_chroot.sh [--install] ensure | test VERSION COMMAND | run COMMAND..." >&2
    exit 2
    ;;
esac
