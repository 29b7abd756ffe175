#!/usr/bin/env python3
"""`make demo`: build corvane the way `pip install .` does, print the worked frames, then drive a
simulated DO board over a pseudo-terminal with them.

    python3 scripts/demo.py              # the first interpreter of scripts/pythons.py
    PYTHON=python3.13 python3 scripts/demo.py

The demo is not a test: it installs corvane from this checkout with pip (an isolated build by
the system's g++) and pyserial into one venv, build/demo-<abi tag>, and nothing else. That venv is
reinstalled only when a file that the build reads is newer than it. The tests, which test the
wheel that ships (Zig, auditwheel), are `make test`.

Exits 0 when the frames match and the board carried out every frame; else 1 (a failed install
or example says why above). Runs on any Python >= 3.9, as the front door's python3 may be old.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
import pythons  # noqa: E402

# What the build reads: a change to any of them installs corvane again.
BUILD_INPUTS = ("src", "hal", "cmake", "stubs", "CMakeLists.txt", "pyproject.toml")
# The `demo` dependency group (pyserial), read by the venv's interpreter (3.12 or later: tomllib)
# rather than installed with `pip install --group`, which would need a newer pip than a venv
# comes with, and upgrading pip costs a fresh machine more time than building corvane does.
DEMO_GROUP = (
    "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))"
    "['dependency-groups']['demo'], sep='\\n')"
)
ADDRESS = os.environ.get("DEMO_ADDRESS", "3")
START_TIMEOUT = 30.0


def log(text: str) -> None:
    print(f"demo > {text}", flush=True)


def newest_input() -> float:
    """The newest modification time among the files the build reads."""
    newest = 0.0
    for name in BUILD_INPUTS:
        path = ROOT / name
        files = path.rglob("*") if path.is_dir() else [path]
        newest = max([newest, *(f.stat().st_mtime for f in files if f.is_file())])
    return newest


def install(interpreter: pythons.Interpreter, venv: Path) -> Path:
    """The venv's python, with corvane (built from this checkout) and pyserial installed."""
    python = venv / "bin" / "python"
    stamp = venv / "installed-from-checkout"
    if stamp.exists() and stamp.stat().st_mtime >= newest_input():
        return python
    stamp.unlink(missing_ok=True)
    if not python.exists():
        subprocess.run([interpreter.path, "-m", "venv", str(venv)], check=True)
    log(
        f"building corvane from this checkout with g++, as `pip install .` does, into {venv}"
        f" (Python {interpreter.version[0]}.{interpreter.version[1]}): about a minute"
    )
    group = subprocess.run(
        [str(python), "-c", DEMO_GROUP], cwd=ROOT, capture_output=True, text=True, check=True
    ).stdout.splitlines()
    pip = [str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    # CMake compiles one file at a time unless told otherwise.
    env = {**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": str(os.cpu_count() or 2)}
    subprocess.run([*pip, *group, "."], cwd=ROOT, env=env, check=True)
    stamp.touch()
    return python


def start_board(python: Path, link: Path, log_file: Path) -> subprocess.Popen[bytes]:
    """The simulated board, once it serves its link (it takes over a stale one of a board that
    was killed)."""
    log(
        f"python examples/do_board_sim.py --address {ADDRESS} --link {link} &"
        f"  (a simulated DO board behind a pseudo-terminal; its log: {log_file})"
    )
    with open(log_file, "w") as out:
        board = subprocess.Popen(
            [str(python), "examples/do_board_sim.py", "--address", ADDRESS, "--link", str(link)],
            cwd=ROOT,
            stdout=out,
            stderr=subprocess.STDOUT,
        )
    deadline = time.monotonic() + START_TIMEOUT
    while " listening on " not in log_file.read_text():
        if board.poll() is not None or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    return board


def demo(python: Path, tag: str) -> int:
    frames = subprocess.run([str(python), "examples/demo.py"], cwd=ROOT).returncode
    link = ROOT / "build" / f"demo-board-{tag}"
    log_file = link.with_suffix(".log")
    board = start_board(python, link, log_file)
    try:
        control = [str(python), "examples/control.py", str(link), "--address", ADDRESS]
        log(" ".join(["python", *control[1:]]).replace(f"{ROOT}/", ""))
        understood = subprocess.run(control, cwd=ROOT).returncode == 0
    finally:
        if board.poll() is None:
            board.terminate()
        status = board.wait(timeout=START_TIMEOUT)
    log(f"stopped the board; what it printed:\n{log_file.read_text()}")
    problems = [
        "a frame differs from the expected bytes (examples/demo.py)" if frames else "",
        f"the simulated board exited with status {status}" if status else "",
        "the board did not carry out every frame (examples/control.py)" if not understood else "",
    ]
    for problem in filter(None, problems):
        print(f"demo: error: {problem}", file=sys.stderr)
    if any(problems):
        return 1
    log("finished: the board carried out every frame")
    return 0


def main() -> int:
    try:
        interpreter = pythons.find(os.environ.get("PYTHON"))[0]
    except pythons.NotFound as error:
        print(f"demo: error: {error}", file=sys.stderr)
        return 1
    venv = ROOT / "build" / f"demo-{interpreter.tag}"
    try:
        python = install(interpreter, venv)
    except subprocess.CalledProcessError as error:
        print(f"demo: error: the install failed ({error.cmd[-1]}): see above", file=sys.stderr)
        return 1
    return demo(python, interpreter.tag)


if __name__ == "__main__":
    sys.exit(main())
