"""make memcheck's judge (scripts/memcheck-report.py): which valgrind reports fail the run."""

import subprocess
import sys
from pathlib import Path

import pytest

JUDGE = Path(__file__).resolve().parent.parent / "scripts" / "memcheck-report.py"
CORVANE = "/venv/lib/python3.12/site-packages/corvane.cpython-312-x86_64-linux-gnu.so"
PYTHON = "/usr/bin/python3.12"


def error(kind: str, *objs: str) -> str:
    frames = "".join(f"<frame><fn>f{i}</fn><obj>{o}</obj></frame>" for i, o in enumerate(objs))
    return f"<error><kind>{kind}</kind><what>w</what><stack>{frames}</stack></error>"


def log(*errors: str) -> str:
    supp = "<suppcounts><pair><count>3</count><name>interp</name></pair></suppcounts>"
    return f"<valgrindoutput>{''.join(errors)}{supp}</valgrindoutput>"


@pytest.mark.parametrize(
    "text, code, summary",
    [
        (
            log(error("Leak_DefinitelyLost", PYTHON), error("Leak_PossiblyLost", CORVANE)),
            0,
            "0 report(s) against corvane or memory errors; interpreter leaks not judged:"
            " 1 Leak_DefinitelyLost, 1 Leak_PossiblyLost; suppressed: interp x3",
        ),
        (
            log(error("Leak_DefinitelyLost", PYTHON, CORVANE)),
            1,
            "1 report(s) against corvane or memory errors; interpreter leaks not judged: none;"
            " suppressed: interp x3",
        ),
        (
            log(error("InvalidRead", PYTHON)),
            1,
            "1 report(s) against corvane or memory errors; interpreter leaks not judged: none;"
            " suppressed: interp x3",
        ),
        (
            "<valgrindoutput><error>",
            1,
            "incomplete log (valgrind or the process it ran was stopped)",
        ),
    ],
    ids=["interpreter-leaks-only", "leak-through-corvane", "memory-error-anywhere", "cut-short"],
)
def test_judge_fails_on_corvanes_leaks_and_any_memory_error(tmp_path, text, code, summary):
    path = tmp_path / "run.xml"
    path.write_text(text)
    done = subprocess.run([sys.executable, JUDGE, path], capture_output=True, text=True, timeout=60)
    assert done.returncode == code
    assert done.stdout.splitlines()[-1] == f"{path}: {summary}"
