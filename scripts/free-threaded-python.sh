#!/usr/bin/env bash
# Build a free-threaded CPython (configure --disable-gil) from Debian's source package, once:
#
#   scripts/free-threaded-python.sh [VERSION]   # prints the interpreter's path; without VERSION,
#                                               # builds every row of SOURCES (make test does)
#
# Debian ships no free-threaded binary package, and only trixie's python3.13 source package is
# served from the archive here (sid's 3.14 and 3.15 are listed but not served); a later version is
# one more row in SOURCES once its source package can be had: scripts/find_pythons.py finds what
# is built here, and make test and CI build and test its wheels as they do 3.13t's. The interpreter is installed
# under build/python<VERSION>t (CORVANE_CHROOTS moves it beside the chroots) and reused while its
# stamp is there. The host's /etc/apt is left untouched: the source is fetched through a private
# apt configuration under the build folder. Needs the archive of the host's apt sources, and the
# build dependencies below (installed with apt-get when missing, as root).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# One row per free-threaded CPython: its version, and the Debian suite and source package.
declare -A SOURCES=(
    [3.13]="trixie python3.13"
)
if (($# == 0)); then
    for version in $(printf '%s\n' "${!SOURCES[@]}" | sort -V); do
        "$0" "$version" || exit
    done
    exit 0
fi
version=$1
[[ -n ${SOURCES[$version]:-} ]] || {
    echo "no Debian source package is known for a free-threaded $version" >&2
    exit 1
}
read -r suite package <<<"${SOURCES[$version]}"
base=${CORVANE_CHROOTS:-$PWD/build}
prefix=$base/python${version}t
python=$prefix/bin/python${version}t
if [[ -f $prefix/.corvane-built && -x $python ]]; then
    echo "$python"
    exit 0
fi

work=$base/python${version}t-src
mirror=${CORVANE_MIRROR:-$(apt-get indextargets --format '$(ORIGIN)|$(LABEL)|$(REPO_URI)' \
    2>/dev/null | awk -F'|' '$1 == "Debian" && $2 == "Debian" { print $3; exit }')}
[[ -n $mirror ]] || {
    echo "no Debian archive in the host's apt sources; set CORVANE_MIRROR" >&2
    exit 1
}

deps=(libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev
    uuid-dev dpkg-dev xz-utils)
mapfile -t missing < <(for p in "${deps[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || echo "$p"
done)
if ((${#missing[@]} > 0)); then
    echo "==> installing on the host with apt-get: ${missing[*]}" >&2
    apt-get update -q >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "${missing[@]}" >&2
fi

rm -rf "$work" "$prefix"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
    >"$work/apt/sources.list"
apt_private=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
    -o Acquire::Check-Valid-Until=false)
start=$SECONDS
echo "==> fetching Debian's $package source ($suite)" >&2
apt-get "${apt_private[@]}" -q update >&2
(cd "$work" && apt-get "${apt_private[@]}" source --download-only "$package" >&2)
tarball=$(ls "$work"/"${package}"_*.orig.tar.* | head -n1)
mkdir "$work/src"
tar -xf "$tarball" -C "$work/src" --strip-components=1
echo "==> building CPython $version (--disable-gil) into $prefix" >&2
(
    cd "$work/src"
    ./configure --disable-gil --prefix="$prefix" --with-ensurepip=no \
        >"$work/configure.log" 2>&1 || { tail -n 40 "$work/configure.log"; exit 1; }
    make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 60 "$work/make.log"; exit 1; }
    make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log"; exit 1; }
) >&2
"$python" -m ensurepip >/dev/null
rm -rf "$work"
: >"$prefix/.corvane-built"
echo "==> $python built in $((SECONDS - start)) s" >&2
echo "$python"
