"""The type stubs (stubs/corvane-stubs, installed beside the module as a PEP 561 stub-only
package) checked against the built module and against typed code, with mypy and with pyright
(basedpyright, pinned: the `pyright` dependency group)."""

import importlib.metadata
import importlib.util
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import corvane

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs" / "corvane-stubs"
TYPECHECK = ROOT / "tests" / "typecheck"
# Everything here must pass mypy --strict: the examples are what users copy.
STRICT_CLEAN = sorted(ROOT.glob("examples/*.py")) + [TYPECHECK / "uses_every_name.py"]
REJECTED = TYPECHECK / "rejected.py"
# basedpyright (group `pyright`) beside the interpreter: in a development venv, and in the
# host's whole-suite nox sessions.
BASEDPYRIGHT = shutil.which("basedpyright", path=str(Path(sys.executable).parent))


def run(*args: str, cwd: Path = ROOT) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=600
    )


def need_mypy() -> None:
    # Missing in the chroots (group `suite`) and on a free-threaded interpreter, which mypy has
    # no build for.
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (pip install --group test; the host's GIL builds)")


@pytest.fixture(scope="session")
def mypy_strict(tmp_path_factory):
    need_mypy()
    cache = tmp_path_factory.mktemp("mypy-cache")
    return lambda path: run("-m", "mypy", "--strict", "--cache-dir", str(cache), str(path))


def test_stubs_are_installed_with_the_module():
    files = importlib.metadata.files("corvane") or []
    installed = {Path(*f.parts[1:]).as_posix() for f in files if f.parts[0] == "corvane-stubs"}
    sources = {p.relative_to(STUBS).as_posix() for p in STUBS.rglob("*.pyi")}
    assert installed == sources


def test_stubtest_finds_no_difference(tmp_path):
    need_mypy()
    # Run outside the source tree, so that only the installed stubs and module are seen.
    allowlist = ROOT / "stubs" / "stubtest-allowlist.txt"
    result = run("-m", "mypy.stubtest", "corvane", "--allowlist", str(allowlist), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("path", STRICT_CLEAN, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_strict_mypy_passes(mypy_strict, path):
    result = mypy_strict(path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_file_runs_and_names_every_public_name():
    result = run(str(TYPECHECK / "uses_every_name.py"))
    assert result.returncode == 0, result.stdout + result.stderr
    packets = corvane.do_mod.packets
    modules = [corvane, corvane.do_mod, packets, packets.get_do, packets.set_do]
    names = {name for module in modules for name in module.__all__}
    names |= {
        "GetDouts",
        "SetDouts",
        "_0",
        "__match_args__",
        "cmd",
        "base_id",
        "bin_layout",
        "success",
    }
    text = (TYPECHECK / "uses_every_name.py").read_text()
    assert {name for name in names if not re.search(rf"\b{re.escape(name)}\b", text)} == set()


def marked_rejections() -> set[tuple[int, str]]:
    lines = REJECTED.read_text().splitlines()
    marked = (re.search(r"# rejected: \[([a-z-]+)\]$", line) for line in lines)
    return {(number, m[1]) for number, m in enumerate(marked, 1) if m}


def test_misuses_are_rejected_line_by_line(mypy_strict):
    expected = marked_rejections()
    result = mypy_strict(REJECTED)
    reported = re.findall(r"^[^\n]*?:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M)
    assert result.returncode == 1, result.stdout + result.stderr
    assert {(int(number), code) for number, code in reported} == expected, result.stdout


@pytest.fixture(scope="session")
def pyright():
    if not BASEDPYRIGHT:
        pytest.skip(
            "basedpyright is not installed (pip install --group pyright; make test: the first"
            " interpreter's session)"
        )
    # The project's own configuration (pyproject.toml: strict), as a plain `basedpyright` in the
    # checkout uses it, against this interpreter's installed module and stubs.
    return lambda *paths: subprocess.run(
        [BASEDPYRIGHT, "--pythonpath", sys.executable, *map(str, paths)],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=600,
    )


def test_strict_pyright_passes(pyright):
    result = pyright(*STRICT_CLEAN)
    assert result.returncode == 0, result.stdout + result.stderr


def test_pyright_rejects_the_same_lines(pyright):
    # Its rule names differ from mypy's error codes: the lines must be the same ones.
    result = pyright(REJECTED)
    reported = re.findall(
        rf"^ +{re.escape(str(REJECTED))}:(\d+):\d+ - error: ", result.stdout, re.M
    )
    assert {int(number) for number in reported} == {n for n, _ in marked_rejections()}, (
        result.stdout
    )
