"""Union objects matched from many threads at once (tests/test_concurrency.py), with the
interpreter's lock off.

    shared_unions.py THREADS SECONDS

Every thread matches the same union objects (one of each variant, shared) and unions it makes
itself, with class patterns of every variant, and checks what each match binds and what each
union answers. Prints, as JSON: whether the lock stayed off, and per thread the number of
matches and the first wrong results.
"""

import json
import sys

from corvane.do_mod.packets import Request, Response
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse
from fresh import gil_enabled, in_parallel

THREADS, SECONDS = int(sys.argv[1]), float(sys.argv[2])

# (variant, record class, field, value, command code)
CASES = [
    (Request.GetDouts, GetDoutsRequest, None, None, 0),
    (Request.SetDouts, SetDoutsRequest, "bin_layout", 0xA5C3, 1),
    (Response.GetDouts, GetDoutsResponse, "bin_layout", 0x5A3C, 0),
    (Response.SetDouts, SetDoutsResponse, "success", 0xC3, 1),
]
SHARED = [
    variant(record(value) if field else record()) for variant, record, field, value, _ in CASES
]


def matched(union):
    """(the variant's name, the field value bound) by the first class pattern that matches."""
    match union:
        case Request.GetDouts(r):
            return "Request.GetDouts", type(r).__name__
        case Request.SetDouts(r):
            return "Request.SetDouts", r.bin_layout
        case Response.GetDouts(r):
            return "Response.GetDouts", r.bin_layout
        case Response.SetDouts(r):
            return "Response.SetDouts", r.success
    return None


EXPECTED = [
    ("Request.GetDouts", "GetDoutsRequest"),
    ("Request.SetDouts", 0xA5C3),
    ("Response.GetDouts", 0x5A3C),
    ("Response.SetDouts", 0xC3),
]


def match_all(me, running):
    matches, wrong = 0, []
    while running():
        own = [
            variant(record(**{field: value}) if field else record())
            for variant, record, field, value, _ in CASES
        ]
        for unions in (SHARED, own):
            for union, expected, (_, record, field, value, cmd) in zip(unions, EXPECTED, CASES):
                got = [
                    matched(union),
                    union.cmd(),
                    type(union[0]) is record,
                    [type(r) is record for r in union],
                ]
                matches += 1
                if got != [expected, cmd, True, [True]] and len(wrong) < 10:
                    wrong.append([expected[0], repr(got)])
    return {"matches": matches, "wrong": wrong}


results = in_parallel(match_all, THREADS, SECONDS)
print(json.dumps({"gil": gil_enabled(), "threads": results}))
