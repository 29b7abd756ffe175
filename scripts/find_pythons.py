#!/usr/bin/env python3
"""Find the CPython interpreters that corvane can be built for (3.12 and later).

    scripts/find_pythons.py            # one line per interpreter: "<abi tag> <path>"
    PYTHON=python3.13 scripts/find_pythons.py
    PYTHON=/usr/bin/python3.14d scripts/find_pythons.py
    PYTHON=python3.13t scripts/find_pythons.py

Each interpreter is keyed by its full ABI tag, "cp" + major + minor + sys.abiflags (cp313,
cp314d, cp313t): a debug or free-threaded build has an ABI of its own, so it is an interpreter
of its own, and the build trees under build/ are named after the tag. The first interpreter
found for a tag wins.

Search order: pyenv's versions (newest patch release first), the free-threaded interpreters that
scripts/free-threaded-python.sh built (build/python3.Nt, or under CORVANE_CHROOTS), then every
python3.N, python3.Nd and python3.Nt (N >= 12) in the directories on PATH, then python3. Other
implementations are skipped.

PYTHON restricts the search to one interpreter: a path is used as it is; a command name such as
python3.13 or python3.14d is looked up the way the default search looks (pyenv's versions
included, as pyenv's shims answer only for the versions selected), then on PATH. An interpreter
that is asked for and not found is an error.

noxfile.py imports this module; it runs on any Python >= 3.9, so the front door can start from
whatever python3 a machine has.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

MINIMUM = (3, 12)
NONE_FOUND = (
    "corvane needs CPython 3.12 or later, and none was found; install one (your system's"
    " python3.12 package, or `pyenv install 3.12`) or set PYTHON=/path/to/python3.12"
)
# Written for any Python 3, so that an old interpreter answers instead of failing to parse it.
PROBE = (
    "import sys; print('|'.join(map(str, [sys.implementation.name, "
    "sys.version_info[0], sys.version_info[1], getattr(sys, 'abiflags', ''), sys.executable])))"
)
COMMAND = re.compile(r"python(\d+)\.(\d+)(t?d?)")


class NotFound(Exception):
    """No interpreter matches what was asked for; the message says what and why."""


@dataclass(frozen=True)
class Interpreter:
    tag: str  # e.g. "cp313", "cp314d"
    version: tuple[int, int]
    path: str  # sys.executable: an absolute path, never a shim


def probe(candidate: str) -> tuple[Interpreter | None, str]:
    """The interpreter behind `candidate` if corvane supports it, else None and the reason."""
    try:
        out = subprocess.run([candidate, "-c", PROBE], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, str(error)
    fields = out.stdout.strip().split("|", 4)
    if out.returncode != 0 or len(fields) != 5:
        # pyenv's shims fail for versions that are not selected: that only means "not here".
        return None, (out.stderr.strip() or out.stdout.strip())[-2000:]
    impl, major, minor, abiflags, executable = fields
    version = (int(major), int(minor))
    if impl == "cpython" and version < MINIMUM:
        return None, too_old(version)
    if impl != "cpython":
        return None, f"it is {impl} {major}.{minor}; corvane needs CPython 3.12 or later"
    return Interpreter(f"cp{major}{minor}{abiflags}", version, executable.strip()), ""


def too_old(version: tuple[int, int]) -> str:
    return f"{version[0]}.{version[1]} is too old, corvane needs 3.12 or later"


def pyenv_candidates() -> list[str]:
    roots = [os.environ.get("PYENV_ROOT", ""), "/root/.pyenv", str(Path.home() / ".pyenv")]
    found: list[str] = []
    for root in filter(None, roots):
        versions = Path(root, "versions")
        if not versions.is_dir():
            continue
        # Newest first, so that 3.13.1 wins the cp313 slot over 3.13.0.
        for entry in sorted(versions.iterdir(), key=lambda p: version_key(p.name), reverse=True):
            python = entry / "bin" / "python3"
            if os.access(python, os.X_OK):
                found.append(str(python))
    return found


def free_threaded_candidates() -> list[str]:
    """What scripts/free-threaded-python.sh built: build/python3.Nt/bin/python3.Nt (beside the
    chroots when CORVANE_CHROOTS moves them), once its build has finished. It is the host's:
    a chroot (CORVANE_CHROOT names it) sees the same folder, but not as its own interpreter."""
    if os.environ.get("CORVANE_CHROOT"):
        return []
    base = Path(
        os.environ.get("CORVANE_CHROOTS") or Path(__file__).resolve().parent.parent / "build"
    )
    built = [p for p in base.glob("python3.*t") if (p / ".corvane-built").exists()]
    return [str(p / "bin" / p.name) for p in sorted(built, key=lambda p: version_key(p.name))]


def version_key(name: str) -> list[int]:
    return [int(part) for part in re.findall(r"\d+", name)]


def path_candidates() -> list[str]:
    """python3.N, python3.Nd and python3.Nt (N >= 12) in PATH's directories, then python3."""
    found: list[tuple[list[int], str]] = []
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        try:
            names = os.listdir(directory or ".")
        except OSError:
            continue
        for name in names:
            match = COMMAND.fullmatch(name)
            if match and (int(match[1]), int(match[2])) >= MINIMUM:
                path = os.path.join(directory, name)
                if os.access(path, os.X_OK):
                    found.append((version_key(name), path))
    found.sort(key=lambda item: item[0])  # stable: PATH order within a version
    return [path for _, path in found] + ["python3"]


def search(candidates: list[str]) -> dict[str, Interpreter]:
    chosen: dict[str, Interpreter] = {}
    for candidate in dict.fromkeys(candidates):
        interpreter, _ = probe(candidate)
        if interpreter and interpreter.tag not in chosen:
            chosen[interpreter.tag] = interpreter
    return chosen


def resolve(python: str) -> Interpreter:
    """PYTHON: a path, or a command name looked up as the default search looks."""
    if os.sep in python:
        interpreter, why = probe(python)
        if interpreter is None:
            raise NotFound(f"PYTHON={python} cannot be used: {why or 'it does not run'}")
        return interpreter
    match = COMMAND.fullmatch(python)
    if match:
        wanted = f"cp{match[1]}{match[2]}{match[3]}"
        version = (int(match[1]), int(match[2]))
        if version < MINIMUM:
            raise NotFound(f"PYTHON={python}: {too_old(version)}")
        found = search(pyenv_candidates() + free_threaded_candidates() + path_candidates())
        if wanted in found:
            return found[wanted]
        raise NotFound(
            f"PYTHON={python}: no {wanted} interpreter among pyenv's versions or on PATH"
        )
    interpreter, why = probe(python)  # anything else (python3, ...) is run through PATH
    if interpreter is None:
        raise NotFound(f"PYTHON={python} cannot be used: {why or 'it does not run'}")
    return interpreter


def find(python: str | None = None) -> list[Interpreter]:
    """The interpreters to use, oldest version first (release before debug build)."""
    if python:
        return [resolve(python)]
    found = search(pyenv_candidates() + free_threaded_candidates() + path_candidates())
    if not found:
        raise NotFound(NONE_FOUND)
    return sorted(found.values(), key=lambda i: (i.version, i.tag))


def main() -> int:
    try:
        interpreters = find(os.environ.get("PYTHON"))
    except NotFound as error:
        print(error, file=sys.stderr)
        return 1
    for interpreter in interpreters:
        print(interpreter.tag, interpreter.path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
