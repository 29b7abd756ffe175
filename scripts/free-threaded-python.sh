#!/usr/bin/env bash
# Build a free-threaded CPython (configure --disable-gil) from Debian's source package, once, into
# build/python<VERSION>t, and print its path: Debian ships no free-threaded binary package.
#
#   scripts/free-threaded-python.sh [VERSION]   # without VERSION, every row of SOURCES
#
# Only trixie's python3.13 source package is served from the archive here; a later version is one
# more row once its package can be had, and scripts/pythons.py finds what is built here. The
# source is fetched through a private apt configuration (the host's /etc/apt is left alone); the
# build dependencies are installed with apt-get when missing.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
declare -A SOURCES=([3.13]="trixie python3.13") # version: Debian suite and source package
if (($# == 0)); then
    for version in "${!SOURCES[@]}"; do "$0" "$version"; done
    exit
fi
[[ -n ${SOURCES[$1]:-} ]] || { echo "no Debian source package is known for a free-threaded $1" >&2 && exit 1; }
read -r suite package <<<"${SOURCES[$1]}"
prefix=$PWD/build/python${1}t work=$PWD/build/python${1}t-src
if [[ -f $prefix/.corvane-built ]]; then
    echo "$prefix/bin/python${1}t"
    exit
fi
mirror=${CORVANE_MIRROR:-$(apt-get indextargets --format '$(ORIGIN)|$(LABEL)|$(REPO_URI)' \
    2>/dev/null | awk -F'|' '$1 == "Debian" && $2 == "Debian" { print $3; exit }')}
[[ -n $mirror ]] || { echo "no Debian archive in the host's apt sources; set CORVANE_MIRROR" >&2 && exit 1; }
deps=(libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev
    uuid-dev dpkg-dev xz-utils)
if ! dpkg-query -W "${deps[@]}" >/dev/null 2>&1; then
    apt-get update -q -o DPkg::Lock::Timeout=600 >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        --no-install-recommends -o DPkg::Lock::Timeout=600 "${deps[@]}" >&2
fi
rm -rf "$work" "$prefix"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/src"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
    >"$work/apt/sources.list"
apt=(apt-get -q -o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache" -o Acquire::Check-Valid-Until=false)
start=$SECONDS
"${apt[@]}" update >&2 && (cd "$work" && "${apt[@]}" source --download-only "$package" >&2)
tarball=("$work/${package}"_*.orig.tar.[gx]z)
tar -xf "${tarball[0]}" -C "$work/src" --strip-components=1
echo "==> building CPython $1 (--disable-gil) into $prefix" >&2
# Each step's log is shown only when it fails.
for command in "./configure --disable-gil --prefix=$prefix --with-ensurepip=no" "make -j$(nproc)" "make install"; do
    (cd "$work/src" && $command >"$work/step.log" 2>&1) || { tail -n 60 "$work/step.log" >&2 && exit 1; }
done
"$prefix/bin/python${1}t" -m ensurepip >/dev/null
rm -rf "$work"
: >"$prefix/.corvane-built"
echo "==> built in $((SECONDS - start)) s" >&2
echo "$prefix/bin/python${1}t"
