"""Threads: many calls at once, and threads racing the first import.

corvane keeps no state beyond its module and classes, so calls from many threads must give
exactly what each would give alone. With the interpreter's lock, the interpreter is made to
switch threads as often as it can (sys.setswitchinterval(1e-6)), in a fresh interpreter so that
the rest of the suite keeps its normal interval. A free-threaded interpreter runs the threads
truly in parallel, with the lock off (PYTHON_GIL=0): there, threads share records, keyword dicts
and unions, and race the first import, and every result is checked.
"""

import json
import os
import sysconfig

import pytest

from conftest import run_isolated

pytestmark = pytest.mark.isolated

THREADS = 8
SECONDS = 1.5  # per run; every thread keeps calling for this long


def test_many_threads_calling_at_once_get_exact_results():
    proc = run_isolated("threads_stress.py", str(THREADS), str(SECONDS), timeout=120)
    assert proc.returncode == 0, proc.stderr[-4000:]
    results = json.loads(proc.stdout)
    assert len(results) == THREADS
    wrong = {me: r["wrong"] for me, r in results.items() if r["wrong"]}
    assert not wrong
    for me, r in results.items():
        # Every thread ran every kind of call, many times.
        assert len(r["counts"]) == 8 and min(r["counts"].values()) >= 20, (me, r["counts"])


# ---------------------------------------------------------------------------------------
# Two threads racing the first import in a fresh interpreter, released together by a barrier.
# The import system serialises imports of one module by a per-module lock; calling the init
# function directly (through ctypes, as a second extension loading the same file could) skips
# that lock and meets corvane's own once-only cells.


FULL_TREE = {
    "all": {
        "corvane": ["do_mod", "get_do_request", "set_do_request"],
        "corvane.do_mod": ["packets"],
        "corvane.do_mod.packets": ["get_do", "set_do", "Request", "Response"],
        "corvane.do_mod.packets.get_do": ["GetDoutsRequest", "GetDoutsResponse"],
        "corvane.do_mod.packets.set_do": ["SetDoutsRequest", "SetDoutsResponse"],
    },
    "registered": [True] * 4,
    "variants": ["Request_GetDouts", "Request_SetDouts", "Response_GetDouts", "Response_SetDouts"],
    "frame": "23000000050001020304",
    "works": 5,
}


@pytest.mark.parametrize(
    "kinds",
    [
        ("import", "import"),
        ("import", "from"),
        ("submodule", "from"),
        ("init", "init"),
        ("init", "import"),
    ],
    ids="-".join,
)
@pytest.mark.parametrize("run", range(3))
def test_threads_racing_the_first_import_share_one_complete_tree(kinds, run):
    proc = run_isolated("import_race.py", *kinds)
    assert proc.returncode == 0, proc.stderr[-4000:]
    result = json.loads(proc.stdout)
    assert result == {"errors": [], "same": True, "tree": FULL_TREE}


# ---------------------------------------------------------------------------------------
# A free-threaded interpreter: no global lock, calls truly in parallel.

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
free_threaded_only = pytest.mark.skipif(
    not FREE_THREADED,
    reason="needs a free-threaded interpreter (--disable-gil): with the global lock, corvane's "
    "calls never run in parallel",
)
# The lock forced off, whatever the imports declare; freed memory filled, so that a value read
# after it was freed shows.
GIL_OFF = {**os.environ, "PYTHON_GIL": "0", "PYTHONMALLOC": "mimalloc_debug"}
SHARED_THREADS = 8
SHARED_SECONDS = 2.0


def threads_outcome(script: str) -> list[dict]:
    proc = run_isolated(script, str(SHARED_THREADS), str(SHARED_SECONDS), timeout=180, env=GIL_OFF)
    assert proc.returncode == 0, proc.stderr[-4000:]
    result = json.loads(proc.stdout)
    assert result["gil"] is False
    assert len(result["threads"]) == SHARED_THREADS
    return result["threads"]


@free_threaded_only
@pytest.mark.parametrize(
    "statement",
    ["import corvane", "from corvane.do_mod.packets.get_do import GetDoutsRequest"],
)
def test_importing_corvane_leaves_the_lock_off(statement):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env["PYTHONWARNINGS"] = "error"
    proc = run_isolated("gil_after_import.py", statement, env=env)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert json.loads(proc.stdout) == {"before": False, "after": False}


@free_threaded_only
@pytest.mark.parametrize(
    ("script", "count"),
    [
        ("shared_records.py", "checks"),  # fields written while read, wrapped and framed
        ("shared_keywords.py", "calls"),  # a caller's keyword dict changed while it is bound
        ("shared_unions.py", "matches"),  # the same unions matched by every thread
    ],
)
def test_threads_sharing_objects_with_the_lock_off_get_exact_results(script, count):
    threads = threads_outcome(script)
    assert [t["wrong"] for t in threads] == [[]] * SHARED_THREADS, threads
    assert min(t[count] for t in threads) >= 100, threads


# Every thread gets corvane from its own init call or from the import system. A `from` or
# submodule import beside direct init calls is left out: it can find its dotted module, which an
# init call has already entered in sys.modules, before anything has entered corvane itself.
@free_threaded_only
@pytest.mark.parametrize(
    "kinds",
    [("init",) * 4, ("init", "init", "import", "import"), ("import",) * 4],
    ids="-".join,
)
@pytest.mark.parametrize("run", range(3))
def test_threads_racing_the_first_import_with_the_lock_off_share_one_tree(kinds, run):
    proc = run_isolated("import_race.py", *kinds, env=GIL_OFF)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert json.loads(proc.stdout) == {"errors": [], "same": True, "tree": FULL_TREE}
