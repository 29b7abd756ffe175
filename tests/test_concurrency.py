"""Threads: many calls at once, and two threads racing the first import.

corvane runs every entry point with the interpreter's lock held and keeps no state beyond its
module and classes, so calls from many threads must give exactly what each would give alone.
The interpreter is made to switch threads as often as it can (sys.setswitchinterval(1e-6)),
in a fresh interpreter so that the rest of the suite keeps its normal interval.
"""

import json

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
