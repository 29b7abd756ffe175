"""Drive a DO board over a serial link with request frames built by corvane.

Opens the serial port with pyserial, reads the board's outputs (GetDouts), sets them a few times
(SetDouts), and reads them back. For each frame it prints the bytes sent, the board's reading of
them and the board's outputs as a row of bits. It exits 0 when the board understood every frame,
1 when it did not, 2 when an argument is out of range or the port cannot be opened, and 130 when
stopped with Ctrl-C.

    python examples/do_board_sim.py --link /tmp/do-board &    # the simulated board
    python examples/control.py /tmp/do-board

The board's reading comes from the one-line text reply of the simulated board
(examples/do_board_sim.py describes it: "STATUS OUTPUTS ID READING"); corvane itself only builds
request frames and defines no response encoding.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final, NoReturn

import serial

import corvane

MAX_BAUDRATE: Final = 4_000_000  # Linux's highest standard serial speed
MAX_SECONDS: Final = 3600.0
PATIENCE: Final = 1.0  # how long a reply may take before the wait is announced


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
    """Why the board did not understand the frame, or None if it did."""
    if not line:
        return f"no reply from the board within {timeout:g} s"
    if reply is None:
        return f"unreadable reply {line!r}"
    if reply.status != "OK":
        return f"the board did not understand the frame ({reply.status})"
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
    print(f"   waiting up to {timeout - PATIENCE:g} s more for the board's reply ...", flush=True)
    port.timeout = timeout - PATIENCE
    return line + port.readline()


def run(port: serial.Serial, steps: list[Step], timeout: float) -> int:
    """Send each step's frame, print what came of it; returns the number understood."""
    understood = 0
    for number, step in enumerate(steps, start=1):
        print(f"{number}. {step.what}")
        print(f"   {step.call} -> {step.frame.hex(' ').upper()}", flush=True)
        port.write(step.frame)
        port.flush()
        line = read_reply(port, timeout)
        reply = parse_reply(line)
        if reply is not None:
            print(f"   board:   {reply.status} {reply.reading}")
            print(f"   outputs: {bit_row(reply.outputs)}   (DO15 ... DO0)")
        why = problem(step, line, reply, timeout)
        if why is None:
            understood += 1
        else:
            print(f"   NOT UNDERSTOOD: {why}")
        print()
    return understood


class OneLineParser(argparse.ArgumentParser):
    """Reports a bad argument in one line (status 2), without the usage text."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


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


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = OneLineParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("port", help="serial port of the board, e.g. /dev/ttyUSB0 or a pty")
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
        help="how long to wait for the port to appear (default 10)",
    )
    parser.add_argument(
        "--timeout",
        type=seconds_in(0, MAX_SECONDS, low_included=False),
        default=5.0,
        metavar="SECONDS",
        help="how long to wait for each reply (default 5)",
    )
    return parser.parse_args(argv)


def wait_for(path: str, seconds: float) -> None:
    """Wait until `path` exists: a board started just before (a simulated one makes its link
    once it is ready, a USB adapter appears when plugged in) may not be there yet."""
    if os.path.exists(path) or seconds == 0:
        return
    print(f"waiting up to {seconds:g} s for {path} to appear ...", flush=True)
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.05)


def control(args: argparse.Namespace) -> int:
    wait_for(args.port, args.wait)
    try:
        port = serial.Serial(args.port, baudrate=args.baudrate, timeout=args.timeout)
    except (serial.SerialException, ValueError) as error:
        print(f"cannot open {args.port}: {error}", file=sys.stderr)
        return 2
    with port:
        port.reset_input_buffer()  # drop any reply left over from an earlier session
        steps = plan(args.address)
        understood = run(port, steps, args.timeout)
    print(f"the board understood {understood} of {len(steps)} frames")
    return 0 if understood == len(steps) else 1


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        return control(args)
    except KeyboardInterrupt:
        return 130  # the shell's status for a command ended by Ctrl-C (128 + SIGINT)


if __name__ == "__main__":
    sys.exit(main())
