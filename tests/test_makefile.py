"""What the Makefile's own recipes do, run in a copy of it in an empty folder."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

MAKEFILE = Path(__file__).resolve().parent.parent / "Makefile"

# What the targets and the tools they run leave in a checkout: `make clean` removes these.
MADE = [
    "build/nox-venv/bin/nox",
    "build/nox/test-cp312/bin/python",
    "build/cmake/cp312/CMakeCache.txt",
    "build/demo-cp312/pyvenv.cfg",
    "build/zig-cache/h/x",
    "build/sid/venv-cp314/bin/python",
    ".pytest_cache/v/cache/lastfailed",
    ".hypothesis/examples/x",
    ".ruff_cache/CACHEDIR.TAG",
    ".mypy_cache/3.12/cache.db",
    "__pycache__/noxfile.cpython-312.pyc",
    "tests/__pycache__/conftest.cpython-312.pyc",
    "tests/isolated/__pycache__/fresh.cpython-312.pyc",
    "examples/__pycache__/command_line.cpython-312.pyc",
    "scripts/__pycache__/pythons.cpython-312.pyc",
]
# What it must leave: the user's own venv and files, and what takes minutes to make again.
KEPT = [
    ".venv/lib/python3.12/site-packages/pip/__pycache__/__init__.cpython-312.pyc",
    ".venv/bin/python",
    "notes/__pycache__/mine.cpython-312.pyc",
    "build/sid-root/usr/lib/python3/dist-packages/__pycache__/x.cpython-314.pyc",
    "build/sid-root.lock",
    "build/python3.13t/bin/python3.13t",
    "build/python3.13t/lib/python3.13t/__pycache__/os.cpython-313.pyc",
    "wheelhouse/corvane-0.1.0-cp312-cp312-manylinux_2_17_x86_64.whl",
]


@pytest.mark.skipif(shutil.which("make") is None, reason="no make here")
def test_clean_removes_what_the_targets_made_and_nothing_else(tmp_path):
    shutil.copy(MAKEFILE, tmp_path)
    for name in MADE + KEPT:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    # As a user runs it: not as a job of the make that may be running this suite.
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    done = subprocess.run(
        ["make", "-s", "clean"], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60
    )
    assert (done.returncode, done.stderr) == (0, "")
    left = {p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file()}
    assert left == {*KEPT, "Makefile"}
