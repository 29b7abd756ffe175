"""Hostile but legal callers: Python code that changes what it hands over while corvane uses
it, swaps classes, replaces __new__, re-enters the first import, or meets a failed allocation
with an awkward text. Nothing of it may crash the process, surface an internal failure or cut
a text. Whatever can crash, or changes process-wide state, runs in a fresh interpreter.
"""

import ctypes
import json
import os
import sys
import sysconfig

import pytest

from class_doubles import SubRequest
from conftest import run_isolated
from corvane import get_do_request, set_do_request
from corvane.do_mod.packets import Request, Response
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse
from doubles import OUT_OF_RANGE, NoStr, Raiser, ReRaise, ShownKey, c_api, context_names
from test_boundary_model import PANIC


def isolated_json(script, *args, env=None):
    proc = run_isolated(script, *args, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


# --- objects taken from a caller's dict are held while Python code runs ----------------------

# A freed key or value must crash rather than go unnoticed: the allocator's debug hooks fill
# freed memory (over the C allocator, which a sanitizer watches too; a free-threaded interpreter
# accepts the hooks only over its own allocator).
DEBUG_MALLOC = {
    **os.environ,
    "PYTHONMALLOC": "debug" if sysconfig.get_config_var("Py_GIL_DISABLED") else "malloc_debug",
}
GONE = [["RuntimeError", "gone", "ClearingKey"]]

KEYWORDS_HELD = [
    (
        "key str clears dict",
        [
            "TypeError",
            "Request_SetDouts.__new__() got an unexpected keyword argument "
            "'<unprintable ClearingKey object>'",
        ],
        GONE,
    ),
    (
        "hook clears dict",
        [
            "TypeError",
            "SetDoutsRequest.__new__() got an unexpected keyword argument "
            "'<unprintable FailingKey object>'",
        ],
        [["RuntimeError", "no str", "FailingKey"]],
    ),
    (
        "key str grows dict",
        ["TypeError", "GetDoutsRequest.__new__() got an unexpected keyword argument 'grown'"],
        [],
    ),
    ("index clears dict", ["SetDoutsResponse", 7], []),
    ("ctrl-c in key str clears dict", ["KeyboardInterrupt", ""], []),
    (
        "key str clears dict in a thread",
        None,
        GONE
        + [
            [
                "TypeError",
                "GetDoutsRequest.__new__() got an unexpected keyword argument "
                "'<unprintable ClearingKey object>'",
                None,
            ]
        ],
    ),
]


@pytest.mark.parametrize(
    "case, value, unraisable", KEYWORDS_HELD, ids=[case for case, *_ in KEYWORDS_HELD]
)
def test_keywords_stay_alive_while_python_code_runs(case, value, unraisable):
    assert isolated_json("hostile_keywords.py", case, env=DEBUG_MALLOC) == {
        "value": value,
        "unraisable": unraisable,
    }


# --- a stop request raised while corvane renders an object ends the call ----------------------


class Halt(BaseException):
    """A stop request of a script's own: not an Exception either."""


def reraised_by_panic_text(stop):
    """The panic's str() re-raises the stop request being handled, which has a context."""
    try:
        try:
            raise LookupError("earlier")
        except LookupError:
            raise stop
    except BaseException:
        set_do_request(Raiser(PANIC(ReRaise())), 1)


# rendering: (call, the names along the stop request's __context__ chain after its own)
RENDERINGS = {
    "function keyword": (lambda stop: get_do_request(1, 2, **{ShownKey("port", stop): 1}), []),
    "class keyword": (lambda stop: SetDoutsRequest(**{ShownKey("x", stop): 1}), []),
    "TypeError text": (lambda stop: set_do_request(Raiser(TypeError(NoStr(stop))), 1), []),
}
if PANIC is not None:
    RENDERINGS["panic text"] = (
        lambda stop: SetDoutsResponse(Raiser(PANIC(NoStr(stop)))),
        ["PanicException"],
    )
    RENDERINGS["panic text re-raising"] = (
        reraised_by_panic_text,
        ["PanicException", "LookupError"],
    )
STOPS = [KeyboardInterrupt, SystemExit, GeneratorExit, Halt]


@pytest.mark.parametrize("stop", STOPS)
@pytest.mark.parametrize("rendering", RENDERINGS)
def test_stop_request_while_rendering_propagates_in_place_of_the_error(rendering, stop):
    request, unraisable, hook = stop("stop"), [], sys.unraisablehook
    call, context = RENDERINGS[rendering]
    sys.unraisablehook = unraisable.append
    try:
        with pytest.raises(BaseException) as raised:
            call(request)
    finally:
        sys.unraisablehook = hook
    assert (raised.value, unraisable) == (request, [])
    assert context_names(request) == [stop.__name__, *context]


# A signal handler's exception (a deadline's) due when corvane calls str() for a message is the
# caller's too, with the exception being rendered as its context where that is an error being
# handled, as when the interpreter runs the handler while handling that exception (an exception
# that is only a keyword is none); it never goes to the unraisable hook. Fresh interpreters: the
# handler is process-wide. (rendering in tests/isolated/signal_in_str.py, context)
SIGNALLED_RENDERINGS = [
    ("TypeError text", ["Deadline", "TypeError"]),
    ("exception as keyword", ["Deadline"]),
]
if PANIC is not None:
    SIGNALLED_RENDERINGS.append(("panic text", ["Deadline", "PanicException"]))


@pytest.mark.isolated
@pytest.mark.parametrize(
    "rendering, context", SIGNALLED_RENDERINGS, ids=[r for r, _ in SIGNALLED_RENDERINGS]
)
def test_signal_handler_exception_while_rendering_reaches_the_caller(rendering, context):
    assert isolated_json("signal_in_str.py", rendering) == {
        "raised": ["Deadline", "deadline passed"],
        "context": context,
        "unraisable": [],
    }


# --- a call made when the C heap has run out raises, and never ends the process --------------

MEMORY_ERROR = ["MemoryError", ""]
WRAPPED = "argument 'bin_state': 'float' object cannot be interpreted as an integer"
MISMATCH = "argument '_0': 'int' object cannot be converted to 'GetDoutsRequest'"
# (scenario of tests/isolated/exhausted_heap.py, what the call may raise: the error itself, or a
# MemoryError where the interpreter could not make it)
EXHAUSTED_HEAP = [
    ("type mismatch", [["TypeError", MISMATCH], MEMORY_ERROR]),
    ("thread: overflow", [["OverflowError", OUT_OF_RANGE], MEMORY_ERROR]),
    ("thread: wrapped TypeError", [["TypeError", WRAPPED], MEMORY_ERROR]),
    ("thread: type mismatch", [["TypeError", MISMATCH], MEMORY_ERROR]),
]
if PANIC is not None:
    # The panic keeps its text: it travels to the guard in the str it came in. A panic whose
    # tuple cannot be made says so.
    EXHAUSTED_HEAP.append(
        (
            "resumed panic",
            [
                ["PanicException", "a panic message longer than the 22 bytes of a short string"],
                ["PanicException", "Python API call failed"],
                MEMORY_ERROR,
            ],
        )
    )


@pytest.mark.isolated
@pytest.mark.parametrize("scenario, allowed", EXHAUSTED_HEAP, ids=[s for s, _ in EXHAUSTED_HEAP])
def test_a_call_on_an_exhausted_heap_raises_its_error_or_a_memory_error(scenario, allowed):
    outcome = isolated_json("exhausted_heap.py", scenario)
    if outcome == "not exhausted":
        pytest.skip("the address-space limit does not hold here (qemu-user)")
    assert outcome in allowed


# --- an object's class and its tag never disagree -------------------------------------------

CLASS_SWAPS = [
    (lambda: Request.SetDouts(SetDoutsRequest(5)), Request.GetDouts),
    (lambda: Request.SetDouts(SetDoutsRequest(5)), Request),
    (lambda: Request.GetDouts(GetDoutsRequest()), Request.SetDouts),
    (lambda: Request.GetDouts(GetDoutsRequest()), SubRequest),
    (lambda: Response.GetDouts(GetDoutsResponse(9)), Response.SetDouts),
    (lambda: Response.SetDouts(SetDoutsResponse(1)), Response),
]


@pytest.mark.parametrize(
    "make, target", CLASS_SWAPS, ids=[f"{i}-{t.__name__}" for i, (_, t) in enumerate(CLASS_SWAPS)]
)
def test_class_assignment_between_unions_is_refused(make, target):
    obj = make()
    before = (
        type(obj),
        obj.cmd(),
        vars(type(obj._0)),
        getattr(obj._0, "bin_layout", None),
        getattr(obj._0, "success", None),
    )
    with pytest.raises(TypeError, match="^__class__ assignment: "):  # the interpreter's words
        obj.__class__ = target
    assert (
        type(obj),
        obj.cmd(),
        vars(type(obj._0)),
        getattr(obj._0, "bin_layout", None),
        getattr(obj._0, "success", None),
    ) == before


# Objects made by object.__new__ once __new__ is replaced: reads are refused, never a panic.
UNCONSTRUCTED = {
    "Request_GetDouts": "'Request_GetDouts' object was not initialized by its constructor",
    "Request_SetDouts": "'Request_SetDouts' object was not initialized by its constructor",
    "Response_GetDouts": "'Response_GetDouts' object was not initialized by its constructor",
    "Response_SetDouts": "'Response_SetDouts' object was not initialized by its constructor",
    "SubRequest": "'SubRequest' object was not initialized by its constructor",
}
REFUSED = object()
VARIANT_READS = {
    "_0": REFUSED,
    "[0]": REFUSED,
    "iter": REFUSED,
    "match": REFUSED,
    "cmd": REFUSED,
    "[1]": ["IndexError", "tuple index out of range"],
    "len": ["int", "1"],
}


@pytest.fixture(scope="module")
def unconstructed():
    return isolated_json("hostile_unconstructed.py")


@pytest.mark.parametrize("name, refusal", UNCONSTRUCTED.items(), ids=list(UNCONSTRUCTED))
def test_unconstructed_union_object_reads_are_refused(unconstructed, name, refusal):
    outcomes = unconstructed[name]
    refused = ["TypeError", refusal]
    if name == "SubRequest":  # a plain subclass only has cmd(); the rest is the interpreter's
        assert outcomes["cmd"] == refused
        assert all(kind != "PanicException" for kind, _ in outcomes.values())
    else:
        assert outcomes == {
            read: refused if want is REFUSED else want for read, want in VARIANT_READS.items()
        }


# --- every text crosses the boundary whole ----------------------------------------------------

# A class gets its keywords in a dict, which rules out a surrogate only in a Python call.
OBJECT_CALL = c_api(
    "PyObject_Call", ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_void_p
)


class AwkwardlyNamed:
    pass


AwkwardlyNamed.__qualname__ = "Ünï\x00cødé"
AwkwardSub = type("Sübé", (Request,), {})  # a class name can hold no NUL
KEYWORD, UNENCODABLE_KEYWORD = {"a\x00b": 1}, {"x\x00\ud800é": 1}

TEXTS = [
    (
        lambda: GetDoutsRequest(**KEYWORD),
        TypeError,
        "GetDoutsRequest.__new__() got an unexpected keyword argument 'a\x00b'",
    ),
    (
        lambda: OBJECT_CALL(SetDoutsResponse, (), id(UNENCODABLE_KEYWORD)),
        TypeError,
        "SetDoutsResponse.__new__() got an unexpected keyword argument 'x\x00\ufffd\ufffd\ufffdé'",
    ),
    (
        lambda: Request.GetDouts(AwkwardlyNamed()),
        TypeError,
        "argument '_0': 'Ünï\x00cødé' object cannot be converted to 'GetDoutsRequest'",
    ),
    (
        lambda: SetDoutsRequest(Raiser(TypeError("a\x00\ud800b"))),
        TypeError,
        "argument 'bin_layout': a\x00\ufffd\ufffd\ufffdb",
    ),
    (AwkwardSub, TypeError, "No constructor defined for Sübé"),
]


class ShownOtherwise(str):
    def __str__(self):
        return "not the text"


class StrSubclassText:
    def __str__(self):
        return ShownOtherwise("the text")


if PANIC is not None:
    TEXTS.append(
        (lambda: SetDoutsResponse(Raiser(PANIC("a\x00b\ud800"))), PANIC, "a\x00b\ufffd\ufffd\ufffd")
    )
    # A panic whose str() is a str subclass: the text is its characters, not its own str().
    TEXTS.append((lambda: SetDoutsResponse(Raiser(PANIC(StrSubclassText()))), PANIC, "the text"))


@pytest.mark.parametrize("call, kind, text", TEXTS, ids=[repr(t) for *_, t in TEXTS])
def test_texts_keep_their_nul_and_everything_after_it(call, kind, text):
    with pytest.raises(BaseException) as raised:
        call()
    assert (type(raised.value), str(raised.value)) == (kind, text)


# --- whichever way a build ends, sys.modules holds the stored tree's modules ---------------

# (mode, the positions tried, what the other build gave, what the first import raised: the names
# along its __context__ chain)
MEETINGS = [
    ("reenter", "1234", "same", None),
    ("reenter fails", "1234", "Boom", None),
    ("outer fails", "123", "same", ["Boom"]),
    ("restore stopped", "123", "same", ["KeyboardInterrupt", "Boom"]),
    ("racer wins", "1234", "same", None),
    ("racer fails", "1234", "Boom", None),
    ("racer loses", "1", "same", None),
    ("racer outlasts", "123", "same", ["Boom"]),
]
FIRST_IMPORTS = [
    (mode, position, other, first)
    for mode, positions, other, first in MEETINGS
    for position in positions
]


@pytest.mark.parametrize("mode, position, other, first", FIRST_IMPORTS)
def test_first_import_met_half_way_registers_the_modules_reached_through_corvane(
    mode, position, other, first
):
    registered = dict.fromkeys(
        [
            "corvane.do_mod.packets.get_do",
            "corvane.do_mod.packets.set_do",
            "corvane.do_mod.packets",
            "corvane.do_mod",
        ],
        True,
    )
    assert isolated_json("hostile_import.py", mode, position) == {
        "registered": registered,
        "other": other,
        "first": first,
    }


# --- a first load at the C recursion limit raises, and a later one succeeds ------------------


# Where the limit is met (before or inside the build, or not at all) depends on the version;
# what may never happen is the abort the PanicException type's creation there once caused.
@pytest.mark.parametrize("mode", ["load", "load-with-hook"])
def test_first_load_at_the_recursion_limit_raises_and_a_later_one_succeeds(mode):
    outcome = isolated_json("at_recursion_limit.py", mode, env=DEBUG_MALLOC)
    assert set(outcome.pop("raised")) <= {"RecursionError"}
    assert outcome == {"works": "23000000050001020304", "registered": True}


# --- a failed allocation meets an awkward text ------------------------------------------------

# Run as tests/test_alloc_failure.py runs its entries (each allocation of the call failed in
# turn), with texts that take the rarer paths: lone surrogates, NUL, non-ASCII, str() failing.
# Setups define their doubles once, in the sweep's own interpreter.
AWKWARD_DOUBLES = r"""
if "AwkwardTypeError" not in globals():
    class AwkwardTypeError:
        def __index__(self):
            raise TypeError("a\x00\ud800é")
    class AwkwardPanic:
        def __index__(self):
            raise PanicType("p\x00\ud800é")
    class AwkwardlyNamed:
        pass
    AwkwardlyNamed.__qualname__ = "Ünï\x00cødé"
    AwkwardSub = type("Sübé", (Request,), {})
    SURROGATE_KW, NON_ASCII_KW = {"\ud800x": 3}, {"bïn_layout": 3}
    UNPRINTABLE_SURROGATE_KW = {Unprintable("\ud800"): 1}
"""
AWKWARD_ALLOCATIONS = [
    ("surrogate keyword", AWKWARD_DOUBLES, "get_do_request(1, 2, **SURROGATE_KW)", "0"),
    ("non-ASCII keyword", AWKWARD_DOUBLES, "SetDoutsRequest(**NON_ASCII_KW)", "0"),
    (
        "unprintable surrogate keyword",
        AWKWARD_DOUBLES,
        "Request.GetDouts(**UNPRINTABLE_SURROGATE_KW)",
        "0",
    ),
    ("awkward TypeError text", AWKWARD_DOUBLES, "set_do_request(1, AwkwardTypeError())", "0"),
    ("awkward qualname", AWKWARD_DOUBLES, "Request.GetDouts(AwkwardlyNamed())", "0"),
    ("non-ASCII class name", AWKWARD_DOUBLES, "AwkwardSub()", "0"),
    ("awkward panic text", AWKWARD_DOUBLES, "SetDoutsResponse(AwkwardPanic())", "0", True),
]
# Fallbacks the design gives a name it cannot have: the allocation failed may be the one
# needed to encode it.
AWKWARD_FALLBACKS = {
    "awkward qualname": [
        [
            "TypeError",
            "argument '_0': '<failed to extract type name>' object "
            "cannot be converted to 'GetDoutsRequest'",
        ]
    ],
    "non-ASCII class name": [["TypeError", "No constructor defined for <unknown>"]],
    "awkward panic text": [["corvane_runtime.PanicException", "Unwrapped panic from Python code"]],
}


def test_allocation_failures_with_awkward_texts_are_reported_cleanly(monkeypatch):
    import test_alloc_failure as alloc_failure

    alloc_failure.skip_where_the_interpreter_aborts()

    for name, outcomes in AWKWARD_FALLBACKS.items():
        monkeypatch.setitem(alloc_failure.EXTRA_OUTCOMES, name, outcomes)
    aborted = alloc_failure.sweep(AWKWARD_ALLOCATIONS)
    assert not any(aborted.values()), aborted
