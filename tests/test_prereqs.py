"""The make targets' first step: what is missing is named, with how to get it, in seconds."""

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPTS = Path(__file__).resolve().parent.parent / "scripts"
# The make targets run on a machine's own python3; a chroot's interpreters, made without pip or
# ensurepip, would be named as missing their venv module before anything else.
pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("ensurepip") is None, reason="this interpreter has no venv module"
)


@pytest.mark.parametrize(
    "command, env, stderr",
    [
        (
            ["pythons.py"],
            {"PYTHON": "python3.11"},
            "PYTHON=python3.11: 3.11 is too old, corvane needs 3.12 or later\n",
        ),
        (
            ["pythons.py", "--build"],
            {"PYTHON": "python3.11"},
            "missing: PYTHON=python3.11: 3.11 is too old, corvane needs 3.12 or later\n",
        ),
        (
            ["pythons.py", "--cxx"],
            {"PYTHON": sys.executable, "CXX": "/nonexistent/g++"},
            "missing: no C++ compiler: /nonexistent/g++ not found; on Debian, apt-get install g++"
            " (12 or later)\n",
        ),
        pytest.param(
            ["pythons.py", "--cxx"],
            # A compiler that runs but has no C++ library headers: no <expected>.
            {"PYTHON": sys.executable, "CXX": "g++ -nostdinc++"},
            "missing: g++ -nostdinc++ cannot compile C++23 (std::expected), which corvane is"
            " written in: it needs g++ 12 or later (on Debian 12, apt-get install g++)\n",
            # The chroots that only test wheels have no g++: Zig, from PyPI, builds them.
            marks=pytest.mark.skipif(shutil.which("g++") is None, reason="no g++ here"),
        ),
    ],
    ids=["too-old-python", "too-old-python-checked-first", "no-compiler", "no-cxx23"],
)
def test_a_missing_prerequisite_is_named_with_its_fix(command, env, stderr):
    script, *args = command
    result = subprocess.run(
        [sys.executable, SCRIPTS / script, *args],
        env={**os.environ, **env},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (result.returncode, result.stdout, result.stderr) == (1, "", stderr)


def test_building_wheels_needs_no_compiler_of_the_systems():
    # The wheels' compiler comes from PyPI: a chroot or machine without g++ still runs make test.
    result = subprocess.run(
        [sys.executable, SCRIPTS / "pythons.py", "--build"],
        env={**os.environ, "PYTHON": sys.executable, "CXX": "/nonexistent/g++"},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


CHROOTS = "sid i386 armhf arm64 s390x riscv64"


@pytest.mark.parametrize(
    "command, env, code, stderr",
    [
        (["pythons.py", "--bogus"], {}, 2, "usage: scripts/pythons.py [--nox | --build | --cxx]\n"),
        (
            ["pythons.py"],
            {"PYTHON": "python3.99"},
            1,
            "PYTHON=python3.99: no cp399 interpreter among pyenv's versions or on PATH\n",
        ),
        (
            ["pythons.py"],
            {"PYTHON": "/nonexistent/python3"},
            1,
            "PYTHON=/nonexistent/python3 cannot be used: [Errno 2] No such file or directory:"
            " '/nonexistent/python3'\n",
        ),
        (
            ["chroot.sh", "run", "nowhere", "true"],
            {},
            1,
            f"no chroot named 'nowhere' (there are: {CHROOTS})\n",
        ),
        (["chroot.sh", "run", "sid"], {}, 1, "usage: scripts/chroot.sh run NAME CMD...\n"),
        (
            ["chroot.sh", "frob"],
            {},
            1,
            "usage: scripts/chroot.sh provision|remove [NAME...] | run NAME CMD... | rows\n",
        ),
    ],
    ids=[
        "unknown-flag",
        "no-such-version",
        "no-such-path",
        "no-such-chroot",
        "no-command",
        "unknown-command",
    ],
)
def test_a_script_called_wrongly_says_so_in_one_line(command, env, code, stderr):
    script, *args = command
    runner = [sys.executable] if script.endswith(".py") else ["bash"]
    result = subprocess.run(
        [*runner, SCRIPTS / script, *args],
        env={**os.environ, **env},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (result.returncode, result.stdout, result.stderr) == (code, "", stderr)
