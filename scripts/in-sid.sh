#!/usr/bin/env bash
# Run a command in the sid chroot that scripts/new-pythons.sh made, in this checkout:
#
#   scripts/in-sid.sh env PYTHON=/usr/bin/python3.14d make test
#   scripts/in-sid.sh --host-tools CMD...   # g++ there is the host's (scripts/host-tools)
#
# The checkout is bound at the same path inside, so paths and build trees under build/ mean the
# same on both sides; /proc and /dev are mounted; the environment is reduced to a plain PATH,
# HOME=/root, a UTF-8 locale and a few variables that mean the same everywhere (CI, TERM, proxies,
# CORVANE_*, PYTEST_ADDOPTS): pass anything else on the command line with `env`. The mounts are
# private to the command (see scripts/sid-lib.sh) and gone when it ends, however it ends. Exits
# with the command's status, or 3 when there is no complete chroot.
set -euo pipefail
# shellcheck source=scripts/sid-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/sid-lib.sh"

mode=1
if [[ ${1:-} == --host-tools ]]; then
    mode=host-tools
    shift
fi
(($# > 0)) || sid_die "usage: scripts/in-sid.sh [--host-tools] CMD [ARG...]"
[[ $(id -u) == 0 ]] || sid_die "scripts/in-sid.sh needs root (chroot, mounts)"
sid_lock shared
if [[ ! -f $SID_DONE ]]; then
    echo "no complete chroot at $SID_ROOT: run scripts/new-pythons.sh first" >&2
    exit 3
fi
# exec: the runner in the namespace becomes this process, so a signal sent to it is passed on to
# the command, and the lock stays held until the command has ended.
SID_EXEC=exec sid_run "$mode" "$@"
