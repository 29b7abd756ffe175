#!/usr/bin/env python3
"""Benchmark of corvane's hot entry points against baselines measured in the same run.

Run it with the interpreter that has corvane installed: `python bench/bench.py [--quick]` (or
`make bench`, which builds corvane first). It builds the benchmark-only C module
`corvane_bench_floor` from bench/floor.c itself, into build/bench-X.Y/, whenever that file is
newer than the module, with the interpreter's own include directory and extension suffix.

Every case is a row: the corvane call under test (the subject) and up to two baselines:
  - the C floor: the cheapest C function that does the same job through the same calling
    convention, so the ratio shows what corvane's own layers add;
  - a pure-Python baseline: what a script would write without corvane.
Only comparisons with a C floor are judged: a ratio above its target is a MISS and makes the run
exit with status 1. The Python baselines are figures, never verdicts: how fast `Struct.pack` or a
dataclass is belongs to the interpreter (one release packs frames 15 % faster than the others),
not to corvane. Before timing, each subject and its baselines must give the same result.

Cold starts are judged too: in fresh processes, the import of corvane and its first frame, first
record and first union variant, each against the floor module's import and first call (see
bench/cold_start.py).

Two measures, both per call:
  - instructions, counted by valgrind's callgrind: exact, the same on every run of the same
    build, whatever else the machine is doing. bench.py re-runs itself under valgrind (the
    --count-instructions mode) to count them; a case's count is the difference between two
    loops of different lengths, divided by the extra calls, so the count covers everything a
    call costs in the loop (its bytecodes, the interpreter's dispatch, the callee) and nothing
    that is paid once. The builders must not take more instructions than their C floor.
  - time: every callable is timed by a loop compiled once from the same `timeit` template, its
    call unrolled UNROLL times per iteration, so every case pays the same (small) loop overhead.
    The timings are interleaved: each round times every callable once, alternating the order
    from one round to the next, so slow phases of a shared machine spread over all cases alike.
    A case's ns/call is the minimum over rounds (the median is shown in brackets), and ratios
    are ratios of minimums: noise from other processes only ever adds time, so the fastest of
    many short timings is the steadiest estimate of a call's own cost, even on a busy machine.
    Instructions do not show stalls (a load waiting on a store, a cache miss), so both count.

To add a case, append a Row to ROWS.
"""

from __future__ import annotations

import argparse
import operator
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import cold_start
from text_table import print_aligned

import corvane
from corvane.do_mod.packets import Request
from corvane.do_mod.packets.set_do import SetDoutsRequest

ROOT = Path(__file__).resolve().parent.parent
FLOOR_SOURCE = ROOT / "bench" / "floor.c"
FLOOR_DIR = (
    ROOT
    / "build"
    / os.environ.get("CORVANE_CHROOT", "")  # a chroot's builds stay apart from the host's
    / f"bench-{sys.version_info[0]}.{sys.version_info[1]}"
)
FLOOR_CFLAGS = ["-O3", "-fPIC", "-shared", "-Wall", "-Wextra", "-Werror"]


def build_floor() -> Path:
    """Compiles bench/floor.c for this interpreter when the module is missing or older than the
    source; returns the directory to import it from. The compiler is $CC (default cc)."""
    target = FLOOR_DIR / f"corvane_bench_floor{sysconfig.get_config_var('EXT_SUFFIX')}"
    if target.exists() and target.stat().st_mtime >= FLOOR_SOURCE.stat().st_mtime:
        return FLOOR_DIR
    FLOOR_DIR.mkdir(parents=True, exist_ok=True)
    cc = os.environ.get("CC") or "cc"
    include = sysconfig.get_paths()["include"]
    # Built beside the target and renamed over it, so a run that is importing the module at the
    # same time never sees half a file.
    fd, partial = tempfile.mkstemp(dir=FLOOR_DIR, prefix=".floor-", suffix=".so")
    os.close(fd)
    command = [*cc.split(), *FLOOR_CFLAGS, f"-I{include}", str(FLOOR_SOURCE), "-o", partial]
    print(f"bench.py: building {target.relative_to(ROOT)}: {' '.join(command)}", flush=True)
    try:
        subprocess.run(command, check=True)
        os.replace(partial, target)
    except (OSError, subprocess.CalledProcessError) as error:
        Path(partial).unlink(missing_ok=True)
        sys.exit(f"bench.py: could not build the floor module from {FLOOR_SOURCE}: {error}")
    return FLOOR_DIR


def compilers_of(module: Path) -> str:
    """The compiler versions recorded in a shared object's .comment section (what built it and
    the runtime parts linked into it), as readelf shows them."""
    readelf = shutil.which("readelf")
    if readelf is None:
        return "an unknown compiler (readelf, from binutils, is not installed)"
    done = subprocess.run([readelf, "-p", ".comment", str(module)], capture_output=True, text=True)
    found = [line.split("]", 1)[1].strip() for line in done.stdout.splitlines() if "]" in line]
    return "; ".join(dict.fromkeys(found)) or "an unknown compiler (no .comment section)"


sys.path.insert(0, str(build_floor()))
import corvane_bench_floor  # noqa: E402  (built just above)

UNROLL = 10
MIN_ROUNDS = 5
FLOOR_TARGET = 1.00  # a builder may cost at most the C floor's time and instructions
# A record class operation may take at most this many times FloorRecord's instructions. It is
# held to instructions, not time: its C floor differs from it by a handful of instructions (the
# check that the int it hands out was made), well inside what a loaded machine's timings vary
# by from run to run, so a time target of 1.05 would pass or fail by chance. Its time is shown.
RECORD_FLOOR_TARGET = 1.05


@dataclass(frozen=True, eq=False)
class Impl:
    """One callable with fixed positional arguments; `label` is how the table shows it.

    A case that is a statement rather than a call (an attribute read, an assignment, a `match`)
    gives `stmt` instead, run with the names of `env` as locals; `fn` then only produces the
    result that check_results compares.
    """

    label: str
    fn: Callable[..., Any]
    args: tuple = ()
    stmt: str | None = None
    env: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Row:
    """A case: the subject and its baselines, with the target ratio subject / C floor in time
    (None: the ratio is reported, not judged). The Python baseline is never judged."""

    subject: Impl
    floor: Impl | None = None
    python: Impl | None = None
    floor_target: float | None = FLOOR_TARGET
    # The subject may take at most this many times its floor's instructions per call.
    instruction_target: float | None = None
    # How results are compared up front; records of different classes need a key of their own.
    same_result: Callable[[Any, Any], bool] = field(default=operator.eq)


GET_FRAME = struct.Struct(">BIBI")  # header, length, cmd, id
SET_FRAME = struct.Struct(">BIBIH")  # header, length, cmd, id, bin_layout
floor = corvane_bench_floor.floor
floor_set = corvane_bench_floor.floor_set

ROWS = [
    Row(
        subject=Impl("get_do_request(3, 0x01020304)", corvane.get_do_request, (3, 0x01020304)),
        floor=Impl("floor(3, 0x01020304)", floor, (3, 0x01020304)),
        python=Impl(
            "Struct('>BIBI').pack(0x23, 5, 0, 0x01020304)", GET_FRAME.pack, (0x23, 5, 0, 0x01020304)
        ),
        instruction_target=FLOOR_TARGET,
    ),
    Row(
        subject=Impl("set_do_request(0xA5C3, 7)", corvane.set_do_request, (0xA5C3, 7)),
        floor=Impl("floor_set(0xA5C3, 7)", floor_set, (0xA5C3, 7)),
        python=Impl(
            "Struct('>BIBIH').pack(0x20, 7, 1, 7, 0xA5C3)", SET_FRAME.pack, (0x20, 7, 1, 7, 0xA5C3)
        ),
        instruction_target=FLOOR_TARGET,
    ),
]


# Pure-Python equivalents of the record and union classes: what a script would write itself.
@dataclass(slots=True)
class PySetDoutsRequest:
    bin_layout: int


@dataclass(frozen=True, slots=True)
class PyRequestSetDouts:
    _0: PySetDoutsRequest

    def cmd(self) -> int:
        return 1


SIZE_LIMIT = 24  # bytes per record object and per union object

FloorRecord = corvane_bench_floor.FloorRecord
record = SetDoutsRequest(5)
floor_record = FloorRecord(5)
variant = Request.SetDouts(record)
py_record = PySetDoutsRequest(5)
py_variant = PyRequestSetDouts(py_record)


def statement(label: str, stmt: str, result: Callable[[], Any], **env: Any) -> Impl:
    return Impl(label, result, stmt=stmt, env=env)


def same_layout(a: Any, b: Any) -> bool:
    return a.bin_layout == b.bin_layout


ROWS += [
    Row(
        subject=Impl("SetDoutsRequest(5)", SetDoutsRequest, (5,)),
        floor=Impl("FloorRecord(5)", FloorRecord, (5,)),
        python=Impl("@dataclass(slots=True) record(5)", PySetDoutsRequest, (5,)),
        floor_target=None,
        instruction_target=RECORD_FLOOR_TARGET,
        same_result=same_layout,
    ),
    Row(
        subject=statement("r.bin_layout", "r.bin_layout", lambda: record.bin_layout, r=record),
        floor=statement("FloorRecord r.bin_layout", "r.bin_layout", lambda: 5, r=floor_record),
        python=statement(
            "slotted r.bin_layout", "r.bin_layout", lambda: py_record.bin_layout, r=py_record
        ),
        floor_target=None,
        instruction_target=RECORD_FLOOR_TARGET,
    ),
    Row(
        subject=statement("r.bin_layout = 5", "r.bin_layout = 5", lambda: 5, r=record),
        floor=statement(
            "FloorRecord r.bin_layout = 5", "r.bin_layout = 5", lambda: 5, r=floor_record
        ),
        python=statement("slotted r.bin_layout = 5", "r.bin_layout = 5", lambda: 5, r=py_record),
        floor_target=None,
        instruction_target=RECORD_FLOOR_TARGET,
    ),
    Row(
        subject=Impl("Request.SetDouts(rec)", Request.SetDouts, (record,)),
        python=Impl("frozen slotted variant(rec)", PyRequestSetDouts, (py_record,)),
        same_result=lambda a, b: same_layout(a._0, b._0),
    ),
    Row(
        subject=statement("v._0 (a new copy each read)", "v._0", lambda: variant._0, v=variant),
        python=statement("frozen slotted v._0", "v._0", lambda: py_variant._0, v=py_variant),
        same_result=same_layout,
    ),
    Row(
        subject=statement("v.cmd()", "v.cmd()", variant.cmd, v=variant),
        python=statement("Python method v.cmd()", "v.cmd()", py_variant.cmd, v=py_variant),
    ),
    Row(
        subject=statement(
            "match v: case Request.SetDouts(r)",
            "match v:\n    case S(x):\n        pass",
            lambda: 1,
            v=variant,
            S=Request.SetDouts,
        ),
        python=statement(
            "match on the Python variant",
            "match v:\n    case S(x):\n        pass",
            lambda: 1,
            v=py_variant,
            S=PyRequestSetDouts,
        ),
    ),
]


def check_sizes() -> int:
    """Objects are the object header and one inline value: at most SIZE_LIMIT bytes each."""
    misses = 0
    for label, obj in (("record object", record), ("union object", variant)):
        size = sys.getsizeof(obj)
        ok = size <= SIZE_LIMIT
        misses += not ok
        print(f"sys.getsizeof({label}) = {size} bytes  <= {SIZE_LIMIT} {'PASS' if ok else 'MISS'}")
    return misses


def make_timer(impl: Impl) -> timeit.Timer:
    """A timer whose loop body calls impl UNROLL times, with the function and its arguments
    bound to local variables, so that no case pays for global or attribute look-ups."""
    if impl.stmt is not None:
        setup = "\n".join(f"{name} = _env[{name!r}]" for name in impl.env)
        stmt = "\n".join([impl.stmt] * UNROLL)
        return timeit.Timer(stmt, setup, globals={"_env": impl.env})
    names = [f"a{i}" for i in range(len(impl.args))]
    setup = "\n".join(["f = _fn"] + [f"{n} = _args[{i}]" for i, n in enumerate(names)])
    stmt = "\n".join([f"f({', '.join(names)})"] * UNROLL)
    return timeit.Timer(stmt, setup, globals={"_fn": impl.fn, "_args": impl.args})


def calibrate(timer: timeit.Timer, sample_seconds: float) -> int:
    """Loop count for which one timing takes about sample_seconds."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= sample_seconds / 4:
            return max(1, round(number * sample_seconds / elapsed))
        number *= 4


def show(result: Any) -> str:
    return result.hex(" ").upper() if isinstance(result, bytes) else repr(result)


def check_results() -> None:
    """Refuse to time anything whose baselines do not produce what the subject produces."""
    for row in ROWS:
        want = row.subject.fn(*row.subject.args)
        for base in (row.floor, row.python):
            if base is None:
                continue
            got = base.fn(*base.args)
            if not row.same_result(want, got):
                sys.exit(
                    f"bench.py: results differ, so the timings would compare different work:\n"
                    f"  {row.subject.label} -> {show(want)}\n  {base.label} -> {show(got)}"
                )


def all_impls() -> list[Impl]:
    """Every callable of every row, once each, in table order (the order callgrind counts in)."""
    return list(
        dict.fromkeys(
            i for row in ROWS for i in (row.subject, row.floor, row.python) if i is not None
        )
    )


def run(sample_seconds: float, budget_seconds: float) -> dict[Impl, list[float]]:
    """Times every callable of every row, interleaved; returns ns/call per round."""
    impls = all_impls()
    timers = {impl: make_timer(impl) for impl in impls}
    numbers = {impl: calibrate(timers[impl], sample_seconds) for impl in impls}
    # Rounds go on until the budget is spent (at least MIN_ROUNDS), so a busy machine makes the
    # run less precise rather than longer.
    samples: dict[Impl, list[float]] = {impl: [] for impl in impls}
    deadline = time.perf_counter() + budget_seconds
    r = 0
    while r < MIN_ROUNDS or time.perf_counter() < deadline:
        r += 1
        for impl in impls if r % 2 else reversed(impls):
            elapsed = timers[impl].timeit(numbers[impl])
            samples[impl].append(elapsed * 1e9 / (numbers[impl] * UNROLL))
    return samples


def loop_overhead_ns(sample_seconds: float) -> float:
    timer = timeit.Timer("\n".join(["pass"] * UNROLL))
    number = calibrate(timer, sample_seconds)
    return min(timer.timeit(number) for _ in range(5)) * 1e9 / (number * UNROLL)


# ---------------------------------------------------------------------------------------------
# Instruction counts. The parent runs this file again under callgrind in the counting mode, with
# collection on only inside corvane_bench_measure and a profile written each time it returns.
# The child measures, for every callable in all_impls() order and then the empty loop, a loop of
# COUNT_LOOPS[0] iterations and one of COUNT_LOOPS[1]; each profile's total is one loop's
# instructions, and the difference of a pair divided by the extra calls is the cost of a call.
MEASURED_SYMBOL = "corvane_bench_measure"
COUNT_LOOPS = (100, 600)
EMPTY_LOOP = Impl("empty loop", lambda: None, stmt="pass")


def count_child() -> int:
    """The --count-instructions mode: the loops that the parent's callgrind counts."""
    for impl in [*all_impls(), EMPTY_LOOP]:
        timer = make_timer(impl)
        # Unmeasured first: the interpreter specialises the loop's bytecode and fills its free
        # lists, so the measured loops run the steady state.
        timer.timeit(COUNT_LOOPS[-1])
        for number in COUNT_LOOPS:
            corvane_bench_floor.measure(lambda: timer.timeit(number))
    return 0


def profile_total(path: Path) -> int:
    for line in path.read_text().splitlines():
        if line.startswith(("totals:", "summary:")):
            return int(line.split()[1])
    sys.exit(f"bench.py: no total in the callgrind profile {path}")


def count_instructions() -> tuple[dict[Impl, float], float] | str:
    """Instructions per call of every callable and of the empty loop's statement, or why they
    could not be counted."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        return "valgrind is not installed (on Debian: apt-get install valgrind)"
    impls = [*all_impls(), EMPTY_LOOP]
    with tempfile.TemporaryDirectory(dir=FLOOR_DIR, prefix="callgrind-") as tmp:
        out = Path(tmp) / "callgrind.out"
        command = [
            valgrind,
            "--tool=callgrind",
            "--collect-atstart=no",
            f"--toggle-collect={MEASURED_SYMBOL}",
            f"--dump-after={MEASURED_SYMBOL}",
            f"--callgrind-out-file={out}",
            sys.executable,
            str(Path(__file__).resolve()),
            "--count-instructions",
        ]
        # A fixed hash seed: the same build then runs the very same instructions every time.
        env = {**os.environ, "PYTHONHASHSEED": "0"}
        done = subprocess.run(
            command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
        )
        if done.returncode != 0:
            return f"valgrind exited with status {done.returncode}:\n{done.stderr[-2000:]}"
        dumps = sorted(Path(tmp).glob("callgrind.out.*"), key=lambda p: int(p.suffix[1:]))
        totals = [profile_total(path) for path in dumps]
    if len(totals) != len(impls) * len(COUNT_LOOPS):
        return f"expected {len(impls) * len(COUNT_LOOPS)} callgrind profiles, got {len(totals)}"
    calls = (COUNT_LOOPS[1] - COUNT_LOOPS[0]) * UNROLL
    per_call = {impl: (totals[2 * i + 1] - totals[2 * i]) / calls for i, impl in enumerate(impls)}
    empty = per_call.pop(EMPTY_LOOP)
    return per_call, empty


# ---------------------------------------------------------------------------------------------
# The report.
@dataclass
class Comparison:
    """subject / baseline, in time and (when counted) in instructions, with the verdicts."""

    time: float
    instructions: float | None
    time_target: float | None
    instruction_target: float | None

    def misses(self) -> int:
        missed = self.time_target is not None and self.time > self.time_target
        if self.instruction_target is not None:
            missed_instructions = (
                self.instructions is None or self.instructions > self.instruction_target
            )
            missed += missed_instructions
        return int(missed)

    def text(self) -> str:
        parts = [f"{self.time:.2f}"]
        if self.time_target is not None:
            ok = self.time <= self.time_target
            parts.append(f"<= {self.time_target:.2f} {'PASS' if ok else 'MISS'}")
        if self.instructions is not None:
            parts.append(f"(instr {self.instructions:.2f}")
            if self.instruction_target is not None:
                ok = self.instructions <= self.instruction_target
                parts[-1] += f" <= {self.instruction_target:.2f} {'PASS' if ok else 'MISS'}"
            parts[-1] += ")"
        elif self.instruction_target is not None:
            parts.append("(instr not counted: MISS)")
        return " ".join(parts)


def compare(
    samples,
    counts,
    subject: Impl,
    base: Impl,
    time_target: float | None,
    instruction_target: float | None = None,
) -> Comparison:
    instructions = counts[subject] / counts[base] if counts else None
    return Comparison(
        min(samples[subject]) / min(samples[base]), instructions, time_target, instruction_target
    )


def report(samples, counts: dict[Impl, float] | None, markdown: bool) -> int:
    """Prints the per-call tables; returns how many targets were missed."""

    def ns(impl: Impl) -> str:
        return f"{min(samples[impl]):.1f} ({statistics.median(samples[impl]):.1f})"

    def instr(impl: Impl) -> str:
        return f"{counts[impl]:.1f}" if counts else "—"

    table = [("case", "ns/call", "instr/call", "vs C floor", "vs Python baseline")]
    md = [
        "| case | ns/call | instructions/call | vs C floor | vs Python baseline |",
        "|---|---|---|---|---|",
    ]
    misses = 0
    for row in ROWS:
        cells = []
        for base, target, instruction_target in (
            (row.floor, row.floor_target, row.instruction_target),
            (row.python, None, None),
        ):
            if base is None:
                cells.append("—")
                continue
            comparison = compare(samples, counts, row.subject, base, target, instruction_target)
            misses += comparison.misses()
            cells.append(comparison.text())
        table.append((row.subject.label, ns(row.subject), instr(row.subject), *cells))
        md.append(
            f"| `{row.subject.label}` | {min(samples[row.subject]):.1f} | "
            f"{instr(row.subject)} | " + " | ".join(cells) + " |"
        )
        for kind, base in (("floor", row.floor), ("Python", row.python)):
            if base is not None:
                table.append((f"  {kind}: {base.label}", ns(base), instr(base), "", ""))
                md.append(
                    f"| {kind}: `{base.label}` | {min(samples[base]):.1f} | {instr(base)} | | |"
                )
    print_aligned(table)
    print()
    report_interpreter_share(samples, counts)
    if markdown:
        print()
        print("\n".join(md))
    print()
    return misses + check_sizes()


def report_interpreter_share(samples, counts: dict[Impl, float] | None) -> None:
    """Where a row has both a C floor and a Python baseline, the gap between the two is the
    interpreter's: the cost of the C-level protocol (type_call, the argument tuple, the
    descriptor path) over what it does for Python code in its bytecode."""
    lines = []
    for row in ROWS:
        if row.floor is None or row.python is None:
            continue
        extra_ns = min(samples[row.floor]) - min(samples[row.python])
        text = (
            f"  {row.floor.label}: {min(samples[row.floor]) / min(samples[row.python]):.2f} x "
            f"the time ({extra_ns:+.1f} ns)"
        )
        if counts:
            text += (
                f", {counts[row.floor] / counts[row.python]:.2f} x the instructions "
                f"({counts[row.floor] - counts[row.python]:+.0f})"
            )
        lines.append(f"{text} of {row.python.label}")
    if lines:
        print(
            "The interpreter's share: the C floor against the Python baseline (what any C "
            "class built this way costs\nrelative to the Python equivalent; reported, not "
            "judged):"
        )
        print("\n".join(lines))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a short run (a few seconds)")
    parser.add_argument("--seconds", type=float, help="time budget for the timed rounds")
    parser.add_argument("--markdown", action="store_true", help="also print a Markdown table")
    parser.add_argument(
        "--no-instructions",
        action="store_true",
        help="skip the callgrind counts (their targets then count as missed)",
    )
    parser.add_argument(
        "--cold-runs", type=int, help="fresh processes per module and cold-start case"
    )
    parser.add_argument(
        "--cold-only", action="store_true", help="only the cold starts (no per-call tables)"
    )
    parser.add_argument("--count-instructions", action="store_true", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.count_instructions:
        return count_child()
    cold_runs = opts.cold_runs or (10 if opts.quick else 60)

    check_results()
    print(
        f"corvane benchmark on {platform.python_implementation()} {platform.python_version()}, "
        f"corvane from {corvane.__file__}\n"
        f"corvane built by {compilers_of(Path(corvane.__file__))}; the floor module by "
        f"{compilers_of(Path(corvane_bench_floor.__file__))}",
        flush=True,
    )
    cold = cold_start.measure(
        cold_start.Module("corvane", Path(corvane.__file__).parent),
        cold_start.Module("corvane_bench_floor", FLOOR_DIR),
        cold_runs,
    )
    misses = 0 if opts.cold_only else steady_state(opts)
    misses += cold_start.report(cold, opts.markdown)
    print()
    if misses:
        print(f"{misses} target(s) missed")
        return 1
    print("all targets met")
    return 0


def steady_state(opts: argparse.Namespace) -> int:
    """Counts, times and reports the per-call cases; returns how many targets were missed."""
    sample = 0.001 if opts.quick else 0.002
    budget = opts.seconds or (3.0 if opts.quick else 35.0)
    counts = None
    if not opts.no_instructions:
        started = time.perf_counter()
        counted = count_instructions()
        if isinstance(counted, str):
            print(f"instructions not counted: {counted}")
        else:
            counts, empty = counted
            print(
                f"instructions per call counted under callgrind in "
                f"{time.perf_counter() - started:.0f} s (exact; the empty loop's statement "
                f"takes {empty:.1f}, included in every figure)",
                flush=True,
            )
    started = time.perf_counter()
    overhead = loop_overhead_ns(sample)
    samples = run(sample, budget)
    rounds = len(next(iter(samples.values())))
    print(
        f"{rounds} rounds of {len(samples)} interleaved timings of ~{sample * 1e3:.0f} ms, "
        f"{time.perf_counter() - started:.0f} s; loop overhead {overhead:.1f} ns/call, "
        f"included in every figure"
    )
    print(
        "ns/call: minimum over rounds (median); ratio: subject / baseline, of the minimums "
        "(instr: the same for instructions per call)\n"
    )
    return report(samples, counts, opts.markdown)


if __name__ == "__main__":
    sys.exit(main())
