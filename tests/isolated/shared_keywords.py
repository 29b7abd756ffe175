"""Constructors given a keyword dict by a C caller (PyObject_Call, which passes the caller's own
dict on as it is) while other threads change that dict (tests/test_concurrency.py), with the
interpreter's lock off.

    shared_keywords.py THREADS SECONDS

Half the threads call, the others keep replacing the values (new objects each time, so that a
replaced one is freed), emptying the dict and refilling it, and growing it so that it moves its
entries. Every outcome of a call is checked: an object holding one of the values stored, or the
binding error that the dict's contents of some moment give. A value read after it was freed
gives a wrong result or crashes (run it with PYTHONMALLOC=debug or mimalloc_debug, which fill
freed memory). Prints, as JSON: whether the lock stayed off, and per thread the number of calls
and the first wrong outcomes.
"""

import ctypes
import json
import sys

from corvane.do_mod.packets import Request
from corvane.do_mod.packets.set_do import SetDoutsRequest
from doubles import c_api
from fresh import gil_enabled, in_parallel

THREADS, SECONDS = int(sys.argv[1]), float(sys.argv[2])
OBJECT_CALL = c_api(
    "PyObject_Call", ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_void_p
)
VALUES = range(1000, 1016)  # ints above the small-int cache: each one made is a new object
EXTRA = [f"k{i}" for i in range(40)]  # keys that other threads add for a moment

field_kw = {"bin_layout": 1000}
record_kw = {"_0": SetDoutsRequest(1000)}


def fresh_int(i):
    return int(str(VALUES[i % len(VALUES)]))


def change(me, running):
    changes = 0
    while running():
        i = changes
        field_kw["bin_layout"] = fresh_int(i)
        record_kw["_0"] = SetDoutsRequest(fresh_int(i))
        if i % 8 == 0:
            field_kw.clear()
            record_kw.clear()
            field_kw["bin_layout"] = fresh_int(i)
            record_kw["_0"] = SetDoutsRequest(fresh_int(i))
        if i % 32 == 1:
            for kw in (field_kw, record_kw):
                kw.update(dict.fromkeys(EXTRA, 0))
                for key in EXTRA:
                    kw.pop(key, None)
        changes += 1
    return {"calls": changes, "wrong": []}


ALLOWED_ERRORS = {
    "SetDoutsRequest.__new__() missing 1 required positional argument: 'bin_layout'",
    "Request_SetDouts.__new__() missing 1 required positional argument: '_0'",
    *(f"SetDoutsRequest.__new__() got an unexpected keyword argument '{k}'" for k in EXTRA),
    *(f"Request_SetDouts.__new__() got an unexpected keyword argument '{k}'" for k in EXTRA),
}


def call(me, running):
    calls, wrong = 0, []
    while running():
        for cls, kw in ((SetDoutsRequest, field_kw), (Request.SetDouts, record_kw)):
            calls += 1
            try:
                made = OBJECT_CALL(cls, (), id(kw))
                made = made._0 if cls is Request.SetDouts else made
                ok = type(made) is SetDoutsRequest and made.bin_layout in VALUES
                outcome = ["made", getattr(made, "bin_layout", repr(made))]
            except TypeError as error:
                ok, outcome = str(error) in ALLOWED_ERRORS, ["TypeError", str(error)]
            except BaseException as error:  # noqa: BLE001 - every other outcome is wrong
                ok, outcome = False, [type(error).__name__, str(error)]
            if not ok and len(wrong) < 10:
                wrong.append([cls.__name__, *outcome])
    return {"calls": calls, "wrong": wrong}


results = in_parallel(
    lambda me, running: (change if me % 2 else call)(me, running), THREADS, SECONDS
)
print(json.dumps({"gil": gil_enabled(), "threads": results}))
