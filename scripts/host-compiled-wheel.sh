#!/usr/bin/env bash
# Build corvane's wheel for one of the sid chroot's interpreters, compiled by the host's g++:
#
#   scripts/in-sid.sh --host-tools scripts/host-compiled-wheel.sh /usr/bin/python3.14 OUTDIR
#
# The chroot's interpreter drives the build (scikit-build-core, the wheel's tags and metadata),
# the host's compiler and C++ library make the extension (see scripts/host-tools/run-on-host),
# so the wheel needs no newer GLIBC or GLIBCXX than the cp312 and cp313 ones and auditwheel can
# give it the same manylinux tag. The wheel is raw: repair it with auditwheel as those are.
# Its venv and CMake tree are build/venv-wheel-X.Y and build/cmake-wheel-X.Y, apart from the
# test builds, which the chroot's own compiler makes.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
(($# == 2)) || { echo "usage: $0 PYTHON OUTDIR" >&2; exit 2; }
py=$1 out=$2
if [[ $(command -v g++) != */scripts/host-tools/g++ ]]; then
    echo "$0: g++ is not the host's; run through scripts/in-sid.sh --host-tools" >&2
    exit 1
fi
ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=build/venv-wheel-$ver
if [[ ! -x $venv/bin/python ]]; then
    rm -rf "$venv"
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q 'scikit-build-core>=0.11'
fi
rm -rf "$out"
echo "==> [$ver] building the wheel with $(g++ --version | head -n1)"
CXX=g++ "$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
    -C build-dir="build/cmake-wheel-$ver" -w "$out" .
ls "$out"/corvane-*.whl
