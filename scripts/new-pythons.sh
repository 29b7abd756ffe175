#!/usr/bin/env bash
# Provision CPython 3.14 and 3.15, release and debug builds, for building and testing corvane.
#
#   scripts/new-pythons.sh            # make the chroot (a no-op when it is complete)
#   scripts/new-pythons.sh --remove   # delete it (waits for commands running in it)
#
# Debian's development suite (sid) packages them, but for a newer C library than Debian 12 has,
# so they live in a minimal sid chroot, build/sid-root (CORVANE_SID_ROOT moves it), with the
# compiler and tools the build needs; scripts/in-sid.sh runs a command there. Needs root, network
# access to the Debian archive the host uses, and about 1.7 GB. The interpreters inside:
#   /usr/bin/python3.14  /usr/bin/python3.14d  /usr/bin/python3.15  /usr/bin/python3.15d
set -euo pipefail
# shellcheck source=scripts/sid-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/sid-lib.sh"

# Changing this list re-runs the package step on the next call.
readonly PACKAGES=(
    python3.14-dev python3.14-venv python3.14-dbg
    python3.15-dev python3.15-venv python3.15-dbg
    g++ make cmake git ca-certificates valgrind
)
readonly SUITE=sid

[[ $(id -u) == 0 ]] || sid_die "scripts/new-pythons.sh needs root (debootstrap, chroot, mounts)"

# host_mirror: the Debian archive that the host's own apt sources use (not the security one), so
# the chroot comes from wherever this machine is allowed to fetch packages. CORVANE_SID_MIRROR
# overrides it.
host_mirror() {
    if [[ -n ${CORVANE_SID_MIRROR:-} ]]; then
        echo "$CORVANE_SID_MIRROR"
        return
    fi
    apt-get indextargets --format '$(ORIGIN)|$(LABEL)|$(REPO_URI)' 2>/dev/null |
        awk -F'|' '$1 == "Debian" && $2 == "Debian" { print $3; exit }'
}

# no_mounts_under DIR: fail if anything is mounted at or below DIR in this namespace (a chroot
# entered by hand, say), since deleting it would then reach into what is mounted there.
no_mounts_under() {
    local dir
    dir=$(realpath -m "$1")
    if findmnt --list --noheadings --output TARGET | grep -qxE "$(printf '%s' "$dir" |
        sed 's/[][\.*^$+?(){}|/]/\\&/g')(/.*)?"; then
        sid_die "something is mounted under $dir; unmount it first (findmnt -R $dir)"
    fi
}

remove_root() {
    no_mounts_under "$SID_ROOT"
    rm -rf --one-file-system "$SID_ROOT"
}

if [[ ${1:-} == --remove ]]; then
    sid_lock exclusive
    if [[ -e $SID_ROOT ]]; then
        echo "==> removing $SID_ROOT"
        remove_root
    fi
    rm -f "$SID_LOCK"
    exit 0
elif [[ $# -gt 0 ]]; then
    sid_die "usage: scripts/new-pythons.sh [--remove]"
fi

want="${PACKAGES[*]}"
if [[ "$(cat "$SID_DONE" 2>/dev/null)" == "$want" ]]; then
    echo "==> $SID_ROOT is complete (scripts/new-pythons.sh --remove deletes it)"
    exit 0
fi
sid_lock exclusive
start=$SECONDS

# 1. The base system. debootstrap leaves its log in debootstrap/ until it has finished, so a
# root without /usr/bin/apt-get or still holding that log was interrupted: start again.
if [[ ! -x $SID_ROOT/usr/bin/apt-get || -e $SID_ROOT/debootstrap ]]; then
    if ! command -v debootstrap >/dev/null 2>&1; then
        echo "==> installing debootstrap with apt-get"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update
        apt-get install -y --no-install-recommends debootstrap
    fi
    mirror=$(host_mirror)
    [[ -n $mirror ]] || sid_die "no Debian archive in the host's apt sources; set CORVANE_SID_MIRROR"
    if [[ -e $SID_ROOT ]]; then
        echo "==> $SID_ROOT is incomplete: starting it again"
        remove_root
    fi
    echo "==> debootstrap --variant=minbase $SUITE $SID_ROOT $mirror"
    mkdir -p "$SID_ROOT"
    debootstrap --variant=minbase "$SUITE" "$SID_ROOT" "$mirror"
fi

# 2. apt inside: a snapshot archive's Release file may be past its Valid-Until date, and no
# recommended packages (they would double the size).
cat >"$SID_ROOT/etc/apt/apt.conf.d/99corvane" <<'EOF'
// Written by corvane's scripts/new-pythons.sh.
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
EOF

# 3. Certificates: the CAs added on this host (a proxy's, a company's) go in too, so that TLS to
# PyPI from inside works as it does outside; update-ca-certificates folds them into the bundle.
mkdir -p "$SID_ROOT/usr/local/share/ca-certificates"
if [[ -d /usr/local/share/ca-certificates ]]; then
    cp -a /usr/local/share/ca-certificates/. "$SID_ROOT/usr/local/share/ca-certificates/"
fi

# 4. The interpreters and the build tools.
echo "==> [chroot] apt-get install ${PACKAGES[*]}"
sid_run 0 /bin/sh -c '
    set -e
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y "$@"
    update-ca-certificates
    apt-get clean
' sh "${PACKAGES[@]}"

printf '%s' "$want" >"$SID_DONE"
echo "==> $SID_ROOT is ready ($((SECONDS - start)) s, $(du -sh --one-file-system "$SID_ROOT" |
    cut -f1)): scripts/in-sid.sh CMD... runs CMD there"
