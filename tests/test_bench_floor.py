"""The benchmark's C floor against corvane.

`make bench` holds corvane's costs to those of bench/floor.c's module, which is fair only while
the floor builds corvane's module tree and gives corvane's results. bench.py refuses to time a
floor that has drifted; these tests make the drift fail `make test` instead, on every platform
(32-bit ones included, where C long is 32 bits wide), not first a later `make bench`.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import corvane
from conftest import import_from

BENCH = Path(__file__).resolve().parent.parent / "bench"
floor_module = import_from(BENCH, "floor_module")

FIRST_USE = BENCH / "first_use.py"
CORVANE_DIR = Path(corvane.__file__).parent


def why_no_floor() -> str | None:
    compiler = (os.environ.get("CC") or "cc").split()[0]
    if shutil.which(compiler) is None:
        return f"no C compiler ({compiler}) to build the floor"
    if not (Path(sysconfig.get_paths()["include"]) / "Python.h").exists():
        return "no Python.h for this interpreter to build the floor against"
    return None


@pytest.fixture(scope="module")
def floor():
    if why := why_no_floor():
        pytest.skip(why)
    return import_from(floor_module.build_floor(), "corvane_bench_floor")


def test_floor_builds_corvanes_module_tree(floor):
    # Modules, __all__, sys.modules entries, class flags, sizes and attributes, signatures.
    assert floor_module.tree(floor) == floor_module.tree(corvane)


# Statements whose values corvane and the floor must share, at the edges of every field.
SAME_RESULTS = [
    "get(0, 0)",
    "get(255, 0xFFFFFFFF)",
    "get(0x80, 0x80000000)",
    "get(3, 0x01020304)",
    "set(0, 0)",
    "set(0xFFFF, 0xFFFFFFFF)",
    "set(0x8000, 0x7FFFFFFF)",
    "set(0xA5C3, 7)",
    "packets.set_do.SetDoutsRequest(0xFFFF).bin_layout",
    "packets.get_do.GetDoutsResponse(0x8000).bin_layout",
    "packets.set_do.SetDoutsResponse(255).success",
    "packets.Request.base_id(), packets.Response.base_id()",
    "packets.Request.GetDouts(packets.get_do.GetDoutsRequest()).cmd()",
    "packets.Request.SetDouts(packets.set_do.SetDoutsRequest(0xFFFF))[0].bin_layout",
    "len(packets.Response.SetDouts(packets.set_do.SetDoutsResponse(1)))",
    "packets.Response.GetDouts(packets.get_do.GetDoutsResponse(7))._0.bin_layout",
    "packets.Response.SetDouts.__match_args__",
]


@pytest.mark.parametrize("statement", SAME_RESULTS)
def test_floor_gives_corvanes_results(floor, statement):
    def value(module):
        names = {"get": module.get_do_request, "set": module.set_do_request}
        return eval(statement, {"packets": module.do_mod.packets, **names})

    assert value(floor) == value(corvane)


def test_floor_build_failure_is_one_line(tmp_path, monkeypatch):
    # A machine without the compiler gets the reason, not a traceback from the middle of bench.py.
    monkeypatch.setattr(floor_module, "FLOOR_DIR", tmp_path)
    monkeypatch.setenv("CC", "no-such-cc")
    with pytest.raises(floor_module.FloorNotBuilt) as caught:
        floor_module.build_floor()
    assert str(caught.value) == (
        f"could not build the floor module from {floor_module.FLOOR_SOURCE}:"
        " [Errno 2] No such file or directory: 'no-such-cc'"
    )
    assert list(tmp_path.iterdir()) == []  # no half-built module left to import


@pytest.mark.skipif(importlib.util.find_spec("pyperf") is not None, reason="pyperf is installed")
def test_bench_without_pyperf_says_what_to_install():
    # As in a development venv: `--help` gets the reason, not a traceback.
    done = subprocess.run(
        [sys.executable, BENCH / "bench.py", "--help"], capture_output=True, text=True, timeout=60
    )
    assert (done.returncode, done.stdout, done.stderr) == (
        1,
        "",
        "bench.py: no module pyperf: run it with `make bench`, or with an interpreter that has"
        " corvane and the `bench` dependency group installed (pip install --group bench)\n",
    )


def test_floor_is_rebuilt_when_its_source_is_newer(tmp_path, monkeypatch):
    # Timed against a floor older than floor.c, the benchmark would judge corvane by stale code.
    # The compiler here only notes each run and writes its output file (-o, the last argument).
    calls = tmp_path / "calls"
    compiler = tmp_path / "cc"
    compiler.write_text(f'#!/bin/sh\necho run >> {calls}\nfor out; do :; done\necho so > "$out"\n')
    compiler.chmod(0o755)
    source = tmp_path / "floor.c"
    source.write_text("")
    monkeypatch.setattr(floor_module, "FLOOR_SOURCE", source)
    monkeypatch.setattr(floor_module, "FLOOR_DIR", tmp_path / "out")
    monkeypatch.setenv("CC", str(compiler))
    runs = []
    for source_time in (None, None, source.stat().st_mtime + 10):
        if source_time is not None:
            os.utime(source, (source_time, source_time))
        floor_module.build_floor()
        runs.append(len(calls.read_text().splitlines()))
    assert runs == [1, 1, 2]
    built = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert [n.split(".")[0] for n in built] == ["corvane_bench_bare", "corvane_bench_floor"]


# A cold start measures the module in the directory it is given, or refuses: found anywhere else
# on the path (an installed corvane instead of a source build's), it would time the wrong build.
COLD_STARTS = [
    ("corvane", "corvane", "frame", None),
    ("corvane", "corvane", "nothing", None),
    ("floor", "corvane_bench_floor", "variant", None),
    ("floor", "corvane_bench_bare", "variant", None),
    ("empty", "corvane", "frame", "first_use.py: no module corvane in {}\n"),
    (
        "corvane",
        "corvane_bench_floor",
        "frame",
        "first_use.py: no module corvane_bench_floor in {}\n",
    ),
]


@pytest.mark.parametrize("where, name, job, refusal", COLD_STARTS)
def test_cold_start_times_only_the_module_in_its_directory(
    floor, tmp_path, where, name, job, refusal
):
    directory = {"corvane": CORVANE_DIR, "floor": floor_module.FLOOR_DIR, "empty": tmp_path}[where]
    done = subprocess.run(
        [sys.executable, FIRST_USE, directory, name, job], capture_output=True, text=True
    )
    if refusal is None:
        assert (done.returncode, done.stderr) == (0, "")
        assert int(done.stdout) > 0
    else:
        assert (done.returncode, done.stdout, done.stderr) == (1, "", refusal.format(directory))
