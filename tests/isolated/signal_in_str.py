"""A signal whose handler raises, due just as corvane calls str() on an object for a message
(test_hostile.py): str() runs the handler before anything else, and its exception must reach
the caller rather than the unraisable hook.

    signal_in_str.py RENDERING

Prints, as JSON, what the call raised (type and text), the type names along its __context__
chain, and what reached the unraisable hook.
"""

import ctypes
import functools
import json
import operator
import os
import signal
import sys

import corvane
from corvane.do_mod.packets.set_do import SetDoutsRequest
from doubles import c_api, context_names
from fresh import obtain_panic

# libc's kill sends the signal and, unlike os.kill, runs no handler: it stays due until the
# interpreter next looks, which is corvane's str().
kill = ctypes.CDLL(None).kill
kill.argtypes = [ctypes.c_int, ctypes.c_int]
kill.restype = None
send_alarm = functools.partial(kill, os.getpid(), signal.SIGALRM)


class Deadline(Exception):
    pass


class SendsAlarm:
    """__index__ is a C callable: it sends SIGALRM, runs no bytecode and returns None, so the
    interpreter's TypeError reaches corvane with the handler due."""

    __index__ = staticmethod(send_alarm)


PanicType = type(obtain_panic())


def suspended():
    yield


class PanicsWithAlarmDue:
    """__index__ is C code alone too: it sends SIGALRM, then raises a PanicException by throwing
    it into a generator that has not started (which runs none of its bytecode). Good for one
    call: the map is used up."""

    __index__ = staticmethod(
        functools.partial(
            list,
            map(
                operator.call,
                [send_alarm, functools.partial(suspended().throw, PanicType("the panic's text"))],
            ),
        )
    )


# tp_new gets the very dict passed here (by address), whose keys need not be str.
OBJECT_CALL = c_api(
    "PyObject_Call", ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_void_p
)
EXCEPTION_KEYWORD = {ValueError("a key"): 1}


def with_alarm_due(call):
    """Sends SIGALRM, then makes `call`, with no bytecode between: the handler is still due when
    corvane calls str()."""
    return list(map(operator.call, [send_alarm, call]))


def on_alarm(signum, frame):
    raise Deadline("deadline passed")


RENDERINGS = {
    "TypeError text": lambda: corvane.set_do_request(SendsAlarm(), 1),
    "panic text": lambda: corvane.set_do_request(PanicsWithAlarmDue(), 1),
    # An exception that is only a keyword (of a C caller's dict), not one being handled.
    "exception as keyword": lambda: with_alarm_due(
        functools.partial(OBJECT_CALL, SetDoutsRequest, (), id(EXCEPTION_KEYWORD))
    ),
}

unraisable = []
sys.unraisablehook = lambda u: unraisable.append([type(u.exc_value).__name__, str(u.exc_value)])
signal.signal(signal.SIGALRM, on_alarm)
try:
    RENDERINGS[sys.argv[1]]()
except BaseException as error:  # noqa: BLE001 - the outcome is what is printed
    raised = error
print(
    json.dumps(
        {
            "raised": [type(raised).__name__, str(raised)],
            "context": context_names(raised),
            "unraisable": unraisable,
        }
    )
)
