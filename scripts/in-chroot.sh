#!/usr/bin/env bash
# Run a command in one of the chroots that scripts/provision.sh made, in this checkout:
#
#   scripts/in-chroot.sh sid env PYTHON=python3.14d build/sid/nox-venv/bin/nox -t test
#   scripts/in-chroot.sh arm64 uname -m
#
# The checkout is bound at the same path inside, so paths and build trees under build/ mean the
# same on both sides; /proc and /dev are mounted; the environment is reduced to a plain PATH,
# HOME=/root, a UTF-8 locale and a few variables that mean the same everywhere (CI, TERM, proxies,
# CORVANE_*, PYTEST_ADDOPTS), plus CORVANE_CHROOT (the chroot's name) and, for an emulated
# architecture, its QEMU_CPU: pass anything else on the command line with `env`. The mounts are
# private to the command (see scripts/chroot-lib.sh) and gone when it ends, however it ends.
# Exits with the command's status, or 3 when there is no complete chroot of that name.
set -euo pipefail
# shellcheck source=scripts/chroot-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/chroot-lib.sh"

usage="usage: scripts/in-chroot.sh NAME CMD [ARG...]"
usage+=" (NAME: $(chroot_names | paste -sd ' '))"
(($# > 0)) || chroot_die "$usage"
chroot_select "$1"
shift
(($# > 0)) || chroot_die "$usage"
[[ $(id -u) == 0 ]] || chroot_die "scripts/in-chroot.sh needs root (chroot, mounts)"
chroot_lock shared
if ! chroot_ready; then
    echo "no complete chroot at $CHROOT_ROOT: run scripts/provision.sh $CHROOT_NAME first" >&2
    exit 3
fi
why=$(chroot_runnable) || chroot_die "$CHROOT_NAME: $why"
# exec: the runner in the namespace becomes this process, so a signal sent to it is passed on to
# the command, and the lock stays held until the command has ended.
CHROOT_EXEC=exec chroot_run 1 "$@"
