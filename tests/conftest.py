"""Shared helpers for the corvane test suite."""

import gc
import subprocess
import sys
import textwrap

import pytest


def run_fresh(code: str, *, timeout: float = 60.0) -> subprocess.CompletedProcess:
    """Run `code` in a new interpreter (same executable) and capture its output.

    Used wherever first-import order, process-wide state or stderr output matters.
    """
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
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


@pytest.fixture
def fresh():
    return run_fresh
