#!/usr/bin/env bash
# Run a make target on every platform and CPython >= 3.12 this machine can reach: the host's
# interpreters, then those of each chroot that scripts/provision.sh made (Debian sid's CPython
# 3.14, 3.15 and their debug builds on x86-64; 3.13, 3.14 and 3.15 on i386, armhf and arm64; the
# table is in scripts/chroot-lib.sh), and say per place and session what passed, failed or was
# not found.
#
#   scripts/everywhere.sh test-here                  # what `make test` runs
#   scripts/everywhere.sh wheels-here                # what `make wheels` runs
#   WHERE="host arm64" scripts/everywhere.sh test-here
#
# TARGET is a Makefile target that runs nox on the interpreters of the side it is made on. The
# checkout is the same directory on every side; each chroot keeps its venvs and build trees under
# build/<name>/ (noxfile.py), and nox itself gets a venv there too, made by the chroot's python.
# WHERE picks places ("host" and chroot names; all by default). PYTHON=... runs the target only
# on the first side where that interpreter is found. bench-here runs only on the host and in the
# chroots that the table's bench column names (x86-64 ones).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=scripts/chroot-lib.sh
source scripts/chroot-lib.sh

(($# == 1)) || chroot_die "usage: scripts/everywhere.sh TARGET"
target=$1
where=${WHERE:-host $(chroot_names | paste -sd ' ')}
read -r -a places <<<"${where//,/ }"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

host_python=$(command -v python3 || true)
found_on_host() { [[ -n $host_python ]] && "$host_python" scripts/find_pythons.py >/dev/null 2>&1; }
found_in() {
    chroot_select "$1"
    chroot_ready && scripts/in-chroot.sh "$1" env PYTHON="$PYTHON" "$CHROOT_PYTHON" \
        scripts/find_pythons.py >/dev/null 2>&1
}

if [[ -n ${PYTHON:-} ]]; then
    # One interpreter: run where it is first found; where it is nowhere, the host's nox says
    # "not found".
    chosen=host
    for place in "${places[@]}"; do
        if [[ $place == host ]]; then
            found_on_host || continue
        else
            found_in "$place" || continue
        fi
        chosen=$place
        break
    done
    places=("$chosen")
fi

status=0
summary=()
# summarise PLACE REPORT SECONDS: what nox's JSON report says of each session (nox prints its own
# summary only when more than one session ran, so it cannot be relied on), and pytest's count.
summarise() {
    local place=$1 report=$2 took=$3 line
    if [[ ! -f $report ]]; then
        summary+=("    $place: no result, nox did not get to run its sessions (see above)")
        status=1
        return
    fi
    while IFS= read -r line; do
        summary+=("    $place: $line")
        [[ $line == *": success ("* ]] || status=1
    done < <(python3 -c '
import json, sys
sessions = json.load(open(sys.argv[1]))["sessions"]
for s in sessions:
    print("%s: %s (%.0f s)" % (s["name"], s["result"], s.get("duration") or 0))
if not sessions:
    print("no session ran")
' "$report")
    while IFS= read -r line; do
        summary+=("    $place:   pytest: $line")
    done < <(grep -aoE '[0-9]+ (passed|failed|error|errors|skipped)[^=]* in [0-9.]+s( \([0-9:]+\))?' \
        "$log" || true)
    summary+=("    $place: $took s in all")
}

for place in "${places[@]}"; do
    start=$SECONDS
    if [[ $place == host ]]; then
        report=$PWD/build/nox-report.json
        mkdir -p build
        rm -f "$report"
        make --no-print-directory "$target" PYTHON="${PYTHON:-}" NOX_REPORT="$report" 2>&1 |
            tee "$log" || status=1
        summarise host "$report" $((SECONDS - start))
        continue
    fi
    chroot_select "$place"
    label="$place ($CHROOT_SUITE $CHROOT_ARCH)"
    if ! chroot_ready; then
        summary+=("    $label: not provisioned (\`make chroots\` or scripts/provision.sh $place)")
        continue
    fi
    if [[ $target == bench* && $CHROOT_BENCH != yes ]]; then
        summary+=("    $label: not benchmarked (only x86-64 is; see scripts/chroot-lib.sh)")
        continue
    fi
    report=$PWD/build/$place/nox-report.json
    mkdir -p "build/$place"
    rm -f "$report"
    make_vars=(NOX_PYTHON="$CHROOT_PYTHON" NOX_VENV="build/$place/nox-venv" NOX_REPORT="$report")
    echo "==> in the $label chroot ($CHROOT_ROOT): make $target"
    scripts/in-chroot.sh "$place" env "${make_vars[@]}" PYTHON="${PYTHON:-}" \
        PYTEST_ARGS="${PYTEST_ARGS:-}" BENCH_ARGS="${BENCH_ARGS:-}" \
        make --no-print-directory "$target" 2>&1 | tee "$log" || status=1
    summarise "$label" "$report" $((SECONDS - start))
done
echo "==> make ${target%-here}, every place:"
printf '%s\n' "${summary[@]}"
exit "$status"
