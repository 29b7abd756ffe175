#!/usr/bin/env python3
"""Judge the XML logs that valgrind's memcheck wrote during `make memcheck`.

    scripts/memcheck-report.py LOG.xml...

Exits 1, after printing each one with its stack, when a log holds
  - any error that is not a leak: an invalid read, write or free, a jump or branch that depends
    on uninitialised memory, a system call given uninitialised bytes, an overlapping copy, ...,
    wherever in the process it happened (the interpreter's known reports are suppressed, each
    with its reason, in scripts/memcheck.supp);
  - a definite leak whose allocation stack has a frame in corvane's extension module.
Other definite leaks are the interpreter's: memory it does not free at exit by design. They are
counted, not judged. Valgrind's --error-exitcode cannot make that distinction, which is why the
Makefile has valgrind count no leak as an error and leaves the leaks to this script.

A log that does not end properly (valgrind died, or the client was killed) fails as well.
"""

import sys
import xml.etree.ElementTree as ET
from collections import Counter
from pathlib import Path

DEFINITE = "Leak_DefinitelyLost"


def in_corvane(frame: ET.Element) -> bool:
    # The extension module is corvane.cpython-3XY-<platform>.so wherever it was installed.
    obj = Path(frame.findtext("obj") or "").name
    return obj.startswith("corvane.") and obj.endswith(".so")


def describe(error: ET.Element) -> str:
    text = error.findtext("xwhat/text") or error.findtext("what") or ""
    lines = [f"{error.findtext('kind')}: {text}"]
    for part in error:  # the stacks and the lines that introduce them, in valgrind's order
        if part.tag == "auxwhat":
            lines.append(f"  {part.text}")
        for frame in part.findall("frame") if part.tag == "stack" else ():
            where = frame.findtext("fn") or "???"
            if frame.findtext("file"):
                where += f" ({frame.findtext('file')}:{frame.findtext('line')})"
            else:
                where += f" ({frame.findtext('obj') or frame.findtext('ip')})"
            lines.append(f"    {'>' if in_corvane(frame) else ' '} {where}")
    return "\n".join(lines) + "\n"


def judge(path: Path) -> tuple[list[str], Counter, Counter]:
    """The reports in `path` that fail the run, a count of the leaks that do not, and how
    often each suppression matched."""
    text = path.read_text(errors="replace")
    if "</valgrindoutput>" not in text:
        return (
            [f"{path}: incomplete log (valgrind or the process it ran was stopped)"],
            Counter(),
            Counter(),
        )
    root = ET.fromstring(text)
    suppressed = Counter(
        {
            pair.findtext("name"): int(pair.findtext("count") or 0)
            for pair in root.iterfind("suppcounts/pair")
        }
    )
    failures, ignored = [], Counter()
    for error in root.iter("error"):
        kind = error.findtext("kind") or ""
        if not kind.startswith("Leak_"):
            failures.append(describe(error))
        elif kind == DEFINITE and any(in_corvane(f) for f in error.iter("frame")):
            failures.append(describe(error))
        else:
            ignored[kind] += 1
    return failures, ignored, suppressed


def main(paths: list[str]) -> int:
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    failed = False
    for name in paths:
        failures, ignored, suppressed = judge(Path(name))
        for report in failures:
            print(report)
        leaks = ", ".join(f"{n} {kind}" for kind, n in sorted(ignored.items())) or "none"
        matched = ", ".join(f"{supp} x{n}" for supp, n in sorted(suppressed.items())) or "none"
        print(
            f"{name}: {len(failures)} report(s) against corvane or memory errors;"
            f" interpreter leaks not judged: {leaks}; suppressed: {matched}"
        )
        failed |= bool(failures)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
