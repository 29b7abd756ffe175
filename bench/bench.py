#!/usr/bin/env python3
"""Benchmark of corvane against C floors, each ratio's two sides measured in the same run.

Run it with the interpreter that has corvane installed (`make bench` builds corvane first; --help
lists the options). It builds bench/floor.c into build/bench-X.Y/ when the file is newer:
`corvane_bench_floor`, whose import builds what corvane's does, and from the same shared object
`corvane_bench_bare`, a bare module with the two functions and one class.

Per call, each row is a statement run with corvane's objects (the subject), the floor's (the
same job in the cheapest C through the same calling convention: the ratio is what corvane's own
layers add) and pure Python's (`struct.Struct.pack` as get_frame and set_frame, slotted
dataclasses). Only ratios to the floor are judged: one above its target is a MISS, and the run
exits with status 1. The Python ratios are figures (their speed is the interpreter's); a floor's
ratio to Python is the interpreter's share. The three must first give the same result.

Cold starts, in fresh processes (bench/first_use.py): corvane's import with its first frame,
record and union variant, held to the floor module's (COLD_TARGET); the bare module's ratios are
figures. `--source-build DIR` adds a source build of corvane, made with the default compiler,
whose corvane*.so is at the top of DIR (as `pip install --no-deps --target DIR .` or an unpacked
wheel leaves it): the installed corvane's import + first frame is held to SOURCE_BUILD_TARGET x
that build's.

Time is pyperf's (its options work too: -p, -n and --min-time set the worker processes, values
per process and a value's length, -o FILE keeps every timing as JSON): each statement and each
module's cold start is a benchmark of its own, run in worker processes back to back with its
baselines (per call, the statement unrolled UNROLL times in a loop; cold, a fresh process per
value). Figures are minimums over all values (medians in brackets), ratios are of minimums:
other processes only ever add time, so the fastest of many short timings is the steadiest
estimate on a shared machine. Instructions are callgrind's, exact for a build; cold starts are
judged in them, as their times vary between runs by more than the margins (their time ratios
are shown).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import platform
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap
import timeit
from collections import namedtuple
from dataclasses import dataclass, make_dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import threads
from floor_module import FLOOR_DIR, FloorNotBuilt, build_floor, tree

try:
    import pyperf

    import corvane
except ModuleNotFoundError as missing:
    sys.exit(
        f"bench.py: no module {missing.name}: run it with `make bench`, or with an interpreter that"
        " has corvane and the `bench` dependency group installed (pip install --group bench)"
    )

ROOT = Path(__file__).resolve().parent.parent
FIRST_USE = ROOT / "bench" / "first_use.py"


def compilers_of(module: str) -> str:
    """The compiler versions recorded in a shared object's .comment section (what built it and
    the runtime parts linked into it), as readelf shows them."""
    if shutil.which("readelf") is None:
        return "an unknown compiler (readelf, from binutils, is not installed)"
    done = subprocess.run(["readelf", "-p", ".comment", module], capture_output=True, text=True)
    found = [line.split("]", 1)[1].strip() for line in done.stdout.splitlines() if "]" in line]
    return "; ".join(dict.fromkeys(found)) or "an unknown compiler (no .comment section)"


try:
    sys.path.insert(0, str(build_floor()))
except FloorNotBuilt as why:
    sys.exit(f"bench.py: {why}")
import corvane_bench_floor as floor  # noqa: E402  (built just above)

UNROLL = 10
FLOOR_TARGET = 1.00  # a builder may cost at most its C floor's time and instructions
# A record class operation may take at most this many times its floor's instructions. It is held
# to instructions, not time: it differs from its floor by a handful of instructions, well inside
# what a loaded machine's timings vary by from run to run. Its time is shown.
RECORD_FLOOR_TARGET = 1.05
COLD_TARGET = 1.25  # corvane's import and first use, in instructions, x the floor module's
SOURCE_BUILD_TARGET = 1.10  # the installed corvane's import + first frame, x a source build's
# Bytes per record object and per union object: the object header and 8 bytes, 24 on 64-bit
# machines (40 on a free-threaded build, whose header also holds the owning thread and a second
# reference count).
SIZE_LIMIT = object.__basicsize__ + 8


# Pure-Python equivalents of the record and union classes: what a script would write itself.
PySetDoutsRequest = make_dataclass("SetDoutsRequest", ["bin_layout"], slots=True)
PyRequestSetDouts = make_dataclass(
    "Request_SetDouts", ["_0"], frozen=True, slots=True, namespace={"cmd": lambda self: 1}
)


# The names that the statements use: from corvane's module tree, the floor's, and pure Python.
CORVANE_NAMES, FLOOR_NAMES = (
    {
        "get_do_request": m.get_do_request,
        "set_do_request": m.set_do_request,
        "SetDoutsRequest": m.do_mod.packets.set_do.SetDoutsRequest,
        "Request": m.do_mod.packets.Request,
    }
    for m in (corvane, floor)
)
PYTHON_NAMES = {
    "get_frame": struct.Struct(">BIBI").pack,  # header, length, cmd, id
    "set_frame": struct.Struct(">BIBIH").pack,  # header, length, cmd, id, bin_layout
    "SetDoutsRequest": PySetDoutsRequest,
    "Request": SimpleNamespace(SetDouts=PyRequestSetDouts),
}
for names in (CORVANE_NAMES, FLOOR_NAMES, PYTHON_NAMES):
    names["r"] = names["SetDoutsRequest"](5)
    names["v"] = names["Request"].SetDouts(names["r"])


@dataclass(frozen=True, eq=False)
class Impl:
    """A statement, timed with the names of `env` bound to local variables (no case pays for
    global or attribute look-ups)."""

    label: str
    stmt: str
    env: dict[str, Any]

    def timer(self, number: int) -> timeit.Timer:
        setup = "\n".join(f"{name} = _env[{name!r}]" for name in self.env) or "pass"
        return timeit.Timer("\n".join([self.stmt] * number), setup, globals={"_env": self.env})

    def result(self) -> Any:
        """The statement's value (None for a statement that is not an expression), as plain
        data, so that objects of different classes compare by what they hold."""
        try:
            value = eval(self.stmt, {}, dict(self.env))
        except SyntaxError:  # not an expression
            value = exec(self.stmt, {}, dict(self.env))
        value = getattr(value, "_0", value)
        return getattr(value, "bin_layout", value)


Row = namedtuple("Row", "subject floor python time_target instruction_target")


def row(stmt: str, python: str | None = None, time: float | None = None, instr=None) -> Row:
    """A case: the statement with corvane's names, the floor's and Python's (`python` if Python
    needs another), and its targets of subject / floor in time and instructions (None: a figure)."""
    label = " ".join(stmt.split())
    python = python or stmt
    return Row(
        Impl(label, stmt, CORVANE_NAMES),
        Impl(f"floor: {label}", stmt, FLOOR_NAMES),
        Impl(f"Python: {' '.join(python.split())}", python, PYTHON_NAMES),
        time,
        instr,
    )


ROWS = [
    row("get_do_request(3, 0x01020304)", "get_frame(0x23, 5, 0, 0x01020304)", *[FLOOR_TARGET] * 2),
    row("set_do_request(0xA5C3, 7)", "set_frame(0x20, 7, 1, 7, 0xA5C3)", *[FLOOR_TARGET] * 2),
    row("SetDoutsRequest(5)", instr=RECORD_FLOOR_TARGET),
    row("r.bin_layout", instr=RECORD_FLOOR_TARGET),
    row("r.bin_layout = 5", instr=RECORD_FLOOR_TARGET),
    row("Request.SetDouts(r)"),
    row("v._0"),  # a new record each read
    row("v.cmd()"),
    row("match v:\n    case Request.SetDouts(x):\n        pass"),
]
IMPLS = [impl for r in ROWS for impl in (r.subject, r.floor, r.python)]


def check_results() -> None:
    """Refuse to time anything whose baselines do not produce what the subject produces, or a
    floor whose import builds other modules, sys.modules entries or classes than corvane's."""

    if tree(corvane) != tree(floor):
        sys.exit(f"bench.py: the floor's tree is not corvane's:\n{tree(floor)}\n{tree(corvane)}")
    for r in ROWS:
        want = r.subject.result()
        for base in (r.floor, r.python):
            if (got := base.result()) != want:
                sys.exit(
                    f"bench.py: results differ, so the timings would compare different work:\n"
                    f"  {r.subject.label} -> {want!r}\n  {base.label} -> {got!r}"
                )


def judge_sizes() -> None:
    """Objects are the object header and one inline value: at most SIZE_LIMIT bytes each."""
    for label, name in (("a record object", "r"), ("a union object", "v")):
        size = sys.getsizeof(CORVANE_NAMES[name])
        judge(f"size of {label}", "bytes (sys.getsizeof)", "", size, SIZE_LIMIT, f"{size} B")


# ---------------------------------------------------------------------------------------------
# Cold starts: a job of first_use.py, done by a module found in a directory.
Module = namedtuple("Module", "label name directory")

CORVANE = Module("corvane", "corvane", Path(corvane.__file__).parent)
FLOOR = Module("floor", "corvane_bench_floor", FLOOR_DIR)
BARE = Module("bare module", "corvane_bench_bare", FLOOR_DIR)
COLD_CASES = {"frame": "first frame", "record": "first record", "variant": "first union variant"}
Cold = namedtuple("Cold", "job base target")  # corvane's job against a baseline module's


def cold_comparisons(source_build: Path | None) -> list[Cold]:
    comparisons = [Cold(job, FLOOR, COLD_TARGET) for job in COLD_CASES]
    comparisons += [Cold(job, BARE, None) for job in COLD_CASES]
    if source_build is not None:
        source = Module("source build", "corvane", source_build.resolve())
        comparisons.append(Cold("frame", source, SOURCE_BUILD_TARGET))
    return comparisons


def first_use(module: Module, job: str) -> list[str]:
    return [sys.executable, str(FIRST_USE), str(module.directory), module.name, job]


def first_use_seconds(loops: int, module: Module, job: str) -> float:
    """pyperf's time function for a cold start: `loops` fresh processes, each timing its own
    import and first job."""
    runs = [
        subprocess.run(first_use(module, job), capture_output=True, text=True) for _ in range(loops)
    ]
    if failed := [run.stderr for run in runs if run.returncode != 0]:
        sys.exit(f"bench.py: {FIRST_USE.name} {module.name} {job} failed:\n{failed[0]}")
    return sum(int(run.stdout) for run in runs) / 1e9


def cold_keys(comparisons: list[Cold]) -> list[tuple[Module, str]]:
    """Every module and job that the comparisons need, once each, in order."""
    return list(dict.fromkeys(k for c in comparisons for k in ((CORVANE, c.job), (c.base, c.job))))


# ---------------------------------------------------------------------------------------------
# Instruction counts. Per call, the parent runs this file again under callgrind in the counting
# mode, with collection on only inside corvane_bench_measure (the bare module's `measure`) and a
# profile written each time it returns. The child runs, for every statement and then the empty
# loop, a loop of COUNT_LOOPS[0] iterations and one of COUNT_LOOPS[1]; each profile's total is
# one loop's instructions, and the difference of a pair divided by the extra calls is a call's.
MEASURED_SYMBOL = "corvane_bench_measure"
COUNT_LOOPS = (100, 600)
EMPTY_LOOP = Impl("empty loop", "pass", {})


class NotCounted(Exception):
    """Why instructions could not be counted."""


def count_child() -> int:
    """The --count-instructions mode: the loops that the parent's callgrind counts."""
    from corvane_bench_bare import measure

    for impl in [*IMPLS, EMPTY_LOOP]:
        timer = impl.timer(UNROLL)
        # Unmeasured first: the interpreter specialises the loop's bytecode and fills its free
        # lists, so the measured loops run the steady state.
        timer.timeit(COUNT_LOOPS[-1])
        for number in COUNT_LOOPS:
            measure(lambda: timer.timeit(number))
    return 0


def callgrind(*args: str) -> list[int]:
    """Runs a command under callgrind; the totals of the profiles it wrote, in order."""
    if shutil.which("valgrind") is None:
        raise NotCounted("valgrind is not installed (on Debian: apt-get install valgrind)")
    with tempfile.TemporaryDirectory(dir=FLOOR_DIR, prefix="callgrind-") as tmp:
        out = Path(tmp) / "callgrind.out"
        # A fixed hash seed: the same build then runs the very same instructions every time.
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *args]
        env = {**os.environ, "PYTHONHASHSEED": "0"}
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            raise NotCounted(f"valgrind exited with {done.returncode}:\n{done.stderr[-2000:]}")
        dumps = sorted(Path(tmp).glob("callgrind.out.*"), key=lambda p: int(p.suffix[1:]))
        lines = [p.read_text().splitlines() for p in [*dumps, out]]
    return [
        next(int(n.split()[1]) for n in profile if n.startswith("summary:")) for profile in lines
    ]


def count_per_call() -> dict[Impl, float]:
    """Instructions per call of every statement, and of the empty loop's (EMPTY_LOOP)."""
    impls = [*IMPLS, EMPTY_LOOP]
    script = str(Path(__file__).resolve())
    toggle = [f"--toggle-collect={MEASURED_SYMBOL}", f"--dump-after={MEASURED_SYMBOL}"]
    totals = callgrind(
        "--collect-atstart=no", *toggle, sys.executable, script, "--count-instructions"
    )
    # The last profile is written at exit, with nothing collected since the last dump.
    if len(totals) != len(impls) * len(COUNT_LOOPS) + 1:
        raise NotCounted(f"expected {len(impls) * len(COUNT_LOOPS) + 1} profiles: {len(totals)}")
    calls = (COUNT_LOOPS[1] - COUNT_LOOPS[0]) * UNROLL
    return {impl: (totals[2 * i + 1] - totals[2 * i]) / calls for i, impl in enumerate(impls)}


def count_cold(comparisons: list[Cold]) -> dict[tuple[Module, str], int]:
    """Instructions of each cold start above those of a process that imports nothing (with the
    same directory first on sys.path)."""
    keys = cold_keys(comparisons)
    nothing = {m: callgrind(*first_use(m, "nothing"))[0] for m in dict.fromkeys(m for m, _ in keys)}
    return {(m, j): callgrind(*first_use(m, j))[0] - nothing[m] for m, j in keys}


# ---------------------------------------------------------------------------------------------
# The report: first what is judged, each target on a line of its own, then the figures, which
# are shown and never judged.
Judged = namedtuple("Judged", "case on baseline value target verdict")
JUDGED: list[Judged] = []


def judge(case: str, on: str, baseline: str, value: float | None, target: float, shown="") -> None:
    """Judge one figure against its target (one that could not be measured misses)."""
    met = value is not None and value <= target
    text = shown or ("not counted" if value is None else f"{value:.2f}")
    verdict = "PASS" if met else "MISS"
    limit = f"<= {target} B" if shown else f"<= {target:.2f}"  # shown: a size, not a ratio
    JUDGED.append(Judged(case, on, baseline or "—", text, limit, verdict))


def print_table(rows: list[tuple[str, ...]], markdown: bool) -> None:
    """Columns padded to their widest cell, a rule under the header row; or Markdown."""
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]))]
    for i, row in enumerate(rows):
        if markdown:
            print("| " + " | ".join(row) + " |" + ("\n|" + "---|" * len(row) if i == 0 else ""))
            continue
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))


def figure(bench: pyperf.Benchmark, scale: float) -> str:
    return f"{bench.percentile(0) * scale:.1f} ({bench.median() * scale:.1f})"


def note(text: str) -> None:
    print("\n" + textwrap.fill(text, 100))


def ratio_of(a: float, b: float) -> str:
    return f"{a / b:.2f}"


def report_per_call(benches, counts, markdown: bool) -> None:
    """Judges the per-call targets; prints every statement's figures."""

    def fastest(impl: Impl) -> float:
        return benches[impl].percentile(0)

    table = [("case", "corvane ns", "floor ns", "Python ns", "time / floor", "time / Python")]
    if counts:
        table[0] += ("instr / floor",)
    for r in ROWS:
        instr = counts[r.subject] / counts[r.floor] if counts else None
        if r.time_target is not None:
            judge(r.subject.label, "time", "C floor", fastest(r.subject) / fastest(r.floor),
                  r.time_target)  # fmt: skip
        if r.instruction_target is not None:
            judge(r.subject.label, "instructions", "C floor", instr, r.instruction_target)
        cells = (
            r.subject.label,
            *(figure(benches[i], 1e9) for i in (r.subject, r.floor, r.python)),
            ratio_of(fastest(r.subject), fastest(r.floor)),
            ratio_of(fastest(r.subject), fastest(r.python)),
        )
        table.append(cells + ((f"{instr:.2f}",) if instr is not None else ()))
    note(
        "Per call, figures: ns is the fastest of pyperf's values (the median in brackets); a"
        " ratio is corvane's over the baseline's. Only those in the Judged table below are"
        " judged: the record operations on instructions alone, as their time differs from the"
        " floor's by less than timings vary from run to run; the Python baselines never (their"
        " speed is the interpreter's)."
        + (
            f" Instructions per call include the timing loop's own {counts[EMPTY_LOOP]:.1f}."
            if counts
            else ""
        )
    )
    print_table(table, markdown)


def report_cold(benches, counts, comparisons: list[Cold], markdown: bool) -> None:
    """Judges the cold-start targets; prints every cold start's figures."""
    table = [("import + first use", "baseline", "corvane µs", "baseline µs", "time ratio")]
    if counts:
        table[0] += ("instr ratio",)
    for c in comparisons:
        ours, theirs = benches[CORVANE, c.job], benches[c.base, c.job]
        instr = counts[CORVANE, c.job] / counts[c.base, c.job] if counts else None
        label = f"import + {COLD_CASES[c.job]}"
        if c.target is not None:
            judge(label, "instructions", f"{c.base.label} (cold)", instr, c.target)
        cells = (label, c.base.label, figure(ours, 1e6), figure(theirs, 1e6))
        cells += (ratio_of(ours.percentile(0), theirs.percentile(0)),)
        table.append(cells + ((f"{instr:.2f}",) if instr is not None else ()))
    values = len(next(iter(benches.values())).get_values())
    note(
        f"Cold starts, figures: {values} fresh processes each, µs the fastest (the median in"
        " brackets); instructions are counted above a process that imports nothing. Judged below"
        " on instructions only: their times vary from run to run by more than the margins. The"
        " bare module's rows are never judged (its first record is also its first variant)."
    )
    print_table(table, markdown)


def report_judged(markdown: bool) -> None:
    note(
        "Judged: each figure against its target; any MISS fails the run. A ratio is corvane's"
        " over its baseline's, both measured in this run."
    )
    header = ("case", "judged on", "baseline", "value", "target", "verdict")
    print_table([header, *JUDGED], markdown)


def quietly(timing, *args):
    """Run a pyperf timing without its own line per benchmark (its mean and deviation, which a
    busy machine makes larger than the figures themselves); print a dot instead."""
    with contextlib.redirect_stdout(io.StringIO()):
        result = timing(*args)
    print(".", end="", flush=True)
    return result


def time_everything(runner: pyperf.Runner, opts, comparisons: list[Cold]):
    """Times every statement, then every cold start, each a pyperf benchmark (in a worker,
    pyperf runs only the one that the worker was started for)."""
    timing = (lambda fn, *args, **kw: fn(*args, **kw)) if opts.worker else quietly
    benches = {}
    if not opts.cold_only:
        if not opts.worker:
            print(
                f"timing {len(IMPLS)} statements (pyperf, {opts.processes} processes each) ", end=""
            )
        for impl in IMPLS:
            timer = impl.timer(UNROLL)
            run = lambda label=impl.label, fn=timer.timeit: runner.bench_time_func(  # noqa: E731
                label, fn, inner_loops=UNROLL
            )
            benches[impl] = timing(run)
    keys = cold_keys(comparisons)
    if not opts.worker:
        # A value is one fresh process: no loop to calibrate, and more values per worker.
        opts.loops, opts.values = 1, 6
        print(
            f"\ntiming {len(keys)} cold starts (pyperf, {opts.processes} processes each) ", end=""
        )
    cold = {}
    for module, job in keys:
        name = f"{job}: {module.label}"
        cold[module, job] = timing(runner.bench_time_func, name, first_use_seconds, module, job)
    if not opts.worker:
        print()
    return benches, cold


def main() -> int:
    def pass_options(command: list[str], args: argparse.Namespace) -> None:
        """What a worker needs to run the same benchmarks in the same order."""
        command += ["--cold-only"] if args.cold_only else []
        command += ["--source-build", str(args.source_build)] if args.source_build else []

    # Many short values: the shorter a timing, the likelier it is that no other process takes
    # the core away in the middle of it, so the minimum over many is what a call itself costs.
    runner = pyperf.Runner(processes=10, values=20, min_time=0.002, add_cmdline_args=pass_options)
    parser = runner.argparser
    parser.description = __doc__.split("\n\n")[0]
    for flag, text in (
        ("--quick", "a short run (about a minute)"),
        ("--markdown", "print the tables in Markdown"),
        ("--no-instructions", "skip the callgrind counts (their targets then count as missed)"),
        ("--cold-only", "only the cold starts"),
        ("--count-instructions", argparse.SUPPRESS),
    ):
        parser.add_argument(flag, action="store_true", help=text)
    parser.add_argument("--source-build", type=Path, metavar="DIR", help="a source build's folder")
    parser.add_argument(
        "--built-by",
        metavar="TEXT",
        help="what built the installed corvane, when its binary does not say (the wheels' Zig"
        " writes no .comment section; `make bench` names it)",
    )
    # Quiet: without pyperf's warnings about its spread, which a busy machine brings to most
    # (the figures are minimums, which noise cannot lower); its line per benchmark is not shown
    # either (see quietly).
    parser.set_defaults(quiet=True)
    opts = runner.parse_args()
    if opts.count_instructions:
        return count_child()
    if opts.quick and not opts.worker:
        opts.processes, opts.min_time = 3, 0.001
    comparisons = cold_comparisons(opts.source_build)
    if opts.worker:
        time_everything(runner, opts, comparisons)
        return 0

    check_results()
    built_by = opts.built_by or compilers_of(corvane.__file__)
    print(
        f"corvane benchmark on {platform.python_implementation()} {platform.python_version()}, "
        f"corvane from {corvane.__file__}\ncorvane built by {built_by}; "
        f"the floor module by {compilers_of(floor.__file__)}",
        flush=True,
    )
    for so in opts.source_build.glob("corvane.*.so") if opts.source_build else ():
        print(f"source build {so.resolve()}, by {compilers_of(str(so))}", flush=True)
    counts = cold_counts = None
    if not opts.no_instructions:
        try:
            cold_counts = count_cold(comparisons)
            counts = None if opts.cold_only else count_per_call()
        except NotCounted as why:
            print(f"instructions not counted: {why}")
    benches, cold = time_everything(runner, opts, comparisons)
    if not opts.cold_only:
        report_per_call(benches, counts, opts.markdown)
        judge_sizes()
    report_cold(cold, cold_counts, comparisons, opts.markdown)
    if threads.free_threaded() and not opts.cold_only:
        table = lambda rows: print_table(rows, opts.markdown)  # noqa: E731
        threads.report(CORVANE_NAMES, FLOOR_NAMES, opts.quick, table, note)
    report_judged(opts.markdown)
    missed = [f"{j.case} ({j.on})" for j in JUDGED if j.verdict != "PASS"]
    print(
        f"\n{len(missed)} target(s) missed: {'; '.join(missed)}" if missed else "\nall targets met"
    )
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
