#!/usr/bin/env python3
"""The CPython interpreters (3.12 and later) corvane is built for here, and what the make
targets need, checked in seconds before anything is installed.

    scripts/pythons.py                # one line per interpreter: "<abi tag> <path>"
    scripts/pythons.py --nox          # check what nox needs (the make targets' first step)
    scripts/pythons.py --build        # ... and each interpreter's headers and venv module
    scripts/pythons.py --cxx          # ... and a C++23 compiler ($CXX, else g++)

An interpreter is keyed by its ABI tag ("cp" + major + minor + sys.abiflags: cp313, cp314d,
cp313t), the first found winning: pyenv's versions, newest first; the free-threaded builds of
scripts/free-threaded-python.sh (build/python3.Nt); python3.N[d|t] on PATH; python3. PYTHON picks
one: a path, or a command name looked up the same way. Written for any Python 3, so that an old
python3 still answers; noxfile.py imports it.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

MINIMUM = (3, 12)
ROOT = Path(__file__).resolve().parent.parent
COMMAND = re.compile(r"python(\d+)\.(\d+)(t?d?)")
# Written for any Python 3, so that an old interpreter answers instead of failing to parse it.
PROBE = (
    "import os, sys, sysconfig, importlib.util as u; print('|'.join(map(str, ["
    "sys.implementation.name, sys.version_info[0], sys.version_info[1], sys.abiflags,"
    " sys.executable, os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')),"
    " u.find_spec('ensurepip') is not None])))"
)
# Compiles only where the C++ library has C++23's std::expected, as corvane's code needs.
CXX23_PROBE = "#include <expected>\nstd::expected<int, int> f() { return 1; }\n"


class NotFound(Exception):
    """No interpreter matches what was asked for; the message says what and why."""


class Interpreter:
    def __init__(self, tag: str, version: tuple[int, int], path: str, headers: bool, venv: bool):
        self.tag, self.version, self.path, self.headers, self.venv = (
            tag,
            version,
            path,
            headers,
            venv,
        )


def too_old(version: tuple[int, int]) -> str:
    return f"{version[0]}.{version[1]} is too old, corvane needs 3.12 or later"


def probe(candidate: str) -> tuple[Interpreter | None, str]:
    """The interpreter behind `candidate` if corvane supports it, else None and the reason."""
    try:
        out = subprocess.run([candidate, "-c", PROBE], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, str(error)
    fields = out.stdout.strip().split("|")
    if out.returncode != 0 or len(fields) != 7:
        # pyenv's shims fail for versions that are not selected: that only means "not here".
        return None, (out.stderr.strip() or out.stdout.strip())[-2000:]
    impl, major, minor, flags, executable, headers, venv = fields
    version = (int(major), int(minor))
    if impl != "cpython":
        return None, f"it is {impl} {major}.{minor}; corvane needs CPython 3.12 or later"
    if version < MINIMUM:
        return None, too_old(version)
    tag = f"cp{major}{minor}{flags}"
    return Interpreter(tag, version, executable, headers == "True", venv == "True"), ""


def candidates() -> list[str]:
    key = lambda p: [int(n) for n in re.findall(r"\d+", os.path.basename(p))]  # noqa: E731
    pyenv = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv", "versions")
    found = sorted(map(str, pyenv.glob("*/bin/python3")), key=lambda p: key(Path(p).parts[-3]))
    found.reverse()  # 3.13.1 wins the cp313 slot over 3.13.0
    built = ROOT.glob("build/python3.*t/.corvane-built")
    found += sorted((str(p.parent / "bin" / p.parent.name) for p in built), key=key)
    on_path = []
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        try:
            names = os.listdir(directory or ".")
        except OSError:
            continue
        for name in names:
            match = COMMAND.fullmatch(name)
            if match and (int(match[1]), int(match[2])) >= MINIMUM:
                on_path.append(os.path.join(directory, name))
    return found + sorted(on_path, key=key) + ["python3"]


def search() -> dict[str, Interpreter]:
    chosen: dict[str, Interpreter] = {}
    for candidate in dict.fromkeys(candidates()):
        interpreter, _ = probe(candidate)
        if interpreter and interpreter.tag not in chosen:
            chosen[interpreter.tag] = interpreter
    return chosen


def resolve(python: str) -> Interpreter:
    """PYTHON: a path, or a command name looked up as the default search looks."""
    match = COMMAND.fullmatch(python)
    if match and os.sep not in python:
        version = (int(match[1]), int(match[2]))
        if version < MINIMUM:
            raise NotFound(f"PYTHON={python}: {too_old(version)}")
        wanted = f"cp{match[1]}{match[2]}{match[3]}"
        found = search().get(wanted)
        if found:
            return found
        raise NotFound(
            f"PYTHON={python}: no {wanted} interpreter among pyenv's versions or on PATH"
        )
    interpreter, why = probe(python)
    if interpreter is None:
        raise NotFound(f"PYTHON={python} cannot be used: {why or 'it does not run'}")
    return interpreter


def find(python: str | None = None) -> list[Interpreter]:
    """The interpreters to use, oldest version first (release before debug build)."""
    if python:
        return [resolve(python)]
    found = sorted(search().values(), key=lambda i: (i.version, i.tag))
    if not found:
        raise NotFound(
            "corvane needs CPython 3.12 or later, and none was found; install one (your system's"
            " python3.12 package, or `pyenv install 3.12`) or set PYTHON=/path/to/python3.12"
        )
    return found


def problems(level: str) -> list[str]:
    """What is missing, each with how to get it."""
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    found = []
    if sys.version_info[:2] < (3, 10):  # noqa: UP036
        found.append(
            f"{sys.executable} is Python {version}, too old to run nox, which needs 3.10 or"
            " later: on Debian, apt-get install python3 (Debian 12's is 3.11)"
        )
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
        return found + [str(error)]
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
        return found + [
            f"no C++ compiler: {compiler} not found; on Debian, apt-get install g++ (12 or later)"
        ]
    built = subprocess.run(
        [*compiler.split(), "-std=c++23", "-fsyntax-only", "-x", "c++", "-"],
        input=CXX23_PROBE,
        capture_output=True,
        text=True,
    )
    if built.returncode != 0:
        found.append(
            f"{compiler} cannot compile C++23 (std::expected), which corvane is written in: it"
            " needs g++ 12 or later (on Debian 12, apt-get install g++)"
        )
    return found


def main(argv: list[str]) -> int:
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
