"""Request and Response unions and their variant classes.

A union object is always an instance of exactly one variant class
(Request.GetDouts, Request.SetDouts, Response.GetDouts, Response.SetDouts),
immutable, holding its tag and its own copy of the carried record. Records go
in by copy and come out as new objects (attribute _0, indexing, iteration,
match); no union object refers to another Python object.

Interpreter-owned messages are taken from the interpreter itself (ctypes), so
the tests hold on 3.12 and 3.13.
"""

import ctypes
import gc
import sys
import weakref

import pytest

try:
    from corvane.do_mod.packets import Request
except ImportError:
    pytest.skip("union classes not built yet", allow_module_level=True)

from corvane.do_mod.packets import Response
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse

from conftest import allocated_growth

# (variant class, union class, full name, carried record class, field, command code)
VARIANTS = [
    (Request.GetDouts, Request, "Request_GetDouts", GetDoutsRequest, None, 0),
    (Request.SetDouts, Request, "Request_SetDouts", SetDoutsRequest, "bin_layout", 1),
    (Response.GetDouts, Response, "Response_GetDouts", GetDoutsResponse, "bin_layout", 0),
    (Response.SetDouts, Response, "Response_SetDouts", SetDoutsResponse, "success", 1),
]
IDS = [v[2] for v in VARIANTS]
UNIONS = [(Request, "Request"), (Response, "Response")]
RECORD_CLASSES = [GetDoutsRequest, SetDoutsRequest, GetDoutsResponse, SetDoutsResponse]
ALL_CLASSES = [Request, Response] + [v[0] for v in VARIANTS] + RECORD_CLASSES

NOT_DEFINED = (
    "__init__", "__repr__", "__str__", "__eq__", "__ne__", "__lt__", "__le__",
    "__gt__", "__ge__", "__hash__", "__reduce__", "__reduce_ex__", "__getstate__",
    "__setstate__", "__getnewargs__", "__copy__", "__deepcopy__", "__iter__",
    "__contains__", "__dict__", "__weakref__", "__del__",
)


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return f"Idx({self.value!r})"


class Outer:
    class Inner:
        pass


def record(cls, field, value=5):
    return cls() if field is None else cls(value)


def value_of(rec):
    """The record's field value, or the class alone for the empty record."""
    for field in ("bin_layout", "success"):
        if hasattr(rec, field):
            return type(rec), getattr(rec, field)
    return type(rec), None


def build(variant, rec_cls, field, value=5):
    return variant(record(rec_cls, field, value))


def interpreter_error(cfunc, restype, value):
    fn = ctypes.PYFUNCTYPE(restype, ctypes.py_object)((cfunc, ctypes.pythonapi))
    try:
        fn(value)
    except Exception as exc:  # noqa: BLE001 - whatever the interpreter raises is the oracle
        return type(exc), str(exc)
    return None


# What the interpreter calls to iterate: item by machine-word index.
SEQUENCE_GET_ITEM = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t)(
    ("PySequence_GetItem", ctypes.pythonapi))


# --- class properties --------------------------------------------------------


@pytest.mark.parametrize("union, name", UNIONS, ids=[u[1] for u in UNIONS])
def test_union_class_properties(union, name):
    assert union.__module__ == "builtins"
    assert union.__name__ == union.__qualname__ == name
    assert union.__doc__ is None
    assert union.__text_signature__ is None
    assert union.__bases__ == (object,)
    assert (union.__dictoffset__, union.__weakrefoffset__, union.__itemsize__) == (0, 0, 0)
    assert [n for n in NOT_DEFINED + ("__match_args__",) if n in vars(union)] == []
    assert vars(union)["GetDouts"].__name__ == f"{name}_GetDouts"
    assert vars(union)["SetDouts"].__name__ == f"{name}_SetDouts"
    assert union.base_id.__text_signature__ == "()" and union.base_id.__doc__ is None
    assert union.cmd.__text_signature__ == "($self)" and union.cmd.__doc__ is None


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_variant_class_properties(variant, union, name, rec_cls, field, cmd):
    assert variant.__module__ == "builtins"
    assert variant.__name__ == variant.__qualname__ == name
    assert variant.__doc__ == ""
    assert variant.__text_signature__ == "(_0)"
    assert variant.__mro__ == (variant, union, object)
    assert variant.__match_args__ == ("_0",) and type(variant.__match_args__) is tuple
    assert (variant.__dictoffset__, variant.__weakrefoffset__, variant.__itemsize__) == (0, 0, 0)
    assert [n for n in NOT_DEFINED if n in vars(variant)] == []
    # The union's class attributes are inherited by its variants.
    assert variant.GetDouts is union.GetDouts and variant.SetDouts is union.SetDouts


def test_variant_class_attributes_resolve_to_the_same_classes():
    assert Request.GetDouts.SetDouts is Request.SetDouts
    assert Request.SetDouts.GetDouts is Request.GetDouts
    assert Response.GetDouts.SetDouts is Response.SetDouts
    assert Request.GetDouts is not Response.GetDouts
    obj = Request.GetDouts(GetDoutsRequest())
    assert obj.SetDouts is Request.SetDouts


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_instances_are_plain_fixed_size_objects(variant, union, name, rec_cls, field, cmd):
    a, b = build(variant, rec_cls, field), build(variant, rec_cls, field)
    assert not hasattr(a, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(a)
    assert not gc.is_tracked(a)
    # Tag and record stored inline: no GC header, dict or weakref slot.
    assert sys.getsizeof(a) == variant.__basicsize__
    assert object.__basicsize__ < sys.getsizeof(a) <= object.__basicsize__ + 16
    assert a == a and a != b and not a == b
    assert hash(a) == object.__hash__(a)
    assert repr(a) == str(a) == f"<builtins.{name} object at {id(a):#x}>"


# --- union classes -------------------------------------------------------------


def _refused_classes():
    class SubRequest(Request):
        pass

    class SubSub(SubRequest):
        pass

    class SubResponse(Response):
        pass

    return [(Request, "Request"), (Response, "Response"), (SubRequest, "SubRequest"),
            (SubSub, "SubSub"), (SubResponse, "SubResponse")]


@pytest.mark.parametrize("cls, name", _refused_classes(), ids=lambda v: getattr(v, "__name__", v))
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"_0": 1})])
def test_unions_cannot_be_constructed(cls, name, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"No constructor defined for {name}"


@pytest.mark.parametrize("union, name", UNIONS, ids=[u[1] for u in UNIONS])
def test_unions_can_be_subclassed(union, name):
    derived = type("Derived", (union,), {"extra": 1})
    assert derived.__mro__ == (derived, union, object)
    assert derived.base_id() == 32
    assert derived.GetDouts is union.GetDouts


@pytest.mark.parametrize("cls", [v[0] for v in VARIANTS], ids=IDS)
def test_variants_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):

        class Derived(cls):
            pass


def test_isinstance_relations():
    req = Request.SetDouts(SetDoutsRequest(1))
    resp = Response.SetDouts(SetDoutsResponse(1))
    assert isinstance(req, Request) and not isinstance(req, Response)
    assert isinstance(resp, Response) and not isinstance(resp, Request)
    assert not isinstance(req, Request.GetDouts)
    assert not issubclass(Request, Response) and not issubclass(Response, Request)
    assert not issubclass(Request.SetDouts, Request.GetDouts)
    assert not issubclass(Request.SetDouts, Response)


# --- base_id and cmd -------------------------------------------------------------


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_base_id_and_cmd(variant, union, name, rec_cls, field, cmd):
    obj = build(variant, rec_cls, field)
    for owner in (union, variant, obj):
        got = owner.base_id()
        assert got == 32 and type(got) is int
    assert obj.cmd() == union.cmd(obj) == variant.cmd(obj) == cmd
    assert type(obj.cmd()) is int
    for call in (lambda: obj.cmd(1), lambda: obj.base_id(1), lambda: union.base_id(x=1)):
        with pytest.raises(TypeError):
            call()


def test_cmd_refuses_objects_of_the_other_union():
    req = Request.GetDouts(GetDoutsRequest())
    resp = Response.GetDouts(GetDoutsResponse(1))
    for call in (lambda: Request.cmd(resp), lambda: Response.cmd(req), lambda: Request.cmd(5)):
        with pytest.raises(TypeError):
            call()


# --- variant construction ------------------------------------------------------------


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_construct_copies_the_record(variant, union, name, rec_cls, field, cmd):
    rec = record(rec_cls, field)
    refs = sys.getrefcount(rec)
    by_pos, by_kw = variant(rec), variant(_0=rec)
    assert sys.getrefcount(rec) == refs  # the union keeps no reference to it
    for obj in (by_pos, by_kw):
        assert type(obj) is variant
        assert isinstance(obj, union)
        assert obj._0 is not rec
        assert value_of(obj._0) == value_of(rec)


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd",
                         [v for v in VARIANTS if v[4]], ids=[i for v, i in zip(VARIANTS, IDS) if v[4]])
def test_copies_are_independent_both_ways(variant, union, name, rec_cls, field, cmd):
    rec = rec_cls(5)
    obj = variant(rec)
    setattr(rec, field, 9)  # the source changes after construction
    assert getattr(obj._0, field) == 5
    first = obj._0
    setattr(first, field, 7)  # a copy handed out changes
    assert getattr(obj._0, field) == 5
    assert getattr(obj[0], field) == 5
    assert (getattr(rec, field), getattr(first, field)) == (9, 7)


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_every_read_is_a_new_record(variant, union, name, rec_cls, field, cmd):
    obj = build(variant, rec_cls, field)
    reads = [obj._0, obj._0, obj[0], obj[0]]
    assert len({id(r) for r in reads}) == 4
    assert all(type(r) is rec_cls and value_of(r) == (rec_cls, 5 if field else None)
               for r in reads)


def _binding_cases():
    for variant, _, name, rec_cls, field, _ in VARIANTS:
        rec = record(rec_cls, field)
        n = f"{name}.__new__()"
        yield variant, (), {}, f"{n} missing 1 required positional argument: '_0'"
        yield variant, (rec, rec), {}, f"{n} takes 1 positional arguments but 2 were given"
        yield variant, (rec, rec, rec), {"_0": rec}, (
            f"{n} takes 1 positional arguments but 3 were given")
        yield variant, (rec,), {"_0": rec}, f"{n} got multiple values for argument '_0'"
        yield variant, (), {"x": rec}, f"{n} got an unexpected keyword argument 'x'"
        yield variant, (rec,), {"x": 1}, f"{n} got an unexpected keyword argument 'x'"
        # Binding comes before the type check of the record.
        yield variant, (5,), {"_1": 1}, f"{n} got an unexpected keyword argument '_1'"


@pytest.mark.parametrize("variant, args, kwargs, message", list(_binding_cases()))
def test_binding_errors(variant, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        variant(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


MISMATCH = [
    (Request.SetDouts, GetDoutsRequest(), "GetDoutsRequest", "SetDoutsRequest"),
    (Request.GetDouts, GetDoutsResponse(1), "GetDoutsResponse", "GetDoutsRequest"),
    (Request.GetDouts, 5, "int", "GetDoutsRequest"),
    (Request.SetDouts, True, "bool", "SetDoutsRequest"),
    (Response.SetDouts, SetDoutsRequest(1), "SetDoutsRequest", "SetDoutsResponse"),
    (Response.GetDouts, None, "NoneType", "GetDoutsResponse"),
    (Response.GetDouts, GetDoutsResponse, "type", "GetDoutsResponse"),
    (Request.SetDouts, Outer.Inner(), "Outer.Inner", "SetDoutsRequest"),
    (Response.SetDouts, Request.SetDouts(SetDoutsRequest(1)), "Request_SetDouts",
     "SetDoutsResponse"),
]


@pytest.mark.parametrize("how", ["position", "keyword"])
@pytest.mark.parametrize("variant, arg, qualname, target", MISMATCH,
                         ids=[f"{m[0].__name__}-{m[2]}" for m in MISMATCH])
def test_wrong_record_type(variant, arg, qualname, target, how):
    with pytest.raises(TypeError) as info:
        variant(arg) if how == "position" else variant(_0=arg)
    assert type(info.value) is TypeError
    assert str(info.value) == (
        f"argument '_0': '{qualname}' object cannot be converted to '{target}'")
    assert info.value.__cause__ is None and info.value.__suppress_context__


# --- reading the record back --------------------------------------------------------


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_zero_is_read_only(variant, union, name, rec_cls, field, cmd):
    obj = build(variant, rec_cls, field)
    read_only = f"attribute '_0' of 'builtins.{name}' objects is not writable"
    with pytest.raises(AttributeError, match=f"^{read_only}$"):
        obj._0 = record(rec_cls, field, 1)
    with pytest.raises(AttributeError, match=f"^{read_only}$"):
        del obj._0
    for attr in ("nope", "cmd"):
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)
    assert value_of(obj._0) == (rec_cls, 5 if field else None)
    assert obj.cmd() == cmd


def index_outcome(key):
    """What v[key] must give: "record", or (exc type, message)."""
    if not isinstance(key, int):
        err = interpreter_error("PyNumber_Index", ctypes.py_object, key)
        if err is not None:
            return (TypeError, f"argument 'idx': {err[1]}") if err[0] is TypeError else err
        key = key.__index__()
    err = interpreter_error("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, key)
    if err is not None:
        return err
    return "record" if key == 0 else (IndexError, "tuple index out of range")


INDEX_KEYS = [
    0, False, Idx(0), 1, True, 2, Idx(1), 2**63, 2**64 - 1,  # in range of the index type
    -1, -(2**63), -(2**70), 2**64, 2**70, Idx(-1),  # beyond it: the interpreter's OverflowError
    "0", 1.0, None, slice(0, 1), Idx("0"),  # no integer meaning
]


@pytest.mark.parametrize("key", INDEX_KEYS, ids=repr)
@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_len_and_indexing(variant, union, name, rec_cls, field, cmd, key):
    obj = build(variant, rec_cls, field)
    assert len(obj) == 1
    expected = index_outcome(key)
    if expected == "record":
        assert value_of(obj[key]) == (rec_cls, 5 if field else None)
        return
    exc_type, message = expected
    with pytest.raises(exc_type) as info:
        obj[key]
    assert type(info.value) is exc_type
    assert str(info.value) == message


def test_indexing_spelled_out():
    # The same rules as above, independent of the ctypes oracle.
    obj = Request.SetDouts(SetDoutsRequest(5))
    assert obj[0].bin_layout == 5
    with pytest.raises(IndexError, match=r"^tuple index out of range$"):
        obj[1]
    for key in (-1, 2**64):  # never counted from the end
        with pytest.raises(OverflowError):
            obj[key]
    with pytest.raises(TypeError, match=r"^argument 'idx': "):
        obj["0"]


def test_index_hook_errors_pass_through_unchanged():
    obj = Response.GetDouts(GetDoutsResponse(3))
    for exc in (ValueError("v"), KeyError("k")):
        with pytest.raises(type(exc)) as info:
            obj[Idx(exc)]
        assert info.value is exc


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_sequence_item_bridge(variant, union, name, rec_cls, field, cmd):
    # What the interpreter calls for iteration: a machine-word index, not
    # adjusted by the length, forwarded to the subscript.
    get_item = SEQUENCE_GET_ITEM
    obj = build(variant, rec_cls, field)
    assert value_of(get_item(obj, 0)) == (rec_cls, 5 if field else None)
    with pytest.raises(IndexError, match=r"^tuple index out of range$"):
        get_item(obj, 1)
    with pytest.raises(OverflowError):
        get_item(obj, -1)


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_iteration_unpacking_and_membership(variant, union, name, rec_cls, field, cmd):
    rec = record(rec_cls, field)
    obj = variant(rec)
    items = list(obj)
    assert len(items) == 1 and type(items[0]) is rec_cls and items[0] is not rec
    assert value_of(items[0]) == value_of(rec)
    (only,) = obj
    assert value_of(only) == value_of(rec)
    with pytest.raises(ValueError):
        first, second = obj
    # Every item is a new object and equality is identity.
    assert rec not in obj and only not in obj and 5 not in obj


# --- match statement -----------------------------------------------------------------


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
        case Request.GetDouts(r):
            assert type(r) is GetDoutsRequest


@pytest.mark.parametrize("variant, union, name, rec_cls, field, cmd", VARIANTS, ids=IDS)
def test_match_patterns(variant, union, name, rec_cls, field, cmd):
    obj = build(variant, rec_cls, field)
    sibling = union.SetDouts if variant is union.GetDouts else union.GetDouts
    other = Response if union is Request else Request
    match obj:
        case sibling():
            pytest.fail("matched the sibling variant")
        case other():
            pytest.fail("matched the other union")
        case variant(positional):
            pass
    match obj:
        case variant(_0=by_keyword):
            pass
    match obj:
        case union():
            pass
        case _:
            pytest.fail("did not match its union class")
    assert value_of(positional) == value_of(by_keyword) == (rec_cls, 5 if field else None)
    assert positional is not by_keyword


# --- resource release ----------------------------------------------------------------


def _fails(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc.__name__}")


def _set(obj, attr, value):
    setattr(obj, attr, value)


def _match(obj, variant):
    match obj:
        case variant(r):
            return r


def _leak_groups():
    """Every operation of each class, on its success and its error paths."""
    resp = Response.GetDouts(GetDoutsResponse(1))
    groups = {"unions": {
        "Request()": lambda: _fails(TypeError, Request),
        "Response(1)": lambda: _fails(TypeError, Response, 1),
        "Request.base_id": lambda: Request.base_id(),
        "Request.cmd(resp)": lambda: _fails(TypeError, Request.cmd, resp),
    }}
    for variant, _, name, rec_cls, field, _ in VARIANTS:
        rec = record(rec_cls, field)
        obj = variant(rec)
        wrong = GetDoutsRequest() if rec_cls is not GetDoutsRequest else 5
        groups[name] = {
            "new(rec)": lambda v=variant, r=rec: v(r),
            "new(_0=rec)": lambda v=variant, r=rec: v(_0=r),
            "new()": lambda v=variant: _fails(TypeError, v),
            "new(rec, rec)": lambda v=variant, r=rec: _fails(TypeError, v, r, r),
            "new(x=)": lambda v=variant, r=rec: _fails(TypeError, v, x=r),
            "new(wrong)": lambda v=variant, w=wrong: _fails(TypeError, v, w),
            "_0": lambda o=obj: o._0,
            "_0=": lambda o=obj, r=rec: _fails(AttributeError, _set, o, "_0", r),
            "cmd": lambda o=obj: o.cmd(),
            "base_id": lambda o=obj: o.base_id(),
            "len": lambda o=obj: len(o),
            "[0]": lambda o=obj: o[0],
            "[1000]": lambda o=obj: _fails(IndexError, o.__getitem__, 1000),
            "[-1000]": lambda o=obj: _fails(OverflowError, o.__getitem__, -1000),
            "['0']": lambda o=obj: _fails(TypeError, o.__getitem__, "0"),
            "iter": lambda o=obj: list(o),
            "sq_item": lambda o=obj: _fails(IndexError, SEQUENCE_GET_ITEM, o, 1000),
            "in": lambda o=obj, r=rec: r in o,
            "match": lambda o=obj, v=variant: _match(o, v),
        }
    return groups


LEAK_GROUPS = _leak_groups()


def class_refcounts():
    return {c.__name__: sys.getrefcount(c) for c in ALL_CLASSES}


def leak_of(fn, calls):
    """(blocks kept, class reference drift) over `calls` calls of `fn`."""
    fn()
    gc.collect()  # garbage left by earlier tests must not count
    before = class_refcounts()
    growth = allocated_growth(fn, calls=calls)
    after = class_refcounts()
    return growth, {k: after[k] - before[k] for k in after if after[k] != before[k]}


@pytest.mark.parametrize("group", list(LEAK_GROUPS))
def test_no_leaks(group):
    # A leak keeps at least one block, or one reference to a class, per call.
    # Union objects and the records handed out from them hold a reference to
    # their heap type and must drop it when they die.
    ops = LEAK_GROUPS[group]
    growth, drift = leak_of(lambda: [fn() for fn in ops.values()], calls=1000)
    if growth >= 100 or drift:
        per_op = {name: leak_of(fn, calls=500) for name, fn in ops.items()}
        pytest.fail(f"{group}: {growth} blocks kept, class refcount drift {drift}; "
                    f"per operation: {per_op}")
