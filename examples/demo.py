#!/usr/bin/env python3
"""Build the worked request frames of the DO-board protocol and show what is in them.

Run it with `make demo` (which builds corvane first), or `python examples/demo.py` in an
environment where corvane is installed. It takes no arguments but --help.
"""

from __future__ import annotations

import argparse
import sys
from typing import Final

import corvane
from command_line import OneLineParser, OutputError, output_lost, say

STATUSES: Final = """\
exit status:
  0    every frame matches the bytes the board expects
  1    a frame differs, or the output could not be written
  2    any argument but --help
  141  the output's reader has gone (as in `demo.py | head`): it ends quietly"""

# (what is asked, function, arguments, how the call reads, the frame the board expects in hex)
WORKED_FRAMES = [
    (
        "GetDouts, id 0x01020304, to address 3",
        corvane.get_do_request,
        (3, 0x01020304),
        "get_do_request(3, 0x01020304)",
        "23 00 00 00 05 00 01 02 03 04",
    ),
    (
        "GetDouts, id 0, to address 0",
        corvane.get_do_request,
        (0, 0),
        "get_do_request(0, 0)",
        "20 00 00 00 05 00 00 00 00 00",
    ),
    (
        "GetDouts, id 1, to address 224 (the header byte wraps to 0)",
        corvane.get_do_request,
        (224, 1),
        "get_do_request(224, 1)",
        "00 00 00 00 05 00 00 00 00 01",
    ),
    (
        "GetDouts, id 0xFFFFFFFF, to address 300 (only the low 8 bits of 300 + 32 count)",
        corvane.get_do_request,
        (300, 0xFFFFFFFF),
        "get_do_request(300, 0xFFFFFFFF)",
        "4C 00 00 00 05 00 FF FF FF FF",
    ),
    (
        "SetDouts, bin_layout 0x00FF, id 0x01020304",
        corvane.set_do_request,
        (0x00FF, 0x01020304),
        "set_do_request(0x00FF, 0x01020304)",
        "20 00 00 00 07 01 01 02 03 04 00 FF",
    ),
    (
        "SetDouts, bin_layout 0xA5C3, id 7",
        corvane.set_do_request,
        (0xA5C3, 7),
        "set_do_request(0xA5C3, 7)",
        "20 00 00 00 07 01 00 00 00 07 A5 C3",
    ),
]

# The fields of a request frame: (name, offset, width). bin_layout is only in SetDouts frames.
FIELDS = [("header", 0, 1), ("length", 1, 4), ("cmd", 5, 1), ("id", 6, 4), ("bin_layout", 10, 2)]


def spaced_hex(data: bytes) -> str:
    return data.hex(" ").upper()


def describe(frame: bytes) -> str:
    """One line per field: its bytes and, for multi-byte fields, the big-endian value."""
    lines: list[str] = []
    for name, offset, width in FIELDS:
        raw = frame[offset : offset + width]
        if len(raw) < width:
            continue
        value = int.from_bytes(raw, "big")
        lines.append(f"    {name:<10} {spaced_hex(raw):<12} = {value} (0x{value:0{2 * width}X})")
    return "\n".join(lines)


def show_frames() -> int:
    mismatches = 0
    for description, build, args, call, expected_hex in WORKED_FRAMES:
        frame = build(*args)
        expected = bytes.fromhex(expected_hex)
        ok = frame == expected
        mismatches += not ok
        say(f"{description}\n  {call} -> {spaced_hex(frame)}   [{'ok' if ok else 'MISMATCH'}]")
        say(describe(frame))
        if not ok:
            say(f"  {'expected':>{len(call)}} -> {spaced_hex(expected)}")
        say()
    if mismatches:
        print(
            f"{mismatches} of {len(WORKED_FRAMES)} frames differ from the expected bytes",
            file=sys.stderr,
        )
        return 1
    say(f"all {len(WORKED_FRAMES)} frames match the expected bytes")
    return 0


def main(argv: list[str] | None = None) -> int:
    OneLineParser(
        description=__doc__,
        epilog=STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    ).parse_args(argv)
    try:
        return show_frames()
    except OutputError as error:
        return output_lost(error)


if __name__ == "__main__":
    sys.exit(main())
