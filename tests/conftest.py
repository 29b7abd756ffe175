"""Shared helpers for the corvane test suite."""

import gc
import importlib
import os
import subprocess
import sys
from pathlib import Path
from types import ModuleType

from hypothesis import HealthCheck, settings

# Examples per hypothesis test: "ci" by default; `make fuzz` (nox's `fuzz` sessions) passes
# --hypothesis-profile=fuzz. No deadline: the machine is shared and timings are noisy.
_quiet = dict(deadline=None, suppress_health_check=list(HealthCheck))
settings.register_profile("ci", max_examples=300, **_quiet)
settings.register_profile("fuzz", max_examples=5000, **_quiet)
settings.load_profile("ci")  # the hypothesis plugin loads --hypothesis-profile after this


TESTS = Path(__file__).resolve().parent
# Programs that must run in a new interpreter (first imports, crashes, process-wide state).
ISOLATED = TESTS / "isolated"


def import_from(directory: Path, name: str) -> ModuleType:
    """Import module `name` from `directory` (examples/, bench/, ...) without leaving the
    directory on sys.path, where its other files could shadow what later tests import."""
    sys.path.insert(0, str(directory))
    try:
        return importlib.import_module(name)
    finally:
        sys.path.remove(str(directory))


def run_isolated(
    script: str, *args: str, timeout: float = 60.0, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess:
    """Run tests/isolated/<script> with `args` in a new interpreter (same executable).

    tests/ is put on the program's path, so it imports the shared helpers as the test
    modules do (`from doubles import ...`).
    """
    environ = dict(os.environ if env is None else env)
    environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS), environ.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", str(ISOLATED / script), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=environ,
    )


def allocated_growth(fn, *, rounds: int = 5, calls: int = 2000) -> int:
    """Smallest growth of sys.getallocatedblocks() over `calls` calls of `fn`.

    The minimum over several rounds filters out caches warming up and the
    free lists of the interpreter; a real leak grows by at least `calls` blocks.
    """
    fn()
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            fn()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return min(growth)
