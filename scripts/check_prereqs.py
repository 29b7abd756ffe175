#!/usr/bin/env python3
"""Check, within seconds and before anything is installed, what the make targets need.

    scripts/check_prereqs.py            # what nox needs (make lint, make format)
    scripts/check_prereqs.py --build    # ... and the interpreters corvane is built for
    scripts/check_prereqs.py --cxx      # ... and the C++ compiler of the builds from source

The Makefile runs it first, with the python3 that will run nox. It names each missing thing and
how to get it, and exits 1 if anything is missing:
  - that python3 itself: 3.10 or later (the pinned nox) with its venv module;
  - with --build or --cxx, the interpreters the sessions use (scripts/find_pythons.py, PYTHON=...
    respected), each with its headers and venv module (corvane is built for it in a venv of its
    own);
  - with --cxx, a C++ compiler ($CXX, else g++) that compiles C++23 (corvane uses <expected>),
    which would otherwise fail deep in a CMake run after the tools are installed. The wheels'
    compiler, Zig, comes from PyPI (noxfile.py installs it); the instrumented builds and the
    benchmark's C floors use this one.
Written for any Python 3, so that an old python3 still answers.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import find_pythons  # noqa: E402

NOX_MINIMUM = (3, 10)
# Compiles only where the C++ library has C++23's std::expected, as corvane's code needs.
CXX23_PROBE = "#include <expected>\nstd::expected<int, int> f() { return 1; }\n"
INTERPRETER_PROBE = (
    "import os, sysconfig, importlib.util as u; "
    "print(os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')), "
    "u.find_spec('venv') is not None and u.find_spec('ensurepip') is not None)"
)


def nox_python() -> list[str]:
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    problems = []
    if sys.version_info[:2] < NOX_MINIMUM:
        problems.append(
            f"{sys.executable} is Python {version}, too old to run nox, which needs 3.10 or"
            " later: run make with NOX_PYTHON=/path/to/python3.12 (or any 3.10 or later)"
        )
    if not has_venv():
        problems.append(
            f"{sys.executable} (Python {version}) has no venv module, which nox's venv needs:"
            f" on Debian, apt-get install python{version}-venv"
        )
    return problems


def has_venv() -> bool:
    try:
        import ensurepip  # noqa: F401
        import venv  # noqa: F401
    except ImportError:
        return False
    return True


def interpreters() -> list[str]:
    try:
        found = find_pythons.find(os.environ.get("PYTHON"))
    except find_pythons.NotFound as error:
        return [str(error)]
    problems = []
    for interpreter in found:
        version = f"{interpreter.version[0]}.{interpreter.version[1]}"
        out = subprocess.run(
            [interpreter.path, "-c", INTERPRETER_PROBE], capture_output=True, text=True
        ).stdout.split()
        if out[:1] != ["True"]:
            problems.append(
                f"{interpreter.path} has no C headers (Python.h), which building corvane needs:"
                f" on Debian, apt-get install python{version}-dev"
            )
        if out[1:2] != ["True"]:
            problems.append(
                f"{interpreter.path} has no venv module: on Debian, apt-get install"
                f" python{version}-venv"
            )
    return problems


def compiler() -> list[str]:
    cxx = os.environ.get("CXX") or "g++"
    if shutil.which(cxx.split()[0]) is None:
        return [f"no C++ compiler: {cxx} not found; on Debian, apt-get install g++ (12 or later)"]
    # The probe goes in on stdin and nothing is written.
    built = subprocess.run(
        [*cxx.split(), "-std=c++23", "-fsyntax-only", "-x", "c++", "-"],
        input=CXX23_PROBE,
        capture_output=True,
        text=True,
    )
    if built.returncode != 0:
        return [
            f"{cxx} cannot compile C++23 (std::expected), which corvane is written in: it needs"
            " g++ 12 or later (on Debian 12, apt-get install g++)"
        ]
    return []


def main(argv: list[str]) -> int:
    problems = nox_python()
    if "--build" in argv or "--cxx" in argv:
        problems += interpreters()
    if "--cxx" in argv:
        problems += compiler()
    for problem in problems:
        print(f"missing: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
