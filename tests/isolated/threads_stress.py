"""Many threads calling corvane at once (tests/test_concurrency.py).

    threads_stress.py THREADS SECONDS

Every thread makes every kind of call for SECONDS, checking each result; prints, as JSON, each
thread's counts and its first wrong results.
"""

import json
import random
import sys

from corvane import get_do_request, set_do_request
from corvane.do_mod.packets import Request, Response
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse
from doubles import OUT_OF_RANGE, Index
from fresh import in_parallel

THREADS, SECONDS = int(sys.argv[1]), float(sys.argv[2])
RECORDS = {"bin_layout": (SetDoutsRequest, GetDoutsResponse), "success": (SetDoutsResponse,)}
VARIANTS = [
    (Request.GetDouts, GetDoutsRequest, None, 0),
    (Request.SetDouts, SetDoutsRequest, "bin_layout", 1),
    (Response.GetDouts, GetDoutsResponse, "bin_layout", 0),
    (Response.SetDouts, SetDoutsResponse, "success", 1),
]
WIDTH = {"bin_layout": 16, "success": 8}
# Shared by every thread: union objects are immutable, the record is assigned by all of them.
SHARED = [
    variant(record(7)) if field else variant(record()) for variant, record, field, _ in VARIANTS
]
SHARED_RECORD = SetDoutsRequest(0)
SHARED_VALUES = {0} | {1000 + t for t in range(THREADS)}


def frame_get(addr, id):
    return bytes([(addr + 32) % 256]) + (5).to_bytes(4, "big") + b"\x00" + id.to_bytes(4, "big")


def frame_set(bin_state, id):
    return (
        b"\x20"
        + (7).to_bytes(4, "big")
        + b"\x01"
        + id.to_bytes(4, "big")
        + bin_state.to_bytes(2, "big")
    )


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
        return (
            union.cmd() == cmd
            and union.base_id() == 32
            and len(union) == 1
            and all(
                type(r) is record and field_of(r, field) == value
                for r in (union._0, union[0], union[Index(0)], *items)
            )
            and len(items) == 1
        )

    def shared_union():
        expected = 7 if field else None
        return (
            shared.cmd() == cmd
            and type(shared._0) is record
            and field_of(shared[0], field) == expected
            and raises(lambda: shared[1], IndexError, "tuple index out of range")
        )

    def record_fields():
        name = rng.choice(sorted(RECORDS))
        cls = rng.choice(RECORDS[name])
        v = rng.getrandbits(WIDTH[name])
        rec = cls(**{name: v})
        first = getattr(rec, name) == v
        setattr(rec, name, Index(v ^ 1))
        return (
            first
            and getattr(rec, name) == v ^ 1
            and raises(lambda: setattr(rec, name, 1 << WIDTH[name]), OverflowError, OUT_OF_RANGE)
            and getattr(rec, name) == v ^ 1
        )

    def shared_record():
        SHARED_RECORD.bin_layout = 1000 + me
        return SHARED_RECORD.bin_layout in SHARED_VALUES

    return [
        (
            "get_do_request",
            lambda: (
                get_do_request(addr, id) == frame_get(addr, id)
                and get_do_request(id=id, addr=Index(addr)) == frame_get(addr, id)
            ),
        ),
        (
            "set_do_request",
            lambda: (
                set_do_request(bits, id) == frame_set(bits, id)
                and set_do_request(bin_state=bits, id=id) == frame_set(bits, id)
            ),
        ),
        (
            "builder errors",
            lambda: (
                raises(lambda: set_do_request(65536 + bits, id), OverflowError, OUT_OF_RANGE)
                and raises(
                    lambda: get_do_request(1.5, id),
                    TypeError,
                    "argument 'addr': 'float' object cannot be interpreted as an integer",
                )
                and raises(
                    lambda: get_do_request(addr),
                    TypeError,
                    "get_do_request() missing 1 required positional argument: 'id'",
                )
            ),
        ),
        ("union round trip", union_round_trip),
        ("shared union", shared_union),
        (
            "variant errors",
            lambda: (
                raises(
                    lambda: variant(shared),
                    TypeError,
                    f"argument '_0': '{type(shared).__name__}' object cannot be converted to "
                    f"'{record.__name__}'",
                )
                and raises(lambda: Request(), TypeError, "No constructor defined for Request")
            ),
        ),
        ("record fields", record_fields),
        ("shared record", shared_record),
    ]


def worker(me, running):
    rng = random.Random(me)
    counts, wrong = {}, []
    while running():
        for name, check in operations(rng, me):
            try:
                ok = check()
            except BaseException as error:
                ok = f"{type(error).__name__}: {error}"
            counts[name] = counts.get(name, 0) + 1
            if ok is not True and len(wrong) < 10:
                wrong.append([name, repr(ok)])
    return {"counts": counts, "wrong": wrong}


sys.setswitchinterval(1e-6)
results = in_parallel(worker, THREADS, SECONDS)
print(json.dumps(dict(enumerate(results))))
