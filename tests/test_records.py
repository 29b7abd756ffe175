"""Record classes GetDoutsRequest, SetDoutsRequest, GetDoutsResponse, SetDoutsResponse.

A record object holds one fixed-width protocol record inline and nothing else.
Where a message is the interpreter's own, the expected text is taken from the
interpreter itself through ctypes, so the tests hold on every supported version.
"""

import gc
import sys
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse
from doubles import (
    AS_INT64,
    NOT_DEFINED,
    OUT_OF_RANGE,
    Idx,
    SubTypeError,
    interpreter_error,
    missing,
    multiple,
    surplus,
    unexpected,
)

# (class, name, field, largest value, text signature)
RECORDS = [
    (GetDoutsRequest, "GetDoutsRequest", None, None, "()"),
    (SetDoutsRequest, "SetDoutsRequest", "bin_layout", 0xFFFF, "(bin_layout)"),
    (GetDoutsResponse, "GetDoutsResponse", "bin_layout", 0xFFFF, "(bin_layout)"),
    (SetDoutsResponse, "SetDoutsResponse", "success", 0xFF, "(success)"),
]
FIELDED = RECORDS[1:]
each_record = pytest.mark.parametrize(
    "cls, name, field, largest, sig", RECORDS, ids=[r[1] for r in RECORDS]
)
each_fielded = pytest.mark.parametrize(
    "cls, name, field, largest, sig", FIELDED, ids=[r[1] for r in FIELDED]
)
HOW = ["position", "keyword", "assign"]


def conversion_outcome(value, largest, field):
    """("ok", n) or (exception type, message) for converting `value` to the field.

    Fields are read as a signed 64-bit integer, then range-checked; only an
    exact TypeError gains the parameter's name.
    """
    err = interpreter_error(AS_INT64, value)
    if err is None:
        number = AS_INT64(value)
        return ("ok", number) if 0 <= number <= largest else (OverflowError, OUT_OF_RANGE)
    return (TypeError, f"argument '{field}': {err[1]}") if err[0] is TypeError else err


def put(cls, field, how, value, obj=None):
    """Hand `value` to the field by position, by keyword or by assignment to `obj`."""
    if how == "position":
        return cls(value)
    if how == "keyword":
        return cls(**{field: value})
    setattr(obj, field, value)
    return obj


# --- class properties --------------------------------------------------------------


@each_record
def test_class_and_instance_properties(cls, name, field, largest, sig):
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__doc__ == "" and cls.__text_signature__ == sig
    assert cls.__bases__ == (object,)
    assert (cls.__dictoffset__, cls.__weakrefoffset__, cls.__itemsize__) == (0, 0, 0)
    assert [n for n in NOT_DEFINED + ("__match_args__",) if n in vars(cls)] == []
    assert not hasattr(cls, "__match_args__")
    a, b = (cls() if field is None else cls(5) for _ in range(2))
    assert type(a) is cls
    assert not hasattr(a, "__dict__") and not gc.is_tracked(a)
    with pytest.raises(TypeError):
        weakref.ref(a)
    # No GC header, dict or weakref slot: a header plus a record of at most 2 bytes.
    assert sys.getsizeof(a) == cls.__basicsize__ <= object.__basicsize__ + 8
    assert a == a and a != b and not a == b and len({a, b}) == 2
    assert hash(a) == object.__hash__(a)
    assert repr(a) == str(a) == f"<builtins.{name} object at {id(a):#x}>"
    with pytest.raises(TypeError):
        a < b  # noqa: B015
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (cls,), {})


# --- binding ---------------------------------------------------------------------------


def _binding_cases():
    g = "GetDoutsRequest.__new__"
    yield GetDoutsRequest, (7,), {}, surplus(g, 0, 1)
    yield GetDoutsRequest, (1, 2), {}, surplus(g, 0, 2)
    yield GetDoutsRequest, (), {"x": 1, "y": 2}, unexpected(g, "x")
    for cls, name, f, _, _ in FIELDED:
        n = f"{name}.__new__"
        yield cls, (), {}, missing(n, [f])
        yield cls, (1, 2), {}, surplus(n, 1, 2)
        # Surplus positionals are reported before keywords, binding before conversion.
        yield cls, (1.5, 2, 3), {f: 4}, surplus(n, 1, 3)
        yield cls, (1,), {f: 2}, multiple(n, f)
        # Keywords in call order; the first bad one ends the binding.
        yield cls, (1,), {f: 2, "x": 3}, multiple(n, f)
        yield cls, (), {"x": 1, f: 2}, unexpected(n, "x")
        yield cls, (), {f: "bad", "x": 1}, unexpected(n, "x")
        # Names are compared exactly.
        yield cls, (), {f.upper(): 1}, unexpected(n, f.upper())
    n = "SetDoutsRequest.__new__"
    yield SetDoutsRequest, (), {"bín": 1}, unexpected(n, "bín")
    # A keyword that is not valid UTF-8 names no parameter and shows U+FFFD per bad byte.
    yield SetDoutsRequest, (), {"\udc80": 1}, unexpected(n, "\ufffd" * 3)


@pytest.mark.parametrize("cls, args, kwargs, message", list(_binding_cases()))
def test_binding_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == message


# --- conversion ---------------------------------------------------------------------------


class IntSub(int):
    pass


@pytest.mark.parametrize("how", HOW)
@pytest.mark.parametrize(
    "value, expected",
    [(0, 0), (True, 1), (False, 0), (Idx(7), 7), (IntSub(9), 9), ("max", "max")],
    ids=repr,
)
@each_fielded
def test_accepted_values_read_back_as_exact_int(
    cls, name, field, largest, sig, value, expected, how
):
    value, expected = (largest, largest) if value == "max" else (value, expected)
    got = getattr(put(cls, field, how, value, cls(5)), field)
    assert got == expected and type(got) is int


def _rejected_cases():
    for rec in FIELDED:
        largest = rec[3]
        for value in [
            largest + 1,
            largest + 256,
            -1,
            -largest,
            2**32,
            2**63 - 1,
            -(2**63),
            2**63,
            -(2**63) - 1,
            2**64,
            10**40,  # beyond signed 64-bit
            2.0,
            "5",
            None,
            b"\x01",
            1j,
            Idx("5"),
        ]:  # no integer meaning
            yield pytest.param(*rec, value, id=f"{rec[1]}-{value!r}")


@pytest.mark.parametrize("how", HOW)
@pytest.mark.parametrize("cls, name, field, largest, sig, value", list(_rejected_cases()))
def test_rejected_values(cls, name, field, largest, sig, value, how):
    exc_type, message = conversion_outcome(value, largest, field)
    obj = cls(5)
    with pytest.raises(exc_type) as info:
        put(cls, field, how, value, obj)
    assert type(info.value) is exc_type and str(info.value) == message
    if exc_type is TypeError:  # replaced, not chained
        assert info.value.__cause__ is None and info.value.__suppress_context__
    assert getattr(obj, field) == 5  # the value is converted before the object is touched


@each_fielded
def test_any_integer_converts_as_the_interpreter_dictates(cls, name, field, largest, sig):
    edges = st.sampled_from([largest, 2**63, 2**64]).flatmap(lambda e: st.integers(-e - 2, e + 2))

    @given(st.one_of(st.integers(), edges))
    def check(value):
        expected = conversion_outcome(value, largest, field)
        try:
            got = ("ok", getattr(put(cls, field, "assign", value, cls(0)), field))
        except (TypeError, OverflowError) as exc:
            got = (type(exc), str(exc))
        assert got == expected

    check()


@pytest.mark.parametrize("how", HOW)
@each_fielded
def test_errors_raised_by_index_hook(cls, name, field, largest, sig, how):
    # Exactly TypeError is re-raised under the parameter's name, keeping the
    # original's cause; anything else, a TypeError subclass included, passes
    # through as the very same object.
    plain = TypeError("nope")
    plain.__cause__ = cause = KeyError("why")
    with pytest.raises(TypeError) as info:
        put(cls, field, how, Idx(plain), cls(5))
    assert type(info.value) is TypeError and info.value is not plain
    assert str(info.value) == f"argument '{field}': nope" and info.value.__cause__ is cause
    for exc in (SubTypeError("sub"), ValueError("value")):
        with pytest.raises(type(exc)) as info:
            put(cls, field, how, Idx(exc), cls(5))
        assert info.value is exc


# --- attributes -----------------------------------------------------------------------------


@each_record
def test_deletion_and_unknown_attributes(cls, name, field, largest, sig):
    obj = cls() if field is None else cls(5)
    if field:
        with pytest.raises(AttributeError) as info:
            delattr(obj, field)
        assert str(info.value) == "can't delete attribute" and getattr(obj, field) == 5
    for attr in ["nope"] + (["bin_layout"] if field is None else []):
        for action in (setattr, getattr, delattr):
            with pytest.raises(AttributeError):
                action(obj, attr, 1) if action is setattr else action(obj, attr)
