# Shared by the chroot scripts (sourced, not run): the table of Debian chroots corvane is built and
# tested in, where each lives, and how a command runs inside one.
#
# The chroot's mounts (/proc, /dev, the checkout) are made in a mount namespace of their own
# (unshare --mount), never in the host's. So nothing outside the running command sees them: a
# `rm -rf build` on the host cannot walk through a bound /dev or back into the checkout, two runs
# at once do not share or unmount each other's mounts, and when the command ends by any means,
# SIGKILL included, the kernel drops the namespace and its mounts with the last process in it.
# The EXIT trap still unmounts in order on every ordinary exit path.

CHROOT_CHECKOUT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)

# One row per chroot; every script takes its facts from here, so a platform is one more row.
#   name      what the scripts and nox's sessions (test-in-<name>) call it; the root is
#             build/<name>-root
#   suite     the Debian suite it is made from
#   arch      its Debian architecture
#   run       how the chroot's programs run here: "native", "setarch:<machine>" (native, with
#             that machine name; i386 programs on this x86-64 kernel) or "qemu:<name>" (qemu-user
#             through binfmt_misc, registered there as <name>)
#   qemu_cpu  QEMU_CPU for the emulator, or "-". arm64: qemu's default CPU computes Debian's
#             pointer authentication the slow way (a Python loop 18 times slower); cortex-a72 is a
#             Raspberry Pi 4's core
#   python    the interpreter that runs nox there
#   bench     yes where `make bench` runs too: x86-64 only, where the benchmark's targets come
#             from (under emulation the timings would be the emulator's)
#   packages  what is installed besides CHROOT_BASE_PACKAGES
CHROOT_TABLE=(
    # name suite arch  run               qemu_cpu   python              bench packages
    "sid    sid   amd64 native            -          /usr/bin/python3.14 yes   python3.14-dev python3.14-venv python3.14-dbg python3.15-dev python3.15-venv python3.15-dbg valgrind"
    "i386   sid   i386  setarch:i686      -          /usr/bin/python3.13 no    python3.13-dev python3.13-venv python3.14-dev python3.14-venv python3.15-dev python3.15-venv"
    "armhf  sid   armhf qemu:qemu-arm     -          /usr/bin/python3.13 no    python3.13-dev python3.13-venv python3.14-dev python3.14-venv python3.15-dev python3.15-venv"
    "arm64  sid   arm64 qemu:qemu-aarch64 cortex-a72 /usr/bin/python3.13 no    python3.13-dev python3.13-venv python3.14-dev python3.14-venv python3.15-dev python3.15-venv"
)
# corvane is compiled by the host's Zig (see noxfile.py) and CMake comes from PyPI; g++ builds
# what pip finds no wheel for (mypy's librt on armhf) and the benchmark's C floors, binutils
# strips the extension.
CHROOT_BASE_PACKAGES=(g++ make binutils git ca-certificates)

# The names in the table, in order.
chroot_names() {
    local row
    for row in "${CHROOT_TABLE[@]}"; do
        echo "${row%% *}"
    done
}

# chroot_select NAME: set the CHROOT_* variables of NAME's row; fails for an unknown name.
chroot_select() {
    local row fields
    for row in "${CHROOT_TABLE[@]}"; do
        read -r -a fields <<<"$row"
        [[ ${fields[0]} == "$1" ]] || continue
        CHROOT_NAME=${fields[0]} CHROOT_SUITE=${fields[1]} CHROOT_ARCH=${fields[2]}
        CHROOT_RUN=${fields[3]} CHROOT_QEMU_CPU=${fields[4]} CHROOT_PYTHON=${fields[5]}
        CHROOT_BENCH=${fields[6]} CHROOT_PACKAGES=("${CHROOT_BASE_PACKAGES[@]}" "${fields[@]:7}")
        # CORVANE_CHROOTS moves every chroot (an absolute path); the default is inside build/.
        CHROOT_ROOT=${CORVANE_CHROOTS:-$CHROOT_CHECKOUT/build}/$CHROOT_NAME-root
        # Held shared by every command that runs in the chroot and exclusively while it is
        # provisioned or removed, so neither happens under a running command. Beside the
        # chroot, not in it.
        CHROOT_LOCK=$CHROOT_ROOT.lock
        # Written last by scripts/provision.sh: the chroot is complete and has these packages.
        CHROOT_DONE=$CHROOT_ROOT/.corvane-provisioned
        return 0
    done
    chroot_die "no chroot named '$1' (there are: $(chroot_names | paste -sd ' '))"
}

chroot_ready() { [[ -f $CHROOT_DONE ]]; }

CHROOT_BINFMT=/proc/sys/fs/binfmt_misc

# chroot_runnable: whether this host can run the chosen chroot's programs; if not, prints why.
# An emulated architecture needs its qemu-user emulator registered with binfmt_misc with the F
# flag: the kernel then opens the emulator when it is registered, so it works inside a chroot
# that holds no copy of it.
chroot_runnable() {
    [[ $CHROOT_RUN == qemu:* ]] || return 0
    local emulator=${CHROOT_RUN#qemu:}
    local entry=$CHROOT_BINFMT/$emulator fix="scripts/provision.sh $CHROOT_NAME sets it up"
    if ! mountpoint -q "$CHROOT_BINFMT"; then
        echo "binfmt_misc is not mounted at $CHROOT_BINFMT, so $CHROOT_ARCH programs cannot run ($fix)"
        return 1
    fi
    if [[ "$(head -n1 "$entry" 2>/dev/null)" != enabled ]]; then
        echo "$emulator is not registered with binfmt_misc, or disabled, so $CHROOT_ARCH" \
            "programs cannot run (qemu-user-static and binfmt-support register it; $fix)"
        return 1
    fi
    if ! grep -q '^flags:.*F' "$entry"; then
        echo "$emulator is registered without the F flag, so it cannot run inside a chroot" \
            "(qemu-user-static's registration has it: update-binfmts --import $emulator)"
        return 1
    fi
}

# The variables a command keeps inside the chroot; everything else of the host's environment
# (its PATH, pip and certificate settings that name host files, ...) stays outside.
CHROOT_PASS_ENV_RE='^(CI|TERM|COLUMNS|SOURCE_DATE_EPOCH|(http|https|no)_proxy|(HTTP|HTTPS|NO)_PROXY|CORVANE_[A-Z0-9_]+|PYTEST_ADDOPTS|PIP_DEFAULT_TIMEOUT)$'

chroot_die() {
    echo "$*" >&2
    exit 1
}

# chroot_lock shared|exclusive: take the chroot's lock for the rest of this process (fd 9).
chroot_lock() {
    mkdir -p "$(dirname "$CHROOT_LOCK")"
    exec 9>>"$CHROOT_LOCK"
    if ! flock --nonblock "--$1" 9; then
        echo "==> waiting for $CHROOT_LOCK (the chroot is being provisioned or used)" >&2
        flock "--$1" 9
    fi
}

# chroot_run BIND-CHECKOUT(0|1) CMD...: run CMD as root in the chosen chroot (under setarch or
# through the emulator, as its row says), with a clean environment, in the checkout (bound at the
# same path) when BIND-CHECKOUT is 1, else in /. Returns CMD's exit status; with CHROOT_EXEC=exec
# it replaces the shell instead, so that signals reach the runner.
chroot_run() {
    local bind=$1
    shift
    local path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    local -a env_args=(HOME=/root LANG=C.UTF-8 LC_ALL=C.UTF-8 "PATH=$path"
        "CORVANE_CHROOT=$CHROOT_NAME")
    # The emulator reads its CPU from the environment of every program it starts.
    [[ $CHROOT_QEMU_CPU == - ]] || env_args+=("QEMU_CPU=$CHROOT_QEMU_CPU")
    local name
    while IFS= read -r name; do
        [[ $name =~ $CHROOT_PASS_ENV_RE ]] && env_args+=("$name=${!name}")
    done < <(compgen -e)
    # A worktree's .git names the repository's common directory: bind that too, so git works.
    local gitdir=
    if [[ $bind != 0 ]]; then
        gitdir=$(git -C "$CHROOT_CHECKOUT" rev-parse --path-format=absolute --git-common-dir \
            2>/dev/null) || gitdir=
        [[ -n $gitdir && $gitdir != "$CHROOT_CHECKOUT"/* && -d $gitdir ]] || gitdir=
    fi
    ${CHROOT_EXEC:-} unshare --mount --propagation private -- \
        bash -c "$CHROOT_INNER" chroot-run "$CHROOT_ROOT" "$CHROOT_RUN" "$bind" "$CHROOT_CHECKOUT" \
        "$gitdir" "${#env_args[@]}" "${env_args[@]}" "$@"
}

# Runs inside the new mount namespace: mount, run the command in the chroot, unmount.
# Arguments: ROOT RUN BIND CHECKOUT GITDIR N ENV[1..N] CMD...
# shellcheck disable=SC2016
CHROOT_INNER='
set -euo pipefail
root=$1 run=$2 bind=$3 checkout=$4 gitdir=$5 n=$6
shift 6
env_args=("${@:1:n}")
shift "$n"
mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount --recursive --lazy "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
}
child=
forward() { [[ -n $child ]] && kill "-$1" "$child" 2>/dev/null || true; }
trap unmount_all EXIT
trap "forward TERM" TERM
trap "forward INT" INT
trap "forward HUP" HUP
bind_at() { # SOURCE TARGET [OPTIONS]
    mount --rbind "$1" "$2"
    mounted+=("$2")
    mount --make-rslave "$2"
    [[ -z ${3:-} ]] || mount -o "remount,bind,$3" "$2"
}
mount -t proc proc "$root/proc"
mounted+=("$root/proc")
bind_at /dev "$root/dev"
# Name resolution as the host does it now (the file debootstrap copied may be stale).
if [[ -f /etc/resolv.conf ]]; then
    if [[ -L $root/etc/resolv.conf || ! -f $root/etc/resolv.conf ]]; then
        rm -f "$root/etc/resolv.conf"
        : >"$root/etc/resolv.conf"
    fi
    mount --bind "$(readlink -f /etc/resolv.conf)" "$root/etc/resolv.conf"
    mounted+=("$root/etc/resolv.conf")
    mount -o remount,bind,ro "$root/etc/resolv.conf"
fi
cwd=/
if [[ $bind != 0 ]]; then
    mkdir -p "$root$checkout"
    mount --bind "$checkout" "$root$checkout"
    mounted+=("$root$checkout")
    if [[ -n $gitdir ]]; then
        mkdir -p "$root$gitdir"
        mount --bind "$gitdir" "$root$gitdir"
        mounted+=("$root$gitdir")
    fi
    cwd=$checkout
fi
# setarch: uname -m then names the machine of the chroot (i686), as pip and the tests expect.
launcher=()
[[ $run != setarch:* ]] || launcher=(setarch "${run#setarch:}")
set +e
# A command started with & by a shell without job control has SIGINT and SIGQUIT ignored, and
# would keep them so: restore them, so that Ctrl-C means in the chroot what it means outside.
"${launcher[@]}" chroot "$root" /usr/bin/env --default-signal=INT,QUIT -i "${env_args[@]}" \
    /bin/sh -c "cd \"\$0\" && exec \"\$@\"" \
    "$cwd" "$@" &
child=$!
# wait returns early (status > 128) when a trapped signal arrives; wait again until it exits.
while ! wait "$child" && kill -0 "$child" 2>/dev/null; do :; done
wait "$child"

'
