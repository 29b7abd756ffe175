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

The board runs until it is sent SIGTERM or SIGINT (Ctrl-C), then prints a summary and exits 0.
"""

from __future__ import annotations

import argparse
import math
import os
import select
import signal
import sys
import termios
import tty
from dataclasses import dataclass
from types import FrameType
from typing import Final, Literal, NoReturn

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
    """The board's end of the pty: reads with a per-byte time limit, over a small buffer."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.pending = bytearray()

    def _fill(self, timeout: float | None) -> bool:
        """Wait up to `timeout` seconds (for ever if None) for bytes; False if none came."""
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        self.pending += os.read(self.fd, 4096)
        return True

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
            print(f"[board] received {spaced_hex(verdict.raw)}", flush=True)
            print(f"[board]   {verdict.status}: {verdict.reading}", flush=True)
            self.link.write(verdict.reply(self.outputs))


def open_pty() -> tuple[int, int, str]:
    """A pty pair in raw mode: every byte passes unchanged, with no echo and no line editing."""
    controller, serial_side = os.openpty()
    tty.setraw(serial_side, termios.TCSANOW)
    return controller, serial_side, os.ttyname(serial_side)


class LinkRefused(Exception):
    """The --link path cannot be used; the message says why, in one line."""


def is_stale_board_link(link_path: str) -> bool:
    """Whether `link_path` is a link that a board made and no board serves any more: it points
    at a pseudo-terminal's serial side that is gone. Only such a link may be replaced."""
    if not os.path.islink(link_path):
        return False
    target = os.readlink(link_path)
    return target.startswith("/dev/pts/") and not os.path.exists(target)


def check_link(link_path: str) -> None:
    """Refuse a --link path that the board must not touch, before anything is made. The board
    removes its link on exit, so anything else at that path would be lost: a file, a folder, a
    link of the user's own, or the link of a board that is still running."""
    folder = os.path.dirname(link_path) or "."
    if not os.path.isdir(folder):
        raise LinkRefused(f"--link {link_path}: there is no folder {folder}")
    if not os.path.lexists(link_path) or is_stale_board_link(link_path):
        return
    if os.path.isdir(link_path) and not os.path.islink(link_path):
        raise LinkRefused(f"--link {link_path}: it is a folder; give the path of a new link")
    raise LinkRefused(
        f"--link {link_path}: it already exists and is not a board's stale link;"
        " remove it or choose another path"
    )


def publish(path: str, link_path: str) -> None:
    """Point `link_path` at the serial side, atomically, so waiters never see a half-made link.
    A new link is made in place (failing if something appeared meanwhile); a stale board link
    is replaced through a temporary link."""
    try:
        if not os.path.lexists(link_path):
            os.symlink(path, link_path)
            return
        temporary = f"{link_path}.{os.getpid()}.tmp"
        os.symlink(path, temporary)
        if not is_stale_board_link(link_path):
            os.unlink(temporary)
            raise LinkRefused(f"--link {link_path}: it changed meanwhile; not replaced")
        os.replace(temporary, link_path)
    except OSError as error:
        raise LinkRefused(f"--link {link_path}: {error.strerror or error}") from None


def unpublish(path: str, link_path: str) -> None:
    """Remove the link on exit, but only while it is still ours: pointing at our serial side."""
    try:
        if os.readlink(link_path) == path:
            os.unlink(link_path)
    except OSError:
        pass  # gone, or replaced by something that is not a link: not ours to remove


def stop(signum: int, frame: FrameType | None) -> None:
    raise Stop(signal.Signals(signum).name)


class OneLineParser(argparse.ArgumentParser):
    """Reports a bad argument in one line (status 2), without the usage text."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


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


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = OneLineParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
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
        metavar="PATH",
        help="also make PATH a symbolic link to the serial side, removed on exit; PATH must not"
        " exist, or be the stale link of a board that is gone",
    )
    args = parser.parse_args(argv)
    if args.link is not None:
        try:
            check_link(args.link)
        except LinkRefused as why:
            parser.error(str(why))
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    controller, serial_side, path = open_pty()
    board = Board(args.address, Link(controller), args.gap)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    link: str | None = args.link
    published = False
    try:
        if link is not None:
            publish(path, link)
            published = True
        where = path if link is None else f"{path} (linked from {link})"
        print(
            f"[board] DO board at address {args.address} listening on {where};"
            f" it accepts headers 0x{board.header:02X} and 0x20",
            flush=True,
        )
        board.serve()
    except LinkRefused as why:
        print(f"{os.path.basename(sys.argv[0])}: error: {why}", file=sys.stderr)
        return 2
    except Stop as why:
        counts = board.counts
        print(
            f"[board] stopped by {why}: {counts['OK']} frames understood,"
            f" {counts['IGNORED']} ignored (other boards), {counts['ERROR']} rejected;"
            f" outputs 0x{board.outputs:04X}",
            flush=True,
        )
    finally:
        if link is not None and published:
            unpublish(path, link)
        os.close(serial_side)
        os.close(controller)
    return 0


if __name__ == "__main__":
    sys.exit(main())
