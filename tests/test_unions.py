"""Request and Response unions and their variant classes.

A union object is always an instance of exactly one variant class, immutable,
holding its tag and its own copy of the carried record. Records go in by copy
and come out as new objects (_0, indexing, iteration, match); no union object
refers to another Python object.
"""

import copy
import ctypes
import gc
import pickle
import sys
import weakref

import pytest

from class_doubles import SubRequest
from corvane.do_mod.packets import Request, Response
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse
from doubles import (
    AS_U64,
    NOT_DEFINED,
    NUMBER_INDEX,
    Idx,
    Outer,
    c_api,
    interpreter_error,
    missing,
    multiple,
    surplus,
    unexpected,
)

# (variant class, union class, full name, carried record class, field, command code)
VARIANTS = [
    (Request.GetDouts, Request, "Request_GetDouts", GetDoutsRequest, None, 0),
    (Request.SetDouts, Request, "Request_SetDouts", SetDoutsRequest, "bin_layout", 1),
    (Response.GetDouts, Response, "Response_GetDouts", GetDoutsResponse, "bin_layout", 0),
    (Response.SetDouts, Response, "Response_SetDouts", SetDoutsResponse, "success", 1),
]
each_variant = pytest.mark.parametrize(
    "variant, union, name, rec_cls, field, cmd", VARIANTS, ids=[v[2] for v in VARIANTS]
)
each_union = pytest.mark.parametrize(
    "union, name", [(Request, "Request"), (Response, "Response")], ids=["Request", "Response"]
)

SEQUENCE_GET_ITEM = c_api(
    "PySequence_GetItem", ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t
)  # what iteration calls: index as a machine word


def record(cls, field, value=5):
    return cls() if field is None else cls(value)


def contents(rec):
    """(class, field value) of a record; None as the value of the empty record."""
    return type(rec), getattr(rec, "bin_layout", getattr(rec, "success", None))


# --- class properties --------------------------------------------------------------


@each_union
def test_union_class_properties(union, name):
    assert (union.__module__, union.__name__, union.__qualname__) == ("builtins", name, name)
    assert union.__doc__ is None and union.__text_signature__ is None
    assert union.__bases__ == (object,)
    assert (union.__dictoffset__, union.__weakrefoffset__, union.__itemsize__) == (0, 0, 0)
    assert [n for n in NOT_DEFINED + ("__match_args__",) if n in vars(union)] == []
    assert vars(union)["GetDouts"].__name__ == f"{name}_GetDouts"
    assert vars(union)["SetDouts"].__name__ == f"{name}_SetDouts"
    assert (union.base_id.__text_signature__, union.base_id.__doc__) == ("()", None)
    assert (union.cmd.__text_signature__, union.cmd.__doc__) == ("($self)", None)


@each_variant
def test_variant_class_and_instance_properties(variant, union, name, rec_cls, field, cmd):
    assert (variant.__module__, variant.__name__, variant.__qualname__) == ("builtins", name, name)
    assert variant.__doc__ == "" and variant.__text_signature__ == "(_0)"
    assert variant.__mro__ == (variant, union, object)
    assert variant.__match_args__ == ("_0",) and type(variant.__match_args__) is tuple
    assert (variant.__dictoffset__, variant.__weakrefoffset__, variant.__itemsize__) == (0, 0, 0)
    assert [n for n in NOT_DEFINED if n in vars(variant)] == []
    assert variant.GetDouts is union.GetDouts and variant.SetDouts is union.SetDouts
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (variant,), {})
    a, b = variant(record(rec_cls, field)), variant(record(rec_cls, field))
    assert not hasattr(a, "__dict__") and not gc.is_tracked(a)
    with pytest.raises(TypeError):
        weakref.ref(a)
    # Tag and record inline, in one word: no GC header, dict or weakref slot.
    assert object.__basicsize__ < sys.getsizeof(a) == variant.__basicsize__
    assert sys.getsizeof(a) <= object.__basicsize__ + 8
    assert a == a and a != b and not a == b and hash(a) == object.__hash__(a)
    assert repr(a) == str(a) == f"<builtins.{name} object at {id(a):#x}>"


def test_class_tree():
    assert Request.GetDouts.SetDouts is Request.SetDouts
    assert Request.SetDouts.GetDouts is Request.GetDouts
    assert Request.GetDouts is not Response.GetDouts
    assert Request.GetDouts(GetDoutsRequest()).SetDouts is Request.SetDouts
    req, resp = Request.SetDouts(SetDoutsRequest(1)), Response.SetDouts(SetDoutsResponse(1))
    assert isinstance(req, Request) and not isinstance(req, Response)
    assert isinstance(resp, Response) and not isinstance(resp, Request)
    assert not isinstance(req, Request.GetDouts)
    assert not issubclass(Request, Response) and not issubclass(Response, Request)


# --- union classes ---------------------------------------------------------------------


class SubSub(SubRequest):
    pass


class SubResponse(Response):
    pass


@pytest.mark.parametrize(
    "cls", [Request, Response, SubRequest, SubSub, SubResponse], ids=lambda c: c.__name__
)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"_0": 1})])
def test_unions_cannot_be_constructed(cls, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"No constructor defined for {cls.__name__}"


@each_union
def test_unions_can_be_subclassed(union, name):
    derived = type("Derived", (union,), {"extra": 1})
    assert derived.__mro__ == (derived, union, object)
    assert derived.base_id() == 32 and derived.GetDouts is union.GetDouts


@each_variant
def test_base_id_and_cmd(variant, union, name, rec_cls, field, cmd):
    obj = variant(record(rec_cls, field))
    for owner in (union, variant, obj, Response if union is Request else Request):
        assert owner.base_id() == 32 and type(owner.base_id()) is int
    assert obj.cmd() == union.cmd(obj) == variant.cmd(obj) == cmd and type(obj.cmd()) is int
    other = (
        Response.GetDouts(GetDoutsResponse(1))
        if union is Request
        else Request.GetDouts(GetDoutsRequest())
    )
    # Arguments, or an object of the other union, are refused by the interpreter.
    for call in (
        lambda: obj.cmd(1),
        lambda: obj.base_id(1),
        lambda: union.base_id(x=1),
        lambda: union.cmd(other),
        lambda: union.cmd(5),
    ):
        with pytest.raises(TypeError):
            call()


# --- variant construction ---------------------------------------------------------------


@each_variant
def test_construction_copies_the_record(variant, union, name, rec_cls, field, cmd):
    rec = record(rec_cls, field)
    refs = sys.getrefcount(rec)
    objs = variant(rec), variant(_0=rec)
    assert sys.getrefcount(rec) == refs  # no reference kept
    for obj in objs:
        assert type(obj) is variant and obj._0 is not rec and contents(obj._0) == contents(rec)
    reads = [objs[0]._0, objs[0]._0, objs[0][0], objs[0][0]]  # a new object every time
    assert len(set(map(id, reads))) == 4
    assert all(contents(r) == contents(rec) for r in reads)
    if field:  # the copies are independent in both directions
        setattr(rec, field, 9)
        setattr(reads[0], field, 7)
        assert getattr(objs[0]._0, field) == getattr(objs[0][0], field) == 5
        assert (getattr(rec, field), getattr(reads[0], field)) == (9, 7)


def _binding_cases():
    for variant, _, name, rec_cls, field, _ in VARIANTS:
        r, n = record(rec_cls, field), f"{name}.__new__"
        yield variant, (), {}, missing(n, ["_0"])
        yield variant, (r, r), {}, surplus(n, 1, 2)
        yield variant, (r, r, r), {"_0": r}, surplus(n, 1, 3)
        yield variant, (r,), {"_0": r}, multiple(n, "_0")
        yield variant, (), {"x": r}, unexpected(n, "x")
        # Binding comes before the record's type is checked.
        yield variant, (5,), {"_1": 1}, unexpected(n, "_1")


@pytest.mark.parametrize("variant, args, kwargs, message", list(_binding_cases()))
def test_binding_errors(variant, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        variant(*args, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == message


MISMATCH = [
    (Request.SetDouts, GetDoutsRequest(), "GetDoutsRequest", "SetDoutsRequest"),
    (Request.GetDouts, GetDoutsResponse(1), "GetDoutsResponse", "GetDoutsRequest"),
    (Request.GetDouts, 5, "int", "GetDoutsRequest"),
    (Request.SetDouts, True, "bool", "SetDoutsRequest"),
    (Response.SetDouts, SetDoutsRequest(1), "SetDoutsRequest", "SetDoutsResponse"),
    (Response.GetDouts, None, "NoneType", "GetDoutsResponse"),
    (Response.GetDouts, GetDoutsResponse, "type", "GetDoutsResponse"),
    (Request.SetDouts, Outer.Inner(), "Outer.Inner", "SetDoutsRequest"),
    (
        Response.SetDouts,
        Request.SetDouts(SetDoutsRequest(1)),
        "Request_SetDouts",
        "SetDoutsResponse",
    ),
]


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize(
    "variant, arg, qualname, target", MISMATCH, ids=[f"{m[0].__name__}-{m[2]}" for m in MISMATCH]
)
def test_wrong_record_type(variant, arg, qualname, target, by_keyword):
    with pytest.raises(TypeError) as info:
        variant(_0=arg) if by_keyword else variant(arg)
    assert type(info.value) is TypeError
    message = f"argument '_0': '{qualname}' object cannot be converted to '{target}'"
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__suppress_context__


# --- reading the record back ------------------------------------------------------------


@each_variant
def test_union_objects_are_immutable(variant, union, name, rec_cls, field, cmd):
    obj = variant(record(rec_cls, field))
    read_only = f"^attribute '_0' of 'builtins.{name}' objects is not writable$"
    with pytest.raises(AttributeError, match=read_only):
        obj._0 = record(rec_cls, field, 1)
    with pytest.raises(AttributeError, match=read_only):
        del obj._0
    for attr in ("nope", "cmd"):
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)
    assert contents(obj._0) == (rec_cls, 5 if field else None) and obj.cmd() == cmd


def index_outcome(key):
    """For v[key]: "record", or (exception type, message); negatives do not count from the end."""
    if not isinstance(key, int):
        err = interpreter_error(NUMBER_INDEX, key)
        if err:
            return (TypeError, f"argument 'idx': {err[1]}") if err[0] is TypeError else err
        key = key.__index__()
    err = interpreter_error(AS_U64, key)
    return err or ("record" if key == 0 else (IndexError, "tuple index out of range"))


INDEX_KEYS = [
    0,
    False,
    Idx(0),
    1,
    True,
    2,
    Idx(1),
    2**63,
    2**64 - 1,
    -1,
    -(2**63),
    -(2**70),
    2**64,
    2**70,
    Idx(-1),  # the interpreter's OverflowError
    "0",
    1.0,
    None,
    slice(0, 1),
    Idx("0"),  # no integer meaning
    Idx(ValueError("v")),
    Idx(KeyError("k")),  # passed through
]


@pytest.mark.parametrize("key", INDEX_KEYS, ids=repr)
@each_variant
def test_len_and_indexing(variant, union, name, rec_cls, field, cmd, key):
    obj = variant(record(rec_cls, field))
    assert len(obj) == 1
    expected = index_outcome(key)
    if expected == "record":
        assert contents(obj[key]) == (rec_cls, 5 if field else None)
        return
    with pytest.raises(expected[0]) as info:
        obj[key]
    assert type(info.value) is expected[0] and str(info.value) == expected[1]
    if isinstance(key, Idx) and isinstance(key.value, BaseException):
        assert info.value is key.value


@each_variant
def test_iteration_unpacking_and_membership(variant, union, name, rec_cls, field, cmd):
    rec = record(rec_cls, field)
    obj = variant(rec)
    assert contents(SEQUENCE_GET_ITEM(obj, 0)) == contents(rec)
    with pytest.raises(IndexError, match=r"^tuple index out of range$"):
        SEQUENCE_GET_ITEM(obj, 1)
    with pytest.raises(OverflowError):
        SEQUENCE_GET_ITEM(obj, -1)
    items = list(obj)
    assert len(items) == 1 and items[0] is not rec and contents(items[0]) == contents(rec)
    (only,) = obj
    assert contents(only) == contents(rec)
    with pytest.raises(ValueError):
        first, second = obj
    # Every item is a new object and equality is identity.
    assert rec not in obj and only not in obj and 5 not in obj


# --- match ---------------------------------------------------------------------------------


def test_match_binds_a_copy():
    rec = SetDoutsRequest(5)
    match Request.SetDouts(rec):
        case Request.SetDouts(r):
            assert type(r) is SetDoutsRequest and r is not rec and r.bin_layout == 5
        case _:
            pytest.fail("Request.SetDouts(r) did not match")
    match Request.GetDouts(GetDoutsRequest()):
        case Request.SetDouts(r):
            pytest.fail("a GetDouts object matched Request.SetDouts(r)")


@each_variant
def test_match_patterns(variant, union, name, rec_cls, field, cmd):
    obj = variant(record(rec_cls, field))
    sibling = union.SetDouts if variant is union.GetDouts else union.GetDouts
    other = Response if union is Request else Request
    match obj:
        case sibling() | other():
            pytest.fail("matched the sibling variant or the other union")
        case variant(positional):
            pass
    match obj:
        case variant(_0=by_keyword) if isinstance(obj, union):
            pass
    assert contents(positional) == contents(by_keyword) == (rec_cls, 5 if field else None)
    assert positional is not by_keyword


# What type checkers let pass (mypy silently, for the sequence pattern) and what runs instead.
@each_variant
def test_what_the_stubs_cannot_refuse(variant, union, name, rec_cls, field, cmd):
    rec = record(rec_cls, field)
    obj = variant(rec)
    match obj:
        case [_]:
            pytest.fail("a sequence pattern matched: a variant is not a Sequence")
    with pytest.raises(TypeError, match=rf"^unbound method {union.__name__}\.cmd\(\) needs an"):
        variant.cmd()
    for value, shown in ((rec, rec_cls.__name__), (obj, name)):
        for action in (copy.copy, copy.deepcopy, pickle.dumps):
            with pytest.raises(TypeError) as info:
                action(value)
            assert str(info.value) == f"cannot pickle 'builtins.{shown}' object"
