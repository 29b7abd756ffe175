#!/usr/bin/env bash
# Print, one per line, the path of every distinct CPython >= 3.12 on this machine:
# one interpreter per major.minor version (the first one found wins), oldest version first.
#
#   PYTHON=/path/to/python3.13 scripts/find-pythons.sh   # use exactly this interpreter
#
# Search order without PYTHON: pyenv's versions (newest patch release of each minor first),
# then python3.12, python3.13, python3.14 and python3 on PATH. Free-threaded builds and
# other implementations (PyPy, ...) are skipped: corvane is built for the default CPython ABI.
set -euo pipefail

readonly MIN_MAJOR=3 MIN_MINOR=12
readonly NONE_FOUND="corvane needs CPython ${MIN_MAJOR}.${MIN_MINOR} or later, and none was found; install one or set PYTHON=/path/to/python${MIN_MAJOR}.${MIN_MINOR}"

# One line about an interpreter: "<impl> <major> <minor> <gil-disabled 0/1> <sys.executable>".
# Written for any Python 3 so that old interpreters answer instead of failing to parse it.
readonly PROBE='import sys, sysconfig
print(sys.implementation.name, sys.version_info[0], sys.version_info[1],
      int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))), sys.executable)'

# probe CANDIDATE -> sets P_IMPL P_MAJOR P_MINOR P_FT P_EXE (and P_ERR, its stderr);
# returns 1 if it does not run.
probe() {
    local out errfile
    errfile=$(mktemp)
    # pyenv shims exit non-zero for versions that are not selected; that only means "not here".
    out=$("$1" -c "$PROBE" 2>"$errfile") || out=""
    P_ERR=$(head -c 2000 "$errfile")
    rm -f "$errfile"
    [[ -n "$out" ]] || return 1
    read -r P_IMPL P_MAJOR P_MINOR P_FT P_EXE <<<"$out" || return 1
    [[ -n "${P_EXE:-}" && "$P_MAJOR" =~ ^[0-9]+$ && "$P_MINOR" =~ ^[0-9]+$ ]]
}

supported() {
    [[ "$P_IMPL" == cpython && "$P_FT" == 0 ]] &&
        ((P_MAJOR > MIN_MAJOR || (P_MAJOR == MIN_MAJOR && P_MINOR >= MIN_MINOR)))
}

if [[ -n "${PYTHON:-}" ]]; then
    if ! probe "$PYTHON"; then
        echo "PYTHON=$PYTHON does not run as a Python interpreter${P_ERR:+:}" >&2
        [[ -z "$P_ERR" ]] || printf '%s\n' "$P_ERR" | sed 's/^/    /' >&2
        echo "$NONE_FOUND" >&2
        exit 1
    fi
    if ! supported; then
        kind="$P_IMPL $P_MAJOR.$P_MINOR"
        [[ "$P_FT" == 1 ]] && kind+=" (free-threaded build)"
        echo "PYTHON=$PYTHON is $kind; corvane needs CPython ${MIN_MAJOR}.${MIN_MINOR} or later" \
            "(default, non-free-threaded build)." >&2
        exit 1
    fi
    echo "$P_EXE"
    exit 0
fi

candidates=()
pyenv_roots=()
if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root 2>/dev/null) && [[ -n "$root" ]] && pyenv_roots+=("$root")
fi
pyenv_roots+=("${PYENV_ROOT:-}" /root/.pyenv "${HOME:-/nonexistent}/.pyenv")
for root in "${pyenv_roots[@]}"; do
    [[ -n "$root" && -d "$root/versions" ]] || continue
    # Newest first, so that 3.13.1 beats 3.13.0 for the 3.13 slot.
    while IFS= read -r dir; do
        [[ -x "$dir/bin/python3" ]] && candidates+=("$dir/bin/python3")
    done < <(find "$root/versions" -mindepth 1 -maxdepth 1 \( -type d -o -type l \) | sort -rV)
done
for name in python3.12 python3.13 python3.14 python3; do
    path=$(command -v "$name" 2>/dev/null) && candidates+=("$path")
done

declare -A chosen=()   # "major.minor" -> executable
declare -A seen=()     # candidate path -> 1
for cand in "${candidates[@]}"; do
    [[ -n "${seen[$cand]:-}" ]] && continue
    seen[$cand]=1
    probe "$cand" && supported || continue
    ver="$P_MAJOR.$P_MINOR"
    [[ -n "${chosen[$ver]:-}" ]] || chosen[$ver]=$P_EXE
done

if ((${#chosen[@]} == 0)); then
    echo "$NONE_FOUND" >&2
    exit 1
fi

for ver in $(printf '%s\n' "${!chosen[@]}" | sort -V); do
    echo "${chosen[$ver]}"
done
