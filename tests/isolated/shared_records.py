"""Threads writing shared records while others read them, wrap them in unions and build frames
from them (tests/test_concurrency.py), with the interpreter's lock off.

    shared_records.py THREADS SECONDS

Half the threads assign the shared records' fields, alternating two values whose bytes differ
in both halves, so that a mix of the two is neither; the others read every field, wrap each
record in its variant and build a frame from what they read, and check every value and every
frame. Prints, as JSON: whether the lock stayed off, and per thread the number of checks and the
first wrong results.
"""

import json
import sys

from corvane import set_do_request
from corvane.do_mod.packets import Request, Response
from corvane.do_mod.packets.get_do import GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse
from doubles import Index
from fresh import gil_enabled, in_parallel

THREADS, SECONDS = int(sys.argv[1]), float(sys.argv[2])
VALUES = {"bin_layout": (0x12CD, 0xED32), "success": (0x1E, 0xE1)}
SHARED = [
    (SetDoutsRequest(VALUES["bin_layout"][0]), "bin_layout", Request.SetDouts),
    (GetDoutsResponse(VALUES["bin_layout"][0]), "bin_layout", Response.GetDouts),
    (SetDoutsResponse(VALUES["success"][0]), "success", Response.SetDouts),
]


def frame(bin_state, id):
    return bytes.fromhex(f"2000000007 01 {id:08x} {bin_state:04x}")


def write(me, running):
    writes = 0
    while running():
        for record, field, _ in SHARED:
            first, second = VALUES[field]
            setattr(record, field, first)
            setattr(record, field, Index(second))  # converted by Python code, then stored
            writes += 2
    return {"checks": writes, "wrong": []}


def read(me, running):
    checks, wrong = 0, []

    def check(what, ok):
        nonlocal checks
        checks += 1
        if not ok and len(wrong) < 10:
            wrong.append(what)

    id = 0x01020300 + me
    while running():
        for record, field, variant in SHARED:
            value = getattr(record, field)
            check(["field", field, value], value in VALUES[field])
            union = variant(record)
            carried = getattr(union._0, field)
            check(["union", field, carried], carried in VALUES[field])
            match union:
                case Request.SetDouts(r) | Response.GetDouts(r) | Response.SetDouts(r):
                    matched = getattr(r, field)
                case _:
                    matched = None
            check(["match", field, matched], matched == carried)
            if field == "bin_layout":
                built = set_do_request(value, id)
                check(["frame", built.hex()], built == frame(value, id) and value in VALUES[field])
                built = set_do_request(carried, id)
                check(["frame of union", built.hex()], built == frame(carried, id))
    return {"checks": checks, "wrong": wrong}


results = in_parallel(
    lambda me, running: (write if me % 2 else read)(me, running), THREADS, SECONDS
)
print(json.dumps({"gil": gil_enabled(), "threads": results}))
