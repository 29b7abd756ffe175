# Shared by scripts/new-pythons.sh and scripts/in-sid.sh (sourced, not run): where the Debian sid
# chroot that holds CPython 3.14 and 3.15 lives, and how a command runs inside it.
#
# The chroot's mounts (/proc, /dev, the checkout) are made in a mount namespace of their own
# (unshare --mount), never in the host's. So nothing outside the running command sees them: a
# `rm -rf build` on the host cannot walk through a bound /dev or back into the checkout, two runs
# at once do not share or unmount each other's mounts, and when the command ends by any means,
# SIGKILL included, the kernel drops the namespace and its mounts with the last process in it.
# The EXIT trap still unmounts in order on every ordinary exit path.

SID_CHECKOUT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
# CORVANE_SID_ROOT moves the chroot (an absolute path); the default is inside build/.
SID_ROOT=${CORVANE_SID_ROOT:-$SID_CHECKOUT/build/sid-root}
# Held shared by every command that runs in the chroot and exclusively while it is provisioned
# or removed, so neither happens under a running command. Beside the chroot, not in it.
SID_LOCK=$SID_ROOT.lock
# Written last by scripts/new-pythons.sh: the chroot is complete and has these packages.
SID_DONE=$SID_ROOT/.corvane-provisioned

# The variables a command keeps inside the chroot; everything else of the host's environment
# (its PATH, pip and certificate settings that name host files, ...) stays outside.
SID_PASS_ENV_RE='^(CI|TERM|COLUMNS|SOURCE_DATE_EPOCH|(http|https|no)_proxy|(HTTP|HTTPS|NO)_PROXY|CORVANE_[A-Z0-9_]+|PYTEST_ADDOPTS|PIP_DEFAULT_TIMEOUT)$'

sid_die() {
    echo "$*" >&2
    exit 1
}

# sid_lock shared|exclusive: take the chroot's lock for the rest of this process (fd 9).
sid_lock() {
    mkdir -p "$(dirname "$SID_LOCK")"
    exec 9>>"$SID_LOCK"
    if ! flock --nonblock "--$1" 9; then
        echo "==> waiting for $SID_LOCK (the chroot is being provisioned or used)" >&2
        flock "--$1" 9
    fi
}

# sid_run BIND-CHECKOUT(0|1|host-tools) CMD...: run CMD as root in the chroot, with a clean
# environment, in the checkout (bound at the same path) when BIND-CHECKOUT is 1 or host-tools,
# else in /. host-tools also binds the host's root at /run/corvane-host and puts
# scripts/host-tools (the host's compiler, see there) first on PATH. Returns CMD's exit
# status; with SID_EXEC=exec it replaces the shell instead, so that signals reach the runner.
sid_run() {
    local bind=$1
    shift
    local path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    [[ $bind != host-tools ]] || path=$SID_CHECKOUT/scripts/host-tools:$path
    local -a env_args=(HOME=/root LANG=C.UTF-8 LC_ALL=C.UTF-8 "PATH=$path")
    local name
    while IFS= read -r name; do
        [[ $name =~ $SID_PASS_ENV_RE ]] && env_args+=("$name=${!name}")
    done < <(compgen -e)
    # A worktree's .git names the repository's common directory: bind that too, so git works.
    local gitdir=
    if [[ $bind != 0 ]]; then
        gitdir=$(git -C "$SID_CHECKOUT" rev-parse --path-format=absolute --git-common-dir \
            2>/dev/null) || gitdir=
        [[ -n $gitdir && $gitdir != "$SID_CHECKOUT"/* && -d $gitdir ]] || gitdir=
    fi
    ${SID_EXEC:-} unshare --mount --propagation private -- \
        bash -c "$SID_INNER" sid-run "$SID_ROOT" "$bind" "$SID_CHECKOUT" "$gitdir" \
        "${#env_args[@]}" "${env_args[@]}" "$@"
}

# Runs inside the new mount namespace: mount, run the command in the chroot, unmount.
# Arguments: ROOT BIND CHECKOUT GITDIR N ENV[1..N] CMD...
# shellcheck disable=SC2016
SID_INNER='
set -euo pipefail
root=$1 bind=$2 checkout=$3 gitdir=$4 n=$5
shift 5
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
if [[ $bind == host-tools ]]; then
    mkdir -p "$root/run/corvane-host"
    bind_at / "$root/run/corvane-host"
fi
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
set +e
chroot "$root" /usr/bin/env -i "${env_args[@]}" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" \
    "$cwd" "$@" &
child=$!
# wait returns early (status > 128) when a trapped signal arrives; wait again until it exits.
while ! wait "$child" && kill -0 "$child" 2>/dev/null; do :; done
wait "$child"

'
