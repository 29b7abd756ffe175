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
  bytes, or that nothing came, and checks only that every frame was written.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final

import serial

import corvane
from command_line import PROG, OneLineParser, OutputError, output_lost, say

MAX_BAUDRATE: Final = 4_000_000  # Linux's highest standard serial speed
MAX_SECONDS: Final = 3600.0
PATIENCE: Final = 1.0  # how long a reply may take before the wait is announced
QUIET: Final = 0.1  # in --hardware mode, a reply ends when the line is quiet this long

STATUSES: Final = """\
exit status:
  0    the board carried out every frame (--hardware: every frame was written)
  1    it did not, the port failed, or the output could not be written
  2    a bad argument (every one is checked before anything else), or the port cannot be opened
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


def read_bytes(port: serial.Serial, timeout: float, quiet: float) -> bytes:
    """Whatever comes back: nothing, if no byte comes within `timeout` seconds; else every byte
    until the line has been quiet for `quiet` seconds. A wait past a second is announced."""
    port.timeout = min(timeout, PATIENCE)
    data = port.read(1)
    if not data and timeout > PATIENCE:
        say(f"   waiting up to {timeout - PATIENCE:g} s more for a reply ...")
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


def run_hardware(port: serial.Serial, steps: list[Step], timeout: float, quiet: float) -> int:
    """Talk to a real board: send each step's frame and print what comes back as hex, decoding
    nothing; returns the exit status (0: every frame was written, which is all it can tell)."""
    answered = 0
    for number, step in enumerate(steps, start=1):
        send(port, number, step)
        data = read_bytes(port, timeout, quiet)
        if data:
            answered += 1
            say(f"   reply:   {data.hex(' ').upper()}   ({len(data)} bytes, not decoded)")
        else:
            say(f"   reply:   nothing within {timeout:g} s")
        say()
    say(f"wrote all {len(steps)} frames; {answered} of them had a reply")
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
    return parser.parse_args(argv)


def wait_for(path: str, seconds: float) -> None:
    """Wait until `path` exists: a board started just before (a simulated one makes its link
    once it is ready, a USB adapter appears when plugged in) may not be there yet."""
    if os.path.exists(path) or seconds == 0:
        return
    say(f"waiting up to {seconds:g} s for {path} to appear ...")
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.05)


def reason(error: serial.SerialException) -> str:
    """What went wrong, said once: pyserial repeats the port and the OS error in its text."""
    return os.strerror(error.errno) if isinstance(error.errno, int) else str(error)


def control(args: argparse.Namespace) -> int:
    wait_for(args.port, args.wait)
    try:
        port = serial.Serial(args.port, baudrate=args.baudrate, timeout=args.timeout)
    except serial.SerialException as error:
        print(f"{PROG}: error: cannot open {args.port}: {reason(error)}", file=sys.stderr)
        return 2
    except ValueError as error:
        print(f"{PROG}: error: cannot open {args.port}: {error}", file=sys.stderr)
        return 2
    steps = plan(args.address)
    with port:
        try:
            port.reset_input_buffer()  # drop any reply left over from an earlier session
            if args.hardware:
                quiet = max(QUIET, 20 / args.baudrate)
                return run_hardware(port, steps, args.timeout, quiet)
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
