#!/usr/bin/env bash
# The Debian chroots that corvane's wheels are built and tested in, one per row of TABLE:
#
#   scripts/chroot.sh provision [NAME...]   # make them (a no-op for those complete); needs root
#   scripts/chroot.sh remove [NAME...]      # delete them (waits for commands running in them)
#   scripts/chroot.sh run NAME CMD...       # run CMD in this checkout, inside chroot NAME
#   scripts/chroot.sh rows                  # "NAME MACHINE READY PYTHON..." per row (for nox)
#
# Each chroot is build/<name>-root, made by mmdebstrap from the host's own Debian archive. `run`
# mounts /proc, /dev and the checkout (at the same path) in a mount namespace of its own, so the
# mounts are gone when the command ends, however it ends, and nothing outside sees them; the
# environment is reduced to a plain PATH and the variables of PASS_ENV.
set -euo pipefail
CHECKOUT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)

# name    arch     machine  run (native, setarch or the binfmt_misc emulator)  QEMU_CPU  pythons
# The first python runs the whole suite. arm64: qemu's default CPU computes Debian's pointer
# authentication the slow way (Python 18 times slower); cortex-a72 is a Raspberry Pi 4's core.
TABLE=(
    "sid      amd64   x86_64  native            -          3.14 3.14d 3.15 3.15d"
    "i386     i386    i686    setarch           -          3.13 3.14 3.15"
    "armhf    armhf   armv7l  qemu-arm          -          3.13 3.14 3.15"
    "arm64    arm64   aarch64 qemu-aarch64      cortex-a72 3.13 3.14 3.15"
    "s390x    s390x   s390x   qemu-s390x        -          3.13 3.14 3.15"
    "riscv64  riscv64 riscv64 qemu-riscv64      -          3.13 3.14 3.15"
)
# g++ and make build the suite's C helpers; binutils strips the wheel's module.
BASE_PACKAGES=(g++ make binutils git ca-certificates)
PASS_ENV='^(CI|TERM|COLUMNS|SOURCE_DATE_EPOCH|ZIG_GLOBAL_CACHE_DIR|CMAKE_BUILD_PARALLEL_LEVEL|(http|https|no)_proxy|(HTTP|HTTPS|NO)_PROXY|CORVANE_[A-Z0-9_]+|PYTEST_ADDOPTS|PIP_DEFAULT_TIMEOUT)$'
BINFMT=/proc/sys/fs/binfmt_misc

die() {
    echo "$*" >&2
    exit 1
}
names() { for row in "${TABLE[@]}"; do echo "${row%% *}"; done; }

# select NAME: the row's facts as variables; fails for an unknown name.
select_row() {
    local row fields
    for row in "${TABLE[@]}"; do
        read -r -a fields <<<"$row"
        [[ ${fields[0]} == "$1" ]] || continue
        NAME=${fields[0]} ARCH=${fields[1]} MACHINE=${fields[2]} RUN=${fields[3]}
        QEMU_CPU_=${fields[4]} PYTHONS=("${fields[@]:5}")
        PACKAGES=("${BASE_PACKAGES[@]}")
        for v in "${PYTHONS[@]}"; do
            [[ $v == *d ]] && PACKAGES+=("python${v%d}-dbg") || PACKAGES+=("python$v-dev")
        done
        ROOT=$CHECKOUT/build/$NAME-root
        DONE=$ROOT/.corvane-provisioned # holds what it was made with
        return 0
    done
    die "no chroot named '$1' (there are: $(names | paste -sd ' '))"
}
wanted() { echo "sid $ARCH ${PACKAGES[*]}"; }

# lock shared|exclusive: shared by commands in the chroot, exclusive while it is (re)made.
lock() {
    exec 9>>"$ROOT.lock"
    flock --nonblock "--$1" 9 || {
        echo "==> waiting for $ROOT.lock (the chroot is being made or used)" >&2
        flock "--$1" 9
    }
}

# runnable: whether this kernel runs the chroot's programs; if not, prints why. The emulator
# must be registered with the F flag, so that the kernel opens it outside the chroot.
runnable() {
    [[ $RUN == qemu-* ]] || return 0
    local entry=$BINFMT/$RUN
    [[ "$(head -n1 "$entry" 2>/dev/null)" == enabled ]] && grep -q '^flags:.*F' "$entry" && return
    echo "$RUN is not registered with binfmt_misc (with the F flag), so $ARCH programs cannot run:" \
        "scripts/chroot.sh provision $NAME registers it"
    return 1
}

# in_root BIND CMD...: run CMD as root in the chroot, in the checkout if BIND is 1, else in /.
in_root() {
    local bind=$1 name gitdir=
    shift
    local -a env=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin)
    [[ $QEMU_CPU_ == - ]] || env+=("QEMU_CPU=$QEMU_CPU_")
    while IFS= read -r name; do [[ $name =~ $PASS_ENV ]] && env+=("$name=${!name}"); done < <(compgen -e)
    # A worktree's .git names the repository's common directory: bind that too, for git.
    if ((bind)); then
        gitdir=$(git -C "$CHECKOUT" rev-parse --path-format=absolute --git-common-dir 2>/dev/null) || :
        [[ $gitdir != "$CHECKOUT"/* && -d $gitdir ]] || gitdir=
    fi
    local launcher=
    [[ $RUN != setarch ]] || launcher="setarch $MACHINE"
    exec unshare --mount --propagation private -- bash -c "$INNER" inner "$ROOT" "$bind" \
        "$CHECKOUT" "$gitdir" "$launcher" "${#env[@]}" "${env[@]}" "$@"
}

# In the new namespace: mount, then become the command in the chroot (the same process all the
# way down, so signals reach it; the mounts go with the namespace when it ends).
# shellcheck disable=SC2016
INNER='
set -euo pipefail
root=$1 bind=$2 checkout=$3 gitdir=$4 launcher=$5 n=$6
env=("${@:7:n}")
shift $((6 + n))
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev"
# Name resolution as the host does it now (the copy mmdebstrap made may be stale).
rm -f "$root/etc/resolv.conf" && : >"$root/etc/resolv.conf"
[[ ! -f /etc/resolv.conf ]] || mount --bind "$(readlink -f /etc/resolv.conf)" "$root/etc/resolv.conf"
cwd=/
if ((bind)); then
    for dir in "$checkout" $gitdir; do mkdir -p "$root$dir" && mount --bind "$dir" "$root$dir"; done
    cwd=$checkout
fi
# A command started with & by a shell without job control ignores SIGINT: restore it.
exec $launcher chroot "$root" /usr/bin/env -i -C "$cwd" --default-signal=INT,QUIT "${env[@]}" "$@"
'

# host_tools NAME...: install what the host lacks (mmdebstrap; for other architectures,
# arch-test and the emulators) and register the emulators with binfmt_misc, which is machine-wide
# and may be in use: only ever added to.
host_tools() {
    local -a need=() emulators=()
    command -v mmdebstrap >/dev/null || need+=(mmdebstrap)
    for name in "$@"; do
        select_row "$name"
        [[ $ARCH == amd64 ]] || command -v arch-test >/dev/null || need+=(arch-test)
        [[ $RUN == qemu-* ]] || continue
        emulators+=("$RUN")
        [[ -e /usr/share/binfmts/$RUN ]] || need+=(qemu-user-static binfmt-support)
    done
    if ((${#need[@]})); then
        echo "==> installing on the host with apt-get: ${need[*]}"
        apt-get update -q -o DPkg::Lock::Timeout=600 # the free-threaded build may be updating too
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            -o DPkg::Lock::Timeout=600 $(printf '%s\n' "${need[@]}" | sort -u)
    fi
    ((${#emulators[@]})) || return 0
    mountpoint -q $BINFMT || mount -t binfmt_misc binfmt_misc $BINFMT ||
        die "cannot mount binfmt_misc, which the emulated chroots need"
    for emulator in "${emulators[@]}"; do
        [[ -e $BINFMT/$emulator ]] || update-binfmts --enable "$emulator" ||
            die "update-binfmts could not register $emulator"
    done
}

# The Debian archive of the host's apt sources (not the security one).
mirror() {
    [[ -z ${CORVANE_MIRROR:-} ]] || { echo "$CORVANE_MIRROR" && return; }
    apt-get indextargets --format '$(ORIGIN)|$(LABEL)|$(REPO_URI)' 2>/dev/null |
        awk -F'|' '$1 == "Debian" && $2 == "Debian" { print $3; exit }'
}

remove_root() {
    ! findmnt --list --noheadings --output TARGET | grep -q "^$ROOT\(/\|$\)" ||
        die "something is mounted under $ROOT; unmount it first (findmnt -R $ROOT)"
    rm -rf --one-file-system "$ROOT"
}

# provision NAME MIRROR: make the chroot, or install what its row added since.
provision() {
    select_row "$1"
    [[ "$(cat "$DONE" 2>/dev/null)" != "$(wanted)" ]] || return 0
    lock exclusive
    local start=$SECONDS certs=/usr/local/share/ca-certificates
    [[ $QEMU_CPU_ == - ]] || export QEMU_CPU=$QEMU_CPU_ # dpkg's scripts run emulated too
    if [[ ! -f $ROOT/.corvane-base ]]; then              # written once mmdebstrap has finished
        [[ ! -e $ROOT ]] || remove_root
        # Its apt options stay in the chroot: a Release file may be past Valid-Until, and
        # recommended packages would double the size. The host's added certificate authorities
        # go in too, so that pip reaches PyPI from inside as from outside.
        unshare --mount --propagation private -- mmdebstrap --mode=root --variant=minbase \
            --arch="$ARCH" --include="$(IFS=, && echo "${PACKAGES[*]}")" \
            --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='APT::Install-Recommends "false"' \
            --customize-hook="mkdir -p \"\$1$certs\" && cp -a $certs/. \"\$1$certs/\" 2>/dev/null || true" \
            --customize-hook='chroot "$1" update-ca-certificates' sid "$ROOT" "$2"
        : >"$ROOT/.corvane-base"
    else
        (in_root 0 /bin/sh -c 'export DEBIAN_FRONTEND=noninteractive && apt-get update &&
            apt-get install -y "$@" && apt-get clean' sh "${PACKAGES[@]}")
    fi
    wanted >"$DONE"
    echo "==> $ROOT is ready ($((SECONDS - start)) s, $(du -sh --one-file-system "$ROOT" | cut -f1))"
}

command=${1:-}
shift || true
case $command in
rows)
    for name in $(names); do
        select_row "$name"
        ready=no
        [[ "$(cat "$DONE" 2>/dev/null)" != "$(wanted)" ]] || ready=yes
        echo "$NAME $MACHINE $ready ${PYTHONS[*]}"
    done
    ;;
run)
    (($# > 1)) || die "usage: scripts/chroot.sh run NAME CMD..."
    select_row "$1"
    shift
    [[ $(id -u) == 0 ]] || die "scripts/chroot.sh needs root (chroot, mounts)"
    lock shared
    [[ -f $DONE ]] || { echo "no chroot at $ROOT: scripts/chroot.sh provision $NAME makes it" >&2 && exit 3; }
    why=$(runnable) || die "$NAME: $why"
    in_root 1 "$@"
    ;;
provision | remove)
    [[ $(id -u) == 0 ]] || die "scripts/chroot.sh needs root (mmdebstrap, chroot, mounts)"
    (($#)) || set -- $(names)
    for name in "$@"; do select_row "$name"; done # an unknown name fails before anything is done
    if [[ $command == remove ]]; then
        for name in "$@"; do (select_row "$name" && lock exclusive && remove_root && rm -f "$ROOT.lock"); done
        exit 0
    fi
    host_tools "$@"
    mirror=$(mirror)
    [[ -n $mirror ]] || die "no Debian archive in the host's apt sources; set CORVANE_MIRROR"
    # At the same time, each in a process of its own (its lock, its exit), lines led by its name.
    pids=()
    for name in "$@"; do
        (provision "$name" "$mirror" 2>&1 | sed -u "s/^/[$name] /") &
        pids+=($!)
    done
    failed=()
    for i in "${!pids[@]}"; do wait "${pids[i]}" || failed+=("${@:i+1:1}"); done
    ((${#failed[@]} == 0)) || die "could not provision: ${failed[*]} (see the lines they begin)"
    ;;
*) die "usage: scripts/chroot.sh provision|remove [NAME...] | run NAME CMD... | rows" ;;
esac
