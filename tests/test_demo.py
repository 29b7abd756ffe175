"""The demo end to end: corvane's frames sent over a pseudo-terminal to the simulated DO board.

The board (examples/do_board_sim.py) decodes frames on its own, so these tests check corvane's
bytes against an independent reader, and check that the board survives bad input.
"""

import contextlib
import os
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest
import serial

import corvane

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
GAP = 0.2  # the board's quiet time that ends a cut-short frame
TIMEOUT = 30.0


class RunningBoard:
    def __init__(self, proc: subprocess.Popen, link: Path, log: Path) -> None:
        self.proc, self.link, self.log = proc, link, log

    def stop(self) -> str:
        """Stop the board as the demo does; it must exit 0. Returns what it printed."""
        self.proc.send_signal(signal.SIGTERM)
        assert self.proc.wait(timeout=TIMEOUT) == 0, self.log.read_text()
        return self.log.read_text()


@contextlib.contextmanager
def running_board(
    directory: Path, address: int = 3, link: Path | None = None
) -> Iterator[RunningBoard]:
    link = link or directory / f"board-{address}"
    log = directory / f"board-{address}.log"
    with log.open("w") as out:
        proc = subprocess.Popen(
            [
                sys.executable,
                EXAMPLES / "do_board_sim.py",
                "--address",
                str(address),
                "--gap",
                str(GAP),
                "--link",
                link,
            ],
            stdout=out,
            stderr=subprocess.STDOUT,
        )
    try:
        deadline = time.monotonic() + TIMEOUT
        while not (link.is_symlink() and link.exists()):  # made, and to a live pty
            assert proc.poll() is None, f"the board died on start:\n{log.read_text()}"
            assert time.monotonic() < deadline, "the board did not make its link in time"
            time.sleep(0.02)
        yield RunningBoard(proc, link, log)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


@pytest.mark.parametrize(
    "board_address, status, summary, board_counts",
    [
        (3, 0, "the board understood 5 of 5 frames", "5 frames understood, 0 ignored"),
        # A board at another address ignores both GetDouts frames; SetDouts frames reach it.
        (4, 1, "the board understood 3 of 5 frames", "3 frames understood, 2 ignored"),
    ],
    ids=["board-at-address-3", "board-at-address-4"],
)
def test_control_script_against_the_board(tmp_path, board_address, status, summary, board_counts):
    with running_board(tmp_path, board_address) as board:
        control = subprocess.run(
            [
                sys.executable,
                EXAMPLES / "control.py",
                board.link,
                "--address",
                "3",
                "--timeout",
                str(TIMEOUT),
            ],
            capture_output=True,
            text=True,
            timeout=4 * TIMEOUT,
        )
        log = board.stop()
    assert control.returncode == status, control.stdout + control.stderr
    assert summary in control.stdout.splitlines()
    assert "outputs: 1010 0101 1100 0011   (DO15 ... DO0)" in control.stdout
    assert f"{board_counts} (other boards), 0 rejected; outputs 0xA5C3" in log
    # The board saw exactly corvane's bytes.
    assert f"received {corvane.set_do_request(0xA5C3, 4).hex(' ').upper()}" in log


def frame(header: int, length: int, payload: bytes) -> bytes:
    return bytes([header]) + length.to_bytes(4, "big") + payload


@pytest.fixture(scope="module")
def board(tmp_path_factory) -> Iterator[RunningBoard]:
    with running_board(tmp_path_factory.mktemp("board")) as running:
        yield running
        running.stop()


@pytest.fixture
def port(board):
    with serial.Serial(str(board.link), timeout=TIMEOUT) as opened:
        yield opened


def exchange(port, data: bytes) -> str:
    port.write(data)
    line = port.readline()
    assert line.endswith(b"\n"), f"no complete reply to {data.hex(' ')}: {line!r}"
    return line.decode("ascii").rstrip("\n")


@pytest.mark.parametrize(
    "data, reply",
    [
        (corvane.get_do_request(3, 9)[:7], "ERROR 5A5A -------- truncated frame: 7 of 10 bytes"),
        (b"\x20\x00\x00", "ERROR 5A5A -------- truncated frame: 3 of 5 bytes"),
        (
            frame(0x20, 9, bytes(9)),
            "ERROR 5A5A -------- bad length 9: a request payload is 5"
            " (GetDouts) or 7 (SetDouts) bytes; dropped 14 bytes",
        ),
        (
            b"\xff" * 40,
            "ERROR 5A5A -------- bad length 4294967295: a request payload is 5"
            " (GetDouts) or 7 (SetDouts) bytes; dropped 40 bytes",
        ),
        (
            frame(0x23, 5, b"\x02" + (9).to_bytes(4, "big")),
            "ERROR 5A5A 00000009 unknown cmd 2 (0 = GetDouts, 1 = SetDouts)",
        ),
        (
            frame(0x23, 7, b"\x00" + (9).to_bytes(4, "big") + b"\x00\x01"),
            "ERROR 5A5A 00000009 GetDouts with length 7: its payload is 5 bytes",
        ),
        (
            frame(0x20, 5, b"\x01" + (9).to_bytes(4, "big")),
            "ERROR 5A5A 00000009 SetDouts with length 5: its payload is 7 bytes",
        ),
        (
            corvane.get_do_request(4, 9),
            "IGNORED 5A5A 00000009 GetDouts, id 9, for address 4 (header 0x24): not this board",
        ),
        (
            frame(0x25, 7, b"\x01" + (9).to_bytes(4, "big") + b"\x00\x00"),
            "IGNORED 5A5A 00000009 SetDouts, id 9, for address 5 (header 0x25): not this board",
        ),
    ],
    ids=[
        "cut-in-payload",
        "cut-in-length",
        "bad-length",
        "noise",
        "unknown-cmd",
        "getdouts-length-7",
        "setdouts-length-5",
        "other-board",
        "other-board-set",
    ],
)
def test_board_reports_bad_frames_and_carries_on(board, port, data, reply):
    assert exchange(port, corvane.set_do_request(0x5A5A, 1)).startswith("OK 5A5A 00000001 SetDouts")
    assert exchange(port, data).startswith(reply)
    assert board.proc.poll() is None
    # Outputs untouched, and the next good frame is read from its first byte.
    assert exchange(port, corvane.get_do_request(3, 2)) == (
        "OK 5A5A 00000002 GetDouts, id 2, to address 3 (header 0x23): outputs are 0x5A5A"
    )


def assert_refused_in_one_line(script: str, args: list[str], error: str, cwd: Path) -> None:
    """The example exits 2 at once, printing nothing but one line that starts with `error`."""
    result = subprocess.run(
        [sys.executable, EXAMPLES / script, *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(f"{script}: error: {error}")
    assert result.stderr.count("\n") == 1, result.stderr


def user_files(directory: Path) -> dict[str, str | bool]:
    """A folder of things a user may have at a --link path: a file, a folder, a link of their
    own, and the stale link of a board that is gone (the only one that may be replaced)."""
    (directory / "notes.txt").write_text("keep me")
    (directory / "folder").mkdir()
    (directory / "mine").symlink_to("notes.txt")
    (directory / "stale").symlink_to("/dev/pts/999999")
    return listing(directory)


def listing(directory: Path) -> dict[str, str | bool]:
    """What is in `directory`: each link's target, else whether the entry is a folder."""
    return {p.name: os.readlink(p) if p.is_symlink() else p.is_dir() for p in directory.iterdir()}


@pytest.mark.parametrize(
    "args, error",
    [
        (["--link", "notes.txt"], "--link notes.txt: it already exists and is not a board's"),
        (["--link", "mine"], "--link mine: it already exists and is not a board's"),
        (["--link", "folder"], "--link folder: it is a folder; give the path of a new link"),
        (["--link", "nowhere/board"], "--link nowhere/board: there is no folder nowhere"),
        (["--gap", "-1"], "argument --gap: -1 is not a number of seconds above 0 and at most 60"),
        (["--gap", "0"], "argument --gap: 0 is not a number of seconds above 0 and at most 60"),
        (["--gap", "nan"], "argument --gap: nan is not a number of seconds above 0 and at"),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_board_refuses_arguments_that_would_lose_data_or_fail(tmp_path, args, error):
    before = user_files(tmp_path)
    assert_refused_in_one_line("do_board_sim.py", args, error, cwd=tmp_path)
    assert (tmp_path / "notes.txt").read_text() == "keep me"
    assert listing(tmp_path) == before


def test_board_replaces_only_a_stale_board_link_and_removes_only_its_own(tmp_path):
    user_files(tmp_path)
    with running_board(tmp_path) as board:
        (tmp_path / "board-3").unlink()
        (tmp_path / "board-3").symlink_to("stale")  # no longer the board's: must survive exit
        board.stop()
    assert os.readlink(tmp_path / "board-3") == "stale"
    stale = tmp_path / "stale"
    with running_board(tmp_path, link=stale) as board:
        assert os.readlink(stale).startswith("/dev/pts/")
        board.stop()
    assert not stale.is_symlink()


@pytest.mark.parametrize(
    "args, error",
    [
        (["--address", "-1"], "argument --address: -1 is not an integer from 0 to 255"),
        (["--address", "256"], "argument --address: 256 is not an integer from 0 to 255"),
        (["--baudrate", "0"], "argument --baudrate: 0 is not an integer from 1 to 4000000"),
        (["--baudrate", "-1"], "argument --baudrate: -1 is not an integer from 1 to 4000000"),
        (["--timeout", "-1"], "argument --timeout: -1 is not a number of seconds above 0 and"),
        (["--timeout", "0"], "argument --timeout: 0 is not a number of seconds above 0 and at"),
        (["--wait", "nan"], "argument --wait: nan is not a number of seconds from 0 to 3600"),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_control_checks_every_number_before_waiting(tmp_path, args, error):
    # The port never appears: a check made after waiting for it would take --wait seconds.
    port = str(tmp_path / "port")
    assert_refused_in_one_line("control.py", [port, "--wait", "600", *args], error, cwd=tmp_path)


def test_control_says_what_it_waits_for_and_stops_quietly_on_ctrl_c(tmp_path):
    port = tmp_path / "port"
    control = subprocess.Popen(
        [sys.executable, EXAMPLES / "control.py", port, "--wait", "600"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert control.stdout.readline() == f"waiting up to 600 s for {port} to appear ...\n"
        control.send_signal(signal.SIGINT)
        out, err = control.communicate(timeout=TIMEOUT)
    finally:
        control.kill()
        control.communicate()
    assert (control.returncode, out, err) == (130, "", "")
