"""How the example scripts behave on the command line, in one place: a bad argument is refused
in one line, and a failed write to standard output ends the script with a fitting status.

The scripts are run as `python examples/NAME.py`, which puts this folder on sys.path, so they
import this module by its plain name; a script copied elsewhere needs this file beside it
(and board_link.py, for control.py and do_board_sim.py).

Everything a script prints to standard output goes through `say`, which turns a failed write
into `OutputError`; the script's `main` catches it and returns `output_lost(error)`.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import Final, NoReturn

PROG: Final = os.path.basename(sys.argv[0])  # the running script, which names itself in errors


class OneLineParser(argparse.ArgumentParser):
    """Reports a bad argument in one line (status 2), without the usage text."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


class OutputError(Exception):
    """Standard output cannot be written: its reader has gone, or its disk is full."""

    def __init__(self, reason: OSError) -> None:
        super().__init__(reason)
        self.reason = reason


def say(text: str = "") -> None:
    """Print one line and flush it at once: the scripts' readers watch them as they go (each line
    of control.py tells of a step on the link; the board runs for long). A failed write raises
    `OutputError`, which ends the script (see `output_lost`)."""
    try:
        print(text, flush=True)
    except OSError as error:
        raise OutputError(error) from None


def output_lost(error: OutputError) -> int:
    """End after standard output failed: quietly when its reader has gone, else in one line.
    Returns the exit status: 141 for a broken pipe, else 1."""
    # What is still buffered would fail again when the interpreter flushes it at exit.
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    if isinstance(error.reason, BrokenPipeError):
        return 141  # as a shell reports a command ended by a broken pipe (128 + SIGPIPE)
    with contextlib.suppress(OSError):  # stderr may be gone with it (a closed terminal)
        print(f"{PROG}: error: cannot write the output: {error.reason.strerror}", file=sys.stderr)
    return 1
