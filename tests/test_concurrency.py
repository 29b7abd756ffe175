"""Threads: many calls at once, and two threads racing the first import.

corvane runs every entry point with the interpreter's lock held and keeps no state beyond its
module and classes, so calls from many threads must give exactly what each would give alone.
The interpreter is made to switch threads as often as it can (sys.setswitchinterval(1e-6)),
in a fresh interpreter so that the rest of the suite keeps its normal interval.
"""

import json

import pytest

from conftest import run_fresh
from doubles import NESTED

THREADS = 8
SECONDS = 1.5  # per run; every thread keeps calling for this long

STRESS = r'''
import json, random, sys, threading, time
from corvane import get_do_request, set_do_request
from corvane.do_mod.packets import Request, Response
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse

OUT_OF_RANGE = "out of range integral type conversion attempted"
RECORDS = {"bin_layout": (SetDoutsRequest, GetDoutsResponse), "success": (SetDoutsResponse,)}
VARIANTS = [(Request.GetDouts, GetDoutsRequest, None, 0),
            (Request.SetDouts, SetDoutsRequest, "bin_layout", 1),
            (Response.GetDouts, GetDoutsResponse, "bin_layout", 0),
            (Response.SetDouts, SetDoutsResponse, "success", 1)]
WIDTH = {"bin_layout": 16, "success": 8}
# Shared by every thread: union objects are immutable, the record is assigned by all of them.
SHARED = [variant(record(7)) if field else variant(record())
          for variant, record, field, _ in VARIANTS]
SHARED_RECORD = SetDoutsRequest(0)
SHARED_VALUES = {0} | {1000 + t for t in range(THREADS)}

class Index:
    def __init__(self, value):
        self.value = value
    def __index__(self):
        return self.value

def frame_get(addr, id):
    return bytes([(addr + 32) % 256]) + (5).to_bytes(4, "big") + b"\x00" + id.to_bytes(4, "big")

def frame_set(bin_state, id):
    return b"\x20" + (7).to_bytes(4, "big") + b"\x01" + id.to_bytes(4, "big") + \
        bin_state.to_bytes(2, "big")

def field_of(rec, field):
    return None if field is None else getattr(rec, field)

def raises(call, kind, message):
    try:
        call()
    except BaseException as error:
        return type(error) is kind and str(error) == message
    return False

def operations(rng, me):
    """(name, check) pairs; each check makes its calls and returns whether all were right."""
    addr, id, bits = rng.getrandbits(64), rng.getrandbits(32), rng.getrandbits(16)
    variant, record, field, cmd = rng.choice(VARIANTS)
    value = rng.getrandbits(WIDTH[field]) if field else None
    shared = SHARED[VARIANTS.index((variant, record, field, cmd))]

    def union_round_trip():
        rec = record(value) if field else record()
        union = variant(rec)
        if field:
            setattr(rec, field, 0 if value else 1)  # the union holds its own copy
        items = list(union)
        return (union.cmd() == cmd and union.base_id() == 32 and len(union) == 1
                and all(type(r) is record and field_of(r, field) == value
                        for r in (union._0, union[0], union[Index(0)], *items))
                and len(items) == 1)

    def shared_union():
        expected = 7 if field else None
        return (shared.cmd() == cmd and type(shared._0) is record
                and field_of(shared[0], field) == expected
                and raises(lambda: shared[1], IndexError, "tuple index out of range"))

    def record_fields():
        name = rng.choice(sorted(RECORDS))
        cls = rng.choice(RECORDS[name])
        v = rng.getrandbits(WIDTH[name])
        rec = cls(**{name: v})
        first = getattr(rec, name) == v
        setattr(rec, name, Index(v ^ 1))
        return first and getattr(rec, name) == v ^ 1 and raises(
            lambda: setattr(rec, name, 1 << WIDTH[name]), OverflowError, OUT_OF_RANGE
        ) and getattr(rec, name) == v ^ 1

    def shared_record():
        SHARED_RECORD.bin_layout = 1000 + me
        return SHARED_RECORD.bin_layout in SHARED_VALUES

    return [
        ("get_do_request", lambda: get_do_request(addr, id) == frame_get(addr, id)
            and get_do_request(id=id, addr=Index(addr)) == frame_get(addr, id)),
        ("set_do_request", lambda: set_do_request(bits, id) == frame_set(bits, id)
            and set_do_request(bin_state=bits, id=id) == frame_set(bits, id)),
        ("builder errors", lambda: raises(lambda: set_do_request(65536 + bits, id),
                                          OverflowError, OUT_OF_RANGE)
            and raises(lambda: get_do_request(1.5, id), TypeError,
                       "argument 'addr': 'float' object cannot be interpreted as an integer")
            and raises(lambda: get_do_request(addr), TypeError,
                       "get_do_request() missing 1 required positional argument: 'id'")),
        ("union round trip", union_round_trip),
        ("shared union", shared_union),
        ("variant errors", lambda: raises(lambda: variant(shared), TypeError,
            f"argument '_0': '{type(shared).__name__}' object cannot be converted to "
            f"'{record.__name__}'")
            and raises(lambda: Request(), TypeError, "No constructor defined for Request")),
        ("record fields", record_fields),
        ("shared record", shared_record),
    ]

def worker(me, barrier, deadline_box, results):
    rng = random.Random(me)
    counts, wrong = {}, []
    barrier.wait()
    while time.monotonic() < deadline_box[0]:
        for name, check in operations(rng, me):
            try:
                ok = check()
            except BaseException as error:
                ok = f"{type(error).__name__}: {error}"
            counts[name] = counts.get(name, 0) + 1
            if ok is not True and len(wrong) < 10:
                wrong.append([name, repr(ok)])
    results[me] = {"counts": counts, "wrong": wrong}

sys.setswitchinterval(1e-6)
barrier = threading.Barrier(THREADS + 1)
deadline_box, results = [0.0], {}
threads = [threading.Thread(target=worker, args=(t, barrier, deadline_box, results))
           for t in range(THREADS)]
for thread in threads:
    thread.start()
deadline_box[0] = time.monotonic() + SECONDS
barrier.wait()
for thread in threads:
    thread.join()
print(json.dumps(results))
'''


def test_many_threads_calling_at_once_get_exact_results():
    proc = run_fresh(f"THREADS, SECONDS = {THREADS}, {SECONDS}\n" + STRESS, timeout=120)
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

RACE = r'''
import ctypes, functools, json, sys, threading
import importlib

def by_import(statement):
    def load():
        namespace = {}
        exec(statement, namespace)
        return sys.modules["corvane"]
    return load

def by_init():
    import importlib.util
    spec = importlib.util.find_spec("corvane")
    init = ctypes.PyDLL(spec.origin).PyInit_corvane
    init.restype = ctypes.py_object
    return init

LOADERS = {
    "import": by_import("import corvane"),
    "from": by_import("from corvane.do_mod.packets.get_do import GetDoutsRequest"),
    "submodule": by_import("import corvane.do_mod.packets.set_do"),
}

def race(kinds):
    loaders = [LOADERS[kind] if kind in LOADERS else by_init() for kind in kinds]
    barrier = threading.Barrier(len(loaders))
    got = [None] * len(loaders)
    def run(i):
        barrier.wait()
        try:
            got[i] = loaders[i]()
        except BaseException as error:
            got[i] = error
    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(loaders))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return got

def tree(module):
    reach = lambda key: functools.reduce(getattr, key.split(".")[1:], module)
    packets = module.do_mod.packets
    return {
        "all": {key: list(reach(key).__all__) for key in NESTED + ["corvane"]},
        "registered": [sys.modules.get(key) is reach(key) for key in NESTED],
        "variants": [getattr(getattr(packets, union), variant).__name__
                     for union in ("Request", "Response") for variant in ("GetDouts", "SetDouts")],
        "frame": module.get_do_request(3, 0x01020304).hex(),
        "works": packets.Request.SetDouts(packets.set_do.SetDoutsRequest(5))._0.bin_layout,
    }

sys.setswitchinterval(1e-6)
got = race(KINDS)
errors = [repr(g) for g in got if isinstance(g, BaseException)]
print(json.dumps({
    "errors": errors,
    "same": not errors and all(g is got[0] for g in got)
            and sys.modules.get("corvane", got[0]) is got[0],
    "tree": None if errors else tree(got[0]),
}))
'''

FULL_TREE = {
    "all": {
        "corvane": ["do_mod", "get_do_request", "set_do_request"],
        "corvane.do_mod": ["packets"],
        "corvane.do_mod.packets": ["get_do", "set_do", "Request", "Response"],
        "corvane.do_mod.packets.get_do": ["GetDoutsRequest", "GetDoutsResponse"],
        "corvane.do_mod.packets.set_do": ["SetDoutsRequest", "SetDoutsResponse"],
    },
    "registered": [True] * 4,
    "variants": ["Request_GetDouts", "Request_SetDouts", "Response_GetDouts",
                 "Response_SetDouts"],
    "frame": "23000000050001020304",
    "works": 5,
}


@pytest.mark.parametrize("kinds", [
    ("import", "import"),
    ("import", "from"),
    ("submodule", "from"),
    ("init", "init"),
    ("init", "import"),
], ids="-".join)
@pytest.mark.parametrize("run", range(3))
def test_threads_racing_the_first_import_share_one_complete_tree(kinds, run):
    proc = run_fresh(f"KINDS, NESTED = {kinds!r}, {NESTED!r}\n" + RACE)
    assert proc.returncode == 0, proc.stderr[-4000:]
    result = json.loads(proc.stdout)
    assert result == {"errors": [], "same": True, "tree": FULL_TREE}
