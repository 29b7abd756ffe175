#!/usr/bin/env python3
"""The CPython interpreters (3.12 and later) that corvane is built for here, and what the make
targets need, checked in seconds before anything is installed.

    scripts/pythons.py          # one line per interpreter: "<abi tag> <path>"
    scripts/pythons.py --nox    # check what nox needs (python3 3.10 or later, with venv)
    scripts/pythons.py --build  # ... and each interpreter's headers and venv module
    scripts/pythons.py --cxx    # ... and a C++23 compiler ($CXX, else g++)

An interpreter is keyed by its ABI tag ("cp" + major + minor + sys.abiflags: cp313, cp314d,
cp313t), the first found winning: pyenv's versions, newest first; the free-threaded builds of
scripts/free-threaded-python.sh (build/python3.Nt); python3.N[d|t] on PATH; python3. PYTHON picks
one: a path, or a command name looked up the same way. Runs on Python 3.8 or later, so that an
old python3 still answers; noxfile.py imports it.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parent.parent
COMMAND = re.compile(r"python(\d+)\.(\d+)(t?d?)")
PROBE = (
    "import os, sys, sysconfig, importlib.util as u; print('|'.join(map(str, ["
    "sys.implementation.name, sys.version_info[0], sys.version_info[1], sys.abiflags,"
    " sys.executable, os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')),"
    " u.find_spec('ensurepip') is not None])))"
)
NONE_FOUND = (
    "corvane needs CPython 3.12 or later, and none was found; install one (your system's"
    " python3.12 package, or `pyenv install 3.12`) or set PYTHON=/path/to/python3.12"
)


class NotFound(Exception):
    """No interpreter matches what was asked for; the message says what and why."""


class Interpreter(NamedTuple):
    tag: str  # cp313, cp314d, cp313t
    version: tuple[int, int]
    path: str  # sys.executable: an absolute path, never a shim
    headers: bool
    venv: bool


def too_old(major: int, minor: int) -> str:
    return f"{major}.{minor} is too old, corvane needs 3.12 or later"


def probe(candidate: str) -> tuple[Interpreter | None, str]:
    """The interpreter behind `candidate` if corvane supports it, else None and the reason."""
    try:
        out = subprocess.run([candidate, "-c", PROBE], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, str(error)
    fields = out.stdout.strip().split("|")
    if out.returncode != 0 or len(fields) != 7:  # a pyenv shim of a version not selected
        return None, (out.stderr.strip() or out.stdout.strip())[-2000:]
    impl, major, minor, flags, path, headers, venv = fields
    if impl != "cpython":
        return None, f"it is {impl} {major}.{minor}; corvane needs CPython 3.12 or later"
    if (int(major), int(minor)) < (3, 12):
        return None, too_old(int(major), int(minor))
    version = (int(major), int(minor))
    return Interpreter(
        f"cp{major}{minor}{flags}", version, path, headers == "True", venv == "True"
    ), ""


def candidates() -> list[str]:
    def key(path: str) -> list[int]:
        return [int(n) for n in re.findall(r"\d+", path)]

    pyenv = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv", "versions")
    found = sorted(map(str, pyenv.glob("*/bin/python3")), key=key, reverse=True)
    built = sorted(ROOT.glob("build/python3.*t/.corvane-built"), key=lambda p: key(p.parent.name))
    found += [str(p.parent / "bin" / p.parent.name) for p in built]
    on_path = []
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        names = os.listdir(directory or ".") if os.path.isdir(directory or ".") else []
        on_path += [os.path.join(directory, n) for n in names if COMMAND.fullmatch(n)]
    return found + sorted(on_path, key=lambda p: key(os.path.basename(p))) + ["python3"]


def search() -> dict[str, Interpreter]:
    chosen: dict[str, Interpreter] = {}
    for candidate in dict.fromkeys(candidates()):
        interpreter, _ = probe(candidate)
        if interpreter and interpreter.tag not in chosen:
            chosen[interpreter.tag] = interpreter
    return chosen


def find(python: str | None = None) -> list[Interpreter]:
    """The interpreters to use, oldest first (a release before its debug build); PYTHON: a path,
    or a command name looked up as the search looks."""
    match = COMMAND.fullmatch(python or "")
    if match and (int(match[1]), int(match[2])) < (3, 12):
        raise NotFound(f"PYTHON={python}: {too_old(int(match[1]), int(match[2]))}")
    if match:
        wanted = f"cp{match[1]}{match[2]}{match[3]}"
        if wanted not in (found := search()):
            raise NotFound(
                f"PYTHON={python}: no {wanted} interpreter among pyenv's versions or on PATH"
            )
        return [found[wanted]]
    if python:
        interpreter, why = probe(python)
        if interpreter is None:
            raise NotFound(f"PYTHON={python} cannot be used: {why or 'it does not run'}")
        return [interpreter]
    found = sorted(search().values(), key=lambda i: (i.version, i.tag))
    if not found:
        raise NotFound(NONE_FOUND)
    return found


def problems(level: str) -> list[str]:
    """What is missing at `level` (--nox, --build, --cxx), each with how to get it."""
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    found = []
    if sys.version_info[:2] < (3, 10):  # noqa: UP036
        found.append(f"{sys.executable} is Python {version}, too old to run nox (3.10 or later)")
    try:
        import ensurepip  # noqa: F401
    except ImportError:
        found.append(
            f"{sys.executable} (Python {version}) has no venv module, which nox's venv needs:"
            f" on Debian, apt-get install python{version}-venv"
        )
    if level == "--nox":
        return found
    try:
        interpreters = find(os.environ.get("PYTHON"))
    except NotFound as error:
        return [*found, str(error)]
    for i in interpreters:
        version = f"{i.version[0]}.{i.version[1]}"
        if not i.headers:
            found.append(
                f"{i.path} has no C headers (Python.h), which building corvane needs:"
                f" on Debian, apt-get install python{version}-dev"
            )
        if not i.venv:
            found.append(
                f"{i.path} has no venv module: on Debian, apt-get install python{version}-venv"
            )
    compiler = os.environ.get("CXX") or "g++"
    if level != "--cxx":
        return found
    if shutil.which(compiler.split()[0]) is None:
        return [
            *found,
            f"no C++ compiler: {compiler} not found; on Debian, apt-get install g++ (12 or later)",
        ]
    probe_cxx = [*compiler.split(), "-std=c++23", "-fsyntax-only", "-x", "c++", "-"]
    # Compiles only where the C++ library has C++23's std::expected, as corvane's code needs.
    cxx23 = "#include <expected>\nstd::expected<int, int> f() { return 1; }\n"
    if subprocess.run(probe_cxx, input=cxx23, capture_output=True, text=True).returncode:
        found.append(
            f"{compiler} cannot compile C++23 (std::expected), which corvane is written in: it"
            " needs g++ 12 or later (on Debian 12, apt-get install g++)"
        )
    return found


def main(argv: list[str]) -> int:
    if argv and argv[0] not in ("--nox", "--build", "--cxx"):
        print("usage: scripts/pythons.py [--nox | --build | --cxx]", file=sys.stderr)
        return 2
    if argv:
        found = problems(argv[0])
        for problem in found:
            print(f"missing: {problem}", file=sys.stderr)
        return 1 if found else 0
    try:
        for interpreter in find(os.environ.get("PYTHON")):
            print(interpreter.tag, interpreter.path)
    except NotFound as error:
        print(error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
