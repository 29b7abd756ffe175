"""Request frames produced by corvane.get_do_request and corvane.set_do_request.

The frame is header byte ((addr + 32) mod 256), a big-endian 32-bit payload
length, then the payload: command code, big-endian 32-bit id and, for SetDouts
only, the big-endian 16-bit bin_layout.  The property test checks the builders
against an independent model: `struct` for the bytes and the interpreter's own
C conversions (through ctypes) for the errors that are not ours.
"""

import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane
from doubles import AS_INT64, AS_U64, NUMBER_INDEX, OUT_OF_RANGE, Idx, SubInt

get_do_request = corvane.get_do_request
set_do_request = corvane.set_do_request

WORKED_FRAMES = [
    (get_do_request, (3, 0x01020304), "23 00 00 00 05 00 01 02 03 04"),
    (get_do_request, (0, 0), "20 00 00 00 05 00 00 00 00 00"),
    (get_do_request, (224, 1), "00 00 00 00 05 00 00 00 00 01"),
    (get_do_request, (300, 0xFFFFFFFF), "4C 00 00 00 05 00 FF FF FF FF"),
    # ids from 2**31 up are ids like any other (not negative numbers of a 32-bit C long)
    (get_do_request, (0, 2**31), "20 00 00 00 05 00 80 00 00 00"),
    (set_do_request, (1, 2**31 - 1), "20 00 00 00 07 01 7F FF FF FF 00 01"),
    (set_do_request, (0x00FF, 0x01020304), "20 00 00 00 07 01 01 02 03 04 00 FF"),
    (set_do_request, (0xA5C3, 7), "20 00 00 00 07 01 00 00 00 07 A5 C3"),
    # header wrapping: 256 behaves like 0, the largest address gives 0x1F
    (get_do_request, (256, 1), "20 00 00 00 05 00 00 00 00 01"),
    (get_do_request, (2**64 - 1, 1), "1F 00 00 00 05 00 00 00 00 01"),
    # a zero bin_state still carries its two bytes
    (set_do_request, (0, 0), "20 00 00 00 07 01 00 00 00 00 00 00"),
    (set_do_request, (65535, 4294967295), "20 00 00 00 07 01 FF FF FF FF FF FF"),
]


@pytest.mark.parametrize("fn, args, frame", WORKED_FRAMES)
def test_worked_frames(fn, args, frame):
    result = fn(*args)
    assert type(result) is bytes
    assert result == bytes.fromhex(frame)


EQUIVALENT_CALLS = [
    # (builder, positional, keywords, plain integer arguments it must equal)
    (get_do_request, (True, 1), {}, (1, 1)),
    (get_do_request, (False, True), {}, (0, 1)),
    (set_do_request, (True, False), {}, (1, 0)),
    (get_do_request, (Idx(5), Idx(5)), {}, (5, 5)),
    (set_do_request, (Idx(5), Idx(5)), {}, (5, 5)),
    (get_do_request, (Idx(2**64 - 1), Idx(2**32 - 1)), {}, (2**64 - 1, 2**32 - 1)),
    (get_do_request, (SubInt(3), SubInt(4)), {}, (3, 4)),
    (set_do_request, (SubInt(3), SubInt(4)), {}, (3, 4)),
    (get_do_request, (), {"addr": 0, "id": 0}, (0, 0)),
    (get_do_request, (), {"id": 0x01020304, "addr": 3}, (3, 0x01020304)),
    (get_do_request, (3,), {"id": 0x01020304}, (3, 0x01020304)),
    (set_do_request, (), {"id": 7, "bin_state": 0xA5C3}, (0xA5C3, 7)),
    (set_do_request, (0xA5C3,), {"id": 7}, (0xA5C3, 7)),
]


@pytest.mark.parametrize("fn, args, kwargs, plain", EQUIVALENT_CALLS)
def test_argument_forms_give_the_plain_frame(fn, args, kwargs, plain):
    assert fn(*args, **kwargs) == model(fn, *plain)


@pytest.mark.parametrize(
    "fn, signature", [(get_do_request, "(addr, id)"), (set_do_request, "(bin_state, id)")]
)
def test_signature_and_no_doc_text(fn, signature):
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None


# --- reference model -------------------------------------------------------


def _convert(convert, obj, name):
    try:
        return convert(obj)
    except TypeError as exc:
        if type(exc) is TypeError:
            raise TypeError(f"argument '{name}': {exc}") from None
        raise


def model_narrow(obj, maximum, name):
    value = _convert(AS_INT64, obj, name)
    if value % 2**64 > maximum:  # compared as unsigned: negatives fail too
        raise OverflowError(OUT_OF_RANGE)
    return value


def model_u64(obj, name):
    to_int = (lambda o: o) if isinstance(obj, int) else NUMBER_INDEX
    return _convert(lambda o: AS_U64(to_int(o)), obj, name)


def model(fn, first, ident):
    if fn is get_do_request:
        addr = model_u64(first, "addr")
        ident = model_narrow(ident, 2**32 - 1, "id")
        return struct.pack(">BIBI", (addr + 32) % 256, 5, 0, ident)
    bin_state = model_narrow(first, 2**16 - 1, "bin_state")
    ident = model_narrow(ident, 2**32 - 1, "id")
    return struct.pack(">BIBIH", 0x20, 7, 1, ident, bin_state)


def outcome(call):
    try:
        result = call()
    except Exception as exc:
        return type(exc), str(exc)
    return type(result), result


# 2**30: the first int too large for one digit, where reading the value straight from the int
# object hands over to the interpreter's conversion.
BOUNDARIES = [
    0,
    1,
    255,
    256,
    2**16 - 1,
    2**16,
    2**30 - 1,
    2**30,
    2**31 - 1,
    2**31,
    2**32 - 1,
    2**32,
    2**63 - 1,
    2**63,
    2**63 + 1,
    2**64 - 1,
    2**64,
    2**100,
]
integers = st.one_of(
    st.sampled_from(BOUNDARIES),
    st.sampled_from(BOUNDARIES).map(lambda v: -v),
    st.integers(),
    st.integers(min_value=-(2**70), max_value=2**70),
)
arguments = st.one_of(
    integers,
    integers.map(Idx),
    integers.map(SubInt),
    st.booleans(),
    st.floats(),
    st.text(max_size=2),
    st.none(),
)


@settings(max_examples=400, deadline=None)
@given(
    fn=st.sampled_from([get_do_request, set_do_request]),
    first=arguments,
    ident=arguments,
    by_keyword=st.booleans(),
)
def test_builders_match_reference_model(fn, first, ident, by_keyword):
    if by_keyword:
        first_name = "addr" if fn is get_do_request else "bin_state"
        actual = outcome(lambda: fn(id=ident, **{first_name: first}))
    else:
        actual = outcome(lambda: fn(first, ident))
    assert actual == outcome(lambda: model(fn, first, ident))
