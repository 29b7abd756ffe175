"""The README's Python examples run as written: its `>>>` examples as doctests, every other
Python block as a script of its own (each must carry its own imports, as a reader copies it)."""

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text()
BLOCKS = [
    (TEXT.count("\n", 0, match.start()) + 2, match[1])
    for match in re.finditer(r"^```python\n(.*?)^```$", TEXT, re.M | re.S)
]
SCRIPTS = [(line, code) for line, code in BLOCKS if not code.startswith(">>>")]


def test_readme_doctests_pass():
    failed, attempted = doctest.testfile(str(README), module_relative=False, verbose=False)
    assert (failed, attempted > 0) == (0, True)


def test_readme_has_both_kinds_of_examples():
    assert len(SCRIPTS) >= 2 and len(SCRIPTS) < len(BLOCKS)


@pytest.mark.parametrize("line, code", SCRIPTS, ids=[f"README.md:{line}" for line, _ in SCRIPTS])
def test_readme_python_block_runs_alone(line, code):
    # Line numbers kept, so that a failure points into README.md.
    exec(compile("\n" * (line - 1) + code, str(README), "exec"), {"__name__": "__readme__"})
