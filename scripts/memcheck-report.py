#!/usr/bin/env python3
"""Judge the XML logs that valgrind's memcheck wrote during `make memcheck`.

    scripts/memcheck-report.py LOG.xml...

Exits 1, after printing each one with its stack, when a log holds any error that is not a leak
(invalid read, write or free, use of uninitialised memory, ...: the interpreter's known reports
are suppressed in scripts/memcheck.supp), a definite leak whose allocation stack passes through
corvane's extension module, or does not end properly (valgrind or its process was stopped).
Other leaks are the interpreter's, which frees nothing at exit by design: counted, not judged.
valgrind's own --error-exitcode cannot tell the two apart.
"""

import sys
import xml.etree.ElementTree as ET
from collections import Counter
from pathlib import Path


def in_corvane(frame: ET.Element) -> bool:
    # The extension module is corvane.cpython-3XY-<platform>.so wherever it was installed.
    obj = Path(frame.findtext("obj") or "").name
    return obj.startswith("corvane.") and obj.endswith(".so")


def describe(error: ET.Element) -> str:
    lines = [f"{error.findtext('kind')}: {error.findtext('xwhat/text') or error.findtext('what')}"]
    for part in error:  # the stacks and the lines that introduce them, in valgrind's order
        if part.tag == "auxwhat":
            lines.append(f"  {part.text}")
        for frame in part.findall("frame") if part.tag == "stack" else ():
            place = frame.findtext("file")
            place = f"{place}:{frame.findtext('line')}" if place else frame.findtext("obj")
            mark = ">" if in_corvane(frame) else " "
            lines.append(
                f"    {mark} {frame.findtext('fn') or '???'} ({place or frame.findtext('ip')})"
            )
    return "\n".join(lines) + "\n"


def judge(path: Path) -> bool:
    """Print the reports in `path` that fail the run, and a summary; whether any did."""
    text = path.read_text(errors="replace")
    if "</valgrindoutput>" not in text:
        print(f"{path}: incomplete log (valgrind or the process it ran was stopped)")
        return True
    root = ET.fromstring(text)
    failures, ignored = [], Counter()
    for error in root.iter("error"):
        kind = error.findtext("kind") or ""
        if not kind.startswith("Leak_") or (
            kind == "Leak_DefinitelyLost" and any(in_corvane(f) for f in error.iter("frame"))
        ):
            failures.append(describe(error))
        else:
            ignored[kind] += 1
    for failure in failures:
        print(failure)
    leaks = ", ".join(f"{n} {kind}" for kind, n in sorted(ignored.items())) or "none"
    pairs = root.iterfind("suppcounts/pair")
    matched = ", ".join(f"{p.findtext('name')} x{p.findtext('count')}" for p in pairs) or "none"
    print(
        f"{path}: {len(failures)} report(s) against corvane or memory errors;"
        f" interpreter leaks not judged: {leaks}; suppressed: {matched}"
    )
    return bool(failures)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(1 if [judge(Path(name)) for name in sys.argv[1:]].count(True) else 0)
