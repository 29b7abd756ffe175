"""The built wheels, checked as files and installed the way a user installs them.

`make wheels` repairs one wheel per interpreter into wheelhouse/ and then runs this file with
CORVANE_WHEELHOUSE pointing there, so a missing wheel is a failure. Run as part of the plain
suite, it tests the wheel that wheelhouse/ holds for the running interpreter, if any, and is
skipped otherwise: the suite never builds wheels itself.
"""

import email.parser
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import time
import tomllib
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
TAG = "cp{}{}".format(*sys.version_info[:2])
ABI = TAG + sys.abiflags  # a debug build's wheels carry its ABI of their own: cp314d
# The machine part of this platform's wheel tags: the wheelhouse holds every platform's wheels.
MACHINE = sysconfig.get_platform().split("-", 1)[1]
MANYLINUX = re.compile(r"manylinux_(\d+)_(\d+)_")
# The newest glibc a wheel may need: 2.17 (manylinux2014), but where glibc's port or auditwheel's
# first tag for the machine is later.
OLDEST_GLIBC = {"riscv64": (2, 31)}.get(MACHINE, (2, 17))
DIST_INFO = f"corvane-{PROJECT['version']}.dist-info"
# What a wheel is built from.
INPUTS = [ROOT / n for n in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE")] + [
    p for d in ("src", "hal", "stubs") for p in (ROOT / d).rglob("*") if p.is_file()
]


@pytest.fixture(scope="module")
def wheel():
    given = os.environ.get("CORVANE_WHEELHOUSE")
    house = pathlib.Path(given) if given else ROOT / "wheelhouse"
    pattern = f"corvane-{PROJECT['version']}-{TAG}-{ABI}-*_{MACHINE}.whl"
    found = sorted(house.glob(pattern))
    if len(found) == 1 and not given:
        # A wheel left from an earlier `make wheels` may predate the sources; testing it then
        # would report their edits as faults of the wheel.
        newer = [p for p in INPUTS if p.exists() and p.stat().st_mtime > found[0].stat().st_mtime]
        if newer:
            pytest.skip(f"{found[0].name} is older than {newer[0].relative_to(ROOT)}")
    if len(found) == 1:
        return found[0]
    why = (
        f"{len(found)} wheels match {pattern} in {house}: {[p.name for p in found]}"
        if found
        else f"no wheel matching {pattern} in {house}; `make wheels` builds it"
    )
    if given or found:
        pytest.fail(why)
    pytest.skip(why)


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """Python of a fresh venv holding only the wheel: no index, no dependencies, no build."""
    venv = tmp_path_factory.mktemp("venv")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv], check=True)
    python = venv / "bin" / "python"
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "--python",
            python,
            "install",
            "-q",
            "--no-index",
            "--no-deps",
            wheel,
        ],
        check=True,
    )
    return python


def test_wheel_is_tagged_manylinux_and_holds_the_module(wheel):
    platforms = wheel.stem.split("-")[-1].split(".")
    assert platforms and all(
        p.startswith("manylinux") and p.endswith(f"_{MACHINE}") for p in platforms
    ), wheel.name
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        tags = email.parser.Parser().parsestr(zf.read(f"{DIST_INFO}/WHEEL").decode())
    assert tags["Root-Is-Purelib"] == "false"
    assert sorted(tags.get_all("Tag")) == sorted(f"{TAG}-{ABI}-{p}" for p in platforms)
    # Built against the oldest glibc with the C++ runtime linked in: no newer tag, and no shared
    # runtime grafted in beside the extension by auditwheel.
    glibc = [tuple(map(int, m.groups())) for m in map(MANYLINUX.match, platforms) if m]
    assert glibc and max(glibc) <= OLDEST_GLIBC, wheel.name
    assert not [n for n in names if n.startswith("corvane.libs/")]
    assert "corvane" + sysconfig.get_config_var("EXT_SUFFIX") in names
    assert f"{DIST_INFO}/licenses/LICENSE" in names
    # The PEP 561 stub-only package ships beside the extension, stub for stub.
    stubs = ROOT / "stubs" / "corvane-stubs"
    assert {n for n in names if n.startswith("corvane-stubs/") and n.endswith(".pyi")} == {
        f"corvane-stubs/{f.relative_to(stubs).as_posix()}" for f in stubs.rglob("*.pyi")
    }


def extension(wheel) -> bytes:
    with zipfile.ZipFile(wheel) as zf:
        (name,) = [n for n in zf.namelist() if n.endswith(".so")]
        return zf.read(name)


# What the extension's bytes must not hold.
NOT_IN_EXTENSION = [
    # The build's paths: they would make two clones' wheels differ.
    pytest.param(str(ROOT).encode(), id="the checkout's path"),
    # Libraries that glibc 2.34 merged into libc. Named (they are in the module's string table
    # only if it asks for them), each is one more file for every import to load, an empty one
    # on current systems: a third of the import's cost.
    pytest.param(b"libpthread.so", id="libpthread"),
    pytest.param(b"libdl.so", id="libdl"),
    pytest.param(b"librt.so", id="librt"),
    # libc++abi's default terminate handler, which names an uncaught exception's type through a
    # whole C++ demangler: 70 KB and 1,300 relocations, applied by every import. Its message
    # marks it.
    pytest.param(b"terminating due to %s exception of type", id="the demangler"),
]


@pytest.mark.parametrize("unwanted", NOT_IN_EXTENSION)
def test_extension_holds_nothing_unwanted(wheel, unwanted):
    assert unwanted not in extension(wheel)


def test_wheel_files_carry_one_time_the_commits_not_the_builds(wheel):
    # Build times in the zip entries would make two builds of one commit differ. nox builds with
    # SOURCE_DATE_EPOCH, the last commit's time, and hands it to the suite.
    with zipfile.ZipFile(wheel) as zf:
        times = {info.date_time for info in zf.infolist()}
    assert len(times) == 1, times
    if os.environ.get("SOURCE_DATE_EPOCH"):
        stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
        # Zip times start in 1980 and count seconds in steps of two.
        assert times == {stamp[:5] + (stamp[5] // 2 * 2,)}


def test_wheel_metadata_comes_from_pyproject(wheel):
    with zipfile.ZipFile(wheel) as zf:
        meta = email.parser.Parser().parsestr(zf.read(f"{DIST_INFO}/METADATA").decode())
    for field, expected in [
        ("Name", PROJECT["name"]),
        ("Version", PROJECT["version"]),
        ("Summary", PROJECT["description"]),
        ("Requires-Python", ">=3.12"),
        ("License-Expression", "MIT"),
        ("License-File", "LICENSE"),
        ("Description-Content-Type", "text/markdown"),
    ]:
        assert meta[field] == expected, field
    assert meta.get_all("Classifier") == PROJECT["classifiers"]
    assert meta.get_payload().strip() == (ROOT / "README.md").read_text().strip()


SMOKE = """
import importlib.metadata, pathlib, sys
import corvane
from corvane.do_mod.packets import Request
from corvane.do_mod.packets.set_do import SetDoutsRequest
assert pathlib.Path(corvane.__file__).is_relative_to(sys.prefix), corvane.__file__
assert corvane.get_do_request(3, 0x01020304).hex(" ") == "23 00 00 00 05 00 01 02 03 04"
assert corvane.set_do_request(0xA5C3, 7).hex(" ") == "20 00 00 00 07 01 00 00 00 07 a5 c3"
assert Request.SetDouts(SetDoutsRequest(5)).cmd() == 1 and Request.base_id() == 32
dist = importlib.metadata.distribution("corvane")
missing = [str(f) for f in dist.files if not f.locate().exists()]
assert not missing, missing
print(dist.version)
"""


def test_installed_wheel_imports_and_builds_frames(installed, tmp_path):
    # -I and a neutral working directory: only the venv's copy of corvane can be found.
    run = subprocess.run(
        [installed, "-I", "-c", SMOKE], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == PROJECT["version"]
