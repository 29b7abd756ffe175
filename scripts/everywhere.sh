#!/usr/bin/env bash
# Run a make target on every CPython >= 3.12 this machine can reach: the host's, then those of
# the sid chroot (CPython 3.14, 3.15 and their debug builds; `make new-pythons` provisions it),
# and say per interpreter what passed, failed or was not found.
#
#   scripts/everywhere.sh test-here          # what `make test` runs
#   scripts/everywhere.sh --host-tools wheels-here
#
# TARGET is a Makefile target that runs nox on the interpreters of the side it is made on. The
# checkout is the same directory on both sides, so build trees and results are shared; nox
# itself gets a venv of its own in the chroot (build/nox-venv-sid), made by its python3.14.
# --host-tools compiles in the chroot with the host's g++ (see scripts/host-tools), which keeps
# the cp314 and cp315 wheels as portable as the host's own.
# PYTHON=... runs the target only on the side where that interpreter is found.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=scripts/sid-lib.sh
source scripts/sid-lib.sh

sid_args=()
sid_make=(env NOX_PYTHON=/usr/bin/python3.14 NOX_VENV=build/nox-venv-sid)
if [[ ${1:-} == --host-tools ]]; then
    # CMake would take the chroot's own c++ first: name the host's.
    sid_args+=(--host-tools)
    sid_make+=(CXX=g++)
    shift
fi
target=$1
readonly SID_PYTHONS="3.14, 3.15, 3.14d, 3.15d"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

host_python=$(command -v python3 || true)
in_sid() { scripts/in-sid.sh "$@"; }
sid_ready() { [[ -f $SID_DONE ]]; }
found_on_host() { [[ -n $host_python ]] && "$host_python" scripts/find_pythons.py >/dev/null 2>&1; }
found_in_sid() { sid_ready && in_sid env PYTHON="$PYTHON" /usr/bin/python3.14 scripts/find_pythons.py >/dev/null 2>&1; }

run_host=1 run_sid=1
if [[ -n ${PYTHON:-} ]]; then
    # One interpreter: run where it is; where it is nowhere, the host's nox says "not found".
    if found_on_host; then
        run_sid=0
    elif found_in_sid; then
        run_host=0
    else
        run_sid=0
    fi
fi

status=0
summary=()
# nox ends with one line per session ("nox > * test-cp312: success, took 47 seconds").
collect() { grep -a '^nox > \* ' "$log" | sed 's/^nox > \* /    /' || true; }
if ((run_host)); then
    make --no-print-directory "$target" PYTHON="${PYTHON:-}" 2>&1 | tee "$log" || status=1
    mapfile -t -O "${#summary[@]}" summary < <(collect)
fi
if ((run_sid)); then
    if sid_ready; then
        echo "==> in the sid chroot ($SID_ROOT): make $target"
        in_sid "${sid_args[@]}" "${sid_make[@]}" PYTHON="${PYTHON:-}" \
            PYTEST_ARGS="${PYTEST_ARGS:-}" BENCH_ARGS="${BENCH_ARGS:-}" \
            make --no-print-directory "$target" 2>&1 | tee "$log" || status=1
        mapfile -t -O "${#summary[@]}" summary < <(collect)
    else
        summary+=("    $SID_PYTHONS: not found (no sid chroot; \`make new-pythons\` provisions it)")
    fi
fi
echo "==> make ${target%-here}, every interpreter:"
printf '%s\n' "${summary[@]}"
exit "$status"
