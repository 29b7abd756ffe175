"""The link that a simulated board makes with --link PATH, and the owner record beside it.

do_board_sim.py writes PATH.owner, one line naming its pid and the serial side (pty) that PATH
points at, and keeps it locked (flock) while it runs; the kernel drops the lock when the board
ends, however it ends. So a record that is no longer locked belongs to a board that is gone,
and its link may lead to a pty number that the kernel has since given to another program.
control.py reads the record before it opens such a link, and do_board_sim.py before it takes
one over.
"""

from __future__ import annotations

import fcntl
import os
import re
import stat
from dataclasses import dataclass
from typing import Final

RECORD_SUFFIX: Final = ".owner"
RECORD: Final = re.compile(r"do_board_sim\.py pid (\d+) serves (/\S+)\n")


@dataclass(frozen=True)
class Owner:
    """What a board's owner record says. `pid` and `serves` are None while a board that has
    just locked the record is still writing it."""

    pid: int | None
    serves: str | None
    alive: bool  # the record is locked: its board runs


def owner_of(link: str) -> Owner | None:
    """The owner record beside `link`, or None if there is none (a link of someone else's, or a
    device such as /dev/ttyUSB0). A shared lock, taken for a moment, tells whether its board
    runs; once it is taken no board can be writing the record. A running board's record that
    does not read whole is one that the board is still writing."""
    try:
        flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
        fd = os.open(link + RECORD_SUFFIX, flags)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
            alive = False  # the lock is dropped as the file is closed below
        except BlockingIOError:
            alive = True
        found = RECORD.fullmatch(os.pread(fd, 4096, 0).decode("utf-8", "replace"))
    finally:
        os.close(fd)
    if found is None:
        return Owner(None, None, alive) if alive else None
    return Owner(int(found[1]), found[2], alive)
