"""Argument binding, integer conversion errors and failure reporting of the builders.

Binding refuses a wrong argument list before any argument is converted; a
conversion failing with exactly TypeError is renamed after its parameter,
every other failure reaches the caller as the very same object.  Failures of
corvane's own code surface as corvane_runtime.PanicException; those paths need
memory-failure injection and look at stderr, so they run in a fresh interpreter.
"""

import contextlib
import json
import operator
import signal
import sys

import pytest

import corvane
from conftest import run_isolated
from doubles import (
    INDEX_CALLS,
    OUT_OF_RANGE,
    Idx,
    NoStr,
    Raiser,
    ShownKey,
    SubTypeError,
    Unprintable,
    missing,
    multiple,
    surplus,
    unexpected,
)

get_do_request = corvane.get_do_request
set_do_request = corvane.set_do_request

NOT_INT = "'{}' object cannot be interpreted as an integer"
FFFD3 = "\ufffd" * 3  # a lone surrogate, UTF-8 encoded with surrogatepass, decoded with replacement


def index_refusal(obj):
    """The interpreter's own message for an __index__ that returns a non-int (its wording
    changes between versions, and corvane passes it through)."""
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return str(info.value)


G, S = "get_do_request", "set_do_request"
BUILDERS = {G: get_do_request, S: set_do_request}

BINDING_ERRORS = [
    (G, (), {}, missing(G, ["addr", "id"])),
    (S, (), {}, missing(S, ["bin_state", "id"])),
    (G, (1,), {}, missing(G, ["id"])),
    (G, (), {"id": 1}, missing(G, ["addr"])),
    (G, (), {"addr": 1}, missing(G, ["id"])),
    (S, (1,), {}, missing(S, ["id"])),
    (S, (), {"id": 1}, missing(S, ["bin_state"])),
    (G, (1, 2, 3), {}, surplus(G, 2, 3)),
    (S, (1, 2, 3, 4), {}, surplus(S, 2, 4)),
    # surplus positionals are reported before any keyword is looked at
    (S, (1, 2, 3), {"id": 3}, surplus(S, 2, 3)),
    (G, (1, 2, 3), {"x": 1}, surplus(G, 2, 3)),
    (S, (1, 2), {"id": 3}, multiple(S, "id")),
    (G, (1,), {"addr": 2}, multiple(G, "addr")),
    (G, (1, 2), {"addr": 3, "id": 4}, multiple(G, "addr")),
    (S, (1,), {"bin_state": 2}, multiple(S, "bin_state")),
    # the first failing keyword ends binding; unexpected wins over missing
    (G, (1,), {"addr": 2, "x": 3}, multiple(G, "addr")),
    (G, (1,), {"x": 3, "addr": 2}, unexpected(G, "x")),
    (G, (1,), {"x": 1, "y": 2}, unexpected(G, "x")),
    (G, (1,), {"y": 2, "x": 1}, unexpected(G, "y")),
    (G, (), {"x": 1}, unexpected(G, "x")),
    (S, (), {"bin_state": 1, "id": 2, "bin": 3}, unexpected(S, "bin")),
    # names match exactly, byte for byte, whole length
    (G, (1, 2), {"Id": 3}, unexpected(G, "Id")),
    (G, (1,), {"ID": 3}, unexpected(G, "ID")),
    (G, (), {"ADDR": 1, "id": 2}, unexpected(G, "ADDR")),
    (G, (1,), {"i": 2}, unexpected(G, "i")),
    (G, (1,), {"idx": 2}, unexpected(G, "idx")),
    (G, (1,), {"id\x00": 2}, unexpected(G, "id\x00")),
    (S, (1,), {"bin_stat": 2}, unexpected(S, "bin_stat")),
    (G, (1,), {"\u00efd": 2}, unexpected(G, "\u00efd")),
    # a keyword with no UTF-8 form names no parameter; its text is repaired
    (G, (1, 2), {"\ud800": 3}, unexpected(G, FFFD3)),
    (S, (), {"i\udcffd": 1}, unexpected(S, f"i{FFFD3}d")),
]


@pytest.mark.parametrize("fn, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(fn, args, kwargs, message):
    spy = Idx(1)  # counts __index__ calls: binding must fail before any conversion
    INDEX_CALLS[0] = 0
    with pytest.raises(TypeError) as info:
        BUILDERS[fn](*[spy for _ in args], **{k: spy for k in kwargs})
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert INDEX_CALLS[0] == 0


@contextlib.contextmanager
def unraisable_hook():
    """Collects what reaches sys.unraisablehook inside the block."""
    seen, saved = [], sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = saved


def test_unexpected_keyword_is_rendered_with_str():
    with pytest.raises(
        TypeError, match=r"^get_do_request\(\) got an unexpected keyword argument 'shown'$"
    ):
        get_do_request(1, **{ShownKey("zz", "shown"): 2})


def test_unprintable_unexpected_keyword():
    key = Unprintable("zz")
    with unraisable_hook() as unraisable, pytest.raises(TypeError) as info:
        get_do_request(1, **{key: 2})
    assert str(info.value) == unexpected(G, "<unprintable Unprintable object>")
    assert [(u.exc_type, str(u.exc_value), u.object) for u in unraisable] == [
        (RuntimeError, "no str", key)
    ]


def test_matched_keyword_uses_its_text_not_str():
    # the multiple-values message and a successful match never call str()
    with unraisable_hook() as unraisable:
        with pytest.raises(TypeError) as info:
            get_do_request(1, 2, **{Unprintable("id"): 3})
        frame = get_do_request(3, **{Unprintable("id"): 0x01020304})
    assert str(info.value) == multiple(G, "id")
    assert frame == get_do_request(3, 0x01020304)
    assert unraisable == []


CONVERSION_ERRORS = [
    (S, (1.5, 1), TypeError, "argument 'bin_state': " + NOT_INT.format("float")),
    (S, (1.5, "x"), TypeError, "argument 'bin_state': " + NOT_INT.format("float")),
    (S, ("x", 1), TypeError, "argument 'bin_state': " + NOT_INT.format("str")),
    (S, (None, 1), TypeError, "argument 'bin_state': " + NOT_INT.format("NoneType")),
    (S, (1, 1.5), TypeError, "argument 'id': " + NOT_INT.format("float")),
    (S, (Idx("5"), 1), TypeError, "argument 'bin_state': " + index_refusal(Idx("5"))),
    (G, (1.5, 1), TypeError, "argument 'addr': " + NOT_INT.format("float")),
    (G, (None, None), TypeError, "argument 'addr': " + NOT_INT.format("NoneType")),
    (G, ("3", 1), TypeError, "argument 'addr': " + NOT_INT.format("str")),
    (G, (Idx(1.0), 1), TypeError, "argument 'addr': " + index_refusal(Idx(1.0))),
    (G, (1, None), TypeError, "argument 'id': " + NOT_INT.format("NoneType")),
    (G, (1, b"\x01"), TypeError, "argument 'id': " + NOT_INT.format("bytes")),
    # narrow members: our own message inside the signed 64-bit range ...
    (S, (65536, 1), OverflowError, OUT_OF_RANGE),
    (S, (-1, 1), OverflowError, OUT_OF_RANGE),
    (S, (Idx(-1), 1), OverflowError, OUT_OF_RANGE),
    (S, (1, 2**32), OverflowError, OUT_OF_RANGE),
    (G, (1, 2**32), OverflowError, OUT_OF_RANGE),
    (G, (1, -1), OverflowError, OUT_OF_RANGE),
    (G, (1, -(2**31)), OverflowError, OUT_OF_RANGE),
    (G, (1, -(2**31) - 1), OverflowError, OUT_OF_RANGE),
    (S, (1, -(2**31)), OverflowError, OUT_OF_RANGE),
    (G, (1, -(2**63)), OverflowError, OUT_OF_RANGE),
    (G, (1, 2**63 - 1), OverflowError, OUT_OF_RANGE),
    # ... the interpreter's beyond it
    (G, (1, 2**63), OverflowError, "Python int too large to convert to C long"),
    (G, (1, -(2**63) - 1), OverflowError, "Python int too large to convert to C long"),
    (S, (2**64, 1), OverflowError, "Python int too large to convert to C long"),
    # the 64-bit member only has the interpreter's messages; no parameter name
    (G, (-1, 1), OverflowError, "can't convert negative int to unsigned"),
    (G, (-1, "x"), OverflowError, "can't convert negative int to unsigned"),
    (G, (Idx(-1), 1), OverflowError, "can't convert negative int to unsigned"),
    (G, (2**64, 1), OverflowError, "int too big to convert"),
    (G, (Idx(2**64), 1.5), OverflowError, "int too big to convert"),
]


@pytest.mark.parametrize("fn, args, exc_type, message", CONVERSION_ERRORS)
def test_conversion_errors(fn, args, exc_type, message):
    with pytest.raises(exc_type) as info:
        BUILDERS[fn](*args)
    assert type(info.value) is exc_type
    assert str(info.value) == message


PARAMETERS = [(G, 0, "addr"), (G, 1, "id"), (S, 0, "bin_state"), (S, 1, "id")]


def call_with(fn, position, bad):
    args = [1, 1]
    args[position] = bad
    return BUILDERS[fn](*args)


@pytest.mark.parametrize("fn, position, name", PARAMETERS)
def test_plain_type_error_is_renamed_without_cause(fn, position, name):
    with pytest.raises(TypeError) as info:
        call_with(fn, position, 1.5)
    err = info.value
    assert str(err) == f"argument '{name}': " + NOT_INT.format("float")
    assert err.__cause__ is None and err.__suppress_context__ is True
    assert err.__context__ is None  # the replaced exception is not attached


@pytest.mark.parametrize("fn, position, name", PARAMETERS)
def test_explicit_cause_of_type_error_is_kept(fn, position, name):
    cause = KeyError("root")
    try:
        raise TypeError("nope") from cause
    except TypeError as exc:
        raised = exc
    with pytest.raises(TypeError) as info:
        call_with(fn, position, Raiser(raised))
    err = info.value
    assert type(err) is TypeError and err is not raised
    assert str(err) == f"argument '{name}': nope"
    assert err.__cause__ is cause and err.__suppress_context__ is True


@pytest.mark.parametrize("fn, position, name", PARAMETERS)
@pytest.mark.parametrize("exc", [SubTypeError("sub"), ValueError("value"), OverflowError("over")])
def test_other_errors_pass_through_as_same_object(fn, position, name, exc):
    with pytest.raises(type(exc)) as info:
        call_with(fn, position, Raiser(exc))
    assert info.value is exc
    assert str(info.value) == exc.args[0]


@pytest.mark.parametrize("fn, position, name", PARAMETERS)
@pytest.mark.parametrize(
    "raised, text",
    [
        (TypeError("a", 2), "('a', 2)"),
        (TypeError("bad\ud800"), "bad" + FFFD3),
        (TypeError(NoStr()), "<unprintable TypeError object>"),
    ],
)
def test_type_error_text_is_rendered(fn, position, name, raised, text):
    with unraisable_hook() as unraisable, pytest.raises(TypeError) as info:
        call_with(fn, position, Raiser(raised))
    assert str(info.value) == f"argument '{name}': {text}"
    if isinstance(raised.args[0], NoStr):
        assert [(u.exc_type, u.object) for u in unraisable] == [(RuntimeError, raised)]
    else:
        assert unraisable == []


@pytest.mark.parametrize("fn, first", [(G, 1.5), (G, -1), (S, 1.5), (S, 2**16)])
def test_second_parameter_is_not_converted_after_first_fails(fn, first):
    INDEX_CALLS[0] = 0
    with pytest.raises((TypeError, OverflowError)):
        BUILDERS[fn](first, Idx(1))
    assert INDEX_CALLS[0] == 0


# --- PanicException -----------------------------------------------------------

BANNER = [
    "--- corvane is resuming a panic after fetching a PanicException from Python. ---",
    "Python stack trace below:",
]


def run_checked(scenario, *args):
    result = run_isolated("panic.py", scenario, *map(str, args))
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), result.stderr


@pytest.mark.isolated
def test_panic_from_failed_allocation():
    facts, stderr = run_checked("from_allocation")

    assert facts == {
        "module": "corvane_runtime",
        "name": "PanicException",
        "bases": ["BaseException"],
        "base_exception": True,
        "exception": False,
        "args": ["Python API call failed"],
        "args_tuple": True,
        "str": "Python API call failed",
        "same_type": True,
        "exposed": [],
        "runtime_module": False,
        "works_after": "23000000050001020304",
    }
    section = stderr.split("@@begin\n", 1)[1].split("@@end\n", 1)[0]
    assert "MemoryError" in section  # the interpreter's error is printed first
    assert "Python API call failed" in section


# The PanicException __index__ raises (made in isolated/panic.py) and its expected text.
PANIC_TEXTS = [
    ("text", "boom"),  # PanicException("boom")
    ("two-args", "('a', 2)"),  # PanicException("a", 2)
    ("lone-surrogate", "x" + FFFD3),  # PanicException("x\ud800")
    ("unprintable", "Unwrapped panic from Python code"),  # PanicException(NoStr())
]


@pytest.mark.isolated
@pytest.mark.parametrize("fn, position, name", PARAMETERS)
@pytest.mark.parametrize("construct, text", PANIC_TEXTS)
def test_panic_raised_by_index_is_resumed(fn, position, name, construct, text):
    facts, stderr = run_checked("resumed", fn, position, construct)

    assert facts == {"type": True, "new": True, "str": text, "args": [text], "args_tuple": True}
    lines = stderr.split("@@begin\n", 1)[1].split("@@end\n", 1)[0].splitlines()
    start = lines.index(BANNER[0])
    assert lines[start + 1] == BANNER[1]
    trace = lines[start + 2 :]
    assert trace[0] == "Traceback (most recent call last):"
    assert any("in __index__" in line for line in trace)
    assert trace[-1].startswith("corvane_runtime.PanicException")


@pytest.mark.isolated
def test_panic_subclass_passes_through_unchanged():
    facts, stderr = run_checked("subclass_passes")

    assert facts == {"same": True}
    assert BANNER[0] not in stderr.split("@@begin\n", 1)[1]


@pytest.mark.isolated
def test_panic_that_cannot_be_raised_aborts():
    # With every allocation failing before the PanicException type exists,
    # the failure cannot be handed to the interpreter: the process aborts.
    result = run_isolated("panic.py", "abort")

    assert result.returncode == -signal.SIGABRT, result.stderr
    assert "uncaught panic at ffi boundary" in result.stderr
