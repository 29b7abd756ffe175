"""A simulated digital-output (DO) board behind a pseudo-terminal.

The board opens a pty pair, puts it in raw mode and prints the path of the serial side, which a
host opens like any serial port (`serial.Serial(path)` with pyserial). It then reads request
frames from its side of the link, checks them byte by byte, keeps its 16 output bits, and prints
one line per frame saying what it understood. It decodes the frames on its own, without
corvane, so that the demo checks corvane's frames against an independent reading.

    python examples/do_board_sim.py --address 3 --link /tmp/do-board

Frames (all multi-byte integers big-endian):

    header (1)   (32 + board address) modulo 256
    length (4)   payload size: 5 for GetDouts, 7 for SetDouts
    cmd    (1)   0 = GetDouts (read the outputs), 1 = SetDouts (set them)
    id     (4)   request identifier, echoed in the reply
    bin_layout (2, SetDouts only)  the new output bits

Addressing. The board accepts the header of its own address and also 0x20, the header of
address 0, which it treats as "every board on the link": corvane's SetDouts frames carry no
address and always have header 0x20. A well-formed frame with any other header is meant for
another board: it is reported as IGNORED and changes nothing.

Errors and resynchronisation. The protocol has no start marker or checksum, so frames are
delimited by time: a frame arrives in one piece, and a pause longer than --gap seconds in the
middle of one means it was cut short (a truncated frame). After any malformed frame (a length
other than 5 or 7, an unknown cmd, a length that does not fit the cmd, or a truncated frame) the
board drops whatever else arrives until the line has been quiet for --gap seconds, then waits for
the next header. It reports every such frame and carries on; it never exits because of input.

Replies. corvane defines no encoding for responses, so this simulator answers every frame with
one line of ASCII text of its own making, written back on the serial side:

    STATUS OUTPUTS ID READING\n

STATUS is OK (understood and carried out), IGNORED (well-formed, for another board) or ERROR
(malformed or truncated); OUTPUTS is the board's output state after the frame, four hex digits;
ID is the frame's id, eight hex digits, or -------- when none was read; READING is the line the
board also prints. A real board on a shared bus would stay silent on frames for other boards.

The board runs until it is sent SIGTERM, SIGINT (Ctrl-C) or SIGHUP (its terminal closed), then
prints a summary, removes its link and exits 0. If its output cannot be written it ends too: quietly
with status 141 when the reader has gone (`| head`), else with one line on stderr and status 1.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import fcntl
import math
import os
import select
import signal
import stat
import sys
import termios
import tty
from dataclasses import dataclass
from types import FrameType
from typing import Final, Literal

from board_link import RECORD, RECORD_SUFFIX
from command_line import PROG, OneLineParser, OutputError, output_lost, say

BASE_ID: Final = 0x20
CMD_GET_DOUTS: Final = 0
CMD_SET_DOUTS: Final = 1
PAYLOAD_LENGTHS: Final = {CMD_GET_DOUTS: 5, CMD_SET_DOUTS: 7}
CMD_NAMES: Final = {CMD_GET_DOUTS: "GetDouts", CMD_SET_DOUTS: "SetDouts"}
HEADER_AND_LENGTH: Final = 5
NO_ID: Final = "--------"

Status = Literal["OK", "IGNORED", "ERROR"]


class Stop(Exception):
    """Raised by the signal handler to leave the read loop."""


@dataclass(frozen=True)
class Verdict:
    """What the board made of one frame."""

    status: Status
    reading: str
    id: int | None = None
    raw: bytes = b""

    def reply(self, outputs: int) -> bytes:
        ident = NO_ID if self.id is None else f"{self.id:08X}"
        return f"{self.status} {outputs:04X} {ident} {self.reading}\n".encode("ascii")


def spaced_hex(data: bytes) -> str:
    return data.hex(" ").upper() if data else "(nothing)"


class Link:
    """The board's end of the pty: reads with a per-byte time limit, over a small buffer.

    Its waits also watch `wakeup`, the file that the interpreter writes a byte to when a signal
    comes (signal.set_wakeup_fd). A stop signal that lands after the interpreter last looked for
    one but before select() starts waiting would otherwise wait with it, for ever when the line
    stays quiet; woken, the interpreter runs the handler as soon as select() returns."""

    def __init__(self, fd: int, wakeup: int) -> None:
        self.fd = fd
        self.wakeup = wakeup
        self.pending = bytearray()

    def _fill(self, timeout: float | None) -> bool:
        """Wait up to `timeout` seconds (for ever if None) for bytes; False if none came."""
        while True:
            ready, _, _ = select.select([self.fd, self.wakeup], [], [], timeout)
            if self.wakeup in ready:
                os.read(self.wakeup, 4096)  # the handler runs before the next wait
            if self.fd in ready:
                self.pending += os.read(self.fd, 4096)
                return True
            if not ready:
                return False

    def read(self, count: int, gap: float | None) -> bytes:
        """Up to `count` bytes; fewer only if the line stays quiet for `gap` seconds first."""
        while len(self.pending) < count and self._fill(gap):
            pass
        data = bytes(self.pending[:count])
        del self.pending[:count]
        return data

    def drain(self, gap: float) -> bytes:
        """Drop everything that arrives until the line has been quiet for `gap` seconds."""
        dropped = bytes(self.pending)
        self.pending.clear()
        while self._fill(gap):
            dropped += self.pending
            self.pending.clear()
        return dropped

    def write(self, data: bytes) -> None:
        while data:
            data = data[os.write(self.fd, data) :]


class Board:
    def __init__(self, address: int, link: Link, gap: float) -> None:
        self.address = address
        self.header = (BASE_ID + address) % 256
        self.link = link
        self.gap = gap
        self.outputs = 0
        self.counts: dict[Status, int] = {"OK": 0, "IGNORED": 0, "ERROR": 0}

    def next_frame(self) -> Verdict:
        """Wait for a frame, check it, act on it and say what it was."""
        frame = self.link.read(1, None)
        frame += self.link.read(HEADER_AND_LENGTH - 1, self.gap)
        if len(frame) < HEADER_AND_LENGTH:
            return self._truncated(frame, HEADER_AND_LENGTH)
        length = int.from_bytes(frame[1:5], "big")
        if length not in PAYLOAD_LENGTHS.values():
            frame += self.link.drain(self.gap)
            return Verdict(
                "ERROR",
                f"bad length {length}: a request payload is 5 (GetDouts) or 7 (SetDouts) bytes;"
                f" dropped {len(frame)} bytes up to the next pause",
                raw=frame,
            )
        frame += self.link.read(length, self.gap)
        if len(frame) < HEADER_AND_LENGTH + length:
            return self._truncated(frame, HEADER_AND_LENGTH + length)
        return self._decode(frame, length)

    def _truncated(self, frame: bytes, expected: int) -> Verdict:
        return Verdict(
            "ERROR",
            f"truncated frame: {len(frame)} of {expected} bytes, then nothing for {self.gap:g} s",
            raw=frame,
        )

    def _decode(self, frame: bytes, length: int) -> Verdict:
        header, cmd = frame[0], frame[5]
        ident = int.from_bytes(frame[6:10], "big")
        if cmd not in CMD_NAMES:
            frame += self.link.drain(self.gap)
            return Verdict("ERROR", f"unknown cmd {cmd} (0 = GetDouts, 1 = SetDouts)", ident, frame)
        name = CMD_NAMES[cmd]
        if length != PAYLOAD_LENGTHS[cmd]:
            frame += self.link.drain(self.gap)
            return Verdict(
                "ERROR",
                f"{name} with length {length}: its payload is {PAYLOAD_LENGTHS[cmd]} bytes",
                ident,
                frame,
            )
        target = f"address {(header - BASE_ID) % 256} (header 0x{header:02X})"
        if header == BASE_ID:
            target = "every board (header 0x20)"
        elif header != self.header:
            reading = f"{name}, id {ident}, for {target}: not this board"
            return Verdict("IGNORED", reading, ident, frame)
        if cmd == CMD_GET_DOUTS:
            reading = f"GetDouts, id {ident}, to {target}: outputs are 0x{self.outputs:04X}"
        else:
            before, self.outputs = self.outputs, int.from_bytes(frame[10:12], "big")
            reading = (
                f"SetDouts, id {ident}, to {target}: bin_layout 0x{self.outputs:04X},"
                f" outputs 0x{before:04X} -> 0x{self.outputs:04X}"
            )
        return Verdict("OK", reading, ident, frame)

    def serve(self) -> None:
        while True:
            verdict = self.next_frame()
            self.counts[verdict.status] += 1
            say(f"[board] received {spaced_hex(verdict.raw)}")
            say(f"[board]   {verdict.status}: {verdict.reading}")
            self.link.write(verdict.reply(self.outputs))


def open_pty() -> tuple[int, int, str]:
    """A pty pair in raw mode: every byte passes unchanged, with no echo and no line editing."""
    controller, serial_side = os.openpty()
    tty.setraw(serial_side, termios.TCSANOW)
    return controller, serial_side, os.ttyname(serial_side)


class LinkRefused(Exception):
    """The --link path cannot be used; the message says why and how to clear it, in one line."""


TRIES: Final = 5  # looks at a record that boards keep removing as they end, before giving up


def same_file(fd: int, path: str) -> bool:
    """Whether `path` still names the file open as `fd`: not removed or replaced meanwhile."""
    try:
        there = os.stat(path, follow_symlinks=False)
    except FileNotFoundError:
        return False
    here = os.fstat(fd)
    return (here.st_dev, here.st_ino) == (there.st_dev, there.st_ino)


class LinkOwner:
    """The board's hold on its --link path.

    Beside the link lies its owner record, PATH.owner: one line naming the board's pid and the
    serial side the link points at. The board keeps its record locked (flock) while it runs, and
    the kernel drops the lock when the board ends, however it ends, SIGKILL included. So the
    stale link of a board that is gone is told apart by what only a board writes: an unlocked
    record that names the link's target. Neither a new board given the dead board's pty number
    nor a link that merely points at a pty can pass for one, and a lock is never stale.

    The board takes over such a link, and refuses anything else at either path. It removes
    the link and the record on exit, each only while it is still its own."""

    def __init__(self, link_path: str, serial_path: str) -> None:
        self.link_path = link_path
        self.serial_path = serial_path
        self.record_path = link_path + RECORD_SUFFIX
        self.fd = -1
        self.mine = False  # the record at record_path is this board's: made or written by it
        self.linked = False

    def take(self) -> None:
        link = self.link_path
        folder = os.path.dirname(link) or "."
        if not os.path.isdir(folder):
            raise LinkRefused(f"--link {link}: there is no folder {folder}")
        if os.path.isdir(link) and not os.path.islink(link):
            raise LinkRefused(f"--link {link}: it is a folder; give the path of a new link")
        try:
            previous = self._lock_record()
            if os.path.lexists(link) and not self._is_stale_link(previous):
                raise self._not_stale()
            record = f"do_board_sim.py pid {os.getpid()} serves {self.serial_path}\n"
            os.ftruncate(self.fd, 0)
            os.pwrite(self.fd, record.encode(), 0)
            self.mine = True
            self._publish(previous)
        except OSError as error:
            self.release()
            raise LinkRefused(f"--link {link}: {error.strerror or error}") from None
        except LinkRefused:
            self.release()
            raise

    def _lock_record(self) -> str | None:
        """Open and lock the owner record, making it if there is none. Returns the serial side
        that a board gone before recorded there, or None for a new record."""
        record = self.record_path
        for _ in range(TRIES):
            if not os.path.lexists(record):
                if os.path.lexists(self.link_path):
                    raise self._not_stale()
                flags = os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
                try:
                    self.fd = os.open(record, flags, 0o644)
                except FileExistsError:
                    continue  # another board made it just now: look again
                self.mine = True
                if not self._lock():
                    raise self._running()
                return None
            try:
                self.fd = os.open(record, os.O_RDWR | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
            except FileNotFoundError:
                continue  # its board removed it as it ended: look again
            except OSError as error:
                if error.errno in (errno.ELOOP, errno.EISDIR):
                    raise self._not_a_record() from None
                raise
            if not stat.S_ISREG(os.fstat(self.fd).st_mode):
                raise self._not_a_record()
            if not self._lock():
                raise self._running()
            if not same_file(self.fd, record):
                os.close(self.fd)  # removed by its board as it ended, after it was opened
                self.fd = -1
                continue
            previous = RECORD.fullmatch(os.pread(self.fd, 4096, 0).decode("utf-8", "replace"))
            if previous is None:
                raise self._not_a_record()
            return previous[2]
        raise LinkRefused(f"--link {self.link_path}: other boards keep using it; try again")

    def _lock(self) -> bool:
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        return True

    def _is_stale_link(self, previous: str | None) -> bool:
        """Whether the link is the one the board gone before made: to its recorded target."""
        return (
            previous is not None
            and os.path.islink(self.link_path)
            and os.readlink(self.link_path) == previous
        )

    def _publish(self, previous: str | None) -> None:
        """Point the link at the serial side, atomically, so waiters never see a half-made link.
        A new link is made in place (failing if something appeared meanwhile); a stale link is
        replaced through a temporary link."""
        link = self.link_path
        if not os.path.lexists(link):
            try:
                os.symlink(self.serial_path, link)
            except FileExistsError:
                raise self._not_stale() from None
            self.linked = True
            return
        temporary = f"{link}.{os.getpid()}.tmp"
        os.symlink(self.serial_path, temporary)
        if not self._is_stale_link(previous):  # other boards are locked out; a user is not
            os.unlink(temporary)
            raise self._not_stale()
        os.replace(temporary, link)
        self.linked = True

    def release(self) -> None:
        """Remove the link and the record, each only while it is still this board's."""
        if self.linked:
            with contextlib.suppress(OSError):  # gone, or replaced: not the board's to remove
                if os.readlink(self.link_path) == self.serial_path:
                    os.unlink(self.link_path)
            self.linked = False
        if self.fd >= 0:
            if self.mine and same_file(self.fd, self.record_path):
                with contextlib.suppress(OSError):  # still locked: no board takes it meanwhile
                    os.unlink(self.record_path)
            os.close(self.fd)
            self.fd = -1

    def _not_stale(self) -> LinkRefused:
        return LinkRefused(
            f"--link {self.link_path}: it already exists and is not a board's stale link;"
            " remove it or choose another path"
        )

    def _not_a_record(self) -> LinkRefused:
        return LinkRefused(
            f"--link {self.link_path}: {self.record_path} is not a board's owner record;"
            " remove it or choose another path"
        )

    def _running(self) -> LinkRefused:
        owner = RECORD.fullmatch(os.pread(self.fd, 4096, 0).decode("utf-8", "replace"))
        which = "" if owner is None else f" (pid {owner[1]})"  # none yet: it is just starting
        return LinkRefused(
            f"--link {self.link_path}: a running board{which} holds it;"
            " stop that board or choose another path"
        )


STOP_SIGNALS: Final = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


class StopSignals:
    """Ends the board at the first stop signal, and only at the first.

    A second one (a supervisor stopping the board as its terminal closes) must not cut the
    summary or the clean-up short, so later calls do nothing. The handlers stay as they are:
    setting them to SIG_IGN while another stop signal is pending would make the interpreter
    report that signal as "ignored due to race condition". The interpreter runs pending
    handlers in the order of their numbers (SIGHUP before SIGTERM), not as the signals came;
    the order they came in is the order of the bytes on the wakeup pipe, one per signal."""

    def __init__(self, wakeup: int) -> None:
        self.wakeup = wakeup
        self.stopping = False

    def install(self) -> None:
        for ending in STOP_SIGNALS:
            signal.signal(ending, self.handle)

    def handle(self, signum: int, frame: FrameType | None) -> None:
        if self.stopping:
            return
        self.stopping = True
        raise Stop(self.first(signum))

    def first(self, signum: int) -> str:
        """The name of the stop signal that came first."""
        try:
            came = os.read(self.wakeup, 4096)
        except BlockingIOError:
            came = b""
        stops = [number for number in came if number in STOP_SIGNALS]
        return signal.Signals(stops[0] if stops else signum).name


def address(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        value = -1
    if not 0 <= value <= 255:
        raise argparse.ArgumentTypeError(f"{text} is not an address from 0 to 255")
    return value


MAX_GAP: Final = 60.0


def gap(text: str) -> float:
    """A pause inside a frame: more than 0 and at most a minute (0 would cut every frame, and
    select() refuses very long or NaN timeouts)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value <= MAX_GAP:
        raise argparse.ArgumentTypeError(
            f"{text} is not a number of seconds above 0 and at most {MAX_GAP:g}"
        )
    return value


def link_path(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("the path is empty")
    return text


EPILOG: Final = """\
--link PATH makes PATH a symbolic link to the board's serial side, and PATH.owner a one-line
record of the board that made it, locked while the board runs. PATH must not exist, or must be
the stale link of a board that is gone (its record is no longer locked: the board was killed);
the board then takes it over. It refuses anything else at PATH or PATH.owner (a file, a folder,
a link of your own, a running board's link): remove it or choose another path. On exit the board
removes the link and the record, each only while it is still its own.

exit status:
  0    stopped by SIGTERM, SIGINT (Ctrl-C) or SIGHUP (its terminal closed), after a summary
  1    its output could not be written
  2    a bad argument or --link path, refused in one line
  141  the output's reader has gone (as in `do_board_sim.py | head`): it ends quietly"""


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = OneLineParser(
        description=__doc__.split("\n\n")[0] if __doc__ else None,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--address",
        type=address,
        default=3,
        metavar="0-255",
        help="this board's address (default 3: header byte 0x23)",
    )
    parser.add_argument(
        "--gap",
        type=gap,
        default=0.25,
        metavar="SECONDS",
        help="a pause this long inside a frame means it was cut short (default 0.25, at most 60)",
    )
    parser.add_argument(
        "--link",
        type=link_path,
        metavar="PATH",
        help="also make PATH a symbolic link to the serial side, removed on exit (see below)",
    )
    return parser.parse_args(argv)


def serve(args: argparse.Namespace) -> int:
    controller, serial_side, path = open_pty()
    wakeup, woken = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    signal.set_wakeup_fd(woken, warn_on_full_buffer=False)
    board = Board(args.address, Link(controller, wakeup), args.gap)
    owner = None if args.link is None else LinkOwner(args.link, path)
    try:
        StopSignals(wakeup).install()
        if owner is not None:
            owner.take()
        where = path if owner is None else f"{path} (linked from {owner.link_path})"
        say(
            f"[board] DO board at address {args.address} listening on {where};"
            f" it accepts headers 0x{board.header:02X} and 0x20"
        )
        board.serve()
    except LinkRefused as why:
        print(f"{PROG}: error: {why}", file=sys.stderr)
        return 2
    except Stop as why:
        counts = board.counts
        say(
            f"[board] stopped by {why}: {counts['OK']} frames understood,"
            f" {counts['IGNORED']} ignored (other boards), {counts['ERROR']} rejected;"
            f" outputs 0x{board.outputs:04X}"
        )
    finally:
        if owner is not None:
            owner.release()
        os.close(serial_side)
        os.close(controller)
        signal.set_wakeup_fd(-1)
        os.close(woken)
        os.close(wakeup)
    return 0


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        return serve(args)
    except OutputError as error:
        return output_lost(error)


if __name__ == "__main__":
    sys.exit(main())
