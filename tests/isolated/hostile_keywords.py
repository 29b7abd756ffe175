"""A constructor given the caller's own keyword dict, which Python code run by the constructor
(a key's __str__, the unraisable hook, a value's __index__) changes or empties while the
constructor still uses its keys and values.

Usage: hostile_keywords.py CASE. Prints, as JSON, what the call returned or raised and what
reached the unraisable hook; a use of a freed key or value crashes instead (run it with
PYTHONMALLOC=debug, which fills freed memory).
"""

import _thread
import ctypes
import json
import signal
import sys
import time

from corvane.do_mod.packets import Request
from corvane.do_mod.packets.get_do import GetDoutsRequest
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse
from doubles import c_api

# tp_new gets the very dict passed here, as it does from _thread.start_new_thread.
OBJECT_CALL = c_api(
    "PyObject_Call", ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_void_p
)

reported = []


def report(u):
    # The object is named only when it is a key: what a thread's error names varies by version.
    key = type(u.object).__name__ if isinstance(u.object, str) else None
    reported.append([type(u.exc_value).__name__, str(u.exc_value), key])


sys.unraisablehook = report
kw = {}


class ClearingKey(str):
    """Drops the dict's (and so the last) reference to itself, then fails to render."""

    def __str__(self):
        kw.clear()
        raise RuntimeError("gone")


class StoppingKey(str):
    """Drops the dict's reference to itself, then is interrupted by a Ctrl-C (SIGINT, whose
    default handler raises KeyboardInterrupt) while it renders."""

    def __str__(self):
        kw.clear()
        signal.raise_signal(signal.SIGINT)
        return "never"


class FailingKey(str):
    def __str__(self):
        raise RuntimeError("no str")


class GrowingKey(str):
    """Makes the dict move its entries elsewhere, then renders."""

    def __str__(self):
        kw.update((f"k{i}", i) for i in range(100))
        return "grown"


class ClearingIndex:
    def __index__(self):
        kw.clear()
        return 7


def clear_in_hook(u):
    kw.clear()
    report(u)


def in_thread(cls):
    """_thread.start_new_thread(cls, (), kw): the key's report comes first, then the thread's
    error, both through the unraisable hook."""
    _thread.start_new_thread(cls, (), kw)
    deadline = time.monotonic() + 10
    while len(reported) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    return None


CASES = {
    "key str clears dict": (Request.SetDouts, lambda: kw.update({ClearingKey("zz"): 1})),
    "hook clears dict": (
        SetDoutsRequest,
        lambda: (kw.update({FailingKey("zz"): 1}), setattr(sys, "unraisablehook", clear_in_hook)),
    ),
    "ctrl-c in key str clears dict": (Request.SetDouts, lambda: kw.update({StoppingKey("zz"): 1})),
    "key str grows dict": (GetDoutsRequest, lambda: kw.update({GrowingKey("zz"): 1})),
    "index clears dict": (SetDoutsResponse, lambda: kw.update(success=ClearingIndex())),
    "key str clears dict in a thread": (GetDoutsRequest, lambda: kw.update({ClearingKey("k"): 1})),
}

# Ctrl-C raises KeyboardInterrupt even where this process was started with SIGINT ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
case = sys.argv[1]
cls, prepare = CASES[case]
prepare()
try:
    if case.endswith("in a thread"):
        value = in_thread(cls)
    else:
        value = OBJECT_CALL(cls, (), id(kw))
        value = [type(value).__name__, getattr(value, "success", None)]
except BaseException as error:  # noqa: BLE001 - the outcome is what is printed
    value = [type(error).__name__, str(error)]
print(json.dumps({"value": value, "unraisable": reported}))
