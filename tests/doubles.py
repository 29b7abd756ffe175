"""Test doubles, constants and message builders shared by the test modules.

A plain module: pytest puts tests/ on sys.path (as it does for conftest), so a test module
says `from doubles import Idx`, and so do the programs in tests/isolated/. It imports nothing
of corvane, so that a program that observes the first import can use it too (doubles that
derive from corvane's classes are in class_doubles.py).
"""

import ctypes

OUT_OF_RANGE = "out of range integral type conversion attempted"
# The nested modules in the order in which initialisation enters them in sys.modules.
NESTED = [
    "corvane.do_mod.packets.get_do",
    "corvane.do_mod.packets.set_do",
    "corvane.do_mod.packets",
    "corvane.do_mod",
]
# Hooks no class may define itself: the plain-object defaults must apply.
NOT_DEFINED = (
    "__init__",
    "__repr__",
    "__str__",
    "__eq__",
    "__ne__",
    "__lt__",
    "__hash__",
    "__reduce__",
    "__reduce_ex__",
    "__getstate__",
    "__getnewargs__",
    "__copy__",
    "__deepcopy__",
    "__iter__",
    "__contains__",
    "__dict__",
    "__weakref__",
    "__del__",
)


# --- binding messages: `fn` is the callable's name as the message shows it, without "()" ---


def missing(fn, names):
    k, listed = len(names), " and ".join(f"'{n}'" for n in names)
    return f"{fn}() missing {k} required positional argument{'s' * (k > 1)}: {listed}"


def surplus(fn, takes, given):
    was = "was" if given == 1 else "were"
    return f"{fn}() takes {takes} positional arguments but {given} {was} given"


def unexpected(fn, key):
    return f"{fn}() got an unexpected keyword argument '{key}'"


def multiple(fn, name):
    return f"{fn}() got multiple values for argument '{name}'"


# --- the interpreter's own conversions, whose messages are the expected ones ---------------


def c_api(name, restype, *argtypes):
    """A C API function of the running interpreter; it raises what the interpreter sets."""
    return ctypes.PYFUNCTYPE(restype, *argtypes)((name, ctypes.pythonapi))


def interpreter_error(call, *args):
    """(exception type, message) of what `call(*args)` raises, or None."""
    try:
        call(*args)
    except Exception as exc:  # noqa: BLE001 - whatever the interpreter raises is the oracle
        return type(exc), str(exc)
    return None


_AS_LONG_LONG = c_api(
    "PyLong_AsLongLongAndOverflow",
    ctypes.c_longlong,
    ctypes.py_object,
    ctypes.POINTER(ctypes.c_int),
)


def AS_INT64(obj):
    """The signed 64-bit reading of the narrow members. Past that range every platform gives the
    text that PyLong_AsLong gives on 64-bit Linux (a 32-bit C long would stop at 2**31)."""
    overflow = ctypes.c_int(0)
    value = _AS_LONG_LONG(obj, ctypes.byref(overflow))
    if overflow.value:
        raise OverflowError("Python int too large to convert to C long")
    return value


AS_U64 = c_api("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, ctypes.py_object)
NUMBER_INDEX = c_api("PyNumber_Index", ctypes.py_object, ctypes.py_object)


def context_names(error, limit=5):
    """The type names along an exception's __context__ chain, from the exception itself. A chain
    that loops shows as `limit` names."""
    names = []
    while error is not None and len(names) < limit:
        names.append(type(error).__name__)
        error = error.__context__
    return names


# --- doubles ---------------------------------------------------------------------------------

INDEX_CALLS = [0]  # calls of the __index__ of Idx, Raiser and SubInt; reset it before counting


class Idx:
    """Not an int, but usable as one through __index__, which returns `value`.

    An exception object as `value` is raised itself; an exception class is raised as a new
    `value(*args)` each time (re-raising one object would grow its traceback).
    """

    def __init__(self, value, *args):
        self.value, self.args = value, args

    def __index__(self):
        INDEX_CALLS[0] += 1
        if isinstance(self.value, BaseException):
            raise self.value
        if isinstance(self.value, type):
            raise self.value(*self.args)
        return self.value

    def __repr__(self):
        return f"Idx({self.value!r})"


class Index:
    """Usable as the int `value` through __index__, and nothing more: unlike Idx it counts
    nothing, so asking it allocates nothing (the allocation-failure sweeps count on that)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raiser(Idx):
    """An Idx whose __index__ raises the exception object `exc` itself."""

    exc = property(lambda self: self.value)

    def __repr__(self):
        return f"Raiser({self.exc!r} cause={self.exc.__cause__!r})"


class SubInt(int):
    """An int subclass converts by its own value: its __index__ must never be asked."""

    def __index__(self):
        INDEX_CALLS[0] += 1
        return 99


class CausedTypeError:
    """__index__ raises TypeError("t") from KeyError("k")."""

    def __index__(self):
        raise TypeError("t") from KeyError("k")


class SubTypeError(TypeError):
    """Not exactly TypeError: passes through unrenamed."""


class NoStr:
    """str() raises `exc` (an ordinary exception or a PanicException), or a new
    RuntimeError("no str") each time if none is given."""

    def __init__(self, exc=None):
        self.exc = exc

    def __str__(self):
        raise self.exc if self.exc is not None else RuntimeError("no str")

    def __repr__(self):
        return f"NoStr({self.exc!r})"


class ShownKey(str):
    """A keyword that matches by its text but renders as something else (or nothing)."""

    def __new__(cls, text, shown):
        key = super().__new__(cls, text)
        key.shown = shown
        return key

    def __str__(self):
        if isinstance(self.shown, BaseException):
            raise self.shown
        return self.shown

    def __repr__(self):
        return f"ShownKey({str.__repr__(self)}, {self.shown!r})"


class ReRaise:
    """str() re-raises the exception being handled where it is called."""

    def __str__(self):
        raise


class Unprintable(str):
    """A str (a keyword, say) that matches by its text; str() raises RuntimeError("no str")."""

    def __str__(self):
        raise RuntimeError("no str")


class Outer:
    """Outer.Inner: a class whose __qualname__ is not its __name__."""

    class Inner:
        pass
