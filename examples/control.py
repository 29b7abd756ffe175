"""Drive a DO board over a serial link with request frames built by corvane.

Opens the serial port with pyserial, reads the board's outputs (GetDouts), sets them a few times
(SetDouts), and reads them back, printing the bytes of each frame sent.

    python examples/do_board_sim.py --link /tmp/do-board &    # the simulated board
    python examples/control.py /tmp/do-board
    python examples/control.py /dev/ttyUSB0 --hardware         # a real board

corvane builds request frames only and defines no encoding for responses, so what this script
makes of a reply depends on its mode:

- by default it talks to the simulated board (examples/do_board_sim.py) and reads that board's
  one-line text replies ("STATUS OUTPUTS ID READING"), which no real board sends: it prints the
  board's reading of each frame and its outputs as a row of bits, and checks that the board
  carried out every frame;
- with --hardware it decodes nothing: it prints whatever comes back after each frame as hex
  bytes, or that nothing came, and checks only that every frame was written (with
  --require-reply, also that each frame had a reply). Bytes that come after a frame's wait has
  ended are shown as late and dropped before the next frame is written, never taken for the
  next frame's reply.

A simulated board's link (--link PATH) is opened only while the board that made it runs: the
board keeps its owner record, PATH.owner, locked for as long (see board_link.py). The link of a
board that is gone, which may lead to a pty that another program has since been given, and a
link that leads nowhere are refused at once; a missing port is waited for (--wait).
"""

from __future__ import annotations

import argparse
import errno
import math
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final

import serial

import corvane
from board_link import RECORD_SUFFIX, owner_of
from command_line import PROG, OneLineParser, OutputError, output_lost, say

MAX_BAUDRATE: Final = 4_000_000  # Linux's highest standard serial speed
MAX_SECONDS: Final = 3600.0
PATIENCE: Final = 1.0  # how long a reply may take before the wait is announced
QUIET: Final = 0.1  # in --hardware mode, a reply ends when the line is quiet this long

STATUSES: Final = """\
exit status:
  0    the board carried out every frame (--hardware: every frame was written, and with
       --require-reply each had a reply)
  1    it did not (--hardware --require-reply: a frame had no reply, and no more were sent),
       the port failed, or the output could not be written
  2    a bad argument (every one is checked before anything else), or the port cannot be opened
       (it is missing, a link that leads nowhere, or the link of a board that is gone)
  130  stopped with Ctrl-C
  141  the output's reader has gone (as in `control.py PORT | head`): it ends quietly"""


@dataclass(frozen=True)
class Step:
    what: str
    call: str
    id: int
    frame: bytes
    expected_outputs: int | None  # None: whatever the board holds is fine


@dataclass(frozen=True)
class Reply:
    status: str
    outputs: int
    id: str
    reading: str


def plan(address: int) -> list[Step]:
    """Read the outputs, set them three times, read them back."""
    steps = [
        Step(
            f"GetDouts: ask board {address} for its outputs",
            f"get_do_request({address}, 1)",
            1,
            corvane.get_do_request(address, 1),
            None,
        )
    ]
    for ident, bits in enumerate((0x0001, 0x00FF, 0xA5C3), start=2):
        steps.append(
            Step(
                f"SetDouts: set the outputs to 0x{bits:04X} (SetDouts frames go to every board)",
                f"set_do_request(0x{bits:04X}, {ident})",
                ident,
                corvane.set_do_request(bits, ident),
                bits,
            )
        )
    steps.append(
        Step(
            f"GetDouts: read the outputs of board {address} back",
            f"get_do_request({address}, 5)",
            5,
            corvane.get_do_request(address, 5),
            0xA5C3,
        )
    )
    return steps


def bit_row(outputs: int) -> str:
    """The 16 outputs, DO15 first, in groups of four: 0xA5C3 -> '1010 0101 1100 0011'."""
    bits = f"{outputs:016b}"
    return " ".join(bits[i : i + 4] for i in range(0, 16, 4))


def parse_reply(line: bytes) -> Reply | None:
    """A complete "STATUS OUTPUTS ID READING" line, or None."""
    if not line.endswith(b"\n"):
        return None
    fields = line.decode("ascii", "replace").rstrip("\n").split(" ", 3)
    if len(fields) != 4:
        return None
    status, outputs, ident, reading = fields
    try:
        return Reply(status, int(outputs, 16), ident, reading)
    except ValueError:
        return None


def problem(step: Step, line: bytes, reply: Reply | None, timeout: float) -> str | None:
    """Why the frame was not carried out, as far as the reply tells, or None if it was."""
    if not line:
        return f"NO REPLY: nothing came back within {timeout:g} s"
    if reply is None:
        return (
            f"UNREADABLE REPLY: {line!r} is not a text reply of the simulated board"
            " (for a real board, use --hardware)"
        )
    if reply.status == "IGNORED":
        return "NOT CARRIED OUT: the frame is for another board (is --address right?)"
    if reply.status != "OK":
        return f"NOT CARRIED OUT: the board rejected the frame ({reply.status})"
    reason = mismatch(step, reply)
    return None if reason is None else f"NOT CARRIED OUT: {reason}"


def mismatch(step: Step, reply: Reply) -> str | None:
    if reply.id != f"{step.id:08X}":
        return f"the reply is for id {reply.id}, not {step.id:08X}"
    if step.expected_outputs is not None and reply.outputs != step.expected_outputs:
        return f"the outputs are 0x{reply.outputs:04X}, not 0x{step.expected_outputs:04X}"
    return None


def read_reply(port: serial.Serial, timeout: float) -> bytes:
    """The board's reply line, or what came of it within `timeout` seconds. A reply that is not
    there within a second is announced, so that a dead board is not a blank screen."""
    port.timeout = min(timeout, PATIENCE)
    line = port.readline()
    if line.endswith(b"\n") or timeout <= PATIENCE:
        return line
    say(f"   waiting up to {timeout - PATIENCE:g} s more for the board's reply ...")
    port.timeout = timeout - PATIENCE
    return line + port.readline()


def read_bytes(port: serial.Serial, timeout: float, quiet: float, what: str = "a reply") -> bytes:
    """Whatever comes back: nothing, if no byte comes within `timeout` seconds; else every byte
    until the line has been quiet for `quiet` seconds. A wait past a second is announced."""
    port.timeout = min(timeout, PATIENCE)
    data = port.read(1)
    if not data and timeout > PATIENCE:
        say(f"   waiting up to {timeout - PATIENCE:g} s more for {what} ...")
        port.timeout = timeout - PATIENCE
        data = port.read(1)
    port.timeout = quiet
    more = data
    while more:
        more = port.read(max(1, port.in_waiting))
        data += more
    return data


def send(port: serial.Serial, number: int, step: Step) -> None:
    say(f"{number}. {step.what}")
    say(f"   {step.call} -> {step.frame.hex(' ').upper()}")
    port.write(step.frame)
    port.flush()


def run(port: serial.Serial, steps: list[Step], timeout: float) -> int:
    """Talk to the simulated board: send each step's frame, print the board's reading of it;
    returns the exit status (0 when the board carried out every frame)."""
    carried_out = 0
    for number, step in enumerate(steps, start=1):
        send(port, number, step)
        line = read_reply(port, timeout)
        reply = parse_reply(line)
        if reply is not None:
            say(f"   board:   {reply.status} {reply.reading}")
            say(f"   outputs: {bit_row(reply.outputs)}   (DO15 ... DO0)")
        why = problem(step, line, reply, timeout)
        if why is None:
            carried_out += 1
        else:
            say(f"   {why}")
        say()
    say(f"the board carried out {carried_out} of {len(steps)} frames")
    return 0 if carried_out == len(steps) else 1


def run_hardware(
    port: serial.Serial, steps: list[Step], timeout: float, quiet: float, require_reply: bool
) -> int:
    """Talk to a real board: send each step's frame and print what comes back as hex, decoding
    nothing; returns the exit status (0: every frame was written, which is all it can tell, and
    with `require_reply` each had a reply).

    A reply is what comes within `timeout` after its frame. Nothing here can tell a late reply
    from the next frame's, so the line is settled before each next frame: after a reply, until
    it has been quiet for `quiet`; after none, for up to `timeout` more, as a late reply may
    still be on its way. What comes then is shown as late and counted for no frame."""
    answered = late = 0
    for number, step in enumerate(steps, start=1):
        send(port, number, step)
        data = read_bytes(port, timeout, quiet)
        if data:
            answered += 1
            say(f"   reply:   {data.hex(' ').upper()}   ({len(data)} bytes, not decoded)")
        else:
            say(f"   reply:   nothing within {timeout:g} s")
            if require_reply:
                say()
                say(f"frame {number} had no reply: stopped (--require-reply)")
                return 1
        if number < len(steps):
            after = read_bytes(port, quiet if data else timeout, quiet, "a late reply")
            if after:
                late += 1
                shown = after.hex(" ").upper()
                say(f"   late:    {shown}   ({len(after)} bytes, too late: dropped)")
        say()
    dropped = f"; {late} late replies dropped" if late else ""
    say(f"wrote all {len(steps)} frames; {answered} of them had a reply{dropped}")
    return 0


def integer_in(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text, 0)
        except ValueError:
            value = low - 1
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text} is not an integer from {low} to {high}")
        return value

    return parse


def seconds_in(low: float, high: float, *, low_included: bool) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = math.nan  # refused below, like "nan" itself
        above = low <= value if low_included else low < value
        if not (above and value <= high):
            bounds = f"from {low:g} to" if low_included else f"above {low:g} and at most"
            raise argparse.ArgumentTypeError(f"{text} is not a number of seconds {bounds} {high:g}")
        return value

    return parse


def port_path(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("the path is empty")
    return text


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = OneLineParser(
        description=__doc__,
        epilog=STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "port",
        type=port_path,
        help="serial port of the board, e.g. /dev/ttyUSB0, or the simulated board's pty or link",
    )
    parser.add_argument(
        "--address",
        type=integer_in(0, 255),
        default=3,
        metavar="0-255",
        help="the board's address (default 3)",
    )
    parser.add_argument(
        "--baudrate",
        type=integer_in(1, MAX_BAUDRATE),
        default=9600,
        help=f"the port's speed in bit/s, 1 to {MAX_BAUDRATE} (default 9600)",
    )
    parser.add_argument(
        "--wait",
        type=seconds_in(0, MAX_SECONDS, low_included=True),
        default=10.0,
        metavar="SECONDS",
        help="how long to wait for the port to appear (default 10): a simulated board makes its"
        " link once it is ready, a USB adapter appears when plugged in",
    )
    parser.add_argument(
        "--timeout",
        type=seconds_in(0, MAX_SECONDS, low_included=False),
        default=5.0,
        metavar="SECONDS",
        help="how long to wait for each reply (default 5); a wait past a second is announced",
    )
    parser.add_argument(
        "--hardware",
        action="store_true",
        help="for a real board: print each reply as hex bytes and decode nothing (a reply ends"
        f" when the line is quiet for {QUIET:g} s, or 20 bit times if longer)",
    )
    parser.add_argument(
        "--require-reply",
        action="store_true",
        help="with --hardware: stop with exit status 1 at the first frame that has no reply"
        " within --timeout",
    )
    return parser.parse_args(argv)


def not_ready(path: str) -> tuple[str, bool] | None:
    """Why `path` cannot be opened now, and whether waiting may change that; None if it can be.
    A simulated board's link is opened only while the board that made it runs and the link
    leads to that board's pty."""
    if not os.path.lexists(path):
        return os.strerror(errno.ENOENT), True
    if not os.path.islink(path):
        return None
    owner, target = owner_of(path), os.readlink(path)
    if owner is None:
        if os.path.exists(path):
            return None
        return f"it is a link to {target}, which does not exist", False
    if not owner.alive:
        return (
            f"the board that made it (pid {owner.pid}) is gone, and {target} may now be another"
            " program's terminal; start the board again",
            False,
        )
    if owner.serves != target:  # a board is taking over the link of one that is gone
        return f"a board (pid {owner.pid}) holds {path}{RECORD_SUFFIX} but has not linked it", True
    return None


def wait_for(path: str, seconds: float) -> str | None:
    """Wait until `path` is ready to open: a board started just before (a simulated one makes
    its link once it is ready, a USB adapter appears when plugged in) may not be there yet.
    Returns why it cannot be opened: at once for a link that leads nowhere or to a board that
    is gone, else once `seconds` have passed."""
    found = not_ready(path)
    if found is None or not found[1] or seconds == 0:
        return None if found is None else found[0]
    say(f"waiting up to {seconds:g} s for {path} to appear ...")
    deadline = time.monotonic() + seconds
    while found is not None and found[1] and time.monotonic() < deadline:
        time.sleep(0.05)
        found = not_ready(path)
    return None if found is None else found[0]


def reason(error: serial.SerialException) -> str:
    """What went wrong, said once: pyserial repeats the port and the OS error in its text."""
    return os.strerror(error.errno) if isinstance(error.errno, int) else str(error)


def open_port(args: argparse.Namespace) -> serial.Serial | str:
    """The opened port, or why it cannot be opened. A board's link is checked again once it is
    open: its board may have ended in between, and its pty gone to another program."""
    why = wait_for(args.port, args.wait)
    if why is not None:
        return why
    before = owner_of(args.port)
    try:
        port = serial.Serial(args.port, baudrate=args.baudrate, timeout=args.timeout)
    except serial.SerialException as error:
        return reason(error)
    except ValueError as error:
        return str(error)
    if before is None:
        return port
    found = not_ready(args.port)
    if found is None and owner_of(args.port) == before:
        return port
    port.close()
    return "its board changed while it was being opened; try again" if found is None else found[0]


def control(args: argparse.Namespace) -> int:
    port = open_port(args)
    if isinstance(port, str):
        print(f"{PROG}: error: cannot open {args.port}: {port}", file=sys.stderr)
        return 2
    steps = plan(args.address)
    with port:
        try:
            port.reset_input_buffer()  # drop any reply left over from an earlier session
            if args.hardware:
                quiet = max(QUIET, 20 / args.baudrate)
                return run_hardware(port, steps, args.timeout, quiet, args.require_reply)
            return run(port, steps, args.timeout)
        except serial.SerialException as error:
            print(f"{PROG}: error: {args.port} failed: {reason(error)}", file=sys.stderr)
            return 1


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        return control(args)
    except KeyboardInterrupt:
        return 130  # the shell's status for a command ended by Ctrl-C (128 + SIGINT)
    except OutputError as error:
        return output_lost(error)


if __name__ == "__main__":
    sys.exit(main())
