"""Benchmark of corvane's hot entry points against baselines measured in the same run.

Run with `make bench` (or `make bench BENCH_ARGS=--quick`), which builds corvane and the
benchmark-only C module `corvane_bench_floor` and puts the latter on PYTHONPATH.

Every case is a row: the corvane call under test (the subject) and up to two baselines:
  - the C floor: the cheapest C function that does the same job through the same calling
    convention, so the ratio shows what corvane's own layers add;
  - a pure-Python baseline: what a script would write without corvane.
Each comparison has a target ratio (subject / baseline); a ratio above it is a MISS and makes the
run exit with status 1. Before timing, each subject and its baselines must give the same result.

Method: every callable is timed by a loop compiled once from the same `timeit` template, its call
unrolled UNROLL times per iteration, so every case pays the same (small) loop overhead. The
timings are interleaved: each round times every callable once, alternating the order from one
round to the next, so slow phases of a shared machine spread over all cases alike. A case's
ns/call is the minimum over rounds (the median is shown in brackets), and ratios are ratios of
minimums: noise from other processes only ever adds time, so the fastest of many short timings is
the steadiest estimate of a call's own cost, even on a busy machine.

To add a case, append a Row to ROWS.
"""

from __future__ import annotations

import argparse
import operator
import platform
import statistics
import struct
import sys
import time
import timeit
from dataclasses import dataclass, field
from typing import Any, Callable

import corvane
from corvane.do_mod.packets import Request
from corvane.do_mod.packets.set_do import SetDoutsRequest

try:
    import corvane_bench_floor
except ImportError:
    sys.exit("bench.py: the module corvane_bench_floor is missing; run the benchmark with "
             "'make bench', which builds it and puts it on PYTHONPATH")

UNROLL = 10
MIN_ROUNDS = 5
FLOOR_TARGET = 1.25   # a builder may cost at most this many times the C floor
PYTHON_TARGET = 0.60  # ... and at most this fraction of the pure-Python baseline


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
    """A case: the subject and its baselines, with the target ratios subject / baseline."""

    subject: Impl
    floor: Impl | None = None
    python: Impl | None = None
    floor_target: float | None = FLOOR_TARGET
    python_target: float | None = PYTHON_TARGET  # None: the ratio is reported, not judged
    # How results are compared up front; records of different classes need a key of their own.
    same_result: Callable[[Any, Any], bool] = field(default=operator.eq)


GET_FRAME = struct.Struct(">BIBI")    # header, length, cmd, id
SET_FRAME = struct.Struct(">BIBIH")   # header, length, cmd, id, bin_layout
floor = corvane_bench_floor.floor
floor_set = corvane_bench_floor.floor_set

ROWS = [
    Row(
        subject=Impl("get_do_request(3, 0x01020304)", corvane.get_do_request, (3, 0x01020304)),
        floor=Impl("floor(3, 0x01020304)", floor, (3, 0x01020304)),
        python=Impl("Struct('>BIBI').pack(0x23, 5, 0, 0x01020304)", GET_FRAME.pack,
                    (0x23, 5, 0, 0x01020304)),
    ),
    Row(
        subject=Impl("set_do_request(0xA5C3, 7)", corvane.set_do_request, (0xA5C3, 7)),
        floor=Impl("floor_set(0xA5C3, 7)", floor_set, (0xA5C3, 7)),
        python=Impl("Struct('>BIBIH').pack(0x20, 7, 1, 7, 0xA5C3)", SET_FRAME.pack,
                    (0x20, 7, 1, 7, 0xA5C3)),
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


CONSTRUCTION_TARGET = 0.35  # a construction may cost at most this fraction of pure Python
READ_TARGET = 1.5           # an attribute read at most this many times a slotted read
SIZE_LIMIT = 24             # bytes per record object and per union object

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
        python_target=CONSTRUCTION_TARGET, same_result=same_layout,
    ),
    Row(
        subject=statement("r.bin_layout", "r.bin_layout", lambda: record.bin_layout, r=record),
        floor=statement("FloorRecord r.bin_layout", "r.bin_layout", lambda: 5, r=floor_record),
        python=statement("slotted r.bin_layout", "r.bin_layout", lambda: py_record.bin_layout,
                         r=py_record),
        python_target=READ_TARGET,
    ),
    Row(
        subject=statement("r.bin_layout = 5", "r.bin_layout = 5", lambda: 5, r=record),
        floor=statement("FloorRecord r.bin_layout = 5", "r.bin_layout = 5", lambda: 5,
                        r=floor_record),
        python=statement("slotted r.bin_layout = 5", "r.bin_layout = 5", lambda: 5, r=py_record),
        python_target=None,
    ),
    Row(
        subject=Impl("Request.SetDouts(rec)", Request.SetDouts, (record,)),
        python=Impl("frozen slotted variant(rec)", PyRequestSetDouts, (py_record,)),
        python_target=CONSTRUCTION_TARGET,
        same_result=lambda a, b: same_layout(a._0, b._0),
    ),
    Row(
        subject=statement("v._0 (a new copy each read)", "v._0", lambda: variant._0, v=variant),
        python=statement("frozen slotted v._0", "v._0", lambda: py_variant._0, v=py_variant),
        python_target=None, same_result=same_layout,
    ),
    Row(
        subject=statement("v.cmd()", "v.cmd()", variant.cmd, v=variant),
        python=statement("Python method v.cmd()", "v.cmd()", py_variant.cmd, v=py_variant),
        python_target=None,
    ),
    Row(
        subject=statement("match v: case Request.SetDouts(r)",
                          "match v:\n    case S(x):\n        pass", lambda: 1,
                          v=variant, S=Request.SetDouts),
        python=statement("match on the Python variant", "match v:\n    case S(x):\n        pass",
                         lambda: 1, v=py_variant, S=PyRequestSetDouts),
        python_target=None,
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
                sys.exit(f"bench.py: results differ, so the timings would compare different work:\n"
                         f"  {row.subject.label} -> {show(want)}\n  {base.label} -> {show(got)}")


def run(sample_seconds: float, budget_seconds: float) -> dict[Impl, list[float]]:
    """Times every callable of every row, interleaved; returns ns/call per round."""
    impls = list(dict.fromkeys(i for row in ROWS for i in (row.subject, row.floor, row.python)
                               if i is not None))
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


def ratio(samples, subject: Impl, base: Impl) -> float:
    return min(samples[subject]) / min(samples[base])


def verdict(ratio: float, target: float | None) -> tuple[str, bool]:
    if target is None:
        return f"{ratio:5.2f}", True
    ok = ratio <= target
    return f"{ratio:5.2f}  <= {target:.2f} {'PASS' if ok else 'MISS'}", ok


def report(samples, markdown: bool) -> int:
    def ns(impl: Impl) -> str:
        return f"{min(samples[impl]):7.1f} ({statistics.median(samples[impl]):.1f})"

    table = [("case", "ns/call", "vs C floor", "vs Python baseline")]
    md = ["| case | ns/call | vs C floor | vs Python baseline |", "|---|---|---|---|"]
    misses = 0
    for row in ROWS:
        cells = []
        for base, target in ((row.floor, row.floor_target), (row.python, row.python_target)):
            if base is None:
                cells.append("—")
                continue
            text, ok = verdict(ratio(samples, row.subject, base), target)
            misses += not ok
            cells.append(text)
        table.append((row.subject.label, ns(row.subject), *cells))
        md.append(f"| `{row.subject.label}` | {min(samples[row.subject]):.1f} | "
                  + " | ".join(" ".join(c.split()) for c in cells) + " |")
        for kind, base in (("floor", row.floor), ("Python", row.python)):
            if base is not None:
                table.append((f"  {kind}: {base.label}", ns(base), "", ""))
                md.append(f"| {kind}: `{base.label}` | {min(samples[base]):.1f} | | |")
    widths = [max(len(line[c]) for line in table) for c in range(4)]
    for i, line in enumerate(table):
        print("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    if markdown:
        print()
        print("\n".join(md))
    print()
    misses += check_sizes()
    print()
    if misses:
        print(f"{misses} target(s) missed")
        return 1
    print("all targets met")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a short run (a few seconds)")
    parser.add_argument("--seconds", type=float, help="time budget for the timed rounds")
    parser.add_argument("--markdown", action="store_true", help="also print a Markdown table")
    opts = parser.parse_args()
    sample = 0.002 if opts.quick else 0.010
    budget = opts.seconds or (3.0 if opts.quick else 35.0)

    check_results()
    print(f"corvane benchmark on {platform.python_implementation()} {platform.python_version()}, "
          f"corvane from {corvane.__file__}")
    started = time.perf_counter()
    overhead = loop_overhead_ns(sample)
    samples = run(sample, budget)
    rounds = len(next(iter(samples.values())))
    print(f"{rounds} rounds of {len(samples)} interleaved timings of ~{sample * 1e3:.0f} ms, "
          f"{time.perf_counter() - started:.0f} s; loop overhead {overhead:.1f} ns/call, "
          f"included in every figure")
    print("ns/call: minimum over rounds (median); ratio: subject / baseline, of the minimums\n")
    return report(samples, opts.markdown)


if __name__ == "__main__":
    sys.exit(main())
