"""Resource release: every entry point, on success and on each error path, keeps nothing.

Each row runs one call thousands of times. A leak keeps at least one memory block
per call, and an object that never drops its class keeps one class reference per
call; both are unmistakable against a bound of a few dozen blocks and an exact
reference count for each of the ten classes.
"""

import contextlib
import gc
import sys

import pytest

from class_doubles import SubRequest
from conftest import allocated_growth
from corvane import get_do_request, set_do_request
from corvane.do_mod.packets import Request, Response
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse
from doubles import CausedTypeError, Idx, NoStr, Unprintable

pytestmark = pytest.mark.leaks

CLASSES = [
    Request,
    Response,
    GetDoutsRequest,
    SetDoutsRequest,
    GetDoutsResponse,
    SetDoutsResponse,
    Request.GetDouts,
    Request.SetDouts,
    Response.GetDouts,
    Response.SetDouts,
]


def builder_cases():
    g, s = "get_do_request", "set_do_request"
    yield g, None, lambda: get_do_request(3, 0x01020304)
    yield g + "(keywords)", None, lambda: get_do_request(id=7, addr=3)
    yield g + "(Idx)", None, lambda: get_do_request(Idx(3), Idx(7))
    yield s, None, lambda: set_do_request(0xA5C3, 7)
    yield s + "(keywords)", None, lambda: set_do_request(bin_state=1, id=7)
    # binding
    yield s + "()", TypeError, lambda: set_do_request()
    yield g + "(surplus)", TypeError, lambda: get_do_request(1, 2, 3)
    yield s + "(multiple)", TypeError, lambda: set_do_request(1, 2, id=3)
    yield g + "(unexpected)", TypeError, lambda: get_do_request(1, x=2)
    yield s + "(surrogate keyword)", TypeError, lambda: set_do_request(1, **{"\ud800": 2})
    yield g + "(unprintable keyword)", TypeError, lambda: get_do_request(1, **{Unprintable("k"): 2})
    # conversion: TypeError renamed, kept cause, text rendering, other errors passed through
    yield s + "(float)", TypeError, lambda: set_do_request(1.5, 1)
    yield g + "(str id)", TypeError, lambda: get_do_request(1, "x")
    yield s + "(__index__ non-int)", TypeError, lambda: set_do_request(Idx("5"), 1)
    yield g + "(__index__ TypeError)", TypeError, lambda: get_do_request(Idx(TypeError, "t"), 1)
    yield g + "(__index__ TypeError from)", TypeError, lambda: get_do_request(1, CausedTypeError())
    yield (
        s + "(__index__ unprintable)",
        TypeError,
        lambda: set_do_request(Idx(TypeError, NoStr()), 1),
    )
    yield s + "(__index__ ValueError)", ValueError, lambda: set_do_request(1, Idx(ValueError, "v"))
    # OverflowError: our range check and the interpreter's
    yield s + "(65536)", OverflowError, lambda: set_do_request(65536, 1)
    yield g + "(id -1)", OverflowError, lambda: get_do_request(1, -1)
    yield g + "(addr -1)", OverflowError, lambda: get_do_request(-1, 1)
    yield g + "(addr 2**64)", OverflowError, lambda: get_do_request(2**64, 1)
    yield s + "(2**80)", OverflowError, lambda: set_do_request(2**80, 1)


def record_cases(cls, f, largest):
    n, o = cls.__name__, cls(largest)  # the largest value reads back as a new int
    yield n, None, lambda: cls(3)
    yield f"{n}({f}=)", None, lambda: cls(**{f: 3})
    yield f"{n}(Idx)", None, lambda: cls(Idx(3))
    yield f"{n}()", TypeError, lambda: cls()
    yield f"{n}(surplus)", TypeError, lambda: cls(1, 2)
    yield f"{n}(multiple)", TypeError, lambda: cls(1, **{f: 2})
    yield f"{n}(unexpected)", TypeError, lambda: cls(x=1)
    yield f"{n}(float)", TypeError, lambda: cls(1.5)
    yield f"{n}(__index__ TypeError)", TypeError, lambda: cls(Idx(TypeError, "t"))
    yield f"{n}(__index__ ValueError)", ValueError, lambda: cls(Idx(ValueError, "v"))
    yield f"{n}(largest+1)", OverflowError, lambda: cls(largest + 1)
    yield f"{n}(2**64)", OverflowError, lambda: cls(2**64)
    yield f"{n}.{f}", None, lambda: getattr(o, f)
    yield f"{n}.{f}=", None, lambda: setattr(o, f, largest)
    yield f"{n}.{f}=str", TypeError, lambda: setattr(o, f, "x")
    yield f"{n}.{f}=__index__ TypeError", TypeError, lambda: setattr(o, f, Idx(TypeError, "t"))
    yield f"{n}.{f}=__index__ ValueError", ValueError, lambda: setattr(o, f, Idx(ValueError, "v"))
    yield f"{n}.{f}=-1", OverflowError, lambda: setattr(o, f, -1)
    yield f"{n}.{f}=2**64", OverflowError, lambda: setattr(o, f, 2**64)
    yield f"del {n}.{f}", AttributeError, lambda: delattr(o, f)
    yield f"{n}.nope", AttributeError, lambda: o.nope
    yield f"{n}.nope=", AttributeError, lambda: setattr(o, "nope", 1)


def empty_record_cases():
    n, o = "GetDoutsRequest", GetDoutsRequest()
    yield n, None, GetDoutsRequest
    yield n + "(1)", TypeError, lambda: GetDoutsRequest(1)
    yield n + "(unexpected)", TypeError, lambda: GetDoutsRequest(x=1)
    yield n + ".bin_layout", AttributeError, lambda: o.bin_layout
    yield n + ".nope=", AttributeError, lambda: setattr(o, "nope", 1)


def positional_match(obj, variant):
    match obj:
        case variant(r):
            return r


def keyword_match(obj, variant):
    match obj:
        case variant(_0=r):
            return r


def unpack(obj, count):
    if count == 1:
        (r,) = obj
        return r
    a, b = obj


def variant_cases(variant, rec, other):
    n, o = variant.__name__, variant(rec)
    union = Request if isinstance(o, Request) else Response
    stranger = (
        Response.SetDouts(SetDoutsResponse(1))
        if union is Request
        else Request.SetDouts(SetDoutsRequest(1))
    )
    yield n, None, lambda: variant(rec)
    yield f"{n}(_0=)", None, lambda: variant(_0=rec)
    yield f"{n}()", TypeError, lambda: variant()
    yield f"{n}(surplus)", TypeError, lambda: variant(rec, rec)
    yield f"{n}(multiple)", TypeError, lambda: variant(rec, _0=rec)
    yield f"{n}(unexpected)", TypeError, lambda: variant(x=rec)
    yield f"{n}(5)", TypeError, lambda: variant(5)
    yield f"{n}(_0=other record)", TypeError, lambda: variant(_0=other)
    yield f"{n}._0", None, lambda: o._0
    yield f"{n}._0=", AttributeError, lambda: setattr(o, "_0", rec)
    yield f"del {n}._0", AttributeError, lambda: delattr(o, "_0")
    yield f"{n}[0]", None, lambda: o[0]
    yield f"{n}[Idx(0)]", None, lambda: o[Idx(0)]
    yield f"{n}[1]", IndexError, lambda: o[1]
    yield f"{n}[-1]", OverflowError, lambda: o[-1]
    yield f"{n}['x']", TypeError, lambda: o["x"]
    yield f"{n}[__index__ ValueError]", ValueError, lambda: o[Idx(ValueError, "v")]
    yield f"list({n})", None, lambda: list(o)
    yield f"(r,) = {n}", None, lambda: unpack(o, 1)
    yield f"a, b = {n}", ValueError, lambda: unpack(o, 2)
    yield f"rec in {n}", None, lambda: rec in o
    yield f"len({n})", None, lambda: len(o)
    yield f"{n}.cmd()", None, lambda: o.cmd()
    yield f"{union.__name__}.cmd(other union)", TypeError, lambda: union.cmd(stranger)
    yield f"{n}.base_id()", None, lambda: o.base_id()
    yield f"match {n}(r)", None, lambda: positional_match(o, variant)
    yield f"match {n}(_0=r)", None, lambda: keyword_match(o, variant)


def union_cases():
    yield "Request()", TypeError, lambda: Request()
    yield "Response(1)", TypeError, lambda: Response(1)
    yield "Request(_0=)", TypeError, lambda: Request(_0=1)
    yield "SubRequest()", TypeError, lambda: SubRequest()
    yield "Request.base_id()", None, Request.base_id
    yield "Response.base_id()", None, Response.base_id


CASES = [
    pytest.param(call, exc, id=name)
    for group in [
        builder_cases(),
        record_cases(SetDoutsRequest, "bin_layout", 0xFFFF),
        record_cases(GetDoutsResponse, "bin_layout", 0xFFFF),
        record_cases(SetDoutsResponse, "success", 0xFF),
        empty_record_cases(),
        variant_cases(Request.GetDouts, GetDoutsRequest(), SetDoutsRequest(1)),
        variant_cases(Request.SetDouts, SetDoutsRequest(0xA5C3), GetDoutsRequest()),
        variant_cases(Response.GetDouts, GetDoutsResponse(0xA5C3), GetDoutsRequest()),
        variant_cases(Response.SetDouts, SetDoutsResponse(1), SetDoutsRequest(1)),
        union_cases(),
    ]
    for name, exc, call in group
]


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    """Keeps the suite's long-lived objects out of the many collections below: fast, same result."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.mark.parametrize("call, exc", CASES)
def test_no_leak(call, exc, monkeypatch):
    # Unprintable texts are reported to the unraisable hook; captured output would grow.
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    with pytest.raises(exc) if exc else contextlib.nullcontext() as info:
        call()
    assert exc is None or type(info.value) is exc  # the row takes the path it names

    def run():
        try:
            call()
        except exc or ():
            pass

    run()
    gc.collect()
    before = [sys.getrefcount(c) for c in CLASSES]
    growth = allocated_growth(run)
    after = [sys.getrefcount(c) for c in CLASSES]
    drift = {c.__name__: a - b for c, a, b in zip(CLASSES, after, before) if a != b}
    assert growth < 50 and not drift, f"{growth} blocks kept, class references gained {drift}"
