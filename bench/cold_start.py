"""Cold starts for bench.py: what a short-lived script pays to import corvane and use it once.

Each case is one first job, done by corvane and by the floor module (bench/floor.c), every time
in a fresh interpreter that runs bench/first_use.py: it imports the module and does the job, and
reports the time of the two together. Runs alternate between corvane and the floor, and their
order flips from one round to the next, so that slow phases of a shared machine fall on both
alike; a case's figure is the median over its runs, the ratio the two medians' quotient. The
first union variant is held to the floor's first record: the floor has no unions, and a variant
is built from a record.
"""

from __future__ import annotations

import statistics
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

from text_table import print_aligned

FIRST_USE = Path(__file__).resolve().parent / "first_use.py"
COLD_TARGET = 1.50  # corvane's import and first use may take at most 1.5 x the floor's


@dataclass(frozen=True)
class ColdCase:
    label: str
    job: str  # a job of first_use.py, done with corvane
    floor_job: str  # the same job, done with the floor module


COLD_CASES = [
    ColdCase("import + first frame", "get_do_request", "floor"),
    ColdCase("import + first record", "set_douts_request", "floor_record"),
    ColdCase("import + first union variant", "request_set_douts", "floor_record"),
]


@dataclass(frozen=True)
class Module:
    name: str
    directory: Path


def first_use_us(module: Module, job: str) -> float:
    """The import and the first job, in a fresh interpreter, in µs."""
    done = subprocess.run(
        [sys.executable, str(FIRST_USE), str(module.directory), module.name, job],
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        sys.exit(f"bench.py: {FIRST_USE.name} {module.name} {job} failed:\n{done.stderr}")
    return int(done.stdout.split()[0]) / 1000


def measure(corvane: Module, floor: Module, runs: int) -> dict[ColdCase, tuple[list, list]]:
    """runs fresh processes per case and module, alternating; µs per run."""
    samples = {case: ([], []) for case in COLD_CASES}
    for r in range(runs):
        for case in COLD_CASES:
            ours, theirs = samples[case]
            pairs = [(corvane, case.job, ours), (floor, case.floor_job, theirs)]
            for module, job, into in pairs if r % 2 else reversed(pairs):
                into.append(first_use_us(module, job))
    return samples


def report(samples: dict[ColdCase, tuple[list, list]], markdown: bool) -> int:
    """Prints the cold-start table; returns how many cases missed their target."""
    misses = 0
    lines = [("case", "corvane µs", "floor µs", "vs floor")]
    md = ["| case | corvane µs | floor µs | vs floor |", "|---|---|---|---|"]
    for case, (ours, theirs) in samples.items():
        ratio = statistics.median(ours) / statistics.median(theirs)
        ok = ratio <= COLD_TARGET
        misses += not ok
        cells = (
            f"{statistics.median(ours):.0f}",
            f"{statistics.median(theirs):.0f}",
            f"{ratio:.2f} <= {COLD_TARGET:.2f} {'PASS' if ok else 'MISS'}",
        )
        lines.append((case.label, *cells))
        md.append(f"| {case.label} | " + " | ".join(cells) + " |")
    runs = len(next(iter(samples.values()))[0])
    print(
        f"Cold start: import and first use in fresh processes, {runs} alternating runs of each "
        f"module per case, medians\n(the floor's first union variant is its first record):"
    )
    print_aligned(lines)
    if markdown:
        print()
        print("\n".join(md))
    return misses
