#!/usr/bin/env bash
# Provision the Debian chroots that corvane is built and tested in, one per row of the table in
# scripts/chroot-lib.sh: Debian sid on x86-64 (CPython 3.14 and 3.15 and their debug builds) and
# on i386, armhf and arm64 (CPython 3.13, 3.14 and 3.15).
#
#   scripts/provision.sh                    # every chroot (a no-op for those that are complete)
#   scripts/provision.sh arm64 sid          # just these
#   scripts/provision.sh --remove [NAME...] # delete them (waits for commands running in them)
#
# Each chroot is build/<name>-root (CORVANE_CHROOTS moves them all), made by mmdebstrap from the
# Debian archive of the host's own apt sources (CORVANE_MIRROR overrides it), with the compiler
# and tools the build needs; scripts/in-chroot.sh runs a command there. The chroots are made at
# the same time (the work is mostly downloading), each logging with its name in front. Needs
# root and network access to the archive; installs what the host lacks with apt-get: mmdebstrap,
# arch-test, qemu-user-static and binfmt-support for the emulated architectures. Sizes and times are printed at the end of each.
set -euo pipefail
# shellcheck source=scripts/chroot-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/chroot-lib.sh"

[[ $(id -u) == 0 ]] || chroot_die "scripts/provision.sh needs root (mmdebstrap, chroot, mounts)"

remove=0
if [[ ${1:-} == --remove ]]; then
    remove=1
    shift
fi
[[ ${1:-} != -* ]] || chroot_die "usage: scripts/provision.sh [--remove] [NAME...]"
names=("$@")
((${#names[@]} > 0)) || mapfile -t names < <(chroot_names)
for name in "${names[@]}"; do
    chroot_select "$name" # an unknown name fails here, before anything is done
done

# host_mirror: the Debian archive that the host's own apt sources use (not the security one), so
# the chroots come from wherever this machine is allowed to fetch packages.
host_mirror() {
    if [[ -n ${CORVANE_MIRROR:-} ]]; then
        echo "$CORVANE_MIRROR"
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
        chroot_die "something is mounted under $dir; unmount it first (findmnt -R $dir)"
    fi
}

remove_root() {
    no_mounts_under "$CHROOT_ROOT"
    rm -rf --one-file-system "$CHROOT_ROOT"
}

if ((remove)); then
    for name in "${names[@]}"; do
        (
            chroot_select "$name"
            chroot_lock exclusive
            if [[ -e $CHROOT_ROOT ]]; then
                echo "==> removing $CHROOT_ROOT"
                remove_root
            fi
            rm -f "$CHROOT_LOCK"
        )
    done
    exit 0
fi

# --- the host's side: tools, and the emulators registered with binfmt_misc ---------------------

host_packages=()
need_binfmt=()
command -v mmdebstrap >/dev/null 2>&1 || host_packages+=(mmdebstrap)
for name in "${names[@]}"; do
    chroot_select "$name"
    if [[ $CHROOT_ARCH != "$(dpkg --print-architecture)" ]]; then
        command -v arch-test >/dev/null 2>&1 || host_packages+=(arch-test)
    fi
    if [[ $CHROOT_RUN == qemu:* ]]; then
        [[ -e /usr/share/binfmts/${CHROOT_RUN#qemu:} ]] || host_packages+=(qemu-user-static)
        command -v update-binfmts >/dev/null 2>&1 || host_packages+=(binfmt-support)
        need_binfmt+=("${CHROOT_RUN#qemu:}")
    fi
done
if ((${#host_packages[@]} > 0)); then
    mapfile -t host_packages < <(printf '%s\n' "${host_packages[@]}" | sort -u)
    echo "==> installing on the host with apt-get: ${host_packages[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${host_packages[@]}"
fi

# binfmt_misc is machine-wide and other programs may be using it: it is mounted and emulators
# are registered when missing, never unregistered or unmounted.
if ((${#need_binfmt[@]} > 0)); then
    if ! mountpoint -q "$CHROOT_BINFMT"; then
        echo "==> mounting binfmt_misc at $CHROOT_BINFMT"
        mount -t binfmt_misc binfmt_misc "$CHROOT_BINFMT" ||
            chroot_die "cannot mount binfmt_misc at $CHROOT_BINFMT: the kernel lacks it or this" \
                "machine forbids it, and the emulated chroots need it to run their programs"
    fi
    for emulator in "${need_binfmt[@]}"; do
        if [[ ! -e $CHROOT_BINFMT/$emulator ]]; then
            echo "==> registering $emulator with binfmt_misc (update-binfmts --enable)"
            update-binfmts --enable "$emulator" ||
                chroot_die "update-binfmts could not register $emulator"
        fi
    done
fi
for name in "${names[@]}"; do
    chroot_select "$name"
    why=$(chroot_runnable) || chroot_die "$CHROOT_NAME: $why"
done

# --- the chroots ----------------------------------------------------------------------------

mirror=$(host_mirror)
[[ -n $mirror ]] || chroot_die "no Debian archive in the host's apt sources; set CORVANE_MIRROR"

# provision NAME: make or complete one chroot.
provision() {
    chroot_select "$1"
    local want="$CHROOT_SUITE $CHROOT_ARCH ${CHROOT_PACKAGES[*]}"
    if [[ "$(cat "$CHROOT_DONE" 2>/dev/null)" == "$want" ]]; then
        echo "==> $CHROOT_ROOT is complete (scripts/provision.sh --remove $CHROOT_NAME deletes it)"
        return 0
    fi
    chroot_lock exclusive
    local start=$SECONDS
    local certs=/usr/local/share/ca-certificates
    # The emulator takes its CPU from the environment of whatever it runs, dpkg's scripts too.
    [[ $CHROOT_QEMU_CPU == - ]] || export QEMU_CPU=$CHROOT_QEMU_CPU
    # .corvane-base is written once mmdebstrap has finished: a root without it was interrupted.
    if [[ ! -f $CHROOT_ROOT/.corvane-base ]]; then
        if [[ -e $CHROOT_ROOT ]]; then
            echo "==> $CHROOT_ROOT is incomplete: starting it again"
            remove_root
        fi
        echo "==> mmdebstrap $CHROOT_SUITE ($CHROOT_ARCH) into $CHROOT_ROOT from $mirror"
        # In a mount namespace of its own, like every command here: whatever mmdebstrap mounts
        # in the chroot goes with it, however it ends. Its apt options stay in the chroot: an
        # archive's Release file may be past its Valid-Until date, and recommended packages
        # would double the size. The certificate authorities added on this host (a proxy's, a
        # company's) go in too, so that pip reaches PyPI from inside as it does from outside.
        unshare --mount --propagation private -- mmdebstrap --mode=root --variant=minbase \
            --arch="$CHROOT_ARCH" \
            --aptopt='Acquire::Check-Valid-Until "false"' \
            --aptopt='APT::Install-Recommends "false"' \
            --include="$(
                IFS=,
                echo "${CHROOT_PACKAGES[*]}"
            )" \
            --customize-hook="mkdir -p \"\$1$certs\" && cp -a $certs/. \"\$1$certs/\" 2>/dev/null || true" \
            --customize-hook='chroot "$1" update-ca-certificates' \
            "$CHROOT_SUITE" "$CHROOT_ROOT" "$mirror"
        : >"$CHROOT_ROOT/.corvane-base"
    else
        # The package list changed since: install what is new.
        echo "==> [$CHROOT_NAME] apt-get install ${CHROOT_PACKAGES[*]}"
        chroot_run 0 /bin/sh -c '
            set -e
            export DEBIAN_FRONTEND=noninteractive
            apt-get update
            apt-get install -y "$@"
            update-ca-certificates
            apt-get clean
        ' sh "${CHROOT_PACKAGES[@]}"
    fi
    printf '%s' "$want" >"$CHROOT_DONE"
    echo "==> $CHROOT_ROOT is ready ($((SECONDS - start)) s, $(du -sh --one-file-system \
        "$CHROOT_ROOT" | cut -f1)): scripts/in-chroot.sh $CHROOT_NAME CMD... runs CMD there"
}

pids=()
for name in "${names[@]}"; do
    # Each in a process of its own: its own lock, its own exit; its lines carry its name.
    (provision "$name" 2>&1 | sed -u "s/^/[$name] /") &
    pids+=($!)
done
failed=()
for i in "${!names[@]}"; do
    wait "${pids[i]}" || failed+=("${names[i]}")
done
((${#failed[@]} == 0)) || chroot_die "could not provision: ${failed[*]} (see the lines they begin)"
