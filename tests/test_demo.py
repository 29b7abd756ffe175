"""The demo end to end: corvane's frames sent over a pseudo-terminal to the simulated DO board.

The board (examples/do_board_sim.py) decodes frames on its own, so these tests check corvane's
bytes against an independent reader, and check that the board survives bad input.
"""

import contextlib
import os
import select
import signal
import subprocess
import sys
import termios
import threading
import time
import tty
from collections.abc import Iterator
from pathlib import Path

import pytest
import serial

import corvane
from conftest import import_from

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def terminals_work() -> bool:
    """Whether a pseudo-terminal's settings can be read and set here. Under qemu-user they cannot
    once glibc is 2.42 or later (Debian sid on ARM): it asks the kernel through calls that the
    emulator does not translate, so no terminal program runs there."""
    controller, terminal = os.openpty()
    try:
        termios.tcsetattr(terminal, termios.TCSANOW, termios.tcgetattr(terminal))
    except termios.error:
        return False
    finally:
        os.close(controller)
        os.close(terminal)
    return True


# Every example talks over a pseudo-terminal or is checked beside one that does.
pytestmark = pytest.mark.skipif(
    not terminals_work(), reason="pseudo-terminal settings fail here (qemu-user with glibc >= 2.42)"
)
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
        # Linked to a live pty, and serving: a stale link can lead to a live pty too, when the
        # kernel hands its number to the new board.
        while not (link.exists() and " listening on " in log.read_text()):
            assert proc.poll() is None, f"the board died on start:\n{log.read_text()}"
            assert time.monotonic() < deadline, "the board did not make its link in time"
            time.sleep(0.02)
        yield RunningBoard(proc, link, log)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


@pytest.mark.parametrize(
    "board_address, status, lines, board_counts",
    [
        (3, 0, ["the board carried out 5 of 5 frames"], "5 frames understood, 0 ignored"),
        # A board at another address ignores both GetDouts frames; SetDouts frames reach it.
        (
            4,
            1,
            [
                "   NOT CARRIED OUT: the frame is for another board (is --address right?)",
                "the board carried out 3 of 5 frames",
            ],
            "3 frames understood, 2 ignored",
        ),
    ],
    ids=["board-at-address-3", "board-at-address-4"],
)
def test_control_script_against_the_board(tmp_path, board_address, status, lines, board_counts):
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
    assert set(lines) <= set(control.stdout.splitlines()), control.stdout
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


def named(width: int, rows: list[tuple]) -> list:
    """A table's rows, each named by its first `width` columns (what is run, not the messages)."""

    def words(value: object) -> str | None:
        if isinstance(value, list):
            return " ".join(map(words, value)) or None
        if isinstance(value, signal.Signals):
            return value.name
        return getattr(value, "__name__", None) or str(value) or '""'

    return [pytest.param(*row, id=" ".join(filter(None, map(words, row[:width])))) for row in rows]


def run_example(script: str, args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    """Run an example in `cwd` as a user would, capturing what it prints."""
    return subprocess.run(
        [sys.executable, EXAMPLES / script, *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )


def assert_refused_in_one_line(script: str, args: list[str], error: str, cwd: Path) -> None:
    """The example exits 2 at once, printing nothing but one line that starts with `error`."""
    result = run_example(script, args, cwd)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(f"{script}: error: {error}")
    assert result.stderr.count("\n") == 1, result.stderr


def user_files(directory: Path) -> dict[str, str | bool]:
    """A folder of things a user may have at a --link path: a file, a folder, a link of their
    own, one that looks like a dead board's (to a pty number that is free), and a file where a
    board would keep its owner record."""
    (directory / "notes.txt").write_text("keep me")
    (directory / "folder").mkdir()
    (directory / "mine").symlink_to("notes.txt")
    (directory / "lookalike").symlink_to("/dev/pts/999999")
    (directory / "kept.owner").write_text("keep me too")
    return listing(directory)


def listing(directory: Path) -> dict[str, str | bool]:
    """What is in `directory`: each link's target, else whether the entry is a folder."""
    return {p.name: os.readlink(p) if p.is_symlink() else p.is_dir() for p in directory.iterdir()}


@pytest.mark.parametrize(
    "args, error",
    named(
        1,
        [
            (["--link", "notes.txt"], "--link notes.txt: it already exists and is not a board's"),
            (["--link", "mine"], "--link mine: it already exists and is not a board's"),
            (["--link", "folder"], "--link folder: it is a folder; give the path of a new link"),
            (["--link", "nowhere/board"], "--link nowhere/board: there is no folder nowhere"),
            (
                ["--link", "lookalike"],
                "--link lookalike: it already exists and is not a board's stale link;"
                " remove it or choose another path",
            ),
            (
                ["--link", "kept"],
                "--link kept: kept.owner is not a board's owner record; remove it or choose another"
                " path",
            ),
            (["--link", ""], "argument --link: the path is empty"),
            (
                ["--gap", "-1"],
                "argument --gap: -1 is not a number of seconds above 0 and at most 60",
            ),
            (["--gap", "0"], "argument --gap: 0 is not a number of seconds above 0 and at most 60"),
            (["--gap", "nan"], "argument --gap: nan is not a number of seconds above 0 and at"),
        ],
    ),
)
def test_board_refuses_arguments_that_would_lose_data_or_fail(tmp_path, args, error):
    before = user_files(tmp_path)
    assert_refused_in_one_line("do_board_sim.py", args, error, cwd=tmp_path)
    assert (tmp_path / "notes.txt").read_text() == "keep me"
    assert (tmp_path / "kept.owner").read_text() == "keep me too"
    assert listing(tmp_path) == before


def test_board_refuses_a_running_boards_link_and_removes_only_its_own(tmp_path):
    with running_board(tmp_path) as board:
        assert_refused_in_one_line(
            "do_board_sim.py",
            ["--link", "board-3"],
            f"--link board-3: a running board (pid {board.proc.pid}) holds it;"
            " stop that board or choose another path\n",
            cwd=tmp_path,
        )
        (tmp_path / "board-3").unlink()
        (tmp_path / "board-3").symlink_to("mine")  # no longer the board's: must survive exit
        board.stop()
    assert listing(tmp_path) == {"board-3": "mine", "board-3.log": False}


@pytest.mark.parametrize(
    "endings, summary",
    named(
        1,
        [
            ([signal.SIGTERM], "[board] stopped by SIGTERM: 1 frames understood"),
            # Its terminal closed.
            ([signal.SIGHUP], "[board] stopped by SIGHUP: 1 frames understood"),
            # A supervisor stops it as its terminal closes: the second one changes nothing (the
            # interpreter runs SIGHUP's handler first, as the lower number).
            ([signal.SIGTERM, signal.SIGHUP], "[board] stopped by SIGTERM: 1 frames understood"),
            # Its link is left behind, and the next board is usually given its pty number.
            ([signal.SIGKILL], None),
        ],
    ),
)
def test_a_board_that_is_gone_leaves_its_link_to_the_next(tmp_path, endings, summary):
    link = tmp_path / "board"
    with running_board(tmp_path, link=link) as first:
        with serial.Serial(str(link), timeout=TIMEOUT) as port:
            exchange(port, corvane.set_do_request(0x5A5A, 1))
        for ending in endings:
            first.proc.send_signal(ending)
        assert first.proc.wait(timeout=TIMEOUT) == (0 if summary else -endings[0])
    if summary is not None:
        *lines, last = first.log.read_text().splitlines()
        assert last.startswith(summary)
        assert [line for line in lines if not line.startswith("[board] ")] == []  # no traceback
    left = ["board", "board-3.log", "board.owner"] if summary is None else ["board-3.log"]
    assert sorted(p.name for p in tmp_path.iterdir()) == left
    with running_board(tmp_path, link=link) as second:
        with serial.Serial(str(link), timeout=TIMEOUT) as port:
            assert exchange(port, corvane.get_do_request(3, 2)).startswith("OK 0000 00000002")
        second.stop()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["board-3.log"]


def test_a_stop_signal_that_comes_as_the_board_starts_to_wait_ends_the_wait():
    """The interpreter runs a signal's handler between bytecodes: a signal that lands after its
    last look and before select() starts waiting does not cut the wait short. Here the signal
    goes to another thread once the board's thread waits, which leaves the wait as undisturbed;
    a byte on the line ends a wait that the signal did not, after TIMEOUT."""
    do_board_sim = import_from(EXAMPLES, "do_board_sim")

    class Stopped(Exception):
        pass

    def stop(signum, frame):
        raise Stopped

    line, line_end = os.pipe()
    wakeup, woken = os.pipe2(os.O_NONBLOCK)
    link = do_board_sim.Link(line, wakeup)
    stopped, line_used = threading.Event(), threading.Event()

    def signal_then_watch():
        time.sleep(0.5)  # the board's thread is in select() by now
        signal.pthread_kill(threading.get_ident(), signal.SIGUSR1)
        if not stopped.wait(TIMEOUT):
            line_used.set()
            os.write(line_end, b"x")

    previous = signal.signal(signal.SIGUSR1, stop)
    previous_wakeup = signal.set_wakeup_fd(woken)
    helper = threading.Thread(target=signal_then_watch)
    helper.start()
    try:
        with pytest.raises(Stopped):
            link.read(1, None)
    finally:
        stopped.set()
        helper.join()
        signal.set_wakeup_fd(previous_wakeup)
        signal.signal(signal.SIGUSR1, previous)
        for fd in (line, line_end, wakeup, woken):
            os.close(fd)
    assert not line_used.is_set()


# The port never appears: a check made after waiting for it would take --wait seconds.
WAITING = ["port", "--wait", "600"]
CONTROL = ["control.py", *WAITING]


REFUSALS = [
    (
        ["control.py", "stale", "--wait", "0"],
        "cannot open stale: the board that made it (pid 999999) is gone, and /dev/pts/",
    ),
    (
        ["control.py", "stale", "--wait", "0", "--hardware"],
        "cannot open stale: the board that made it (pid 999999) is gone, and /dev/pts/",
    ),
    (
        ["control.py", "gone", "--wait", "0"],
        "cannot open gone: the board that made it (pid 999998) is gone, and /dev/pts/999998 may"
        " now be another program's terminal; start the board again\n",
    ),
    (
        ["control.py", "lookalike", "--wait", "0"],
        "cannot open lookalike: it is a link to /dev/pts/999999, which does not exist\n",
    ),
    ([*CONTROL, "--address", "-1"], "argument --address: -1 is not an integer from 0 to 255"),
    ([*CONTROL, "--address", "256"], "argument --address: 256 is not an integer from 0 to 255"),
    ([*CONTROL, "--baudrate", "0"], "argument --baudrate: 0 is not an integer from 1 to 4000000"),
    ([*CONTROL, "--baudrate", "-1"], "argument --baudrate: -1 is not an integer from 1 to 4000000"),
    ([*CONTROL, "--timeout", "-1"], "argument --timeout: -1 is not a number of seconds above 0"),
    ([*CONTROL, "--timeout", "0"], "argument --timeout: 0 is not a number of seconds above 0 and"),
    ([*CONTROL, "--wait", "nan"], "argument --wait: nan is not a number of seconds from 0 to 3600"),
    (["control.py", "", "--wait", "600"], "argument port: the path is empty\n"),
    ([*CONTROL, "--wait", "0"], "cannot open port: No such file or directory\n"),
    (["demo.py", "--bogus"], "unrecognized arguments: --bogus\n"),
    (["demo.py", "frames"], "unrecognized arguments: frames\n"),
]


@pytest.fixture
def links_of_gone_boards(tmp_path) -> Iterator[None]:
    """Links that boards killed with SIGKILL left behind, beside a user's files: "stale" leads to
    a pty that another program (this test) has been given since, "gone" to no pty at all. Their
    owner records are not locked, as no board runs. Nothing may be written into the pty."""
    user_files(tmp_path)
    controller, terminal = os.openpty()
    tty.setraw(terminal)
    for name, pid, target in (("stale", 999999, os.ttyname(terminal)), ("gone", 999998, None)):
        target = target or f"/dev/pts/{pid}"
        (tmp_path / name).symlink_to(target)
        (tmp_path / f"{name}.owner").write_text(f"do_board_sim.py pid {pid} serves {target}\n")
    try:
        yield
        assert select.select([controller], [], [], 0.5)[0] == [], os.read(controller, 4096)
    finally:
        os.close(controller)
        os.close(terminal)


@pytest.mark.parametrize("command, error", named(1, REFUSALS))
def test_examples_refuse_in_one_line_before_anything_else(
    tmp_path, links_of_gone_boards, command, error
):
    assert_refused_in_one_line(command[0], command[1:], error, cwd=tmp_path)


@pytest.mark.parametrize("script", ["demo.py", "control.py", "do_board_sim.py"])
def test_examples_answer_help_and_do_nothing_else(tmp_path, script):
    result = run_example(script, ["--help"], tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith(f"usage: {script} [-h]")


def test_control_says_what_it_waits_for_and_stops_quietly_on_ctrl_c(tmp_path):
    port = tmp_path / "port"
    # A suite started in the background by a shell inherits SIGINT ignored, and so would the
    # script: with a handler here, the script starts with SIGINT at its default, as from a
    # terminal.
    ignored = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        control = subprocess.Popen(
            [sys.executable, EXAMPLES / "control.py", port, "--wait", "600"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
    finally:
        signal.signal(signal.SIGINT, ignored)
    try:
        assert control.stdout.readline() == f"waiting up to 600 s for {port} to appear ...\n"
        control.send_signal(signal.SIGINT)
        out, err = control.communicate(timeout=TIMEOUT)
    finally:
        control.kill()
        control.communicate()
    assert (control.returncode, out, err) == (130, "", "")


@contextlib.contextmanager
def closed_pipe() -> Iterator[int]:
    """The writing end of a pipe whose reader has gone, as after `| head`."""
    reader, writer = os.pipe()
    os.close(reader)
    try:
        yield writer
    finally:
        os.close(writer)


@contextlib.contextmanager
def full_disk() -> Iterator[int]:
    fd = os.open("/dev/full", os.O_WRONLY)
    try:
        yield fd
    finally:
        os.close(fd)


NO_SPACE = "error: cannot write the output: No space left on device\n"
BOARD = ["--link", "board"]


@pytest.mark.parametrize(
    "script, args, output, status, error",
    named(
        3,
        [
            ("demo.py", [], closed_pipe, 141, ""),
            ("control.py", WAITING, closed_pipe, 141, ""),
            ("do_board_sim.py", BOARD, closed_pipe, 141, ""),
            ("demo.py", [], full_disk, 1, f"demo.py: {NO_SPACE}"),
            ("control.py", WAITING, full_disk, 1, f"control.py: {NO_SPACE}"),
            ("do_board_sim.py", BOARD, full_disk, 1, f"do_board_sim.py: {NO_SPACE}"),
        ],
    ),
)
def test_examples_end_quietly_on_a_broken_pipe_and_in_one_line_on_other_output_errors(
    tmp_path, script, args, output, status, error
):
    with output() as stdout:
        result = subprocess.run(
            [sys.executable, EXAMPLES / script, *args],
            cwd=tmp_path,
            stdout=stdout,
            stderr=subprocess.PIPE,
            text=True,
            timeout=TIMEOUT,
        )
    assert (result.returncode, result.stderr) == (status, error)
    assert listing(tmp_path) == {}  # the board removed its link and its record


@contextlib.contextmanager
def real_board(answer: bytes, delay: float) -> Iterator[tuple[str, list[bytes]]]:
    """A pty standing in for a real board that answers every request frame with `answer` (or
    stays silent), `delay` seconds after it. Yields the port's path and the list of frames it
    receives."""
    controller, serial_side = os.openpty()
    tty.setraw(serial_side)
    frames: list[bytes] = []
    done = threading.Event()

    def serve() -> None:
        pending, due = b"", []
        while not done.is_set():
            if select.select([controller], [], [], 0.02)[0]:
                pending += os.read(controller, 4096)
            while len(pending) >= 5 and len(pending) >= 5 + int.from_bytes(pending[1:5], "big"):
                size = 5 + int.from_bytes(pending[1:5], "big")
                frames.append(pending[:size])
                pending = pending[size:]
                due.append(time.monotonic() + delay)
            while due and due[0] <= time.monotonic():
                del due[0]
                os.write(controller, answer)

    thread = threading.Thread(target=serve)
    thread.start()
    try:
        yield os.ttyname(serial_side), frames
    finally:
        done.set()
        thread.join()
        os.close(serial_side)
        os.close(controller)


ANSWER = b"#\x00\x00\x00\x03\x00\xa5\xc3"
REPLY = "   reply:   23 00 00 00 03 00 A5 C3   (8 bytes, not decoded)"
NOTHING = "   reply:   nothing within 1 s"
LATE = "   late:    23 00 00 00 03 00 A5 C3   (8 bytes, too late: dropped)"
PATIENT = ["--timeout", str(TIMEOUT)]
BRIEF = ["--timeout", "1"]
EVERY_FRAME = "wrote all 5 frames; 5 of them had a reply"


@pytest.mark.parametrize(
    "answer, delay, args, status, lines, summary",
    [
        (ANSWER, 0, PATIENT, 0, [REPLY] * 5, EVERY_FRAME),
        (ANSWER, 0, [*PATIENT, "--require-reply"], 0, [REPLY] * 5, EVERY_FRAME),
        (b"", 0, BRIEF, 0, [NOTHING] * 5, "wrote all 5 frames; 0 of them had a reply"),
        (b"", 0, [*BRIEF, "--require-reply"], 1, [NOTHING], "frame 1 had no reply: stopped"),
        # Each reply comes after its frame's wait, and before the next frame's would end.
        (
            ANSWER,
            1.5,
            BRIEF,
            0,
            [NOTHING, LATE] * 4 + [NOTHING],
            "wrote all 5 frames; 0 of them had a reply; 4 late replies dropped",
        ),
    ],
    ids=["binary-replies", "reply-required", "silent", "silent-reply-required", "late-replies"],
)
def test_control_hardware_mode_shows_replies_as_bytes(answer, delay, args, status, lines, summary):
    with real_board(answer, delay) as (port, frames):
        control = subprocess.run(
            [sys.executable, EXAMPLES / "control.py", port, "--hardware", *args],
            capture_output=True,
            text=True,
            timeout=4 * TIMEOUT,
        )
    assert (control.returncode, control.stderr) == (status, ""), control.stdout
    shown = control.stdout.splitlines()
    assert [line for line in shown if line.startswith(("   reply:", "   late:"))] == lines, shown
    assert shown[-1].startswith(summary)
    sent = [
        corvane.get_do_request(3, 1),
        corvane.set_do_request(0x0001, 2),
        corvane.set_do_request(0x00FF, 3),
        corvane.set_do_request(0xA5C3, 4),
        corvane.get_do_request(3, 5),
    ]
    assert frames == sent[: lines.count(NOTHING) + lines.count(REPLY)]
